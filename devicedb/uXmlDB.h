// Reading CpuSignatures.xml (UTF-16 LE XML) into the device tables.
#pragma once
#include "base/uUnknown.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

constexpr HRESULT XML_E_PARSE = static_cast<HRESULT>(0x80140001u);
constexpr HRESULT DB_E_LOCKS = 0x9031;
constexpr HRESULT DB_E_FUSES = 0x9032;
constexpr HRESULT DB_E_SIGNATURES = 0x9033;

constexpr const char* kSignatureDBFileName = "CpuSignatures.xml";

// The shipped database is a few hundred kilobytes; anything far beyond that is not a database and
// would only cost memory (the parsed tree needs several times the file size).
constexpr size_t kMaxSignatureDBFileSize = size_t(16) << 20;
// Upper bound on the children of one section. Each CPU record is over a kilobyte and the table is
// sized before it is filled, so an unbounded count would let a small hostile file exhaust memory.
constexpr size_t kMaxSectionEntries = 10000;

// A node of the document held by an IXmlDB; empty when it refers to nothing. It stays valid while
// that object lives and until its next load. Opaque so that no other layer sees the XML parser.
struct TXmlNode {
  void* handle = nullptr;
  explicit operator bool() const { return handle != nullptr; }
};

// The XML document wrapper: one object per load; the document is released with the object.
// Text travels as UTF-8.
class IXmlDB : public virtual IUnknownBase {
public:
  virtual HRESULT GetLastErrorText(std::string& text) = 0;
  // 0; E_INVALIDARG when the file cannot be opened; XML_E_PARSE when it cannot be read or parsed.
  virtual HRESULT LoadXmlFile(const std::string& file_name) = 0;
  // As LoadXmlFile, for the file's bytes already in memory (UTF-16 LE, as the file holds them).
  virtual HRESULT LoadXmlBytes(const void* data, size_t size) = 0;
  // The first child element of the root named exactly name. E_NOINTERFACE when nothing is loaded
  // or the document has no root element; E_INVALIDARG when there is no such child.
  virtual HRESULT FindSection(const std::string& name, TXmlNode& node) = 0;
  // The child element of node at position index (from 0). E_NOINTERFACE for an empty node;
  // E_INVALIDARG when there is none at that position.
  virtual HRESULT GetChildNode(TXmlNode node, int32_t index, TXmlNode& child) = 0;
};

std::shared_ptr<IXmlDB> NewXmlDB();
// Element name of a node handed out by an IXmlDB; "" for an empty node.
std::string XmlNodeName(TXmlNode node);

// The database's number syntax: "0x" followed by hex digits (at most ten characters in all), or
// decimal with optional blanks and "-". nullopt for an absent or empty value and for a value that
// does not read ("Invalid value").
std::optional<int32_t> XmlValueToInt(std::string_view text);

// Loads the database file into SignatureTable, LockAbbrevMap and FuseAbbrevMap.
// Returns 0, E_INVALIDARG (cannot open; error_text says which file and why), XML_E_PARSE (reason,
// line and the start of the line in error_text) or DB_E_LOCKS/DB_E_FUSES/DB_E_SIGNATURES.
// For the three section codes error_text stays unchanged; section_error, when given, receives what
// was wrong and where (for diagnostics and tests), and is cleared on success.
HRESULT LoadSignatureDB(const std::string& file_name, std::string& error_text,
                        std::string* section_error = nullptr);
// The same for a file image already in memory (used by the fuzzer).
HRESULT LoadSignatureDBFromBytes(const void* data, size_t size, std::string& error_text,
                                 std::string* section_error = nullptr);

// How many times LoadSignatureDB or LoadSignatureDBFromBytes ran in this process. A command reads
// the file once at its start; the count lets tests and the benchmark see that it does.
uint64_t SignatureDBLoadCount();

// Where the database is looked for, in order: the current directory (a user's edited copy wins),
// beside the running executable, then ../share/pinlet next to it (an install under any prefix),
// then the configured data folder. Returns the first that exists,
// or "" when none does.
std::string LocateSignatureDB();
// LocateSignatureDB + LoadSignatureDB; when no file exists, E_INVALIDARG with a text naming every
// place that was looked at. section_error as for LoadSignatureDB.
HRESULT LoadDefaultSignatureDB(std::string& error_text, std::string* loaded_path = nullptr,
                               std::string* section_error = nullptr);
