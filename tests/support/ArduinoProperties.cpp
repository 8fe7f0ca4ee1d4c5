#include "tests/support/ArduinoProperties.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr std::string_view kOsSuffix = ".linux";
// Patterns nest a few levels deep ({cmd.path} -> {path}/bin/... -> {runtime.tools...}); a value
// that refers to itself would grow forever, so expansion stops after this many rounds.
constexpr int kMaxExpandRounds = 16;

std::string_view Trim(std::string_view text) {
  const char* space = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(space);
  return text.substr(first, last - first + 1);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

bool TArduinoProperties::Parse(std::string_view text, const std::string& name, std::string& error) {
  std::map<std::string, std::string> os_values; // keys this text gave a ".linux" form
  int line_number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++line_number;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || Trim(line.substr(0, equals)).empty()) {
      error = name + ":" + std::to_string(line_number) + ": \"" + std::string(line) + "\" is not key=value";
      return false;
    }
    const std::string key(Trim(line.substr(0, equals)));
    const std::string value(Trim(line.substr(equals + 1)));
    Set(key, value);
    if (EndsWith(key, kOsSuffix)) {
      const std::string base = key.substr(0, key.size() - kOsSuffix.size());
      Set(base, value);
      os_values[base] = value;
    } else if (const auto it = os_values.find(key); it != os_values.end()) {
      Set(key, it->second); // the plain key came after its ".linux" form: the Linux value stays
    }
  }
  return true;
}

bool TArduinoProperties::Load(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str(), path, error);
}

std::optional<std::string> TArduinoProperties::Find(const std::string& key) const {
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::string TArduinoProperties::Get(const std::string& key) const {
  return Find(key).value_or("");
}

void TArduinoProperties::Set(const std::string& key, const std::string& value) {
  if (values_.count(key) == 0) order_.push_back(key);
  values_[key] = value;
}

TArduinoProperties TArduinoProperties::SubTree(const std::string& prefix) const {
  TArduinoProperties sub;
  const std::string start = prefix + ".";
  for (const std::string& key : order_) {
    if (key.compare(0, start.size(), start) != 0 || key.size() == start.size()) continue;
    const std::string rest = key.substr(start.size());
    sub.order_.push_back(rest);
    sub.values_[rest] = values_.at(key);
  }
  return sub;
}

void TArduinoProperties::Merge(const TArduinoProperties& other) {
  for (const std::string& key : other.order_) {
    if (values_.count(key) == 0) order_.push_back(key);
    values_[key] = other.values_.at(key);
  }
}

std::vector<std::string> TArduinoProperties::ChildNames(const std::string& prefix) const {
  std::vector<std::string> names;
  const std::string start = prefix + ".";
  for (const std::string& key : order_) {
    if (key.compare(0, start.size(), start) != 0) continue;
    const std::string rest = key.substr(start.size());
    const std::string child = rest.substr(0, rest.find('.'));
    if (child.empty()) continue;
    bool seen = false;
    for (const std::string& n : names) seen = seen || n == child;
    if (!seen) names.push_back(child);
  }
  return names;
}

std::string TArduinoProperties::Expand(std::string_view text) const {
  std::string current(text);
  for (int round = 0; round < kMaxExpandRounds; ++round) {
    std::string next;
    bool changed = false;
    size_t pos = 0;
    while (pos < current.size()) {
      const size_t open = current.find('{', pos);
      if (open == std::string::npos) break;
      const size_t close = current.find_first_of("{}", open + 1);
      if (close == std::string::npos) break;
      next.append(current, pos, open - pos);
      if (current[close] == '{') { // "{a{b}": the first brace is text
        next.push_back('{');
        pos = open + 1;
        continue;
      }
      const std::string key = current.substr(open + 1, close - open - 1);
      const auto it = values_.find(key);
      if (it != values_.end()) {
        next += it->second;
        changed = true;
      } else {
        next.append(current, open, close - open + 1);
      }
      pos = close + 1;
    }
    next.append(current, std::min(pos, current.size()), std::string::npos);
    current = std::move(next);
    if (!changed) break;
  }
  return current;
}

bool ArduinoBoardProperties(const TArduinoProperties& boards, const std::string& board,
                            const std::map<std::string, std::string>& choices, TArduinoProperties& out,
                            std::string& error) {
  TArduinoProperties props = boards.SubTree(board);
  if (!props.Has("name")) {
    error = "boards.txt has no board \"" + board + "\"";
    return false;
  }
  TArduinoProperties merged = props;
  for (const std::string& menu : props.ChildNames("menu")) {
    const std::vector<std::string> options = props.ChildNames("menu." + menu);
    if (options.empty()) continue;
    std::string option = options.front();
    if (const auto it = choices.find(menu); it != choices.end()) option = it->second;
    bool known = false;
    for (const std::string& o : options) known = known || o == option;
    if (!known) {
      error = "board \"" + board + "\" has no option \"" + option + "\" in menu \"" + menu + "\"";
      return false;
    }
    merged.Merge(props.SubTree("menu." + menu + "." + option));
  }
  for (const auto& [menu, option] : choices) {
    if (props.ChildNames("menu." + menu).empty()) {
      error = "board \"" + board + "\" has no menu \"" + menu + "\"";
      return false;
    }
  }
  out = merged;
  return true;
}

TArduinoProperties ArduinoToolProperties(const TArduinoProperties& platform, const TArduinoProperties& board,
                                         const std::string& tool, const TArduinoProperties& programmer,
                                         bool verbose, bool verify) {
  TArduinoProperties props = platform;
  props.Merge(board);
  props.Merge(platform.SubTree("tools." + tool));
  props.Merge(programmer);
  for (const char* action : {"upload", "program", "erase", "bootloader"}) {
    const std::string a = action;
    props.Set(a + ".verbose", props.Get(a + (verbose ? ".params.verbose" : ".params.quiet")));
    props.Set(a + ".verify", props.Get(a + (verify ? ".params.verify" : ".params.noverify")));
  }
  return props;
}

std::vector<std::string> SplitArduinoCommandLine(std::string_view line) {
  std::vector<std::string> args;
  std::string word;
  char quote = 0;
  for (const char c : line) {
    if (quote != 0) {
      if (c == quote)
        quote = 0;
      else
        word.push_back(c);
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) args.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) args.push_back(word);
  return args;
}
