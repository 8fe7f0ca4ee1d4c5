#include "app/uIniFile.h"

#include "base/uKeepAside.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#ifndef PINLET_VERSION
#define PINLET_VERSION "0.0.0"
#endif

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// <0, 0, >0 like strcmp; bytes compare unsigned, ASCII letters without regard to case.
int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
    const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

template <class T> int CompareValues(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Section, then the other columns in column order; exact comparisons break ties so that the
// written file does not depend on the order in which rows were added.
bool RowLess(const TReginiRow& a, const TReginiRow& b) {
  int c = CompareNoCase(a.Section, b.Section);
  if (!c) c = CompareValues(a.TypeCode, b.TypeCode);
  if (!c) c = CompareNoCase(a.Key, b.Key);
  if (!c) c = CompareNoCase(a.Value, b.Value);
  if (!c) c = CompareNoCase(a.Extra, b.Extra);
  if (!c) c = CompareValues(a.Number, b.Number);
  if (!c) c = a.Section.compare(b.Section);
  if (!c) c = a.Key.compare(b.Key);
  if (!c) c = a.Value.compare(b.Value);
  if (!c) c = a.Extra.compare(b.Extra);
  return c < 0;
}

bool ParseInt32(std::string_view text, int32_t& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseDouble(std::string_view text, double& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

bool ParseBool(std::string_view text, bool& value) {
  int32_t number = 0;
  if (ParseInt32(text, number)) {
    value = number != 0;
    return true;
  }
  for (std::string_view yes : {"true", "yes", "on"})
    if (EqualNoCase(text, yes)) return value = true, true;
  for (std::string_view no : {"false", "no", "off"})
    if (EqualNoCase(text, no)) return value = false, true;
  return false;
}

std::string FormatDouble(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

// Splits at semicolons outside double quotes (a doubled quote toggles twice and so stays inside).
// The first field, the value, may carry semicolons inside its quotes; the others never do.
size_t FindUnquotedSemicolon(std::string_view text) {
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"')
      quoted = !quoted;
    else if (text[i] == ';' && !quoted)
      return i;
  }
  return std::string_view::npos;
}

std::vector<std::string_view> SplitPlain(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t pos = text.find(';');
    fields.push_back(text.substr(0, pos));
    if (pos == std::string_view::npos) break;
    text.remove_prefix(pos + 1);
  }
  return fields;
}

int32_t ParseNumberOr(std::string_view text, int32_t fallback) {
  int32_t value = 0;
  return ParseInt32(text, value) ? value : fallback;
}

// A type letter is 'A' + type code; anything below 'A' counts as 0. Codes above 190 have no
// letter of their own, so they are read as 0 too.
constexpr int kMaxTypeCode = 255 - 'A';

uint8_t TypeFromLetter(std::string_view field) {
  if (field.empty()) return 0;
  const int c = static_cast<unsigned char>(field.front());
  return c < 'A' ? 0 : static_cast<uint8_t>(c - 'A');
}

uint8_t TypeFromNumber(std::string_view field) {
  const int32_t code = ParseNumberOr(field, 0);
  return (code < 0 || code > kMaxTypeCode) ? 0 : static_cast<uint8_t>(code);
}

bool IsEncodedByte(unsigned char c) {
  if (c < 32 || c >= 127) return true;
  switch (c) {
  case '"':
  case '&':
  case '\'':
  case ';':
  case '^':
  case '`':
  case '{':
  case '}':
    return true;
  default:
    return false;
  }
}

std::string ReplaceLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "{CRLF}";
      ++i;
    } else if (text[i] == '\r') {
      out += "{CR}";
    } else if (text[i] == '\n') {
      out += "{LF}";
    } else {
      out += text[i];
    }
  }
  return out;
}

// Undoes {CRLF}, {CR}, {LF} and, with codes set, {<decimal 0..255>}.
std::string DecodeBraces(std::string_view text, bool codes) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '{') {
      const size_t close = text.find('}', i + 1);
      if (close != std::string_view::npos) {
        const std::string_view name = text.substr(i + 1, close - i - 1);
        if (name == "CRLF") {
          out += "\r\n";
          i = close + 1;
          continue;
        }
        if (name == "CR" || name == "LF") {
          out += name == "CR" ? '\r' : '\n';
          i = close + 1;
          continue;
        }
        if (codes && !name.empty() && name.size() <= 3 &&
            std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
          int code = 0;
          std::from_chars(name.data(), name.data() + name.size(), code);
          if (code <= 255) {
            out += static_cast<char>(code);
            i = close + 1;
            continue;
          }
        }
      }
    }
    out += text[i++];
  }
  return out;
}

std::string ToText(const TIniValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "1" : "0";
  if (const auto* i = std::get_if<int32_t>(&value)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&value)) return FormatDouble(*d);
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  return {};
}

int32_t ToInteger(const TIniValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  if (const auto* i = std::get_if<int32_t>(&value)) return *i;
  if (const auto* d = std::get_if<double>(&value)) {
    if (!std::isfinite(*d) || *d >= 2147483648.0 || *d <= -2147483649.0) return 0;
    return static_cast<int32_t>(*d);
  }
  if (const auto* s = std::get_if<std::string>(&value)) return ParseNumberOr(*s, 0);
  return 0;
}

double ToDouble(const TIniValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b ? 1.0 : 0.0;
  if (const auto* i = std::get_if<int32_t>(&value)) return *i;
  if (const auto* d = std::get_if<double>(&value)) return *d;
  double result = 0.0;
  if (const auto* s = std::get_if<std::string>(&value)) return ParseDouble(*s, result) ? result : 0.0;
  return 0.0;
}

bool ToBool(const TIniValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b;
  if (const auto* i = std::get_if<int32_t>(&value)) return *i != 0;
  if (const auto* d = std::get_if<double>(&value)) return *d != 0.0;
  bool result = false;
  if (const auto* s = std::get_if<std::string>(&value)) return ParseBool(*s, result) && result;
  return false;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string UserConfigFolder() {
  // Relative values of XDG_CONFIG_HOME are to be ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  const std::string home = HomeFolder();
  return (home.empty() ? std::string(".") : home) + "/.config";
}

// Reads the whole file. Returns 0, ENOENT or the errno of the failing call.
int ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[8192];
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  if (::close(fd) != 0 && !error) error = errno;
  return error;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Replaces path with content: a temporary file in the same folder, flushed, renamed over the
// old one, and the folder flushed so that the rename itself survives a crash.
HRESULT WriteFileAtomically(const std::string& path, std::string_view content) {
  const std::filesystem::path target(path);
  std::string temp = target.string() + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return E_ACCESSDENIED;
  struct stat old_stat {};
  const mode_t mode = ::stat(path.c_str(), &old_stat) == 0 ? (old_stat.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0;
  ok = ok && WriteAll(fd, content);
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str()); // nothing more to do if this fails too
    return E_FAIL;
  }
  const std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
  const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    // The new file is in place; a failing folder flush only weakens the crash guarantee.
    const bool synced = ::fsync(dir_fd) == 0;
    const bool closed = ::close(dir_fd) == 0;
    if (!synced || !closed) return S_FALSE;
  }
  return S_OK;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TReginiObj

std::string TReginiObj::QuoteValue(std::string_view text) {
  std::string out = "\"";
  for (char c : ReplaceLineBreaks(text)) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string TReginiObj::UnquoteValue(std::string_view value) {
  std::string plain;
  // Enclosed means the quotes pair up; otherwise the value is taken as it stands.
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"' &&
      std::count(value.begin(), value.end(), '"') % 2 == 0) {
    const std::string_view inner = value.substr(1, value.size() - 2);
    for (size_t i = 0; i < inner.size(); ++i) {
      plain += inner[i];
      if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;
    }
  } else {
    plain = value;
  }
  return DecodeBraces(plain, false);
}

TReginiRow* TReginiObj::FindRow(std::string_view section, std::string_view key) {
  for (auto& row : FRows)
    if (EqualNoCase(row.Section, section) && EqualNoCase(row.Key, key)) return &row;
  return nullptr;
}

const TReginiRow* TReginiObj::Find(std::string_view section, std::string_view key) const {
  return const_cast<TReginiObj*>(this)->FindRow(section, key);
}

void TReginiObj::Put(TReginiRow row) {
  if (TReginiRow* existing = FindRow(row.Section, row.Key)) {
    existing->TypeCode = row.TypeCode;
    existing->Value = std::move(row.Value);
    existing->Extra = std::move(row.Extra);
    existing->Number = row.Number;
  } else {
    Append(std::move(row));
  }
}

void TReginiObj::Append(TReginiRow row) {
  // A section is one section whatever the case of its name; keep the spelling it first had.
  for (const auto& other : FRows)
    if (EqualNoCase(other.Section, row.Section)) {
      row.Section = other.Section;
      break;
    }
  FRows.push_back(std::move(row));
}

void TReginiObj::WriteString(std::string_view section, std::string_view key, std::string_view text) {
  if (TReginiRow* existing = FindRow(section, key)) {
    // Only the value changes; a row read with another type code keeps its extra columns.
    existing->Value = QuoteValue(text);
    return;
  }
  TReginiRow row;
  row.Section = section;
  row.Key = key;
  row.Value = QuoteValue(text);
  Append(std::move(row));
}

bool TReginiObj::ReadString(std::string_view section, std::string_view key, std::string& text) const {
  const TReginiRow* row = Find(section, key);
  if (!row) return false;
  text = UnquoteValue(row->Value);
  return true;
}

bool TReginiObj::Delete(std::string_view section, std::string_view key) {
  const auto it = std::find_if(FRows.begin(), FRows.end(), [&](const TReginiRow& row) {
    return EqualNoCase(row.Section, section) && EqualNoCase(row.Key, key);
  });
  if (it == FRows.end()) return false;
  FRows.erase(it);
  return true;
}

bool TReginiObj::LoadFromText(std::string_view text) {
  const size_t close = text.find_first_of("]\r\n");
  if (close == std::string_view::npos || text[close] != ']') return false;
  const std::string_view header = text.substr(0, close);
  bool rima = false;
  if (header.starts_with("[RIMA"))
    rima = true;
  else if (!header.starts_with("[KWA"))
    return false;
  text.remove_prefix(close + 1);

  std::string section;
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    if (end == std::string_view::npos)
      text = {};
    else
      text.remove_prefix(end + 1);
    if (line.empty()) continue;
    if (line.front() == '[') {
      section = line.size() >= 2 ? line.substr(1, line.size() - 2) : std::string_view{};
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue; // not a value line
    TReginiRow row;
    row.Section = section;
    row.Key = line.substr(0, eq);
    const std::string_view rest = line.substr(eq + 1);
    if (FindUnquotedSemicolon(rest) == std::string_view::npos) {
      row.TypeCode = 1;
      row.Value = rest;
    } else {
      std::string_view columns = rest;
      if (rima) {
        // "<type>;<value>;<extra>;<number>": the type code comes before the value.
        const size_t first = rest.find(';');
        row.TypeCode = TypeFromNumber(rest.substr(0, first));
        columns = rest.substr(first + 1);
      }
      const size_t split = FindUnquotedSemicolon(columns);
      row.Value = columns.substr(0, split);
      const std::vector<std::string_view> fields = split == std::string_view::npos
                                                       ? std::vector<std::string_view>{}
                                                       : SplitPlain(columns.substr(split + 1));
      size_t next = 0;
      if (!rima) row.TypeCode = next < fields.size() ? TypeFromLetter(fields[next++]) : 0;
      row.Extra = next < fields.size() ? fields[next++] : std::string_view{};
      row.Number = next < fields.size() ? ParseNumberOr(fields[next], -1) : -1;
    }
    Put(std::move(row));
  }
  return true;
}

std::string TReginiObj::SaveToText() const {
  std::vector<const TReginiRow*> rows;
  rows.reserve(FRows.size());
  for (const auto& row : FRows) rows.push_back(&row);
  std::sort(rows.begin(), rows.end(),
            [](const TReginiRow* a, const TReginiRow* b) { return RowLess(*a, *b); });

  std::string out = "[KWA" + std::string(kFormatVersion) + "]\r\n";
  std::string_view current;
  for (const TReginiRow* row : rows) {
    if (!EqualNoCase(row->Section, current)) {
      out += "[" + row->Section + "]\r\n";
      current = row->Section;
    }
    std::string value = row->Value;
    // A value is enclosed in quotes unless it already is. One that starts with a quote but never
    // closes it is enclosed too: written bare, it would swallow the columns after it.
    if (!value.empty() && (value.front() != '"' || std::count(value.begin(), value.end(), '"') % 2 != 0)) {
      std::string quoted = "\"";
      for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
      }
      value = quoted + "\"";
    }
    out += row->Key + "=" + value;
    if (row->TypeCode != 1) {
      out += ';';
      out += static_cast<char>('A' + std::min<int>(row->TypeCode, kMaxTypeCode));
      out += ";" + row->Extra + ";" + std::to_string(row->Number);
    }
    out += "\r\n";
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Text encoding of values written by id

std::string EncodeIniText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "{CRLF}";
      ++i;
    } else if (c == '\r') {
      out += "{CR}";
    } else if (c == '\n') {
      out += "{LF}";
    } else if (IsEncodedByte(c)) {
      out += "{" + std::to_string(c) + "}";
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string DecodeIniText(std::string_view text) {
  return DecodeBraces(text, true);
}

std::string ExpandIniText(std::string_view text) {
  auto is_name_char = [](char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (!first && c >= '0' && c <= '9');
  };
  std::string out;
  size_t i = 0;
  if (!text.empty() && text.front() == '~' && (text.size() == 1 || text[1] == '/')) {
    const std::string home = HomeFolder();
    if (!home.empty()) {
      out = home;
      i = 1;
    }
  }
  while (i < text.size()) {
    if (text[i] == '$' && i + 1 < text.size()) {
      size_t name_begin = i + 1, name_end = name_begin, next = 0;
      if (text[name_begin] == '{') {
        const size_t close = text.find('}', name_begin);
        if (close != std::string_view::npos) {
          name_begin += 1;
          name_end = close;
          next = close + 1;
        }
      } else {
        while (name_end < text.size() && is_name_char(text[name_end], name_end == name_begin)) ++name_end;
        next = name_end;
      }
      if (name_end > name_begin) {
        const std::string name(text.substr(name_begin, name_end - name_begin));
        if (const char* value = std::getenv(name.c_str())) {
          out += value;
          i = next;
          continue;
        }
      }
    }
    out += text[i++];
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// TIniFile

namespace {

struct TIniEntry {
  uint8_t Kind = 0;
  std::string Section;
  std::string Key;
  TIniValue Default;
};

constexpr size_t kMaxNameLength = 255;

// Names that the text form can hold: a key ends at the first "=", a line starting with "[" is a
// section, and neither may break its line.
bool ValidName(std::string_view section, std::string_view key) {
  return !key.empty() && key.size() <= kMaxNameLength && section.size() <= kMaxNameLength &&
         key.front() != '[' && key.find_first_of("=\r\n") == std::string_view::npos &&
         section.find_first_of("\r\n") == std::string_view::npos;
}

class TIniFile final : public IIniFileReadWriteAccs, public IIniFileEventSource {
public:
  TIniFile(std::string base_folder, std::string file_name) : FBaseFolder(std::move(base_folder)) {
    FSettingsFolder = FBaseFolder + "/Config";
    FFilePath = FSettingsFolder + "/" + file_name;
    std::error_code ec;
    std::filesystem::create_directories(FSettingsFolder, ec); // a failure shows when the file is written
    Load();
  }

  ~TIniFile() override {
    try {
      FStore.WriteString("MISC", "Version", PINLET_VERSION);
      if (FWriteAtExit) WriteFileAtomically(FFilePath, FStore.SaveToText());
    } catch (...) {
      // Running out of memory while saving loses this run's changes, nothing more.
    }
  }

  // IIniFileManager
  HRESULT GetBaseFolder(std::string& folder) override { return folder = FBaseFolder, S_OK; }
  HRESULT GetSettingsFolder(std::string& folder) override { return folder = FSettingsFolder, S_OK; }
  HRESULT GetFileName(std::string& path) override { return path = FFilePath, S_OK; }

  HRESULT DefineEntry(int32_t id, uint8_t kind, std::string_view section, std::string_view key,
                      const TIniValue& default_value) override {
    if (id < 0 || !ValidName(section, key)) return S_FALSE;
    FEntries[id] = TIniEntry{kind, std::string(section), std::string(key), default_value};
    return S_OK;
  }

  HRESULT GetEntryKind(int32_t id, uint8_t& kind) override {
    const TIniEntry* entry = Entry(id);
    kind = entry ? entry->Kind : 0;
    return entry ? S_OK : S_FALSE;
  }

  HRESULT DeleteEntry(int32_t id) override {
    const TIniEntry* entry = Entry(id);
    if (!entry) return E_INVALIDARG;
    FStore.Delete(entry->Section, entry->Key);
    FEntries.erase(id);
    return S_OK;
  }

  HRESULT DeleteValue(std::string_view section, std::string_view key) override {
    return FStore.Delete(section, key) ? S_OK : S_FALSE;
  }

  // IIniFileReadAccs
  HRESULT ReadBool(int32_t id, bool& value) override {
    const TIniEntry* entry = Entry(id);
    if (!entry) return E_INVALIDARG;
    std::string stored;
    if (!FStore.ReadString(entry->Section, entry->Key, stored) || !ParseBool(stored, value))
      value = ToBool(entry->Default);
    return S_OK;
  }

  HRESULT ReadInteger(int32_t id, int32_t& value) override {
    const TIniEntry* entry = Entry(id);
    if (!entry) return E_INVALIDARG;
    std::string stored;
    if (!FStore.ReadString(entry->Section, entry->Key, stored) || !ParseInt32(stored, value))
      value = ToInteger(entry->Default);
    return S_OK;
  }

  HRESULT ReadFloat(int32_t id, double& value) override {
    const TIniEntry* entry = Entry(id);
    if (!entry) return E_INVALIDARG;
    std::string stored;
    if (!FStore.ReadString(entry->Section, entry->Key, stored) || !ParseDouble(stored, value))
      value = ToDouble(entry->Default);
    return S_OK;
  }

  HRESULT ReadString(int32_t id, std::string& value) override { return ReadStringExpanded(id, false, value); }

  HRESULT ReadStringExpanded(int32_t id, bool expand, std::string& value) override {
    const TIniEntry* entry = Entry(id);
    if (!entry) return E_INVALIDARG;
    std::string stored;
    value = FStore.ReadString(entry->Section, entry->Key, stored) ? DecodeIniText(stored)
                                                                  : ToText(entry->Default);
    if (expand) value = ExpandIniText(value);
    return S_OK;
  }

  HRESULT ReadBool(std::string_view section, std::string_view key, bool default_value, bool& value) override {
    std::string stored;
    if (!FStore.ReadString(section, key, stored) || !ParseBool(stored, value)) value = default_value;
    return S_OK;
  }

  HRESULT ReadInteger(std::string_view section, std::string_view key, int32_t default_value,
                      int32_t& value) override {
    std::string stored;
    if (!FStore.ReadString(section, key, stored) || !ParseInt32(stored, value)) value = default_value;
    return S_OK;
  }

  HRESULT ReadString(std::string_view section, std::string_view key, std::string_view default_value,
                     std::string& value) override {
    if (!FStore.ReadString(section, key, value)) value = default_value;
    return S_OK;
  }

  // IIniFileReadWriteAccs
  HRESULT WriteBool(int32_t id, bool value) override { return WriteById(id, value ? "1" : "0", value); }
  HRESULT WriteInteger(int32_t id, int32_t value) override {
    return WriteById(id, std::to_string(value), value);
  }
  HRESULT WriteFloat(int32_t id, double value) override { return WriteById(id, FormatDouble(value), value); }
  HRESULT WriteString(int32_t id, std::string_view value) override {
    return WriteById(id, EncodeIniText(value), std::string(value));
  }

  HRESULT WriteBool(std::string_view section, std::string_view key, bool value) override {
    return WriteString(section, key, value ? "1" : "0");
  }
  HRESULT WriteInteger(std::string_view section, std::string_view key, int32_t value) override {
    return WriteString(section, key, std::to_string(value));
  }
  HRESULT WriteString(std::string_view section, std::string_view key, std::string_view value) override {
    if (!ValidName(section, key)) return E_INVALIDARG;
    FStore.WriteString(section, key, value);
    return S_OK;
  }

  // IIniFileEventSource
  HRESULT Advise(const std::shared_ptr<IIniFileEvents>& sink) override {
    if (!sink) return E_POINTER;
    FSinks.push_back(sink);
    return S_OK;
  }

  HRESULT Unadvise(const std::shared_ptr<IIniFileEvents>& sink) override {
    const auto it = std::find_if(FSinks.begin(), FSinks.end(),
                                 [&](const std::weak_ptr<IIniFileEvents>& s) { return s.lock() == sink; });
    if (!sink || it == FSinks.end()) return S_FALSE;
    FSinks.erase(it);
    return S_OK;
  }

private:
  const TIniEntry* Entry(int32_t id) const {
    const auto it = FEntries.find(id);
    return it == FEntries.end() ? nullptr : &it->second;
  }

  HRESULT WriteById(int32_t id, const std::string& stored, const TIniValue& value) {
    const TIniEntry* entry = Entry(id);
    if (!entry) return E_INVALIDARG;
    FStore.WriteString(entry->Section, entry->Key, stored);
    // A sink may advise or unadvise while being called, so call a snapshot.
    std::erase_if(FSinks, [](const std::weak_ptr<IIniFileEvents>& s) { return s.expired(); });
    const auto sinks = FSinks;
    for (const auto& weak : sinks)
      if (const auto sink = weak.lock()) sink->SettingChanged(id, value);
    return S_OK;
  }

  void Load() {
    std::string content;
    const int error = ReadWholeFile(FFilePath, content);
    if (error == ENOENT) return;
    if (error) {
      // The file is there but we cannot read it: leave it alone rather than replace it blindly.
      FWriteAtExit = false;
      return;
    }
    if (content.empty()) return;
    const bool binary = content.find('\0') != std::string::npos;
    if (binary || !FStore.LoadFromText(content)) {
      FStore.Clear();
      if (KeepAside(FFilePath).empty()) FWriteAtExit = false;
    }
  }

  std::string FBaseFolder;
  std::string FSettingsFolder;
  std::string FFilePath;
  std::map<int32_t, TIniEntry> FEntries;
  TReginiObj FStore;
  std::vector<std::weak_ptr<IIniFileEvents>> FSinks;
  bool FWriteAtExit = true;
};

bool HasPortableSwitch(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const std::string& arg) { return arg.find("ADAP") != std::string::npos; });
}

} // namespace

std::shared_ptr<IIniFileReadWriteAccs> CreateIniFile(const std::vector<std::string>& args,
                                                     const std::string& executable_path,
                                                     const std::string& base_folder_override) {
  const std::filesystem::path exe(executable_path);
  std::string base;
  if (HasPortableSwitch(args)) {
    base = exe.parent_path().empty() ? std::string(".") : exe.parent_path().string();
  } else if (!base_folder_override.empty()) {
    base = base_folder_override;
  } else {
    base = UserConfigFolder() + "/Pinlet";
  }
  std::filesystem::path name = exe.filename();
  if (name.empty()) name = "pinlet";
  name.replace_extension(".ini");
  return std::make_shared<TIniFile>(std::move(base), name.string());
}

std::shared_ptr<IIniFileReadWriteAccs> CreateIniFile(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    if (argv[i]) args.emplace_back(argv[i]);
  std::string exe = CurrentExecutablePath();
  if (exe.empty() && argc > 0 && argv[0]) exe = argv[0];
  return CreateIniFile(args, exe);
}

std::string CurrentExecutablePath() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
  path.resize(static_cast<size_t>(n));
  return path;
}

HRESULT DefineWindowSettings(IIniFileManager& manager) {
  const HRESULT results[] = {
      manager.DefineEntry(kSettingPortName, kIniKindText, "CONNECTION", "PortName", std::string()),
      manager.DefineEntry(kSettingSpeed, kIniKindInteger, "CONNECTION", "Speed", kDefaultSpeedSetting),
      manager.DefineEntry(kSettingLastFile, kIniKindText, "DIRECTORY", "LastFile", std::string()),
      manager.DefineEntry(kSettingMemory, kIniKindText, "MEMORY", "Selected", std::string("flash")),
      manager.DefineEntry(kSettingPins, kIniKindText, "CONNECTION", "Wiring", std::string()),
  };
  for (HRESULT hr : results)
    if (hr != S_OK) return hr;
  return S_OK;
}
