#include "devicedb/uAvrClock.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace {

using K = TAvrClockKind;

struct TClockOption {
  K Kind = K::Reserved;
  uint32_t Hz = 0;
  const char* Detail = "";
};

// One datasheet table: the CKSEL value (CKSEL3..0, or CKSEL1..0 where the part has two bits)
// selects the option. The families are named by the parts their datasheet covers; a record
// matches when one of its name's alternatives is a base name followed by one of the suffixes.
struct TClockFamily {
  const char* Source;
  std::array<const char*, 13> Bases;
  std::array<const char*, 7> Suffixes;
  int CkselBits;
  std::array<TClockOption, 16> Options;
};

constexpr TClockOption Ext{K::ExternalClock, 0, "external clock"};
constexpr TClockOption Xtal{K::Crystal, 0, "crystal or ceramic resonator"};
constexpr TClockOption FullSwing{K::Crystal, 0, "full-swing crystal oscillator"};
constexpr TClockOption LowPower{K::Crystal, 0, "low-power crystal oscillator"};
constexpr TClockOption Watch{K::LowFrequencyCrystal, 32'768, "low-frequency (32.768 kHz) crystal"};
constexpr TClockOption Slow{K::InternalSlow, 128'000, "128 kHz internal oscillator"};
constexpr TClockOption Rsv{K::Reserved, 0, "reserved"};
constexpr TClockOption ExtRc{K::ExternalRc, 0, "external RC oscillator"};
constexpr TClockOption Rc(uint32_t hz) {
  return {K::InternalRc, hz, "calibrated internal RC oscillator"};
}
constexpr TClockOption Pll{K::InternalRc, 16'000'000,
                           "high-frequency PLL clock (from the internal RC oscillator)"};

// clang-format off
const TClockFamily kFamilies[] = {
    // The same table in ATmega48/88/168/328P Table 9-1, ATmega164A/324A/644A/1284 Table 9-1 and
    // ATmega640/1280/1281/2560/2561 Table 10-1 ("Device Clocking Options Select"); CKDIV8 divides
    // every source.
    {"ATmega48/88/168/328P and ATmega164/324/644/1284 datasheets Table 9-1, ATmega640/1280/2560 Table 10-1, "
     "\"Device Clocking Options Select\"",
     {"ATmega48", "ATmega88", "ATmega168", "ATmega328", "ATmega164", "ATmega324", "ATmega644", "ATmega1284",
      "ATmega640", "ATmega1280", "ATmega1281", "ATmega2560", "ATmega2561"},
     {"", "V", "A", "P", "PV", "PA", "L"},
     4,
     {Ext, Rsv, Rc(8'000'000), Slow, Watch, Watch, FullSwing, FullSwing,
      LowPower, LowPower, LowPower, LowPower, LowPower, LowPower, LowPower, LowPower}},
    // ATmega8 Table 2 (ATmega16/32/8515/8535 Table 2, ATmega64/128 Table 5 alike); the internal RC
    // oscillator's frequency from "Internal Calibrated RC Oscillator Operating Modes"; no CKDIV8.
    {"ATmega8 datasheet Table 2 \"Device Clocking Option Select\" and the internal RC table (ATmega16/32/"
     "8515/8535 Table 2, ATmega64/128 Table 5 alike)",
     {"ATmega8", "ATmega16", "ATmega32", "ATmega8515", "ATmega8535", "ATmega64", "ATmega128"},
     {"", "L", "A"},
     4,
     {Ext, Rc(1'000'000), Rc(2'000'000), Rc(4'000'000), Rc(8'000'000), ExtRc, ExtRc, ExtRc,
      ExtRc, Watch, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal}},
    // ATtiny13 Table 6-1 (ATtiny13A alike): two CKSEL bits, no crystal oscillator.
    {"ATtiny13 datasheet Table 6-1 \"Device Clocking Options Select\"",
     {"ATtiny13"},
     {"", "V", "A"},
     2,
     {Ext, Rc(4'800'000), Rc(9'600'000), Slow}},
    // ATtiny25/45/85 Table 6-1 with sections 6.2.4/6.2.5; 0011 is the ATtiny15 compatibility mode,
    // whose system clock is the PLL's 6.4 MHz divided by four.
    {"ATtiny25/45/85 datasheet Table 6-1 \"Device Clocking Options Select\"",
     {"ATtiny25", "ATtiny45", "ATtiny85"},
     {"", "V"},
     4,
     {Ext, Pll, Rc(8'000'000), {K::InternalRc, 1'600'000, "ATtiny15 compatibility mode (1.6 MHz)"}, Slow, Rsv,
      Watch, Rsv, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal}},
    {"ATtiny24/44/84 datasheet Table 6-1 \"Device Clocking Options Select\"",
     {"ATtiny24", "ATtiny44", "ATtiny84"},
     {"", "V", "A"},
     4,
     {Ext, Rsv, Rc(8'000'000), Rsv, Slow, Rsv, Watch, Rsv, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal}},
    // ATtiny2313 Table 2 "Device Clocking Select" (ATtiny2313A/4313 Table 6-1): the odd values are
    // reserved in both (a later ATtiny2313 revision pairs them with the even ones; reserved is the
    // reading that cannot mislead).
    {"ATtiny2313 datasheet Table 2 \"Device Clocking Select\", ATtiny2313A/4313 Table 6-1",
     {"ATtiny2313", "ATtiny4313"},
     {"", "V", "A"},
     4,
     {Ext, Rsv, Rc(4'000'000), Rsv, Rc(8'000'000), Rsv, Slow, Rsv, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal}},
    // ATtiny261A/461A/861A Table 6-1 with sections 6.2.4 (128 kHz: 0011) and 6.2.5 (watch
    // crystal: 0100); the plain ATtiny261/461/861 alike.
    {"ATtiny261/461/861 datasheet Table 6-1 \"Device Clocking Options Select\"",
     {"ATtiny261", "ATtiny461", "ATtiny861"},
     {"", "V", "A"},
     4,
     {Ext, Pll, Rc(8'000'000), Slow, Watch, Rsv, Rsv, Rsv, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal, Xtal}},
};
// clang-format on

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool FamilyHasName(const TClockFamily& family, std::string_view name) {
  for (const char* base : family.Bases) {
    if (!base) continue;
    const std::string_view b(base);
    if (name.size() < b.size() || !EqualNoCase(name.substr(0, b.size()), b)) continue;
    for (const char* suffix : family.Suffixes)
      if (suffix && EqualNoCase(name.substr(b.size()), suffix)) return true;
  }
  return false;
}

const TClockFamily* FamilyOf(const TAvrSigType& record) {
  std::string_view names(record.CpuName);
  while (!names.empty()) {
    const size_t slash = names.find('/');
    const std::string_view name = names.substr(0, slash);
    for (const TClockFamily& family : kFamilies)
      if (FamilyHasName(family, name)) return &family;
    if (slash == std::string_view::npos) break;
    names.remove_prefix(slash + 1);
  }
  return nullptr;
}

// The logical bit of the low fuse byte that the record names so; -1 when it names none.
int BitNamed(const TAvrSigType& record, std::string_view name) {
  for (int k = 0; k < 8; ++k) {
    const TAvrFeature& f = record.Fuses.Low[size_t(k)];
    if (f.Bit == k && f.Name == name) return k;
  }
  return -1;
}

} // namespace

bool ClockFamilyKnown(const TAvrSigType& record) {
  return FamilyOf(record) != nullptr;
}

uint8_t ClockSelectBits(const TAvrSigType& record) {
  static constexpr std::string_view kPrefixes[] = {"CKSEL", "SUT",  "CKDIV8", "CKOPT",
                                                   "PLLCK", "RCEN", "FSTRT"};
  uint8_t mask = 0;
  for (int k = 0; k < 8; ++k) {
    const TAvrFeature& f = record.Fuses.Low[size_t(k)];
    if (f.Bit != k) continue;
    for (std::string_view prefix : kPrefixes)
      if (std::string_view(f.Name).substr(0, prefix.size()) == prefix) mask = uint8_t(mask | 1u << k);
  }
  // CKOPT sits in the high byte on the ATmega8 family; it changes the oscillator's swing, not the
  // source, so only the low byte's bits count here.
  return mask;
}

TAvrClock DescribeClock(const TAvrSigType& record, uint8_t low_fuse_raw) {
  TAvrClock clock;
  if (const int div = BitNamed(record, "CKDIV8"); div >= 0) {
    clock.HasCkdiv8 = true;
    clock.DividedBy8 = (low_fuse_raw >> div & 1) == 0;
  }
  const TClockFamily* family = FamilyOf(record);
  if (!family) return clock;
  unsigned cksel = 0;
  for (int i = 0; i < family->CkselBits; ++i) {
    const int at = BitNamed(record, "CKSEL" + std::to_string(i));
    if (at < 0) return clock; // a record without its CKSEL names cannot be read
    cksel |= unsigned(low_fuse_raw >> at & 1) << i;
  }
  const TClockOption& option = family->Options[cksel];
  clock.Kind = option.Kind;
  clock.SourceHz = option.Hz;
  clock.Detail = option.Detail;
  clock.Source = family->Source;
  return clock;
}

std::string DescribeClockText(const TAvrClock& clock) {
  auto hz_text = [](uint32_t hz) {
    char text[32];
    if (hz >= 1'000'000)
      std::snprintf(text, sizeof text, "%g MHz", hz / 1e6);
    else
      std::snprintf(text, sizeof text, "%g kHz", hz / 1e3);
    return std::string(text);
  };
  std::string text;
  switch (clock.Kind) {
  case K::Unknown:
    return "a clock source not described here";
  case K::Reserved:
    return "a reserved clock setting";
  default:
    text = clock.Detail;
  }
  // The slow oscillator and the watch crystal carry their frequency in their names.
  if (clock.SourceHz != 0 && clock.Kind != K::LowFrequencyCrystal && clock.Kind != K::InternalSlow)
    text += ", " + hz_text(clock.SourceHz);
  if (clock.DividedBy8)
    text +=
        clock.SourceHz ? ", divided by 8 (CKDIV8): " + hz_text(clock.SystemHz()) : ", divided by 8 (CKDIV8)";
  return text;
}
