#include "app/uFuseEdit.h"

#include "app/uSckSpeed.h"
#include "core/uSpiBus_base.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrClock.h"
#include "devicedb/uAvrMemories.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::array<TConfigByteId, kConfigByteCount> kAllBytes = {
    TConfigByteId::LowFuse, TConfigByteId::HighFuse, TConfigByteId::ExtFuse, TConfigByteId::Lock};

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return out;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string(text);
}

std::string Hex(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string HzText(double hz) {
  char text[32];
  if (hz >= 1e6)
    std::snprintf(text, sizeof text, "%g MHz", hz / 1e6);
  else if (hz >= 1e3)
    std::snprintf(text, sizeof text, "%.4g kHz", hz / 1e3);
  else
    std::snprintf(text, sizeof text, "%.4g Hz", hz);
  return text;
}

std::optional<uint8_t> ParseByteValue(std::string_view text) {
  std::string t = Lower(Trim(text));
  int base = 10;
  if (t.rfind("0x", 0) == 0) {
    base = 16;
    t.erase(0, 2);
  } else if (t.rfind("0b", 0) == 0) {
    base = 2;
    t.erase(0, 2);
  } else if (t.rfind("$", 0) == 0) {
    base = 16;
    t.erase(0, 1);
  }
  if (t.empty() || t.size() > 8) return std::nullopt;
  unsigned value = 0;
  for (char c : t) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0 || digit >= base) return std::nullopt;
    value = value * unsigned(base) + unsigned(digit);
  }
  if (value > 0xFF) return std::nullopt;
  return uint8_t(value);
}

std::optional<uint8_t> ParseBitState(std::string_view text) {
  const std::string t = Lower(Trim(text));
  if (t == "programmed" || t == "0") return 0;
  if (t == "unprogrammed" || t == "1") return 1;
  return std::nullopt;
}

const std::vector<TAbbrevMapEntry>& Vocabulary(TConfigByteId id) {
  return id == TConfigByteId::Lock ? LockAbbrevMap : FuseAbbrevMap;
}

std::string DescriptionOf(TConfigByteId id, const std::string& name) {
  for (const TAbbrevMapEntry& entry : Vocabulary(id))
    if (entry.Abbrev == name) return entry.Text;
  return {};
}

std::string BitList(uint8_t mask) {
  std::string text;
  for (int k = 0; k < 8; ++k)
    if (mask >> k & 1) text += (text.empty() ? "" : ", ") + std::to_string(k);
  return text;
}

const TConfigBit* FindBit(const TConfigByte& byte, std::string_view name) {
  for (const TConfigBit& bit : byte.Bits)
    if (Lower(bit.Name) == Lower(name)) return &bit;
  return nullptr;
}

bool IsProgrammed(uint8_t value, uint8_t bit) {
  return (value >> bit & 1) == 0;
}

std::string StateText(bool programmed) {
  return programmed ? "programmed" : "unprogrammed";
}

// The state of the bit named name in a byte plan: whether it changes and what it becomes.
struct TNamedBit {
  const TConfigBytePlan* Plan = nullptr;
  uint8_t Bit = 0;
  bool Changes = false; // differs from the current value, or the current value is unknown
  bool Programmed = false;
  bool WasProgrammed = false; // meaningful only with a known current value
};

std::optional<TNamedBit> Named(const TConfigChip& chip, const std::vector<TConfigBytePlan>& plans,
                               std::string_view name) {
  for (const TConfigBytePlan& plan : plans) {
    const TConfigBit* bit = FindBit(chip[plan.Id], name);
    if (!bit) continue;
    TNamedBit named;
    named.Plan = &plan;
    named.Bit = bit->Bit;
    named.Programmed = IsProgrammed(plan.New, bit->Bit);
    named.WasProgrammed = plan.Current && IsProgrammed(*plan.Current, bit->Bit);
    named.Changes = plan.Write && (!plan.Current || named.Programmed != named.WasProgrammed);
    return named;
  }
  return std::nullopt;
}

// Speed advice for a target clock: which level to use, or why none will do.
std::string SpeedAdvice(uint32_t target_hz) {
  const uint32_t phases = target_hz >= 12'000'000 ? 3 : 2;
  const std::string limit = HzText(double(target_hz) / (2.0 * phases));
  if (const auto level = SpeedLevelForTargetClock(target_hz))
    return "ISP then needs SCK at most " + limit + " (each SCK phase at least " + std::to_string(phases) +
           " target clocks): --speed " + SpiSpeedName(*level) + " (SCK at most " +
           HzText(SpeedLevelMaxSckHz(*level)) + ") or slower";
  return "ISP then needs SCK at most " + limit + ", slower than " + SpiSpeedName(kSpiSpeedCount - 1) +
         " (SCK at most " + HzText(SpeedLevelMaxSckHz(kSpiSpeedCount - 1)) + ")";
}

void PlanClock(const TConfigChip& chip, const TConfigBytePlan& low, TConfigPlan& plan) {
  const TAvrSigType& record = *chip.Record;
  const uint8_t clock_bits = ClockSelectBits(record);
  const bool changes = low.Write && (!low.Current || ((low.New ^ *low.Current) & clock_bits) != 0);
  if (!changes) return;
  if (!ClockFamilyKnown(record)) {
    plan.Warnings.push_back(
        "The clock bits (CKSEL, SUT, CKDIV8) change, and the clock settings of " + chip.ChipName +
        " are not described here: check in its datasheet that the new clock source exists on the board. "
        "A chip whose clock does not run cannot be programmed again, and a slower clock needs a slower SCK "
        "(at most a quarter of the target clock).");
    return;
  }
  const TAvrClock clock = DescribeClock(record, low.New);
  const std::string what = "The chip will run from the " + DescribeClockText(clock);
  if (low.Current) {
    const TAvrClock before = DescribeClock(record, *low.Current);
    if (before.Kind == clock.Kind && before.SourceHz == clock.SourceHz &&
        before.DividedBy8 == clock.DividedBy8)
      return; // only the start-up time changes
  }
  if (clock.Kind == TAvrClockKind::Reserved) {
    plan.Lockouts.push_back("The new CKSEL value is reserved on " + chip.ChipName +
                            ": the chip may not run at all, and ISP needs a running clock (" + clock.Source +
                            ").");
    return;
  }
  const uint32_t hz = clock.SystemHz();
  if (hz != 0 && !SpeedLevelForTargetClock(hz)) {
    plan.Lockouts.push_back(what + ". " + SpeedAdvice(hz) +
                            ": this programmer could not program the chip again.");
    return;
  }
  if (clock.NeedsExternalPart()) {
    std::string text = what + ": it then needs that ";
    switch (clock.Kind) {
    case TAvrClockKind::ExternalClock:
      text += "clock signal on XTAL1/CLKI";
      break;
    case TAvrClockKind::ExternalRc:
      text += "RC network on XTAL1";
      break;
    default:
      text += "crystal on XTAL1/XTAL2";
    }
    text += " to run, and to be programmed again. ";
    if (hz != 0)
      text += SpeedAdvice(hz) + ".";
    else
      text += std::string("ISP then needs SCK at most a quarter of that clock") +
              (clock.DividedBy8 ? " divided by 8" : "") + ": " + SpiSpeedName(sdNormal) + " (SCK at most " +
              HzText(SpeedLevelMaxSckHz(sdNormal)) + ") needs a clock of at least " +
              HzText(SpeedLevelMaxSckHz(sdNormal) * 4.0 * (clock.DividedBy8 ? 8 : 1)) + ".";
    plan.Warnings.push_back(text);
    return;
  }
  if (clock.Kind == TAvrClockKind::InternalSlow || clock.DividedBy8)
    plan.Warnings.push_back(what + ". " + SpeedAdvice(hz) + ".");
}

void PlanLock(const TConfigChip& chip, const std::vector<TConfigBytePlan>& plans, TConfigPlan& plan) {
  const auto lb1 = Named(chip, plans, "LB1");
  const auto lb2 = Named(chip, plans, "LB2");
  if (lb1 && lb2 && lb1->Programmed && lb2->Programmed && (lb1->Changes || lb2->Changes))
    plan.Warnings.push_back(
        "Lock mode 3 (LB1 and LB2 programmed): flash and EEPROM can no longer be "
        "programmed or read over ISP, so every verify fails from now on, and the fuses are "
        "locked. Only a chip erase clears the lock bits (and the flash and EEPROM with them).");
  else if (lb1 && lb1->Programmed && lb1->Changes)
    plan.Warnings.push_back(
        "Lock mode 2 (LB1 programmed): flash and EEPROM can no longer be programmed, and "
        "the fuses are locked; reading and verify still work. Only a chip erase clears it.");
  struct TBootLock {
    const char* Name;
    const char* Text;
  };
  static constexpr TBootLock kBootLocks[] = {
      {"BLB02", "LPM from the boot loader section can no longer read the application section: a boot "
                "loader's own verify of the application fails (ISP reads are not affected). Only a chip "
                "erase clears it."},
      {"BLB12", "LPM from the application section can no longer read the boot loader section (ISP reads are "
                "not affected). Only a chip erase clears it."},
      {"BLB01", "SPM can no longer write the application section: a boot loader cannot update the "
                "application any more. Only a chip erase clears it."},
      {"BLB11", "SPM can no longer write the boot loader section. Only a chip erase clears it."},
  };
  for (const TBootLock& boot : kBootLocks)
    if (const auto bit = Named(chip, plans, boot.Name); bit && bit->Programmed && bit->Changes)
      plan.Warnings.push_back(std::string(boot.Name) + " programmed: " + boot.Text);
}

void PlanLockouts(const TConfigChip& chip, const std::vector<TConfigBytePlan>& plans, TConfigPlan& plan) {
  if (const auto spien = Named(chip, plans, "SPIEN"); spien && !spien->Programmed && spien->Changes)
    plan.Lockouts.push_back("Unprogramming SPIEN disables serial programming: ISP ends on this chip for good "
                            "(only a high-voltage programmer can recover it).");
  if (const auto rst = Named(chip, plans, "RSTDISBL"); rst && rst->Programmed && rst->Changes)
    plan.Lockouts.push_back(
        "Programming RSTDISBL turns the RESET pin into an I/O pin, and ISP needs RESET: ISP "
        "ends on this chip for good (only a high-voltage programmer can recover it).");
  if (const auto dwen = Named(chip, plans, "DWEN"); dwen && dwen->Programmed && dwen->Changes)
    plan.Lockouts.push_back(
        "Programming DWEN hands the RESET pin to debugWIRE: ISP ends on this chip (only a "
        "high-voltage programmer, or a debugWIRE debugger, can undo it).");
}

} // namespace

const char* ConfigByteName(TConfigByteId id) {
  static constexpr const char* kNames[] = {"lfuse", "hfuse", "efuse", "lock"};
  return kNames[size_t(id)];
}

const char* ConfigByteLabel(TConfigByteId id) {
  static constexpr const char* kLabels[] = {"low fuse byte", "high fuse byte", "extended fuse byte",
                                            "lock byte"};
  return kLabels[size_t(id)];
}

TConfigChip DescribeConfigChip(const TAvrSigType& record, const TAvrChipMemories& memories) {
  TConfigChip chip;
  chip.ChipName = record.CpuName;
  chip.Record = std::make_shared<const TAvrSigType>(record);
  for (TConfigByteId id : kAllBytes) {
    TConfigByte& byte = chip[id];
    const TAvrMemoryDesc& memory = memories[ConfigByteMemory(id)];
    byte.Id = id;
    byte.Present = memory.Present;
    byte.Writable = memory.Present && memory.Write.Present;
    byte.ReadableBits = memory.ReadableBits;
    byte.WritableBits = memory.WritableBits;
    byte.DescribedBits = memory.DescribedBits;
    if (const TAvrFeatureByte* features = MemoryFeatures(record, ConfigByteMemory(id)))
      for (int k = 0; k < 8; ++k)
        if (memory.DescribedBits >> k & 1) {
          const std::string& name = (*features)[size_t(k)].Name;
          byte.Bits.push_back(
              {name, DescriptionOf(id, name), uint8_t(k), (memory.WritableBits >> k & 1) != 0});
        }
  }
  return chip;
}

bool ParseConfigSettings(const std::string& text, TConfigScope scope, TConfigRequest& request,
                         std::string& error) {
  request.Scope = scope;
  request.Settings.clear();
  std::string_view rest(text);
  while (true) {
    const size_t comma = rest.find(',');
    const std::string item = Trim(rest.substr(0, comma));
    if (item.empty()) {
      error = "an empty item in '" + text + "'";
      return false;
    }
    TConfigSetting setting;
    setting.Text = item;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      // A bare value: the lock byte, or the only fuse byte.
      const auto value = ParseByteValue(item);
      if (!value || scope == TConfigScope::Any) {
        error = "'" + item + "' is not NAME=VALUE (for example lfuse=0xE2 or CKDIV8=unprogrammed)";
        return false;
      }
      setting.Target = scope == TConfigScope::Locks ? "lock" : "fuse";
      setting.Value = *value;
    } else {
      const std::string name = Trim(std::string_view(item).substr(0, eq));
      const std::string value_text = Trim(std::string_view(item).substr(eq + 1));
      const std::string lower = Lower(name);
      if (name.empty()) {
        error = "'" + item + "' names nothing before '='";
        return false;
      }
      if (lower == "lfuse" || lower == "hfuse" || lower == "efuse" || lower == "fuse" || lower == "lock") {
        const auto value = ParseByteValue(value_text);
        if (!value) {
          error = "'" + value_text + "' is no byte value (0x00..0xFF, 0..255 or 0b00000000..0b11111111)";
          return false;
        }
        setting.Target = lower;
        setting.Value = *value;
      } else {
        const auto state = ParseBitState(value_text);
        if (!state) {
          error = "'" + value_text + "' is no bit state for " + name + " (programmed, unprogrammed, 0 or 1)";
          return false;
        }
        setting.WholeByte = false;
        setting.Target = name;
        setting.Value = *state;
      }
    }
    request.Settings.push_back(std::move(setting));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return true;
}

bool TConfigPlan::HasWrites() const {
  return std::any_of(Bytes.begin(), Bytes.end(), [](const TConfigBytePlan& b) { return b.Write; });
}

TConfigPlan PlanConfigChange(const TConfigChip& chip, const TConfigRequest& request) {
  TConfigPlan plan;
  std::array<std::optional<uint8_t>, kConfigByteCount> requested;
  const bool fuses_allowed = request.Scope != TConfigScope::Locks;
  const bool locks_allowed = request.Scope != TConfigScope::Fuses;
  const std::string& name = chip.ChipName;

  for (const TConfigSetting& setting : request.Settings) {
    std::optional<TConfigByteId> id;
    uint8_t bit = 0;
    if (setting.WholeByte) {
      if (setting.Target == "fuse") {
        if (chip[TConfigByteId::HighFuse].Present || chip[TConfigByteId::ExtFuse].Present) {
          plan.Errors.push_back("'" + setting.Text + "': " + name +
                                " has more than one fuse byte: name it (lfuse, hfuse or efuse)");
          continue;
        }
        id = TConfigByteId::LowFuse;
      } else {
        for (TConfigByteId b : kAllBytes)
          if (setting.Target == ConfigByteName(b)) id = b;
      }
    } else {
      for (TConfigByteId b : kAllBytes)
        if (const TConfigBit* found = FindBit(chip[b], setting.Target)) {
          id = b;
          bit = found->Bit;
          break;
        }
      if (!id) {
        plan.Errors.push_back("'" + setting.Target + "' names no fuse or lock bit of " + name + ".");
        continue;
      }
    }
    if (!id) continue; // ParseConfigSettings admits no other byte names
    const bool is_lock = *id == TConfigByteId::Lock;
    if ((is_lock && !locks_allowed) || (!is_lock && !fuses_allowed)) {
      plan.Errors.push_back("'" + setting.Text + "' is " + (is_lock ? "a lock" : "a fuse") +
                            " setting: use " + (is_lock ? "'locks --set'" : "'fuses --set'") + " for it.");
      continue;
    }
    const TConfigByte& byte = chip[*id];
    if (setting.WholeByte) {
      requested[size_t(*id)] = setting.Value;
      continue;
    }
    std::optional<uint8_t> base = requested[size_t(*id)] ? requested[size_t(*id)] : byte.Current;
    if (!base) {
      plan.Errors.push_back(name + " cannot report its " + ConfigByteLabel(*id) + ", so " + setting.Target +
                            " cannot be changed on its own: give the whole byte (" + ConfigByteName(*id) +
                            "=0x..).");
      continue;
    }
    requested[size_t(*id)] = setting.Value ? uint8_t(*base | 1u << bit) : uint8_t(*base & ~(1u << bit));
  }

  for (TConfigByteId id : kAllBytes) {
    if (!requested[size_t(id)]) continue;
    const TConfigByte& byte = chip[id];
    const std::string label = ConfigByteLabel(id);
    if (!byte.Present) {
      plan.Errors.push_back(name + " has no " + label + " that ISP can reach.");
      continue;
    }
    if (!byte.Writable) {
      plan.Errors.push_back(name + " cannot write its " + label + " over ISP.");
      continue;
    }
    if (byte.DescribedBits == 0) {
      plan.Errors.push_back("The database does not describe the bits of the " + label + " of " + name +
                            ": it is not written, every bit would be a guess.");
      continue;
    }
    TConfigBytePlan b;
    b.Id = id;
    b.Current = byte.Current;
    b.Requested = *requested[size_t(id)];
    b.New = uint8_t(b.Requested | ~byte.DescribedBits);
    if (const uint8_t forced = uint8_t(~b.Requested & ~byte.DescribedBits); forced != 0)
      plan.Notes.push_back(std::string(ConfigByteName(id)) + ": bit" + (forced & (forced - 1) ? "s " : " ") +
                           BitList(forced) + " not used on " + name + ", written unprogrammed (1): " +
                           Hex(b.Requested) + " becomes " + Hex(b.New) + ".");
    // Bits the ISP cannot write stay as they are; asking for another value changes nothing.
    const uint8_t fixed = uint8_t(byte.DescribedBits & ~byte.WritableBits);
    if (byte.Current) {
      const uint8_t kept = uint8_t((b.New ^ *byte.Current) & fixed);
      b.New = uint8_t((b.New & ~fixed) | (*byte.Current & fixed));
      for (const TConfigBit& bit : byte.Bits)
        if (kept >> bit.Bit & 1)
          plan.Notes.push_back(
              bit.Name + " cannot be written over ISP on " + name + ": it keeps its value (" +
              (byte.ReadableBits >> bit.Bit & 1 ? StateText(IsProgrammed(*byte.Current, bit.Bit))
                                                : std::string("which this chip does not report")) +
              ").");
    }
    b.Write = !byte.Current || ((b.New ^ *byte.Current) & byte.WritableBits) != 0;
    for (const TConfigBit& bit : byte.Bits) {
      // A bit the read does not carry reads as 1: its state is unknown, and unchanged if it
      // cannot be written either.
      const bool readable = (byte.ReadableBits >> bit.Bit & 1) != 0;
      if (!readable && !bit.Writable) continue;
      const bool now = IsProgrammed(b.New, bit.Bit);
      const std::optional<bool> was =
          byte.Current && readable ? std::optional<bool>(IsProgrammed(*byte.Current, bit.Bit)) : std::nullopt;
      if (!was || *was != now) b.Changes.push_back({bit.Name, bit.Description, bit.Bit, was, now});
    }
    plan.Bytes.push_back(std::move(b));
  }

  // Lock bits can only be programmed; unprogramming them takes a chip erase.
  for (const TConfigBytePlan& b : plan.Bytes)
    if (b.Id == TConfigByteId::Lock && b.Current && b.Write)
      for (const TConfigBitChange& change : b.Changes)
        if (change.WasProgrammed && *change.WasProgrammed && !change.Programmed)
          plan.Errors.push_back(change.Name +
                                " is programmed, and only a chip erase unprograms lock bits: erase "
                                "the chip first (pinlet erase), then write the lock byte.");

  if (!chip.Record) return plan;
  for (const TConfigBytePlan& b : plan.Bytes)
    if (b.Id == TConfigByteId::LowFuse) PlanClock(chip, b, plan);
  PlanLockouts(chip, plan.Bytes, plan);
  PlanLock(chip, plan.Bytes, plan);

  // A programmed LB1 locks the fuses on the chips since the ATmega8: the write would not take.
  const TConfigByte& lock = chip[TConfigByteId::Lock];
  const bool fuse_writes = std::any_of(plan.Bytes.begin(), plan.Bytes.end(),
                                       [](auto& b) { return b.Write && b.Id != TConfigByteId::Lock; });
  if (const TConfigBit* lb1 = FindBit(lock, "LB1");
      fuse_writes && lb1 && lock.Current && IsProgrammed(*lock.Current, lb1->Bit))
    plan.Warnings.push_back("LB1 is programmed: the chip may ignore fuse writes while its lock bits are set "
                            "(the verify then fails); a chip erase clears them.");
  return plan;
}

TConfigPlan PlanConfigChange(const TAvrSigType& record, const TAvrChipMemories& memories,
                             const std::array<std::optional<uint8_t>, kConfigByteCount>& current,
                             const TConfigRequest& request) {
  TConfigChip chip = DescribeConfigChip(record, memories);
  for (size_t i = 0; i < chip.Bytes.size(); ++i) chip.Bytes[i].Current = current[i];
  return PlanConfigChange(chip, request);
}

uint32_t SpeedLevelMaxSckHz(uint8_t level) {
  const uint32_t half_period_us = SpiSpeedHalfPeriodUs(level);
  return half_period_us ? 1'000'000u / (2 * half_period_us) : 0;
}

std::optional<uint8_t> SpeedLevelForTargetClock(uint32_t target_hz) {
  const uint8_t level = FastestLevelForClock(target_hz);
  if (!LevelSuitsClock(level, target_hz)) return std::nullopt;
  return level;
}

TAvrMemory ConfigByteMemory(TConfigByteId id) {
  switch (id) {
  case TConfigByteId::LowFuse:
    return TAvrMemory::LowFuse;
  case TConfigByteId::HighFuse:
    return TAvrMemory::HighFuse;
  case TConfigByteId::ExtFuse:
    return TAvrMemory::ExtFuse;
  case TConfigByteId::Lock:
    break;
  }
  return TAvrMemory::Lock;
}
