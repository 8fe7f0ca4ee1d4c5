#include "hw/uPinMap.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

// FT232R bit-bang port: D0..D7 carry these UART signals (FT232R datasheet, "Bit Bang Modes").
constexpr const char* kFtdiSignals[8] = {"TXD", "RXD", "RTS", "CTS", "DTR", "DSR", "DCD", "RI"};

// DB9 serial connector (EIA-574): pin -> signal; 5 is ground.
struct TDb9Pin {
  int pin;
  const char* name;
  bool output;
  bool input;
};
constexpr TDb9Pin kDb9[] = {{1, "DCD", false, true}, {2, "RXD", false, false}, {3, "TXD", true, false},
                            {4, "DTR", true, false}, {6, "DSR", false, true},  {7, "RTS", true, false},
                            {8, "CTS", false, true}, {9, "RI", false, true}};

// DB25 parallel port (IEEE 1284): data pins 2-9 are outputs; the status pins that can be read.
constexpr int kParallelInputs[] = {10, 11, 12, 13, 15};

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = char(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string(text);
}

bool ParseNumber(std::string_view text, int& value) {
  if (text.empty() || text.size() > 4) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && value >= 0;
}

enum class TRole : uint8_t { Output, Input };

// Resolves one value of the kind into assign; error says why it cannot be that signal.
bool ResolvePin(std::string_view key, std::string_view value, TPinKind kind, TRole role, TPinAssign& assign,
                std::string& error) {
  assign = {};
  std::string text = Trim(value);
  if (!text.empty() && text.front() == '~') {
    assign.Inverted = true;
    text = Trim(std::string_view(text).substr(1));
  }
  const std::string where = std::string(key) + "=" + std::string(value);
  if (text.empty()) {
    error = where + ": no pin given.";
    return false;
  }
  int number = -1;
  const bool numeric = ParseNumber(text, number);
  const char* role_text = role == TRole::Output ? "an output" : "an input";
  switch (kind) {
  case TPinKind::Parallel: {
    if (!numeric || number < 1 || number > 25) {
      error = where + ": a parallel port pin is a number from 1 to 25.";
      return false;
    }
    const bool is_output = (number >= 1 && number <= 9) || number == 14 || number == 16 || number == 17;
    const bool is_input = std::find(std::begin(kParallelInputs), std::end(kParallelInputs), number) !=
                          std::end(kParallelInputs);
    if (role == TRole::Output && !is_output) {
      error = where + ": pin " + std::to_string(number) +
              " of the parallel port cannot be driven; outputs are the data pins 2 to 9 and the control pins "
              "1, 14, 16 "
              "and 17.";
      return false;
    }
    if (role == TRole::Input && !is_input) {
      error = where + ": pin " + std::to_string(number) +
              " of the parallel port cannot be read; MISO goes to a status pin (10, 11, 12, 13 or 15).";
      return false;
    }
    assign.Pin = number;
    return true;
  }
  case TPinKind::Serial: {
    const TDb9Pin* found = nullptr;
    for (const auto& pin : kDb9)
      if ((numeric && pin.pin == number) || (!numeric && Upper(text) == pin.name)) found = &pin;
    if (!found) {
      error = where + ": a serial port pin is a DB9 pin number (1-4, 6-9) or one of TXD, DTR, RTS, CTS, DSR, "
                      "DCD, RI.";
      return false;
    }
    if ((role == TRole::Output && !found->output) || (role == TRole::Input && !found->input)) {
      error = where + ": " + found->name + " (pin " + std::to_string(found->pin) + ") is not " + role_text +
              " of a serial port; outputs are TXD, DTR and RTS, inputs CTS, DSR, DCD and RI.";
      return false;
    }
    assign.Pin = found->pin;
    return true;
  }
  case TPinKind::Ftdi: {
    if (!numeric) {
      for (int bit = 0; bit < 8; ++bit)
        if (Upper(text) == kFtdiSignals[bit]) number = bit;
    }
    if (number < 0 || number > 7) {
      error = where + ": an FTDI pin is a bit number 0-7 or one of TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI.";
      return false;
    }
    assign.Pin = number;
    return true;
  }
  case TPinKind::Gpio:
  case TPinKind::Spi:
    if (numeric) {
      if (number > 1023) {
        error = where + ": no GPIO chip has a line " + std::to_string(number) + ".";
        return false;
      }
      assign.Pin = number;
    } else {
      assign.Name = text;
    }
    return true;
  }
  error = where + ": unknown adapter kind.";
  return false;
}

std::string Describe(const TPinAssign& assign, TPinKind kind) {
  std::string text = assign.Inverted ? "~" : "";
  if (assign.Pin < 0) return text + assign.Name;
  const std::string signal = PinSignalName(kind, assign.Pin);
  text += signal.empty() ? std::to_string(assign.Pin) : signal + "(" + std::to_string(assign.Pin) + ")";
  return text;
}

bool SamePin(const TPinAssign& a, const TPinAssign& b) {
  return a.Pin >= 0 ? a.Pin == b.Pin : (b.Pin < 0 && a.Name == b.Name);
}

} // namespace

const char* PinKindName(TPinKind kind) {
  switch (kind) {
  case TPinKind::Parallel:
    return "parallel";
  case TPinKind::Serial:
    return "serial";
  case TPinKind::Ftdi:
    return "ftdi";
  case TPinKind::Gpio:
    return "gpio";
  case TPinKind::Spi:
    return "spi";
  }
  return "unknown";
}

std::string PinSignalName(TPinKind kind, int pin) {
  if (kind == TPinKind::Ftdi && pin >= 0 && pin < 8) return kFtdiSignals[pin];
  if (kind == TPinKind::Serial)
    for (const auto& entry : kDb9)
      if (entry.pin == pin) return entry.name;
  return {};
}

TPinMap DefaultPinMap(TPinKind kind) {
  TPinMap map;
  switch (kind) {
  case TPinKind::Parallel:
    // D7, D4, D5 and ACK: the cable of docs/ports.md (and of the common STK200-style cables).
    map.Reset.Pin = 9;
    map.Sck.Pin = 6;
    map.Mosi.Pin = 7;
    map.Miso.Pin = 10;
    break;
  case TPinKind::Serial:
    // RESET on TXD (as break), SCK on RTS, MOSI on DTR, MISO on CTS.
    map.Reset.Pin = 3;
    map.Sck.Pin = 7;
    map.Mosi.Pin = 4;
    map.Miso.Pin = 8;
    break;
  case TPinKind::Ftdi:
    // The FT232R breakout ISP wiring: SCK on TXD, MISO on RXD, MOSI on RTS, RESET on DTR.
    map.Reset.Pin = 4;
    map.Sck.Pin = 0;
    map.Mosi.Pin = 2;
    map.Miso.Pin = 1;
    break;
  case TPinKind::Gpio:
    // Raspberry Pi header: the SPI0 pins (BCM 11, 10, 9) and GPIO 25 for RESET.
    map.Reset.Pin = 25;
    map.Sck.Pin = 11;
    map.Mosi.Pin = 10;
    map.Miso.Pin = 9;
    break;
  case TPinKind::Spi:
    map.Reset.Pin = 25;
    break;
  }
  return map;
}

bool ParsePinMap(std::string_view text, TPinKind kind, TPinMap& map, std::string& error) {
  TPinMap result = DefaultPinMap(kind);
  bool buffers_given = false, power_given = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (Trim(item).empty()) continue;
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      error = "\"" + Trim(item) + "\" is not KEY=PIN (keys: reset, sck, mosi, miso).";
      return false;
    }
    const std::string key = Upper(Trim(item.substr(0, equals)));
    const std::string_view value = item.substr(equals + 1);
    const std::string key_text = Trim(item.substr(0, equals));
    TPinAssign* target = nullptr;
    TRole role = TRole::Output;
    if (key == "RESET")
      target = &result.Reset;
    else if (key == "SCK")
      target = &result.Sck;
    else if (key == "MOSI" || key == "SDO")
      target = &result.Mosi;
    else if (key == "MISO" || key == "SDI")
      target = &result.Miso, role = TRole::Input;
    if (key == "BUFF" || key == "VCC") {
      const bool buffer = key == "BUFF";
      if (kind != TPinKind::Parallel) {
        error = key_text + (buffer ? ": only the parallel port's cables have buffer-enable pins."
                                   : ": only the parallel port's cables take their power from the port.");
        return false;
      }
      bool& given = buffer ? buffers_given : power_given;
      std::vector<TPinAssign>& list = buffer ? result.Buffers : result.Power;
      if (!given) list.clear();
      given = true;
      TPinAssign pin;
      if (!ResolvePin(key_text, value, kind, TRole::Output, pin, error)) return false;
      list.push_back(pin);
      continue;
    }
    if (!target) {
      error = "unknown signal \"" + key_text + "\" (keys: reset, sck, mosi, miso" +
              (kind == TPinKind::Parallel ? ", buff, vcc" : "") + ").";
      return false;
    }
    if (kind == TPinKind::Spi && target != &result.Reset) {
      error = key_text + ": the SPI controller's own pins carry SCK, MOSI and MISO; only reset can be set.";
      return false;
    }
    if (!ResolvePin(key_text, value, kind, role, *target, error)) return false;
  }
  // A pin may carry one signal only.
  std::vector<std::pair<const char*, const TPinAssign*>> used = {{"reset", &result.Reset}};
  if (kind != TPinKind::Spi) {
    used.push_back({"sck", &result.Sck});
    used.push_back({"mosi", &result.Mosi});
    used.push_back({"miso", &result.Miso});
  }
  for (const auto& buffer : result.Buffers) used.push_back({"buff", &buffer});
  for (const auto& power : result.Power) used.push_back({"vcc", &power});
  for (size_t i = 0; i < used.size(); ++i)
    for (size_t j = i + 1; j < used.size(); ++j)
      if (SamePin(*used[i].second, *used[j].second)) {
        error = std::string(used[i].first) + " and " + used[j].first + " are both on " +
                Describe(*used[i].second, kind) + "; each signal needs a pin of its own.";
        return false;
      }
  map = std::move(result);
  return true;
}

std::string DescribePinMap(const TPinMap& map, TPinKind kind) {
  std::string text = "reset=" + Describe(map.Reset, kind);
  if (kind != TPinKind::Spi) {
    text += " sck=" + Describe(map.Sck, kind);
    text += " mosi=" + Describe(map.Mosi, kind);
    text += " miso=" + Describe(map.Miso, kind);
  }
  for (const auto& buffer : map.Buffers) text += " buff=" + Describe(buffer, kind);
  for (const auto& power : map.Power) text += " vcc=" + Describe(power, kind);
  return text;
}
