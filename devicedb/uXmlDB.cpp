#include "devicedb/uXmlDB.h"

#include "devicedb/uAVR_base.h"

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

pugi::xml_node ToPugi(TXmlNode node) {
  return pugi::xml_node(static_cast<pugi::xml_node_struct*>(node.handle));
}
TXmlNode FromPugi(pugi::xml_node node) {
  return TXmlNode{node.internal_object()};
}

std::string ErrnoText(int error) {
  return std::generic_category().message(error);
}

// ---------------------------------------------------------------------------------------------
// Decoding. The database is UTF-16 LE whatever its XML declaration claims; it is turned into UTF-8
// here so that the parser never guesses an encoding. Characters that XML forbids are refused here:
// a NUL would silently end the parser's input, and the parser does not check the others.

bool IsXmlChar(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Returns "" when the whole input decoded; otherwise the reason, with out holding the text before
// the offending character. An odd last byte is no part of the text.
std::string DecodeUtf16Le(const uint8_t* data, size_t size, std::string& out) {
  const size_t units = size / 2;
  auto unit = [data](size_t i) { return uint32_t(data[2 * i]) | uint32_t(data[2 * i + 1]) << 8; };
  out.clear();
  out.reserve(units * 3);
  size_t i = (units > 0 && unit(0) == 0xFEFF) ? 1 : 0;
  for (; i < units; ++i) {
    uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      char reason[64];
      std::snprintf(reason, sizeof reason, "Unpaired UTF-16 surrogate 0x%04X", unsigned(cp));
      return reason;
    }
    if (!IsXmlChar(cp)) {
      char reason[64];
      std::snprintf(reason, sizeof reason, "Invalid character U+%04X", unsigned(cp));
      return reason;
    }
    AppendUtf8(out, cp);
  }
  return "";
}

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// "<reason> in line L, column C: "<start of that line>"" for a byte offset into the decoded text.
std::string DescribeTextPosition(const std::string& reason, std::string_view text, size_t offset) {
  if (offset > text.size()) offset = text.size();
  size_t line = 1, line_begin = 0;
  for (size_t i = 0; i < offset; ++i) {
    const bool cr_alone = text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n');
    if (text[i] == '\n' || cr_alone) {
      ++line;
      line_begin = i + 1;
    }
  }
  size_t column = 1;
  for (size_t i = line_begin; i < offset; ++i)
    if ((uint8_t(text[i]) & 0xC0) != 0x80) ++column;

  // The start of the line, cut at its end or after a screenful of characters, never inside a
  // UTF-8 sequence.
  constexpr size_t kShownCharacters = 60;
  std::string shown;
  size_t characters = 0;
  for (size_t i = line_begin; i < text.size() && text[i] != '\n' && text[i] != '\r'; ++i) {
    const bool starts_character = (uint8_t(text[i]) & 0xC0) != 0x80;
    if (starts_character && characters++ == kShownCharacters) {
      shown += "...";
      break;
    }
    shown += text[i] == '\t' ? ' ' : text[i];
  }
  return reason + " in line " + std::to_string(line) + ", column " + std::to_string(column) + ": \"" + shown +
         "\"";
}

// The usual way to break the database is to save it from an editor in an 8-bit encoding or as
// UTF-16 BE; the parser's complaint about the resulting characters does not say so.
std::string EncodingHint(const uint8_t* data, size_t size) {
  if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF)
    return " The file is UTF-16 big-endian; the device database must be UTF-16 little-endian.";
  size_t i = (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) ? 3 : 0;
  const bool ascii_markup =
      size >= i + 2 && (data[i] == '<' || IsXmlSpace(char(data[i]))) && data[i + 1] != 0;
  return ascii_markup ? " The file holds 8-bit text; the device database must be UTF-16 little-endian." : "";
}

bool IsBlank(std::string_view s) {
  for (char c : s)
    if (!IsXmlSpace(c)) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------

class TXmlDB final : public IXmlDB {
public:
  HRESULT GetLastErrorText(std::string& text) override {
    text = error_text_;
    return S_OK;
  }

  HRESULT LoadXmlFile(const std::string& file_name) override {
    try {
      return LoadFile(file_name);
    } catch (const std::bad_alloc&) {
      return Fail(E_OUTOFMEMORY, "Out of memory while reading \"" + file_name + "\".");
    }
  }

  HRESULT LoadXmlBytes(const void* data, size_t size) override {
    try {
      Reset();
      return Parse(static_cast<const uint8_t*>(data), size, "");
    } catch (const std::bad_alloc&) {
      return Fail(E_OUTOFMEMORY, "Out of memory while parsing.");
    }
  }

  HRESULT FindSection(const std::string& name, TXmlNode& node) override {
    node = {};
    if (!active_) return E_NOINTERFACE;
    const pugi::xml_node root = document_.document_element();
    if (!root) return E_NOINTERFACE;
    for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
      if (child.type() == pugi::node_element && name == child.name()) {
        node = FromPugi(child);
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }

  HRESULT GetChildNode(TXmlNode node, int32_t index, TXmlNode& child) override {
    child = {};
    if (!node) return E_NOINTERFACE;
    if (index < 0) return E_INVALIDARG;
    for (pugi::xml_node c = ToPugi(node).first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element) continue;
      if (index-- == 0) {
        child = FromPugi(c);
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }

private:
  void Reset() {
    error_text_.clear();
    document_.reset();
    active_ = false;
  }

  HRESULT Fail(HRESULT code, std::string text) {
    document_.reset();
    active_ = false;
    error_text_ = std::move(text);
    return code;
  }

  HRESULT LoadFile(const std::string& file_name) {
    Reset();
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(file_name, ec);
    const std::string shown = ec ? file_name : full.lexically_normal().string();
    auto open_failure = [&](const std::string& why) {
      return Fail(E_INVALIDARG, "Cannot open file \"" + shown + "\". " + why);
    };

    // O_NONBLOCK keeps a FIFO planted under the database's name from stalling the open.
    const int fd = ::open(file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return open_failure(ErrnoText(errno));
    struct FdCloser {
      int fd;
      ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0) return open_failure(ErrnoText(errno));
    if (S_ISDIR(st.st_mode)) return open_failure(ErrnoText(EISDIR));
    if (!S_ISREG(st.st_mode)) return open_failure("Not a regular file");

    const std::string where = "\"" + shown + "\": ";
    if (uint64_t(st.st_size) > kMaxSignatureDBFileSize) return TooLarge(where);
    // The size is only a hint: the file may change while it is read, so reading stops at the limit.
    std::vector<uint8_t> bytes(size_t(st.st_size) + 1);
    size_t used = 0;
    for (;;) {
      if (used == bytes.size()) {
        if (bytes.size() > kMaxSignatureDBFileSize) return TooLarge(where);
        bytes.resize(std::min(bytes.size() * 2, kMaxSignatureDBFileSize + 1));
      }
      const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(XML_E_PARSE, "Cannot read file \"" + shown + "\". " + ErrnoText(errno));
      }
      if (n == 0) break;
      used += size_t(n);
    }
    return Parse(bytes.data(), used, where);
  }

  HRESULT TooLarge(const std::string& where) {
    return Fail(XML_E_PARSE, where + "The file is larger than " +
                                 std::to_string(kMaxSignatureDBFileSize >> 20) +
                                 " MiB; it is not taken as a device database.");
  }

  // where prefixes every parse failure text (the file's name, or "" for bytes from memory).
  HRESULT Parse(const uint8_t* data, size_t size, const std::string& where) {
    const HRESULT hr = ParseText(data, size, where);
    if (hr == XML_E_PARSE) error_text_ += EncodingHint(data, size);
    return hr;
  }

  HRESULT ParseText(const uint8_t* data, size_t size, const std::string& where) {
    if (size > kMaxSignatureDBFileSize) return TooLarge(where);
    std::string text;
    const std::string bad_character = DecodeUtf16Le(data, size, text);
    if (!bad_character.empty())
      return Fail(XML_E_PARSE, where + DescribeTextPosition(bad_character, text, text.size()));

    // An empty file is an empty document: loading succeeds and the first section lookup fails.
    if (text.empty()) {
      active_ = true;
      return S_OK;
    }

    // Fragment mode keeps text outside the root element as nodes, so that the check below can
    // refuse it; the parser's normal mode would drop such text, and with it the evidence that an
    // 8-bit file was read as UTF-16.
    const pugi::xml_parse_result result = document_.load_buffer(
        text.data(), text.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (result.status == pugi::status_out_of_memory) return Fail(E_OUTOFMEMORY, where + "Out of memory.");
    if (!result)
      return Fail(XML_E_PARSE,
                  where + DescribeTextPosition(result.description(), text, size_t(result.offset)));

    size_t elements = 0;
    for (pugi::xml_node n = document_.first_child(); n; n = n.next_sibling()) {
      const size_t offset = n.offset_debug() < 0 ? text.size() : size_t(n.offset_debug());
      if (n.type() == pugi::node_element && ++elements > 1)
        return Fail(XML_E_PARSE,
                    where + DescribeTextPosition("Only one root element is allowed", text, offset));
      if ((n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) && !IsBlank(n.value()))
        return Fail(XML_E_PARSE, where + DescribeTextPosition("Text is not allowed outside the root element",
                                                              text, offset));
    }
    if (elements == 0)
      return Fail(XML_E_PARSE, where + DescribeTextPosition("No root element", text, text.size()));
    active_ = true;
    return S_OK;
  }

  pugi::xml_document document_;
  bool active_ = false;
  std::string error_text_;
};

// ---------------------------------------------------------------------------------------------
// The section readers. A bad value ends the whole section, however deep it was found, so it
// travels as an exception inside this file and becomes the section's status code at its reader.

struct TReadError {
  std::string text;
};

[[noreturn]] void RaiseReadError(std::string text) {
  throw TReadError{std::move(text)};
}

pugi::xml_node FirstChildElement(pugi::xml_node parent, const char* name) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && std::strcmp(c.name(), name) == 0) return c;
  return {};
}

// Counts at most limit + 1 so that a hostile section is not walked to its end.
size_t CountChildElements(pugi::xml_node parent, size_t limit) {
  size_t count = 0;
  for (pugi::xml_node c = parent.first_child(); c && count <= limit; c = c.next_sibling())
    if (c.type() == pugi::node_element) ++count;
  return count;
}

// The character data directly inside an element, without the white space around it: files are
// pretty-printed with line breaks around a value. An absent element gives "".
std::string ElementText(pugi::xml_node element) {
  std::string text;
  for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) text += c.value();
  size_t begin = 0, end = text.size();
  while (begin < end && IsXmlSpace(text[begin])) ++begin;
  while (end > begin && IsXmlSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// An absent attribute and an empty one are the same: "".
std::string AttributeText(pugi::xml_node element, const char* name) {
  return element.attribute(name).value();
}

int32_t ReadIntAttribute(pugi::xml_node element, const char* name) {
  const std::string text = AttributeText(element, name);
  if (text.empty()) RaiseReadError(std::string("Missing attribute \"") + name + "\"");
  const std::optional<int32_t> value = XmlValueToInt(text);
  if (!value) RaiseReadError("Invalid value");
  return *value;
}

pugi::xml_node RequiredElement(pugi::xml_node parent, const char* name) {
  const pugi::xml_node element = FirstChildElement(parent, name);
  if (!element) RaiseReadError(std::string("Missing element \"") + name + "\"");
  return element;
}

// Keeps at most 255 bytes, never splitting a UTF-8 sequence.
std::string LimitCpuName(std::string name) {
  constexpr size_t kMaxCpuName = 255;
  if (name.size() <= kMaxCpuName) return name;
  size_t n = kMaxCpuName;
  while (n > 0 && (uint8_t(name[n]) & 0xC0) == 0x80) --n;
  name.resize(n);
  return name;
}

bool ReadAbbrevMap(IXmlDB& db, const char* section_name, std::vector<TAbbrevMapEntry>& table,
                   std::string& detail) {
  const std::string quoted = std::string("\"") + section_name + "\"";
  TXmlNode node;
  if (Failed(db.FindSection(section_name, node))) {
    detail = "Section " + quoted + " is missing";
    return false;
  }
  const pugi::xml_node section = ToPugi(node);
  const size_t count = CountChildElements(section, kMaxSectionEntries);
  if (count == 0 || count > kMaxSectionEntries) {
    detail = "Section " + quoted + (count == 0 ? " has no entries" : " has too many entries");
    return false;
  }
  table.resize(count);
  size_t i = 0;
  for (pugi::xml_node c = section.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    table[i].Abbrev = AttributeText(c, "Name");
    table[i].Text = ElementText(c);
    ++i;
  }
  return true;
}

// Fills features from the CPU element's first child named section_name. True when that section
// exists and has at least one bit element.
bool ReadFeatureBits(pugi::xml_node cpu, const char* section_name, TAvrFeatureByte& features) {
  const pugi::xml_node section = FirstChildElement(cpu, section_name);
  if (!section) return false;
  bool any = false;
  for (pugi::xml_node c = section.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    any = true;
    const int32_t bit = ReadIntAttribute(c, "Bit");
    if (bit < 0 || bit > 7) RaiseReadError("The xml attribute \"Bit\" is out of range!");
    TAvrFeature& f = features[size_t(bit)];
    f.Name = AttributeText(c, "Name");
    f.Bit = bit;
    f.Default = ReadIntAttribute(c, "Default");
  }
  return any;
}

using TAbbrevSet = std::unordered_set<std::string_view>;

TAbbrevSet MakeAbbrevSet(const std::vector<TAbbrevMapEntry>& map) {
  TAbbrevSet set;
  for (const TAbbrevMapEntry& e : map) set.insert(e.Abbrev);
  return set;
}

// Undescribed bits carry the empty name, so a section that leaves bits out passes only when the
// vocabulary lists the empty abbreviation.
void CheckFeatureNames(const TAvrFeatureByte& features, const TAbbrevSet& vocabulary) {
  for (const TAvrFeature& f : features)
    if (!vocabulary.contains(f.Name)) RaiseReadError("Invalid enum element \"" + f.Name + "\"!");
}

void ReadMemPair(pugi::xml_node cpu, const char* name, TAvrMemPair& pair) {
  const pugi::xml_node element = FirstChildElement(cpu, name);
  if (!element) {
    pair = TAvrMemPair{};
    return;
  }
  pair.Flash = ReadIntAttribute(element, "Flash");
  pair.EEPROM = ReadIntAttribute(element, "EEPROM");
}

// The optional <Programming> element: facts of this part that differ from its family's. Absent
// attributes keep the family's; a present one must read as a number like every other value.
void ReadProgrammingFacts(pugi::xml_node cpu, TAvrProgrammingFacts& facts) {
  facts = TAvrProgrammingFacts{};
  const pugi::xml_node element = FirstChildElement(cpu, "Programming");
  if (!element) return;
  const std::array<std::pair<const char*, int32_t*>, 6> fields = {{
      {"FlashWriteUs", &facts.FlashWriteUs},
      {"EepromWriteUs", &facts.EepromWriteUs},
      {"EraseUs", &facts.EraseUs},
      {"FuseWriteUs", &facts.FuseWriteUs},
      {"RdyBsy", &facts.RdyBsy},
      {"EepromPageMode", &facts.EepromPageMode},
  }};
  for (const auto& [name, field] : fields)
    if (element.attribute(name)) *field = ReadIntAttribute(element, name);
}

// Writes straight into the table record, so a failure leaves the fields read so far in place.
void ReadCpu(pugi::xml_node cpu, TAvrSigType& record, const TAbbrevSet& locks, const TAbbrevSet& fuses) {
  record.CpuName = LimitCpuName(ElementText(FirstChildElement(cpu, "CpuName")));

  const std::string type = ElementText(RequiredElement(cpu, "CpuType"));
  if (type.empty()) RaiseReadError("Missing value of \"CpuType\"");
  record.CpuType = CpuTypeFromName(type);

  const pugi::xml_node sig = RequiredElement(cpu, "Sig");
  record.Sig.byte1 = uint8_t(ReadIntAttribute(sig, "byte1"));
  record.Sig.byte2 = uint8_t(ReadIntAttribute(sig, "byte2"));
  record.Sig.byte3 = uint8_t(ReadIntAttribute(sig, "byte3"));
  record.Sig.byte4 = uint8_t(ReadIntAttribute(sig, "byte4"));

  const pugi::xml_node flash_opt = FirstChildElement(cpu, "FlashOpt");
  record.EraseBeforeFlash = flash_opt ? ReadIntAttribute(flash_opt, "EraseBeforeFlash") : -1;

  ReadMemPair(cpu, "MemSize", record.MemSize);
  ReadMemPair(cpu, "PageSize", record.PageSize);
  ReadMemPair(cpu, "PageNo", record.PageNo);
  ReadProgrammingFacts(cpu, record.Programming);

  const std::array<std::tuple<const char*, TAvrFeatureByte*, const TAbbrevSet*>, 4> bytes = {{
      {"LocksLow", &record.Locks.Low, &locks},
      {"FusesLow", &record.Fuses.Low, &fuses},
      {"FusesHigh", &record.Fuses.High, &fuses},
      {"FusesExt", &record.Fuses.Ext, &fuses},
  }};
  for (const auto& [section, features, vocabulary] : bytes) {
    features->fill(TAvrFeature{});
    if (ReadFeatureBits(cpu, section, *features)) CheckFeatureNames(*features, *vocabulary);
  }
}

bool ReadSignatures(IXmlDB& db, std::string& detail) {
  TXmlNode node;
  if (Failed(db.FindSection("Signatures", node))) {
    detail = "Section \"Signatures\" is missing";
    return false;
  }
  const pugi::xml_node section = ToPugi(node);
  const size_t count = CountChildElements(section, kMaxSectionEntries);
  if (count == 0 || count > kMaxSectionEntries) {
    detail =
        std::string("Section \"Signatures\"") + (count == 0 ? " has no entries" : " has too many entries");
    return false;
  }
  SignatureTable.resize(count);
  const TAbbrevSet locks = MakeAbbrevSet(LockAbbrevMap);
  const TAbbrevSet fuses = MakeAbbrevSet(FuseAbbrevMap);
  size_t i = 0;
  for (pugi::xml_node cpu = section.first_child(); cpu; cpu = cpu.next_sibling()) {
    if (cpu.type() != pugi::node_element) continue;
    try {
      ReadCpu(cpu, SignatureTable[i], locks, fuses);
    } catch (const TReadError& e) {
      detail = "\"Signatures\" entry " + std::to_string(i + 1);
      if (!SignatureTable[i].CpuName.empty()) detail += " (" + SignatureTable[i].CpuName + ")";
      detail += ": " + e.text;
      return false;
    }
    ++i;
  }
  return true;
}

template <class Load> HRESULT LoadTables(Load load, std::string& error_text, std::string* section_error) {
  try {
    const std::shared_ptr<IXmlDB> db = NewXmlDB();
    const HRESULT hr = load(*db);
    if (hr != S_OK) {
      db->GetLastErrorText(error_text);
      return hr;
    }
    std::string detail;
    HRESULT result = S_OK;
    // The vocabularies come first: the bit descriptions are checked against them.
    if (!ReadAbbrevMap(*db, "LocksEnum", LockAbbrevMap, detail))
      result = DB_E_LOCKS;
    else if (!ReadAbbrevMap(*db, "FusesEnum", FuseAbbrevMap, detail))
      result = DB_E_FUSES;
    else if (!ReadSignatures(*db, detail))
      result = DB_E_SIGNATURES;
    if (section_error) *section_error = detail;
    return result;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    // Nothing else is expected to throw; whatever does must not cross into the ISP layer.
    return E_UNEXPECTED;
  }
}

bool IsPresent(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::vector<std::string> SignatureDBCandidates() {
  std::vector<std::string> places;
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  places.push_back(ec ? std::string("./") + kSignatureDBFileName : (cwd / kSignatureDBFileName).string());

  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  if (n > 0 && size_t(n) < sizeof exe) {
    const std::filesystem::path dir = std::filesystem::path(std::string(exe, size_t(n))).parent_path();
    places.push_back((dir / kSignatureDBFileName).string());
    // An install moved to another prefix (cmake --install --prefix ~/.local) keeps bin/ and
    // share/pinlet/ side by side, whatever prefix the build was configured for.
    places.push_back((dir.parent_path() / "share" / "pinlet" / kSignatureDBFileName).string());
  }
#ifdef PINLET_DATADIR
  places.push_back((std::filesystem::path(PINLET_DATADIR) / kSignatureDBFileName).string());
#endif
  return places;
}

} // namespace

std::shared_ptr<IXmlDB> NewXmlDB() {
  return std::make_shared<TXmlDB>();
}

std::string XmlNodeName(TXmlNode node) {
  return ToPugi(node).name();
}

std::optional<int32_t> XmlValueToInt(std::string_view text) {
  if (text.empty()) return std::nullopt;

  if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') {
    if (text.size() <= 2 || text.size() > 10) return std::nullopt;
    // The digits are those at the end; a text that does not end in one reads 0.
    size_t first = text.size();
    while (first > 0 && std::isxdigit(static_cast<unsigned char>(text[first - 1]))) --first;
    uint32_t value = 0;
    for (size_t i = first; i < text.size(); ++i) {
      const char c = text[i];
      const uint32_t digit = c <= '9' ? uint32_t(c - '0') : uint32_t((c | 0x20) - 'a' + 10);
      value = value << 4 | digit;
    }
    return static_cast<int32_t>(value); // the bit pattern: 0xFFFFFFFF is -1
  }

  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
    while (i < text.size() && text[i] == ' ') ++i;
  }
  uint64_t value = 0;
  int digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (++digits > 10) return std::nullopt;
    value = value * 10 + uint64_t(text[i] - '0');
  }
  if (digits == 0 || value > 2147483647u) return std::nullopt;
  return negative ? -int32_t(value) : int32_t(value);
}

namespace {
// Parses since the process began; the count is what lets a test see a command read the file twice.
std::atomic<uint64_t> signature_db_loads{0};
} // namespace

uint64_t SignatureDBLoadCount() {
  return signature_db_loads.load();
}

HRESULT LoadSignatureDB(const std::string& file_name, std::string& error_text, std::string* section_error) {
  ++signature_db_loads;
  return LoadTables([&](IXmlDB& db) { return db.LoadXmlFile(file_name); }, error_text, section_error);
}

HRESULT LoadSignatureDBFromBytes(const void* data, size_t size, std::string& error_text,
                                 std::string* section_error) {
  ++signature_db_loads;
  return LoadTables([&](IXmlDB& db) { return db.LoadXmlBytes(data, size); }, error_text, section_error);
}

std::string LocateSignatureDB() {
  try {
    for (const std::string& place : SignatureDBCandidates())
      if (IsPresent(place)) return place;
  } catch (const std::bad_alloc&) {
  }
  return "";
}

HRESULT LoadDefaultSignatureDB(std::string& error_text, std::string* loaded_path,
                               std::string* section_error) {
  std::vector<std::string> places;
  try {
    places = SignatureDBCandidates();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (const std::string& place : places) {
    if (!IsPresent(place)) continue;
    if (loaded_path) *loaded_path = place;
    return LoadSignatureDB(place, error_text, section_error);
  }
  error_text = std::string("Cannot find \"") + kSignatureDBFileName + "\". Looked in:";
  for (size_t i = 0; i < places.size(); ++i) error_text += (i ? ", \"" : " \"") + places[i] + "\"";
  error_text += ".";
  return E_INVALIDARG;
}
