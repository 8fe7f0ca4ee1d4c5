#include "devicedb/uAvrMemories.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::array<const char*, kAvrMemoryCount> kMemoryNames = {
    "flash", "eeprom", "lfuse", "hfuse", "efuse", "lock", "signature", "calibration"};

constexpr int8_t kNo = -1;
constexpr TAvrBitMap kNoBits{kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo};

// A bit map that carries the logical bits of mask at the same positions.
constexpr TAvrBitMap Identity(uint8_t mask) {
  TAvrBitMap map = kNoBits;
  for (int k = 0; k < 8; ++k)
    if (mask >> k & 1) map[size_t(k)] = int8_t(k);
  return map;
}

uint8_t Carried(const TAvrBitMap& map) {
  uint8_t mask = 0;
  for (int k = 0; k < 8; ++k)
    if (map[size_t(k)] >= 0) mask = uint8_t(mask | 1u << k);
  return mask;
}

// How one fuse or lock byte is read and written over ISP.
struct TConfigAccess {
  TIspOp Read;
  TAvrBitMap ReadBits = kNoBits;
  TIspOp Write;
  uint8_t WriteByteIndex = 3;
  TAvrBitMap WriteBits = kNoBits;
};

// The programming facts a family of CPU types shares. Times are the datasheets' maxima in µs.
struct TFamily {
  const char* Source;
  bool RdyBsy;
  bool FlashPaged;                              // page loads + 4C; otherwise byte writes with 40/48
  bool EepromPaged;                             // C1/C2 as well as C0
  std::array<uint8_t, 4> FlashBusy, EepromBusy; // value-polling answers while busy
  uint32_t FlashUs, EepromUs, EraseUs, FuseUs;
  TConfigAccess Lock, LowFuse, HighFuse, ExtFuse;
  bool DoubleErase = false;
  bool NoIsp = false; // programmed only in parallel or high-voltage modes
  // A new reset and Programming Enable after a chip erase (docs/memories.md, "The chip erase").
  bool EraseNeedsReset = false;
};

// ---- instruction layouts, each from the named datasheet's serial programming instruction set ----

// Parts since 2001 (ATmega8 and later): 58 00 / 50 00 / 58 08 / 50 08 read, AC E0 / A0 / A8 / A4 write,
// every bit in the fourth byte.
TConfigAccess ModernLock(uint8_t readable) {
  return {TIspOp::Of(0x58, 0x00, 0x00, 0x00), Identity(readable), TIspOp::Of(0xAC, 0xE0, 0x00, 0x00), 3,
          Identity(0xFF)};
}
TConfigAccess ModernFuse(uint8_t read_b1, uint8_t read_b2, uint8_t write_b2, uint8_t readable = 0xFF) {
  return {TIspOp::Of(read_b1, read_b2, 0x00, 0x00), Identity(readable),
          TIspOp::Of(0xAC, write_b2, 0x00, 0x00), 3, Identity(0xFF)};
}
TConfigAccess ModernLow(uint8_t readable = 0xFF) {
  return ModernFuse(0x50, 0x00, 0xA0, readable);
}
TConfigAccess ModernHigh(uint8_t readable = 0xFF) {
  return ModernFuse(0x58, 0x08, 0xA8, readable);
}
TConfigAccess ModernExt() {
  return ModernFuse(0x50, 0x08, 0xA4);
}

// The old parts write their lock bits in the second byte: AC 1111 1 2 1 1 (LB2 at bit 2, LB1 at 1).
TConfigAccess OldLockWrite(TIspOp read, TAvrBitMap read_bits) {
  return {read, read_bits, TIspOp::Of(0xAC, 0xF9, 0x00, 0x00), 1, Identity(0x06)};
}

const TConfigAccess kNone{};

constexpr std::array<uint8_t, 4> kBusyFF{0xFF, 0xFF, 0xFF, 0xFF};
// The classic parts answer 0x7F or 0xFF while a flash byte is written and 0x80, 0x7F or 0xFF while
// an EEPROM byte is (the value differs between parts and steps of the cycle); a written value
// among these cannot be polled, so it waits the full time.
constexpr std::array<uint8_t, 4> kBusyClassic{0x7F, 0xFF, 0x80, 0x00};

constexpr uint32_t kOldFlashUs = 10'000, kOldEepromUs = 10'000, kOldEraseUs = 30'000, kOldFuseUs = 10'000;

TFamily ModernFamily(const char* source, uint32_t flash_us, uint32_t eeprom_us, uint32_t erase_us,
                     uint32_t fuse_us, bool eeprom_paged, int fuse_bytes, uint8_t lock_readable) {
  TFamily f{source,
            true,
            true,
            eeprom_paged,
            kBusyFF,
            kBusyFF,
            flash_us,
            eeprom_us,
            erase_us,
            fuse_us,
            ModernLock(lock_readable),
            ModernLow(),
            kNone,
            kNone};
  if (fuse_bytes >= 2) f.HighFuse = ModernHigh();
  if (fuse_bytes >= 3) f.ExtFuse = ModernExt();
  return f;
}

// The parts without RDY/BSY: value polling where a cell can be read back, else the full time.
struct TTimes {
  uint32_t flash = kOldFlashUs, eeprom = kOldEepromUs, erase = kOldEraseUs, fuse = kOldFuseUs;
};
TFamily Polled(const char* source, bool flash_paged, const std::array<uint8_t, 4>& eeprom_busy, TTimes t,
               const TConfigAccess& lock, const TConfigAccess& low, const TConfigAccess& high = kNone) {
  TFamily f{source,      false,   flash_paged, false,   flash_paged ? kBusyFF : kBusyClassic,
            eeprom_busy, t.flash, t.eeprom,    t.erase, t.fuse,
            lock,        low,     high,        kNone};
  // AT90S8515 datasheet (0841G), Serial Programming Algorithm step 4: after a chip erase wait
  // tWD_ERASE, give RESET a positive pulse and start over from Programming Enable. The other parts
  // without RDY/BSY are of that generation and are treated alike.
  f.EraseNeedsReset = true;
  return f;
}

const TIspOp kOldRead = TIspOp::Of(0x58, 0x00, 0x00, 0x00);

TFamily FamilyOf(uint8_t type) {
  switch (type & 0x7F) {
  case actAT90S1200:
  case actAT90S2313:
  case actAT90S4414:
  case actAT90S8515:
    // No lock or fuse read over ISP; the lock bits can be written (AT90S8515 Table 32).
    return Polled("AT90S1200/2313/4414/8515 datasheets, Serial Programming Instruction Set; times not "
                  "given over ISP (10 ms byte, 30 ms erase assumed)",
                  false, kBusyClassic, {}, OldLockWrite(TIspOp{}, kNoBits), kNone);
  case actAT90S2323:
  case actAT90S2343:
  case actAT90S4434:
  case actAT90S8535:
  case actATtiny22: {
    // One read (58) gives LB1 in bit 7, LB2 in bit 6, SPIEN in bit 5 and FSTRT/RCEN in bit 0
    // (AT90S4434/8535 Table 43, AT90S2323/2343 and ATtiny22 likewise); AC 1011 111F writes bit 0.
    TFamily f = Polled("AT90S4434/8535 datasheet Table 43 (AT90S2323/2343, ATtiny22 alike); times not "
                       "given over ISP (10 ms byte, 30 ms erase assumed)",
                       false, kBusyClassic, {},
                       OldLockWrite(kOldRead, TAvrBitMap{kNo, 7, 6, kNo, kNo, kNo, kNo, kNo}),
                       {kOldRead, TAvrBitMap{0, kNo, kNo, kNo, kNo, 5, kNo, kNo},
                        TIspOp::Of(0xAC, 0xBE, 0x00, 0x00), 1, Identity(0x01)});
    // The ATtiny22's RCEN is set at the factory; its datasheet gives no serial write for it.
    if ((type & 0x7F) == actATtiny22) f.LowFuse.Write = TIspOp{};
    return f;
  }
  case actAT90S2333:
  case actAT90S4433:
    // AT90S4433 Table 35: lock bits 2,1 in 58 and in AC 1111 1211; fuses read in 50 (bits 5-0) and
    // written in AC 101 BODLEVEL BODEN CKSEL2..0 (SPIEN cannot be changed over ISP).
    return Polled("AT90S4433 datasheet Table 35; times not given over ISP (10 ms byte, 30 ms erase assumed)",
                  false, kBusyClassic, {}, OldLockWrite(kOldRead, Identity(0x06)),
                  {TIspOp::Of(0x50, 0x00, 0x00, 0x00), Identity(0x3F), TIspOp::Of(0xAC, 0xA0, 0x00, 0x00), 1,
                   Identity(0x1F)});
  case actATmega603:
  case actATmega103:
    // ATmega103 Table 44: 256-byte flash pages without RDY/BSY (up to 56 ms), fuses read in 50
    // (SPIEN 5, EESAVE 3, SUT1 1, SUT0 0) and written in AC 1011 EESAVE 1 SUT1 SUT0.
    return Polled("ATmega603/103 datasheet Table 44 (flash page 56 ms)", true, kBusyClassic,
                  {.flash = 56'000}, OldLockWrite(kOldRead, Identity(0x06)),
                  {TIspOp::Of(0x50, 0x00, 0x00, 0x00), Identity(0x2B), TIspOp::Of(0xAC, 0xB4, 0x00, 0x00), 1,
                   Identity(0x0B)});
  case actATmega161:
    // ATmega161 Table 48 (1228C): fuse read xDCB 1987 (BOOTRST 6, SPIEN 5, SUT 4, CKSEL2..0), write
    // 1D1B 1987 (SPIEN not writable); Tables 46, 47: flash page 14 ms, EEPROM 3.4 ms, erase 28 ms,
    // value polling (0xFF while busy).
    return Polled("ATmega161 datasheet Tables 46-48", true, kBusyFF,
                  {.flash = 14'000, .eeprom = 3'400, .erase = 28'000}, ModernLock(0x3F),
                  {TIspOp::Of(0x50, 0x00, 0x00, 0x00), Identity(0x77), TIspOp::Of(0xAC, 0xA0, 0x00, 0xA8), 3,
                   Identity(0x57)});
  case actATmega163:
    // ATmega163 Tables 59, 60: fuse read CBxx A987 (bits 5, 4 undefined), high xxxx 1FED; writes
    // CB11 A987 and 1111 1FED; flash page 16 ms, EEPROM 4 ms, erase 32 ms, fuses 2 ms.
    return Polled("ATmega163 datasheet Tables 59, 60", true, kBusyFF,
                  {.flash = 16'000, .eeprom = 4'000, .erase = 32'000, .fuse = 2'000}, ModernLock(0x3F),
                  {TIspOp::Of(0x50, 0x00, 0x00, 0x00), Identity(0xCF), TIspOp::Of(0xAC, 0xA0, 0x00, 0x30), 3,
                   Identity(0xCF)},
                  {TIspOp::Of(0x58, 0x08, 0x00, 0x00), Identity(0x07), TIspOp::Of(0xAC, 0xA8, 0x00, 0xF8), 3,
                   Identity(0x07)});
  case actATmega323:
    // Like the ATmega163 in layout, with the full high fuse byte; no RDY/BSY, times not found.
    return Polled("ATmega323 datasheet, Serial Programming Instruction Set; times not found (10 ms page, "
                  "30 ms erase assumed)",
                  true, kBusyFF, {}, ModernLock(0x3F), ModernLow(), ModernHigh());
  case actATtiny12:
  case actATtiny15: {
    // ATtiny11/12 Table 25: byte-wise flash (40/48 with the word address) and EEPROM (C0), lock bits
    // as the AT90S4433, fuses read (50) and written (AC A0 xx) with every bit in the fourth byte.
    // The ATtiny15's instruction set has the same layout.
    TFamily f = Polled("ATtiny11/12 datasheet Table 25 (ATtiny15L alike); times not given over ISP (10 ms "
                       "byte, 30 ms erase assumed)",
                       false, kBusyClassic, {}, OldLockWrite(kOldRead, Identity(0x06)),
                       {TIspOp::Of(0x50, 0x00, 0x00, 0x00), Identity(0xFF),
                        TIspOp::Of(0xAC, 0xA0, 0x00, 0x00), 3, Identity(0xFF)});
    f.DoubleErase = (type & 0x7F) == actATtiny12;
    return f;
  }
  case actATtiny10:
  case actATtiny11:
  case actATtiny28:
  case actAT90S8534: {
    TFamily f{"programmed in parallel or high-voltage mode only",
              false,
              false,
              false,
              kBusyFF,
              kBusyFF,
              kOldFlashUs,
              kOldEepromUs,
              kOldEraseUs,
              kOldFuseUs,
              kNone,
              kNone,
              kNone,
              kNone};
    f.NoIsp = true;
    return f;
  }
  // ATmega8 Table 97, ATmega8515 Table 93, ATmega16A Table 26-12: flash and fuses 4.5 ms, EEPROM
  // and erase 9.0 ms; EEPROM written byte by byte.
  case actATmega8:
  case actATmega8515:
  case actATmega8535:
  case actATmega16:
  case actATmega32:
    return ModernFamily("ATmega8 Table 97, ATmega8515 Table 93, ATmega16A Table 26-12", 4'500, 9'000, 9'000,
                        4'500, false, 2, 0x3F);
  case actATmega162:
  case actATmega169:
  case actATmega64:
  case actATmega128:
    return ModernFamily("ATmega128 and ATmega162/169 serial programming characteristics", 4'500, 9'000, 9'000,
                        4'500, false, 3, 0x3F);
  case actATtiny26:
    return ModernFamily("ATtiny26 serial programming characteristics", 4'500, 9'000, 9'000, 4'500, false, 2,
                        0x03);
  case actATtiny13:
    return ModernFamily("ATtiny13 serial programming characteristics (erase limit 9 ms assumed)", 4'500,
                        4'000, 9'000, 4'500, true, 2, 0x03);
  case actATtiny2313:
    return ModernFamily("ATtiny2313 Table 77", 4'500, 4'000, 4'000, 4'500, true, 3, 0x03);
  case actATtiny25:
  case actATtiny45:
  case actATtiny85:
  case actATtiny261:
  case actATtiny461:
  case actATtiny861:
    return ModernFamily(
        "ATtiny25/45/85 and ATtiny261/461/861 serial programming characteristics (erase limit 9 ms assumed)",
        4'500, 4'000, 9'000, 4'500, true, 3, 0x03);
  case actATmega48:
    // The ATmega48 has no boot lock bits.
    return ModernFamily("ATmega48/88/168/328P serial programming characteristics", 4'500, 3'600, 9'000, 4'500,
                        true, 3, 0x03);
  case actATmega88:
  case actATmega168:
    return ModernFamily("ATmega48/88/168/328P serial programming characteristics", 4'500, 3'600, 9'000, 4'500,
                        true, 3, 0x3F);
  case actATmega164:
  case actATmega324:
  case actATmega644:
    return ModernFamily("ATmega164/324/644 serial programming characteristics (erase 10.5 ms)", 4'500, 3'600,
                        10'500, 4'500, true, 3, 0x3F);
  case actAT90CAN32:
  case actAT90CAN64:
  case actAT90CAN128:
  case actATmega640:
  case actATmega1280:
  case actATmega1281:
  case actATmega2560:
  case actATmega2561:
    return ModernFamily("ATmega640/1280/2560 and AT90CAN serial programming characteristics", 4'500, 3'600,
                        9'000, 4'500, true, 3, 0x3F);
  default:
    // An unknown type: the modern instruction set, with the longest modern times as the limit.
    return ModernFamily("no CPU type: modern instruction set assumed", 4'500, 9'000, 10'500, 4'500, false, 3,
                        0x3F);
  }
}

uint8_t DescribedBits(const TAvrFeatureByte& features) {
  uint8_t mask = 0;
  for (int k = 0; k < 8; ++k)
    if (features[size_t(k)].Bit == k) mask = uint8_t(mask | 1u << k);
  return mask;
}

void SetConfig(TAvrMemoryDesc& m, const TConfigAccess& access, const TAvrFeatureByte* features,
               TAvrReady ready, uint32_t write_us) {
  m.Present = access.Read.Present || access.Write.Present;
  m.Size = m.Present ? 1 : 0;
  m.Read = access.Read;
  m.ReadBits = access.Read.Present ? access.ReadBits : kNoBits;
  m.Write = access.Write;
  m.WriteBits = access.Write.Present ? access.WriteBits : kNoBits;
  m.WriteByteIndex = access.WriteByteIndex;
  m.ReadableBits = Carried(m.ReadBits);
  m.WritableBits = Carried(m.WriteBits);
  m.DescribedBits = features ? DescribedBits(*features) : 0;
  // A fuse write cannot be value-polled (its read may not carry every bit): RDY/BSY or timed.
  m.Ready = ready == TAvrReady::RdyBsy ? TAvrReady::RdyBsy : TAvrReady::Timed;
  m.MaxWriteUs = write_us;
}

uint32_t Given(int32_t value, uint32_t fallback) {
  return value > 0 ? uint32_t(value) : fallback;
}

} // namespace

const char* AvrMemoryName(TAvrMemory memory) {
  return kMemoryNames[size_t(memory)];
}

std::optional<TAvrMemory> AvrMemoryFromName(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  for (int i = 0; i < kAvrMemoryCount; ++i)
    if (lower == kMemoryNames[size_t(i)]) return TAvrMemory(i);
  return std::nullopt;
}

const TAvrFeatureByte* MemoryFeatures(const TAvrSigType& record, TAvrMemory memory) {
  switch (memory) {
  case TAvrMemory::LowFuse:
    return &record.Fuses.Low;
  case TAvrMemory::HighFuse:
    return &record.Fuses.High;
  case TAvrMemory::ExtFuse:
    return &record.Fuses.Ext;
  case TAvrMemory::Lock:
    return &record.Locks.Low;
  default:
    return nullptr;
  }
}

TAvrChipMemories DescribeMemories(const TAvrSigType& record) {
  const TFamily family = FamilyOf(record.CpuType);
  const TAvrProgrammingFacts& facts = record.Programming;
  TAvrChipMemories chip;
  chip.Known = true;
  chip.Source = family.Source;
  chip.HasRdyBsy = facts.RdyBsy >= 0 ? facts.RdyBsy == 1 : family.RdyBsy;
  chip.DoubleErase = family.DoubleErase;
  chip.EraseNeedsReset = family.EraseNeedsReset;
  chip.EraseUs = Given(facts.EraseUs, family.EraseUs);
  chip.EraseReady = chip.HasRdyBsy ? TAvrReady::RdyBsy : TAvrReady::Timed;
  const TAvrReady ready = chip.HasRdyBsy ? TAvrReady::RdyBsy : TAvrReady::ValuePoll;
  if (family.NoIsp) {
    chip.Erase = TIspOp{};
    return chip;
  }

  TAvrMemoryDesc& flash = chip[TAvrMemory::Flash];
  flash.Kind = TAvrMemory::Flash;
  flash.Present = record.MemSize.Flash > 0;
  flash.Size = std::max(record.MemSize.Flash, 0);
  flash.Read = TIspOp::Of(0x20, 0x00, 0x00, 0x00);
  flash.ReadHigh = TIspOp::Of(0x28, 0x00, 0x00, 0x00);
  flash.Load = TIspOp::Of(0x40, 0x00, 0x00, 0x00);
  flash.LoadHigh = TIspOp::Of(0x48, 0x00, 0x00, 0x00);
  // A paged family whose record gives no page size cannot be written: the page loads would be
  // addressed blindly. Byte mode is only for the parts whose ISP has no pages at all.
  if (family.FlashPaged) {
    flash.PageSize = std::max(record.PageSize.Flash, 0);
    flash.Commit = TIspOp::Of(0x4C, 0x00, 0x00, 0x00);
    if (flash.PageSize == 0) flash.Load = flash.LoadHigh = TIspOp{};
  }
  flash.Ready = ready;
  flash.BusyValues = family.FlashBusy;
  flash.MaxWriteUs = Given(facts.FlashWriteUs, family.FlashUs);

  TAvrMemoryDesc& eeprom = chip[TAvrMemory::Eeprom];
  eeprom.Kind = TAvrMemory::Eeprom;
  eeprom.Present = record.MemSize.EEPROM > 0;
  eeprom.Size = std::max(record.MemSize.EEPROM, 0);
  if (eeprom.Present) {
    eeprom.Read = TIspOp::Of(0xA0, 0x00, 0x00, 0x00);
    eeprom.Write = TIspOp::Of(0xC0, 0x00, 0x00, 0x00);
    const bool paged = facts.EepromPageMode >= 0 ? facts.EepromPageMode == 1 : family.EepromPaged;
    if (paged && record.PageSize.EEPROM > 1) {
      eeprom.PageSize = record.PageSize.EEPROM;
      eeprom.Load = TIspOp::Of(0xC1, 0x00, 0x00, 0x00);
      eeprom.Commit = TIspOp::Of(0xC2, 0x00, 0x00, 0x00);
    }
  }
  eeprom.Ready = ready;
  eeprom.BusyValues = family.EepromBusy;
  eeprom.MaxWriteUs = Given(facts.EepromWriteUs, family.EepromUs);

  const uint32_t fuse_us = Given(facts.FuseWriteUs, family.FuseUs);
  const std::array<std::pair<TAvrMemory, const TConfigAccess*>, 4> configs = {{
      {TAvrMemory::LowFuse, &family.LowFuse},
      {TAvrMemory::HighFuse, &family.HighFuse},
      {TAvrMemory::ExtFuse, &family.ExtFuse},
      {TAvrMemory::Lock, &family.Lock},
  }};
  for (const auto& [kind, access] : configs) {
    TAvrMemoryDesc& m = chip[kind];
    m.Kind = kind;
    SetConfig(m, *access, MemoryFeatures(record, kind), ready, fuse_us);
  }

  TAvrMemoryDesc& signature = chip[TAvrMemory::Signature];
  signature.Kind = TAvrMemory::Signature;
  signature.Present = true;
  signature.Size = 3;
  signature.Read = TIspOp::Of(0x30, 0x00, 0x00, 0x00);
  TAvrMemoryDesc& calibration = chip[TAvrMemory::Calibration];
  calibration.Kind = TAvrMemory::Calibration;
  calibration.Present = true;
  calibration.Size = 1;
  calibration.Read = TIspOp::Of(0x38, 0x00, 0x00, 0x00);

  // The fuse that keeps the EEPROM through an erase, wherever the record names it.
  for (const auto& [kind, access] : configs) {
    const TAvrFeatureByte* features = MemoryFeatures(record, kind);
    if (kind == TAvrMemory::Lock || !features) continue;
    for (int k = 0; k < 8; ++k)
      if ((*features)[size_t(k)].Bit == k && (*features)[size_t(k)].Name == "EESAVE") {
        chip.EesaveFuse = kind;
        chip.EesaveBit = int8_t(k);
      }
  }
  return chip;
}

uint8_t LogicalFromAnswer(const TAvrMemoryDesc& memory, uint8_t answer) {
  uint8_t value = 0xFF;
  for (int k = 0; k < 8; ++k) {
    const int8_t at = memory.ReadBits[size_t(k)];
    if (at >= 0 && (answer >> at & 1) == 0) value = uint8_t(value & ~(1u << k));
  }
  return value;
}

TIspOp WriteInstruction(const TAvrMemoryDesc& memory, uint8_t logical_value) {
  TIspOp op = memory.Write;
  if (!op.Present) return op;
  uint8_t& byte = op.Bytes[memory.WriteByteIndex & 3];
  for (int k = 0; k < 8; ++k) {
    const int8_t at = memory.WriteBits[size_t(k)];
    if (at < 0) continue;
    if (logical_value >> k & 1)
      byte = uint8_t(byte | 1u << at);
    else
      byte = uint8_t(byte & ~(1u << at));
  }
  return op;
}
