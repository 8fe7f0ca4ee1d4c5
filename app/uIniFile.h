// The program's settings: a small key/value store kept in a text file of our own format, and the
// settings object in front of it that knows its entries by id. The window and the command line
// keep the port, the speed and the last image file here between runs.
//
// Where the file lives: "<base>/Config/<executable name>.ini", where <base> is
// $XDG_CONFIG_HOME/Pinlet (default ~/.config/Pinlet). If any command-line argument contains
// "ADAP" (case-sensitive; the program's own path is not looked at), <base> is the executable's
// folder instead, so a portable install keeps its settings beside itself.
//
// The file is read once when the object is created and written once when the last reference
// goes away. Writing goes to a temporary file in the same folder that is flushed to disk and then
// renamed over the old file, so a crash never leaves half a settings file behind. A file that
// cannot be parsed is renamed aside ("<name>.bad-<timestamp>") and the settings start from their
// defaults; a file that exists but cannot be read is left alone and not overwritten at exit.
//
// Strings are UTF-8. Text written by id is encoded so that the file stays plain 7-bit text: CR LF
// becomes {CRLF}, a lone CR {CR}, a lone LF {LF}, and the codes 0-31, the characters
// " & ' ; ^ ` { } and every byte from 127 to 255 become {<decimal code>}. A UTF-8 character is
// encoded byte by byte ("ä" is stored as {195}{164}); decoding puts the same bytes back.
#pragma once
#include "base/uStatus.h"
#include "base/uUnknown.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// A setting's value as handed to and from the settings object (empty = no value).
using TIniValue = std::variant<std::monostate, bool, int32_t, double, std::string>;

// ---------------------------------------------------------------------------------------------
// The store: rows of (type code, key, value, extra text, extra number, section), found by
// section and key (both compared without regard to ASCII case).

struct TReginiRow {
  uint8_t TypeCode = 1;
  std::string Key;
  std::string Value; // as it stands in the file: quoted and with line breaks encoded
  std::string Extra;
  int32_t Number = -1;
  std::string Section;
};

class TReginiObj {
public:
  static constexpr std::string_view kFormatVersion = "2.7.15.24";

  // Reads the text form. Returns false, and loads nothing, when the text does not start with a
  // "[KWA..." or "[RIMA..." header. Rows already present are updated by section and key.
  bool LoadFromText(std::string_view text);
  // The text form: header line, then the rows sorted by section and the other columns.
  std::string SaveToText() const;

  const TReginiRow* Find(std::string_view section, std::string_view key) const;
  // Stores text under section and key (line breaks encoded, quoted, inner quotes doubled).
  void WriteString(std::string_view section, std::string_view key, std::string_view text);
  // The text stored under section and key with quoting and line-break encoding undone.
  bool ReadString(std::string_view section, std::string_view key, std::string& text) const;
  bool Delete(std::string_view section, std::string_view key);
  void Clear() { FRows.clear(); }
  const std::vector<TReginiRow>& Rows() const { return FRows; }

  // The store's own value encoding (line breaks and quotes only).
  static std::string QuoteValue(std::string_view text);
  static std::string UnquoteValue(std::string_view value);

private:
  TReginiRow* FindRow(std::string_view section, std::string_view key);
  void Put(TReginiRow row);
  void Append(TReginiRow row);
  std::vector<TReginiRow> FRows;
};

// The encoding of text written by id (see the top of this file), and its inverse. Unknown or
// malformed "{...}" sequences are left as they are when decoding.
std::string EncodeIniText(std::string_view text);
std::string DecodeIniText(std::string_view text);
// Expands $NAME, ${NAME} and a leading "~" from the environment; unset names stay as written.
std::string ExpandIniText(std::string_view text);

// ---------------------------------------------------------------------------------------------
// The settings interfaces. Every method returns an HRESULT; an id that has not been defined gives
// E_INVALIDARG.

// Told about every write by id, with the id and the value written.
class IIniFileEvents {
public:
  virtual ~IIniFileEvents() = default;
  virtual void SettingChanged(int32_t id, const TIniValue& value) = 0;
};

class IIniFileManager : public virtual IUnknownBase {
public:
  virtual HRESULT GetBaseFolder(std::string& folder) = 0;
  virtual HRESULT GetSettingsFolder(std::string& folder) = 0; // base folder + "/Config"
  virtual HRESULT GetFileName(std::string& path) = 0;         // full path of the settings file
  // S_OK if the definition was stored; S_FALSE for a negative id or a name the file cannot hold
  // (empty key, key or section longer than 255 bytes, a line break in either, "=" in the key or
  // a key starting with "["). Defining an id again replaces its definition.
  virtual HRESULT DefineEntry(int32_t id, uint8_t kind, std::string_view section, std::string_view key,
                              const TIniValue& default_value) = 0;
  // The kind code given at definition; S_FALSE (and kind 0) for an id that is not defined.
  virtual HRESULT GetEntryKind(int32_t id, uint8_t& kind) = 0;
  // Removes the stored value and the definition.
  virtual HRESULT DeleteEntry(int32_t id) = 0;
  // S_FALSE when nothing was stored under section and key.
  virtual HRESULT DeleteValue(std::string_view section, std::string_view key) = 0;
};

// Reads by id give the stored value or, if none is stored, the entry's default, converted to the
// asked kind. A stored value that does not convert gives the default. Reads never store anything.
// Range checks are the caller's: a stored speed of 42 reads back as 42.
class IIniFileReadAccs : public IIniFileManager {
public:
  virtual HRESULT ReadBool(int32_t id, bool& value) = 0;
  virtual HRESULT ReadInteger(int32_t id, int32_t& value) = 0;
  virtual HRESULT ReadFloat(int32_t id, double& value) = 0;
  virtual HRESULT ReadString(int32_t id, std::string& value) = 0;
  // With expand set, environment references ($NAME, ${NAME}, leading ~) are replaced.
  virtual HRESULT ReadStringExpanded(int32_t id, bool expand, std::string& value) = 0;
  virtual HRESULT ReadBool(std::string_view section, std::string_view key, bool default_value,
                           bool& value) = 0;
  virtual HRESULT ReadInteger(std::string_view section, std::string_view key, int32_t default_value,
                              int32_t& value) = 0;
  virtual HRESULT ReadString(std::string_view section, std::string_view key, std::string_view default_value,
                             std::string& value) = 0;
};

// Writes by id notify the observers; writes by section and key do not. A write by section and key
// with a name that the file cannot hold (see DefineEntry) gives E_INVALIDARG.
class IIniFileReadWriteAccs : public IIniFileReadAccs {
public:
  virtual HRESULT WriteBool(int32_t id, bool value) = 0;
  virtual HRESULT WriteInteger(int32_t id, int32_t value) = 0;
  virtual HRESULT WriteFloat(int32_t id, double value) = 0;
  virtual HRESULT WriteString(int32_t id, std::string_view value) = 0;
  virtual HRESULT WriteBool(std::string_view section, std::string_view key, bool value) = 0;
  virtual HRESULT WriteInteger(std::string_view section, std::string_view key, int32_t value) = 0;
  virtual HRESULT WriteString(std::string_view section, std::string_view key, std::string_view value) = 0;
};

// Observer registration. Observers are held weakly: an observer that goes away simply stops
// being called. Unadvise returns S_FALSE for an observer that was not registered.
class IIniFileEventSource : public virtual IUnknownBase {
public:
  virtual HRESULT Advise(const std::shared_ptr<IIniFileEvents>& sink) = 0;
  virtual HRESULT Unadvise(const std::shared_ptr<IIniFileEvents>& sink) = 0;
};

// Creates the settings object and loads its file. args are the command-line arguments without
// the program's own path; executable_path names the running program. base_folder_override, if
// not empty, replaces $XDG_CONFIG_HOME/Pinlet (tests); "ADAP" in args still wins over it.
std::shared_ptr<IIniFileReadWriteAccs> CreateIniFile(const std::vector<std::string>& args,
                                                     const std::string& executable_path,
                                                     const std::string& base_folder_override = {});
// The same for the running process (argv[0] is skipped; the path comes from /proc/self/exe).
std::shared_ptr<IIniFileReadWriteAccs> CreateIniFile(int argc, const char* const* argv);
// The running program's path, or an empty string if the system does not tell.
std::string CurrentExecutablePath();

// ---------------------------------------------------------------------------------------------
// The entries that the window and the command line keep.

constexpr int32_t kSettingPortName = 0; // "CONNECTION"/"PortName", text, default empty
constexpr int32_t kSettingSpeed = 1;    // "CONNECTION"/"Speed", integer, default 3 (sdNormal)
constexpr int32_t kSettingLastFile = 2; // "DIRECTORY"/"LastFile", text, default empty
constexpr int32_t kSettingMemory = 3;   // "MEMORY"/"Selected", text "flash" or "eeprom", default "flash"
constexpr int32_t kSettingPins = 4;     // "CONNECTION"/"Wiring", text (the --pins wiring), default empty
constexpr uint8_t kIniKindInteger = 2;
constexpr uint8_t kIniKindText = 4;
constexpr int32_t kDefaultSpeedSetting = 3;

// Defines the entries above. A reader of kSettingSpeed must map values outside 0..6 to
// sdNormal itself; the store hands back whatever the file holds.
HRESULT DefineWindowSettings(IIniFileManager& manager);
