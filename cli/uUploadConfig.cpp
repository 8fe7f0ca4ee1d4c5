#include "cli/uUploadConfig.h"

#include "cli/uUploadIds.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>

namespace {

// The format, as the uploaders' files use it:
//   file    := { entry | keyword "=" values ";" }
//   entry   := ("programmer" | "part" | "serialadapter") ["parent" STRING] { field } ";"
//   field   := IDENT "=" values ";" | "memory" STRING ( "=" values ";" | { field } ";" )
//              | IDENT STRING ";"                          (a memory's alias "name";)
//   values  := anything up to ";": strings, numbers, identifiers, "~", ",", "(", ")", "|", ...
// "#" starts a comment that ends with the line.

enum class TTokenKind : uint8_t { Ident, String, Number, Punct, End };

struct TToken {
  TTokenKind Kind = TTokenKind::End;
  std::string Text;
  int Line = 0;
};

class TLexer {
public:
  TLexer(std::string_view text, const std::string& name) : text_(text), name_(name) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3; // a UTF-8 byte order mark
  }

  // False with error_ set on a character or string the format does not have.
  bool Next(TToken& token) {
    for (;;) {
      while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
      }
      if (pos_ < text_.size() && text_[pos_] == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
        continue;
      }
      break;
    }
    token = TToken{};
    token.Line = line_;
    if (pos_ >= text_.size()) return true;
    const char c = text_[pos_];
    const auto is_word = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; };
    if (c == '"') {
      token.Kind = TTokenKind::String;
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size() || text_[pos_] == '\n')
          return Fail(token.Line, "a string has no closing quote.");
        const char ch = text_[pos_++];
        if (ch == '"') break;
        if (ch == '\\' && pos_ < text_.size() && text_[pos_] != '\n') {
          const char escaped = text_[pos_++];
          token.Text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
          continue;
        }
        token.Text += ch;
      }
      return true;
    }
    if (std::isdigit(static_cast<unsigned char>(c))) {
      token.Kind = TTokenKind::Number;
      while (pos_ < text_.size() && (is_word(text_[pos_]) || text_[pos_] == '.')) token.Text += text_[pos_++];
      return true;
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      token.Kind = TTokenKind::Ident;
      while (pos_ < text_.size() && is_word(text_[pos_])) token.Text += text_[pos_++];
      return true;
    }
    if (std::ispunct(static_cast<unsigned char>(c))) {
      token.Kind = TTokenKind::Punct;
      token.Text = std::string(1, c);
      ++pos_;
      return true;
    }
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(c));
    return Fail(token.Line, std::string("the byte ") + code + " belongs to no token of the format.");
  }

  bool Fail(int line, const std::string& what) {
    error_ = name_ + ":" + std::to_string(line) + ": " + what;
    return false;
  }
  const std::string& Error() const { return error_; }

private:
  std::string_view text_;
  const std::string& name_;
  size_t pos_ = 0;
  int line_ = 1;
  std::string error_;
};

// One "name = values;" of an entry, its values as tokens (interpreted only where they matter).
struct TField {
  std::vector<TToken> Values;
  int Line = 0;
};

struct TEntry {
  std::string Kind; // "programmer", "part", "serialadapter"
  std::string Parent;
  int Line = 0;
  std::map<std::string, TField> Fields; // the last assignment of a name wins, as in a parent's copy
};

class TParser {
public:
  TParser(std::string_view text, const std::string& name) : lexer_(text, name), name_(name) {}

  bool Parse(std::vector<TEntry>& entries, std::map<std::string, std::string>& keywords) {
    if (!Advance()) return false;
    while (token_.Kind != TTokenKind::End) {
      if (token_.Kind != TTokenKind::Ident)
        return Fail(token_.Line,
                    "expected programmer, part or a keyword = value; found \"" + token_.Text + "\".");
      if (token_.Text == "programmer" || token_.Text == "part" || token_.Text == "serialadapter") {
        TEntry entry;
        if (!ParseEntry(entry)) return false;
        entries.push_back(std::move(entry));
        continue;
      }
      const TToken keyword = token_;
      if (!Advance()) return false;
      if (!IsPunct("="))
        return Fail(keyword.Line,
                    "expected programmer, part or a keyword = value; found \"" + keyword.Text + "\".");
      TField field;
      if (!Advance() || !ParseValues(field, keyword)) return false;
      if (!field.Values.empty() && field.Values.front().Kind == TTokenKind::String)
        keywords[keyword.Text] = field.Values.front().Text;
    }
    return true;
  }

  const std::string& Error() const { return error_.empty() ? lexer_.Error() : error_; }

private:
  bool Advance() { return lexer_.Next(token_); }
  bool IsPunct(const char* text) const { return token_.Kind == TTokenKind::Punct && token_.Text == text; }
  bool Fail(int line, const std::string& what) {
    error_ = name_ + ":" + std::to_string(line) + ": " + what;
    return false;
  }

  // Values up to the ";" that ends them; the current token is the first value.
  bool ParseValues(TField& field, const TToken& name) {
    field.Line = name.Line;
    while (!IsPunct(";")) {
      if (token_.Kind == TTokenKind::End)
        return Fail(name.Line, "\"" + name.Text + " = ...\" has no closing ;.");
      field.Values.push_back(token_);
      if (!Advance()) return false;
    }
    return Advance();
  }

  // Fields up to the ";" that ends the block; the current token is the first field. Memory blocks
  // nest inside part entries; their fields are not kept.
  bool ParseFields(TEntry* entry, const TToken& start, int depth) {
    for (;;) {
      if (token_.Kind == TTokenKind::End)
        return Fail(start.Line, "the " + start.Text + " that starts here has no closing ;.");
      if (IsPunct(";")) return Advance();
      if (token_.Kind != TTokenKind::Ident)
        return Fail(token_.Line, "expected a field name in the " + start.Text + " of line " +
                                     std::to_string(start.Line) + "; found \"" + token_.Text + "\".");
      const TToken name = token_;
      if (!Advance()) return false;
      if (IsPunct("=")) {
        TField field;
        if (!Advance() || !ParseValues(field, name)) return false;
        if (entry) entry->Fields[name.Text] = std::move(field);
        continue;
      }
      if (name.Text == "memory" && token_.Kind == TTokenKind::String) {
        if (!Advance()) return false;
        if (IsPunct("=")) { // memory "efuse" = NULL;
          TField ignored;
          if (!Advance() || !ParseValues(ignored, name)) return false;
          continue;
        }
        if (depth > 0) return Fail(name.Line, "a memory block cannot hold another.");
        if (!ParseFields(nullptr, name, depth + 1)) return false;
        continue;
      }
      if (token_.Kind == TTokenKind::String) { // alias "fuse0";
        if (!Advance()) return false;
        if (!IsPunct(";"))
          return Fail(name.Line,
                      "\"" + name.Text + "\" is neither \"name = value;\" nor \"name \\\"text\\\";\".");
        if (!Advance()) return false;
        continue;
      }
      return Fail(name.Line, "\"" + name.Text + "\" needs = and a value.");
    }
  }

  bool ParseEntry(TEntry& entry) {
    const TToken start = token_;
    entry.Kind = start.Text;
    entry.Line = start.Line;
    if (!Advance()) return false;
    if (token_.Kind == TTokenKind::Ident && token_.Text == "parent") {
      if (!Advance()) return false;
      if (token_.Kind != TTokenKind::String)
        return Fail(token_.Line, "parent needs the id of an entry before this one, in quotes.");
      entry.Parent = token_.Text;
      if (!Advance()) return false;
    }
    return ParseFields(&entry, start, 0);
  }

  TLexer lexer_;
  const std::string& name_;
  TToken token_;
  std::string error_;
};

// A pin as the uploaders' files give it: the level at the chip's pin, "~" where the cable inverts.
struct TPin {
  int Number = 0;
  bool Inverted = false;
};

// The wiring of a programmer entry; an absent role keeps Pinlet's default for the kind.
struct TWiring {
  std::string Type, Description;
  std::vector<std::string> Ids;
  std::optional<TPin> Reset, Sck, Mosi, Miso;
  std::optional<std::vector<TPin>> Buffers, Power;
};

// Pinlet's kind for a programmer type, "" for types it does not drive. "ftdi_syncbb" is the newer
// name of the FTDI bit-bang type "ft245r"; "sim" is Pinlet's simulated chip, which has no wires.
std::string KindOfType(const std::string& type) {
  if (type == "par" || type == "serbb" || type == "linuxgpio" || type == "linuxspi" || type == "sim")
    return type;
  if (type == "ft245r" || type == "ftdi_syncbb") return "ft245r";
  return {};
}

// A pin list: "9", "~9", "~ 9", "2, 3", "2-5", "~(2, 3)", or nothing (no pin).
bool ParsePins(const std::vector<TToken>& values, std::vector<TPin>& pins) {
  pins.clear();
  size_t i = 0;
  const auto punct = [&](const char* text) {
    return i < values.size() && values[i].Kind == TTokenKind::Punct && values[i].Text == text;
  };
  const auto number = [&](int& value) {
    if (i >= values.size() || values[i].Kind != TTokenKind::Number) return false;
    const std::string& text = values[i].Text;
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
      return false;
    value = std::stoi(text);
    ++i;
    return true;
  };
  std::function<bool(bool, bool)> list;
  // One item (a pin or a range) with its inversion.
  const auto item = [&](bool inverted) {
    int first = 0;
    if (!number(first)) return false;
    int last = first;
    if (punct("-")) {
      ++i;
      if (!number(last) || last < first || last - first > 64) return false;
    }
    for (int pin = first; pin <= last; ++pin) pins.push_back({pin, inverted});
    return true;
  };
  list = [&](bool inverted, bool in_parens) {
    for (;;) {
      bool inv = inverted;
      if (punct("~")) {
        ++i;
        inv = !inverted;
        if (punct("(")) {
          if (in_parens) return false;
          ++i;
          if (!list(inv, true) || !punct(")")) return false;
          ++i;
        } else if (!item(inv)) {
          return false;
        }
      } else if (!item(inv)) {
        return false;
      }
      if (!punct(",")) return true;
      ++i;
    }
  };
  if (values.empty()) return true;
  return list(false, false) && i == values.size();
}

std::string PinsText(const TWiring& w, const std::string& kind) {
  std::string text;
  const auto add = [&](const char* key, const TPin& pin, bool flip) {
    text += std::string(text.empty() ? "" : ",") + key + "=" + (pin.Inverted != flip ? "~" : "") +
            std::to_string(pin.Number);
  };
  // See uUploadIds.cpp: Pinlet's serial back end turns RESET on to hold the chip, the files give the
  // level at the chip, so the sense of "~" on a serial RESET is the opposite.
  if (kind == "sim") return text;
  if (w.Reset) add("reset", *w.Reset, kind == "serbb");
  if (kind == "linuxspi") return text; // the SPI controller owns the other three
  if (w.Sck) add("sck", *w.Sck, false);
  if (w.Mosi) add("mosi", *w.Mosi, false);
  if (w.Miso) add("miso", *w.Miso, false);
  if (kind == "par") {
    for (const TPin& pin : w.Buffers.value_or(std::vector<TPin>{})) add("buff", pin, false);
    for (const TPin& pin : w.Power.value_or(std::vector<TPin>{})) add("vcc", pin, false);
  }
  return text;
}

// The wiring back from a programmer already read (an earlier file, or Pinlet's own table), for an
// entry whose parent it is.
TWiring WiringOf(const TUploadProgrammer& programmer) {
  TWiring w;
  w.Type = programmer.Kind;
  w.Description = programmer.Description;
  std::string_view rest = programmer.Pins;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string key(item.substr(0, equals));
    std::string value(item.substr(equals + 1));
    TPin pin;
    pin.Inverted = !value.empty() && value[0] == '~';
    if (pin.Inverted) value.erase(0, 1);
    if (value.empty() || value.size() > 6 ||
        !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
      continue;
    pin.Number = std::stoi(value);
    if (key == "reset") {
      if (programmer.Kind == "serbb") pin.Inverted = !pin.Inverted;
      w.Reset = pin;
    } else if (key == "sck") {
      w.Sck = pin;
    } else if (key == "mosi") {
      w.Mosi = pin;
    } else if (key == "miso") {
      w.Miso = pin;
    } else if (key == "buff") {
      if (!w.Buffers) w.Buffers.emplace();
      w.Buffers->push_back(pin);
    } else if (key == "vcc") {
      if (!w.Power) w.Power.emplace();
      w.Power->push_back(pin);
    }
  }
  return w;
}

std::vector<std::string> StringList(const std::vector<TToken>& values) {
  std::vector<std::string> list;
  for (const TToken& token : values)
    if (token.Kind == TTokenKind::String && !token.Text.empty()) list.push_back(token.Text);
  return list;
}

// Applies an entry's fields over its parent's wiring. An error only for the pins of a bit-bang
// entry: other types may give their pins in forms that mean nothing here.
bool ApplyFields(const TEntry& entry, TWiring& w, const std::string& name, std::string& error) {
  for (const auto& [field_name, field] : entry.Fields) {
    if (field_name == "id") w.Ids = StringList(field.Values);
    if (field_name == "desc") {
      const std::vector<std::string> list = StringList(field.Values);
      w.Description = list.empty() ? std::string{} : list.front();
    }
    // Older files give the type as a bare word (type = par;).
    if (field_name == "type")
      w.Type = field.Values.empty() || (field.Values.front().Kind != TTokenKind::String &&
                                        field.Values.front().Kind != TTokenKind::Ident)
                   ? std::string{}
                   : field.Values.front().Text;
  }
  if (KindOfType(w.Type).empty()) return true;
  for (const auto& [field_name, field] : entry.Fields) {
    std::optional<TPin>* single = nullptr;
    std::optional<std::vector<TPin>>* many = nullptr;
    if (field_name == "reset")
      single = &w.Reset;
    else if (field_name == "sck")
      single = &w.Sck;
    else if (field_name == "sdo" || field_name == "mosi")
      single = &w.Mosi;
    else if (field_name == "sdi" || field_name == "miso")
      single = &w.Miso;
    else if (field_name == "buff")
      many = &w.Buffers;
    else if (field_name == "vcc")
      many = &w.Power;
    else
      continue;
    std::vector<TPin> pins;
    if (!ParsePins(field.Values, pins)) {
      error = name + ":" + std::to_string(field.Line) + ": " + field_name +
              " takes pin numbers (\"9\", \"~9\" for an inverted line, \"2, 3\", \"2-5\").";
      return false;
    }
    if (many) {
      *many = pins;
    } else if (pins.size() > 1) {
      error = name + ":" + std::to_string(field.Line) + ": " + field_name + " takes one pin.";
      return false;
    } else if (pins.empty()) {
      single->reset();
    } else {
      *single = pins.front();
    }
  }
  return true;
}

std::string DefaultPortFor(const std::string& kind, const std::map<std::string, std::string>& keywords) {
  const auto given = [&](const char* keyword) -> std::string {
    const auto it = keywords.find(keyword);
    // An unconfigured build template leaves "@NAME@" in place: no port.
    if (it == keywords.end() || it->second.empty() || it->second[0] == '@') return {};
    return it->second;
  };
  if (kind == "par") {
    const std::string port = given("default_parallel");
    return port.empty() ? "LPT1" : port;
  }
  if (kind == "serbb") {
    const std::string port = given("default_serial");
    return port.empty() ? "COM1" : port;
  }
  if (kind == "linuxspi") {
    const std::string port = given("default_spi");
    return port.empty() ? "spi:/dev/spidev0.0" : port.rfind("spi:", 0) == 0 ? port : "spi:" + port;
  }
  if (kind == "linuxgpio") {
    std::string port = given("default_linuxgpio");
    if (port.empty()) return "gpio:/dev/gpiochip0";
    if (port.rfind("gpio:", 0) == 0) return port;
    return "gpio:" + (port.rfind("/dev/", 0) == 0 ? port : "/dev/" + port);
  }
  if (kind == "sim") return "SIM1";
  return "usb";
}

} // namespace

bool ParseUploadConfig(std::string_view text, const std::string& name,
                       std::vector<TUploadProgrammer>& programmers, std::string& error) {
  std::vector<TEntry> entries;
  std::map<std::string, std::string> keywords;
  TParser parser(text, name);
  if (!parser.Parse(entries, keywords)) {
    error = parser.Error();
    return false;
  }
  // Every programmer entry's wiring, by id, for the entries that name it as parent.
  std::map<std::string, TWiring> by_id;
  std::vector<std::pair<TWiring, const TEntry*>> read;
  for (const TEntry& entry : entries) {
    if (entry.Kind != "programmer") continue;
    TWiring wiring;
    if (!entry.Parent.empty()) {
      if (const auto it = by_id.find(entry.Parent); it != by_id.end()) {
        wiring = it->second;
      } else if (const TUploadProgrammer* parent = FindUploadProgrammer(entry.Parent, programmers)) {
        wiring = WiringOf(*parent);
      } else {
        error = name + ":" + std::to_string(entry.Line) + ": parent \"" + entry.Parent +
                "\" is no programmer read before this entry.";
        return false;
      }
      wiring.Ids.clear(); // a child names itself
    }
    if (!ApplyFields(entry, wiring, name, error)) return false;
    for (const std::string& id : wiring.Ids) by_id[id] = wiring;
    read.emplace_back(std::move(wiring), &entry);
  }
  for (const auto& [wiring, entry] : read) {
    const std::string kind = KindOfType(wiring.Type);
    if (kind.empty()) continue;
    std::string source = name + ":" + std::to_string(entry->Line);
    if (kind != "par" && (wiring.Buffers.value_or(std::vector<TPin>{}).size() ||
                          wiring.Power.value_or(std::vector<TPin>{}).size()))
      source += " (its buff and vcc pins are not driven: Pinlet drives them on parallel cables only)";
    for (const std::string& id : wiring.Ids)
      programmers.push_back(
          {id, wiring.Description, kind, PinsText(wiring, kind), DefaultPortFor(kind, keywords), source});
  }
  return true;
}

bool ReadUploadConfig(const std::string& path, std::vector<TUploadProgrammer>& programmers,
                      std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = "Cannot read the configuration file " + path + ": " + std::strerror(errno) + ".";
    return false;
  }
  std::string text;
  char buffer[65536];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
  const bool failed = std::ferror(file) != 0;
  const int read_errno = errno;
  std::fclose(file);
  if (failed) {
    error = "Cannot read the configuration file " + path + ": " + std::strerror(read_errno) + ".";
    return false;
  }
  return ParseUploadConfig(text, path, programmers, error);
}
