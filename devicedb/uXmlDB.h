// Reading CpuSignatures.xml (UTF-16 LE XML) into the device tables.
#pragma once
#include "core/uUnknown.h"

#include <memory>
#include <string>

constexpr HRESULT XML_E_PARSE = static_cast<HRESULT>(0x80140001u);
constexpr HRESULT DB_E_LOCKS = 0x9031;
constexpr HRESULT DB_E_FUSES = 0x9032;
constexpr HRESULT DB_E_SIGNATURES = 0x9033;

constexpr const char* kSignatureDBFileName = "CpuSignatures.xml";

// Loads the database file into SignatureTable, LockAbbrevMap and FuseAbbrevMap.
// Returns 0, E_INVALIDARG (cannot open; error_text says which file and why), XML_E_PARSE (reason,
// line and the start of the line in error_text) or DB_E_LOCKS/DB_E_FUSES/DB_E_SIGNATURES.
HRESULT LoadSignatureDB(const std::string& file_name, std::string& error_text);

// Where the database is looked for, in order: the current directory (a user's edited copy wins),
// beside the running executable, then the install's data folder. Returns the first that exists,
// or "" when none does.
std::string LocateSignatureDB();
// LocateSignatureDB + LoadSignatureDB; when no file exists, E_INVALIDARG with a text naming every
// place that was looked at.
HRESULT LoadDefaultSignatureDB(std::string& error_text, std::string* loaded_path = nullptr);
