// The device vocabulary and the in-memory device database: CPU types, signatures, device records,
// the three process-wide tables that a database load fills, and identification and bit naming.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The ordinals are a contract: the ISP layer picks its lock/fuse command variants by them and the
// database file names the members by their identifiers.
// clang-format off
enum TeAvrCpuType : uint8_t {
  actUnknown = 0, actAT90S1200, actAT90S2313, actAT90S4414, actAT90S8515, actATmega603, actATmega103,
  actAT90S2323, actAT90S2343, actAT90S4434, actAT90S8535, actAT90S2333, actAT90S4433, actAT90S8534,
  actATmega8, actATmega8515, actATmega8535, actATmega161, actATmega163, actATmega16, actATmega162,
  actATmega169, actATmega323, actATmega32, actATmega128, actATmega64, actATtiny10, actATtiny11,
  actATtiny12, actATtiny13, actATtiny15, actATtiny22, actATtiny26, actATtiny28, actATtiny2313,
  actATtiny25, actATtiny45, actATtiny85, actATtiny261, actATtiny461, actATtiny861, actATmega48,
  actATmega88, actATmega168, actATmega164, actATmega324, actATmega644, actAT90CAN32, actAT90CAN64,
  actAT90CAN128, actATmega640, actATmega1280, actATmega1281, actATmega2560, actATmega2561, actAT90S0000
};
// clang-format on
constexpr int kAvrCpuTypeCount = 56;
constexpr uint8_t kNoCpuType = 255; // a record whose file entry named no member

// byte1 is the manufacturer code (0x1E for Atmel). As one value: byte1 in bits 0-7 ... byte4 in 24-31.
struct TAvrSignature {
  uint8_t byte1 = 0, byte2 = 0, byte3 = 0, byte4 = 0;

  uint32_t AsUInt32() const {
    return uint32_t(byte1) | uint32_t(byte2) << 8 | uint32_t(byte3) << 16 | uint32_t(byte4) << 24;
  }
  static TAvrSignature FromUInt32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  }
  friend bool operator==(const TAvrSignature&, const TAvrSignature&) = default;
};

struct TAvrFeature {
  std::string Name; // an abbreviation of the matching vocabulary
  int32_t Bit = -1; // 0..7; -1 = position not described
  int32_t Default = -1;
};
using TAvrFeatureByte = std::array<TAvrFeature, 8>; // indexed by bit number

struct TAbbrevMapEntry {
  std::string Abbrev;
  std::string Text;
};

struct TAvrMemPair {
  int32_t Flash = -1;
  int32_t EEPROM = -1;
};

// Programming facts a record may give in its optional <Programming> element, overriding those of
// its CPU type's family; -1 = not given.
struct TAvrProgrammingFacts {
  int32_t FlashWriteUs = -1;   // page write (byte write on parts without pages), maximum
  int32_t EepromWriteUs = -1;  // EEPROM byte or page write, maximum
  int32_t EraseUs = -1;        // chip erase
  int32_t FuseWriteUs = -1;    // fuse or lock byte write
  int32_t RdyBsy = -1;         // 1: Poll RDY/BSY works; 0: it does not
  int32_t EepromPageMode = -1; // 1: EEPROM page loads (C1/C2); 0: byte writes (C0) only
};

struct TAvrSigType {
  std::string CpuName; // at most 255 characters
  uint8_t CpuType = kNoCpuType;
  TAvrSignature Sig;
  int32_t EraseBeforeFlash = -1;
  TAvrMemPair MemSize, PageSize, PageNo;
  struct {
    TAvrFeatureByte Low;
  } Locks;
  struct {
    TAvrFeatureByte Low, High, Ext;
  } Fuses;
  TAvrProgrammingFacts Programming;
};

// Process-wide tables, written only by LoadSignatureDB. A record reference is valid until the
// next load.
extern std::vector<TAvrSigType> SignatureTable;
extern std::vector<TAbbrevMapEntry> LockAbbrevMap;
extern std::vector<TAbbrevMapEntry> FuseAbbrevMap;

// Ordinal of the member whose identifier equals name (case-insensitive, prefix included), else 255.
uint8_t CpuTypeFromName(std::string_view name);
// Identifier of a member ("actATmega8"); "" for codes that are no member.
const char* CpuTypeIdentifier(uint8_t type);

// Limits of the sizes a record may give: generous for every AVR that has serial programming (the
// largest holds 256 KB of flash and 4 KB of EEPROM), small enough that nothing built from a record
// allocates absurd amounts.
constexpr int32_t kMaxRecordFlashBytes = 1 << 20;
constexpr int32_t kMaxRecordEepromBytes = 1 << 16;

// Whether the memory sizes a record gives can be used to program, read or simulate the chip.
// Sizes the record does not give (-1) are not judged here: the operations that need them report
// them as missing. Otherwise the flash and EEPROM sizes must be positive and within the limits
// above, and each page size a power of two (the flash page at least one word) that divides its
// memory. When they cannot be used, reason (if given) says why, naming the record.
bool RecordSizesUsable(const TAvrSigType& record, std::string* reason = nullptr);
// Whether two records give the same flash and flash page sizes, so that a transfer does the same
// on either.
bool FlashSizesAgree(const TAvrSigType& a, const TAvrSigType& b);
// Every record whose signature matches (byte1 to byte3, as FindSignature), in table order.
std::vector<const TAvrSigType*> MatchingRecords(const TAvrSignature& sig);

int32_t FindSignature(const TAvrSignature& sig, bool* conclusive = nullptr);
const TAvrSigType* GetCpuInfo(const TAvrSignature& sig);
std::string DescribeCpu(const TAvrSignature& sig);
std::string FormatUnknownCpu(const TAvrSignature& sig);
void AppendSetFeatures(const TAvrFeatureByte& features, uint8_t value, std::string& text);
std::string ExplainLocks(const TAvrSigType* info, uint8_t value);
std::string ExplainFuses(const TAvrSigType* info, uint32_t value);
