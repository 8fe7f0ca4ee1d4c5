#include "hw/uPortEnum.h"

#include "hw/uOsSeam.h"

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

// The port lists with the device behind each listed name. Filled once at start-up.
struct TPortState {
  TPortList serial;
  TPortList parallel;
  std::map<std::string, std::string> device_of; // upper-case name -> device path
  std::string dev_root = "/dev";
};

TPortState& State() {
  static TPortState state;
  return state;
}

struct TFoundPort {
  std::string name;    // COM3
  std::string display; // FT232R USB UART - FTDI (/dev/ttyUSB0)
  std::string path;    // /dev/ttyUSB0
};

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = char(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Upper(text.substr(0, prefix.size())) == Upper(prefix);
}

// "ttyUSB12" with prefix "ttyUSB" -> 12; nothing when the rest is not all digits.
std::optional<int> IndexAfter(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view digits = name.substr(prefix.size());
  if (digits.size() > 6 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return std::stoi(std::string(digits));
}

// First line of a sysfs attribute, without surrounding white space; nothing when unreadable.
std::optional<std::string> ReadAttribute(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = line.find_last_not_of(" \t\r\n");
  return line.substr(first, last - first + 1);
}

bool HasDeviceLink(const fs::path& class_entry) {
  std::error_code ec;
  return fs::exists(class_entry / "device", ec);
}

// Names of a directory, or none when it cannot be listed.
std::vector<std::string> ListNames(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

// Product and maker of the USB device a tty hangs off: the nearest parent with idVendor.
std::string UsbDescription(const fs::path& class_entry, const fs::path& sysfs_root) {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(sysfs_root, ec);
  fs::path dir = fs::canonical(class_entry / "device", ec);
  if (ec) return {};
  for (int depth = 0; depth < 16 && !dir.empty() && dir != root && dir.has_relative_path();
       ++depth, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    const std::string product = ReadAttribute(dir / "product").value_or("");
    const std::string maker = ReadAttribute(dir / "manufacturer").value_or("");
    if (!product.empty() && !maker.empty()) return product + " - " + maker;
    return product.empty() ? maker : product;
  }
  return {};
}

// Display names go between double quotes in the entry: no control characters in them.
std::string CleanDisplayName(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return text;
}

// name="value", with a quote inside the value doubled so that GetPortFriendlyName gives it back.
std::string MakeEntry(const std::string& name, const std::string& display) {
  std::string entry = name + "=\"";
  for (char c : display) {
    if (c == '"') entry += '"';
    entry += c;
  }
  return entry + "\"";
}

std::vector<TFoundPort> FindSerialPorts(const TPortRoots& roots) {
  const fs::path tty_dir = fs::path(roots.sysfs) / "class" / "tty";
  std::map<int, TFoundPort> builtin;                 // by ttyS index
  std::vector<std::pair<int, std::string>> acm, usb; // index, tty name
  for (const std::string& name : ListNames(tty_dir)) {
    const fs::path entry = tty_dir / name;
    if (!HasDeviceLink(entry)) continue; // virtual terminals and consoles have no device
    if (const auto index = IndexAfter(name, "ttyS")) {
      // Every 8250 driver registers ttyS0..N whether or not a UART answers; type 0 is "unknown".
      const auto type = ReadAttribute(entry / "type");
      if (!type || type->empty() || *type == "0") continue;
      if (!std::all_of(type->begin(), type->end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
      const std::string com = "COM" + std::to_string(*index + 1);
      builtin[*index] = {com, "Communications Port (" + com + ")", roots.dev + "/" + name};
    } else if (const auto acm_index = IndexAfter(name, "ttyACM")) {
      acm.emplace_back(*acm_index, name);
    } else if (const auto usb_index = IndexAfter(name, "ttyUSB")) {
      usb.emplace_back(*usb_index, name);
    }
  }
  std::vector<TFoundPort> ports;
  for (auto& [index, port] : builtin) ports.push_back(std::move(port));
  std::sort(acm.begin(), acm.end());
  std::sort(usb.begin(), usb.end());
  int next = builtin.empty() ? 1 : builtin.rbegin()->first + 2;
  auto add_adapters = [&](const std::vector<std::pair<int, std::string>>& found, const char* fallback) {
    for (const auto& [index, name] : found) {
      const std::string path = roots.dev + "/" + name;
      std::string what = UsbDescription(tty_dir / name, roots.sysfs);
      if (what.empty()) what = fallback;
      ports.push_back({"COM" + std::to_string(next++), CleanDisplayName(what + " (" + path + ")"), path});
    }
  };
  add_adapters(acm, "USB Modem");
  add_adapters(usb, "USB Serial Port");
  return ports;
}

std::vector<TFoundPort> FindParallelPorts(const TPortRoots& roots) {
  // ppdev's own class lists the ports it serves; without ppdev the parport bus still shows the
  // ports, which are listed so that opening them can tell the user to load the module.
  std::set<int> indices;
  for (const char* dir : {"class/ppdev", "bus/parport/devices"})
    for (const std::string& name : ListNames(fs::path(roots.sysfs) / dir))
      if (const auto index = IndexAfter(name, "parport")) indices.insert(*index);
  std::vector<TFoundPort> ports;
  for (int index : indices) {
    const std::string lpt = "LPT" + std::to_string(index + 1);
    ports.push_back({lpt, "Printer Port (" + lpt + ")", roots.dev + "/parport" + std::to_string(index)});
  }
  return ports;
}

TPortList Entries(const std::vector<TFoundPort>& ports) {
  TPortList entries;
  for (const auto& port : ports) entries.push_back(MakeEntry(port.name, port.display));
  return entries;
}

std::string_view EntryName(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

const std::string* FindEntry(const TPortList& list, std::string_view name) {
  const std::string wanted = Upper(name);
  for (const auto& entry : list)
    if (Upper(EntryName(entry)) == wanted) return &entry;
  return nullptr;
}

void FilterAndTrim(TPortList& target, bool filter, bool names_only) {
  if (filter)
    for (size_t i = target.size(); i-- > 0;)
      if (!CanOpenPort(EntryName(target[i]))) target.erase(target.begin() + std::ptrdiff_t(i));
  if (names_only)
    for (size_t i = target.size(); i-- > 0;) target[i] = std::string(EntryName(target[i]));
}

} // namespace

const TPortList& SerialPorts() {
  return State().serial;
}
const TPortList& ParallelPorts() {
  return State().parallel;
}

TPortList EnumSerialPorts(const TPortRoots& roots) {
  return Entries(FindSerialPorts(roots));
}
TPortList EnumParallelPorts(const TPortRoots& roots) {
  return Entries(FindParallelPorts(roots));
}

void RefreshPortLists() {
  RefreshPortLists(TPortRoots{});
}

void RefreshPortLists(const TPortRoots& roots) {
  TPortState& state = State();
  state.device_of.clear();
  state.dev_root = roots.dev;
  state.serial.clear();
  const auto serial = FindSerialPorts(roots);
  state.serial = Entries(serial);
  state.parallel.clear();
  const auto parallel = FindParallelPorts(roots);
  state.parallel = Entries(parallel);
  // The first of two equal names wins, as in every lookup.
  for (const auto* ports : {&serial, &parallel})
    for (const auto& port : *ports) state.device_of.emplace(Upper(port.name), port.path);
}

void GetSerialPortList(TPortList& target, bool filter, bool names_only) {
  target = State().serial;
  FilterAndTrim(target, filter, names_only);
}

void GetParallelPortList(TPortList& target, bool filter, bool names_only) {
  target = State().parallel;
  FilterAndTrim(target, filter, names_only);
}

int GetPortKind(std::string_view name) {
  if (FindEntry(State().serial, name)) return pkSerial;
  if (FindEntry(State().parallel, name)) return pkParallel;
  return pkUnknown;
}

int GetPortNumber(std::string_view text) {
  if (text.size() < 4) return 0;
  const std::string_view digits = text.substr(3, 2);
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

bool IsKnownPort(std::string_view name) {
  return GetPortKind(name) != pkUnknown;
}

bool CanOpenPort(std::string_view name) {
  TPosixOsSeam seam;
  return CanOpenPort(name, seam);
}

bool CanOpenPort(std::string_view name, IOsSeam& seam) {
  const std::string path = GetPortDevicePath(name);
  if (path.empty()) return false;
  const int fd = seam.Open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  return seam.Close(fd) >= 0;
}

std::string GetPortFriendlyName(std::string_view name) {
  const std::string* entry = nullptr;
  switch (GetPortKind(name)) {
  case pkSerial:
    entry = FindEntry(State().serial, name);
    break;
  case pkParallel:
    entry = FindEntry(State().parallel, name);
    break;
  default:
    return {};
  }
  std::string_view value(*entry);
  value.remove_prefix(std::min(value.size(), value.find('=') + 1));
  // Cut at the first semicolon outside quotes.
  bool quoted = false;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '"') quoted = !quoted;
    if (value[i] == ';' && !quoted) {
      value = value.substr(0, i);
      break;
    }
  }
  if (value.empty() || value.front() != '"') return std::string(value);
  std::string result;
  for (size_t i = 1; i < value.size(); ++i) {
    if (value[i] != '"') {
      result += value[i];
    } else if (i + 1 < value.size() && value[i + 1] == '"') {
      result += '"';
      ++i;
    } else {
      break; // the closing quote
    }
  }
  return result;
}

std::optional<int> ParsePortNumber(std::string_view& cursor) {
  size_t pos = 0;
  while (pos < cursor.size() && cursor[pos] == ' ') ++pos;
  size_t digits = 0;
  while (digits < 6 && pos + digits < cursor.size() && cursor[pos + digits] >= '0' &&
         cursor[pos + digits] <= '9')
    ++digits;
  if (digits == 0 || digits == 6) return std::nullopt;
  int number = 0;
  for (size_t i = 0; i < digits; ++i) number = number * 10 + (cursor[pos + i] - '0');
  cursor.remove_prefix(pos + digits);
  return number;
}

std::string GetPortDevicePath(std::string_view name) {
  const TPortState& state = State();
  if (const auto found = state.device_of.find(Upper(name)); found != state.device_of.end())
    return found->second;
  const bool serial = StartsWithNoCase(name, "COM");
  if (!serial && !StartsWithNoCase(name, "LPT")) return {};
  std::string_view rest = name.substr(3);
  const auto number = ParsePortNumber(rest);
  if (!number || *number < 1 || !rest.empty() || name.substr(3, 1) == " ") return {};
  return state.dev_root + (serial ? "/ttyS" : "/parport") + std::to_string(*number - 1);
}

int ClassifyDevicePath(std::string_view path) {
  return path.substr(0, 12) == "/dev/parport" ? pkParallel : pkSerial;
}

bool IsDevicePath(std::string_view text) {
  return text.find('/') != std::string_view::npos;
}
