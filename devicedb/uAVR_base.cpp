#include "devicedb/uAVR_base.h"

#include <cstdio>
#include <utility>

std::vector<TAvrSigType> SignatureTable;
std::vector<TAbbrevMapEntry> LockAbbrevMap;
std::vector<TAbbrevMapEntry> FuseAbbrevMap;

namespace {

// In ordinal order; the database file names the members by exactly these identifiers.
constexpr std::array<const char*, kAvrCpuTypeCount> kCpuTypeIdentifiers = {
    "actUnknown",    "actAT90S1200",  "actAT90S2313", "actAT90S4414",  "actAT90S8515",  "actATmega603",
    "actATmega103",  "actAT90S2323",  "actAT90S2343", "actAT90S4434",  "actAT90S8535",  "actAT90S2333",
    "actAT90S4433",  "actAT90S8534",  "actATmega8",   "actATmega8515", "actATmega8535", "actATmega161",
    "actATmega163",  "actATmega16",   "actATmega162", "actATmega169",  "actATmega323",  "actATmega32",
    "actATmega128",  "actATmega64",   "actATtiny10",  "actATtiny11",   "actATtiny12",   "actATtiny13",
    "actATtiny15",   "actATtiny22",   "actATtiny26",  "actATtiny28",   "actATtiny2313", "actATtiny25",
    "actATtiny45",   "actATtiny85",   "actATtiny261", "actATtiny461",  "actATtiny861",  "actATmega48",
    "actATmega88",   "actATmega168",  "actATmega164", "actATmega324",  "actATmega644",  "actAT90CAN32",
    "actAT90CAN64",  "actAT90CAN128", "actATmega640", "actATmega1280", "actATmega1281", "actATmega2560",
    "actATmega2561", "actAT90S0000"};
static_assert(actAT90S0000 == kAvrCpuTypeCount - 1);

constexpr uint8_t kAtmelManufacturer = 0x1E;

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool IsUndescribed(const TAvrFeatureByte& features) {
  for (const TAvrFeature& f : features)
    if (f.Bit != -1) return false;
  return true;
}

} // namespace

uint8_t CpuTypeFromName(std::string_view name) {
  for (size_t i = 0; i < kCpuTypeIdentifiers.size(); ++i)
    if (EqualsIgnoringCase(name, kCpuTypeIdentifiers[i])) return uint8_t(i);
  return kNoCpuType;
}

const char* CpuTypeIdentifier(uint8_t type) {
  return type < kCpuTypeIdentifiers.size() ? kCpuTypeIdentifiers[type] : "";
}

int32_t FindSignature(const TAvrSignature& sig, bool* conclusive) {
  int32_t first = -1;
  int matches = 0;
  for (size_t i = 0; i < SignatureTable.size(); ++i) {
    const TAvrSignature& s = SignatureTable[i].Sig;
    if (s.byte1 != sig.byte1 || s.byte2 != sig.byte2 || s.byte3 != sig.byte3) continue;
    if (first < 0) first = int32_t(i);
    // Two are enough to know the answer is not conclusive.
    if (++matches > 1 && !conclusive) break;
  }
  if (conclusive) *conclusive = matches == 1;
  return first;
}

namespace {

bool IsPowerOfTwo(int32_t value) {
  return value > 0 && (value & (value - 1)) == 0;
}

// Judges one memory of a record; an empty text when its sizes can be used. min_size 0: the memory
// may be absent from the chip (the smallest parts have no EEPROM), and then has no pages either.
std::string MemoryProblem(const char* memory, int32_t size, int32_t page, int32_t min_size, int32_t max_size,
                          int32_t min_page) {
  const std::string what = memory;
  if (size != -1 && (size < min_size || size > max_size))
    return what + " size " + std::to_string(size) + " is not a size an AVR can have (" +
           std::to_string(min_size) + " to " + std::to_string(max_size) + " bytes)";
  if (page == -1 || size == 0) return {};
  if (!IsPowerOfTwo(page) || page < min_page)
    return what + " page size " + std::to_string(page) + " is not a power of two" +
           (min_page > 1 ? " of at least " + std::to_string(min_page) + " bytes" : std::string());
  if (size == -1) return {};
  if (page > size)
    return what + " page size " + std::to_string(page) + " is larger than the " + memory + " (" +
           std::to_string(size) + " bytes)";
  if (size % page != 0)
    return what + " size " + std::to_string(size) + " is not a whole number of " + std::to_string(page) +
           "-byte pages";
  return {};
}

} // namespace

bool RecordSizesUsable(const TAvrSigType& record, std::string* reason) {
  std::string problem =
      MemoryProblem("flash", record.MemSize.Flash, record.PageSize.Flash, 1, kMaxRecordFlashBytes, 2);
  if (problem.empty())
    problem =
        MemoryProblem("EEPROM", record.MemSize.EEPROM, record.PageSize.EEPROM, 0, kMaxRecordEepromBytes, 1);
  if (problem.empty()) return true;
  if (reason) *reason = "The device record \"" + record.CpuName + "\" is unusable: its " + problem + ".";
  return false;
}

bool FlashSizesAgree(const TAvrSigType& a, const TAvrSigType& b) {
  return a.MemSize.Flash == b.MemSize.Flash && a.PageSize.Flash == b.PageSize.Flash;
}

std::vector<const TAvrSigType*> MatchingRecords(const TAvrSignature& sig) {
  std::vector<const TAvrSigType*> found;
  for (const TAvrSigType& record : SignatureTable)
    if (record.Sig.byte1 == sig.byte1 && record.Sig.byte2 == sig.byte2 && record.Sig.byte3 == sig.byte3)
      found.push_back(&record);
  return found;
}

const TAvrSigType* GetCpuInfo(const TAvrSignature& sig) {
  if (sig.byte1 != kAtmelManufacturer) return nullptr;
  const int32_t index = FindSignature(sig);
  return index < 0 ? nullptr : &SignatureTable[size_t(index)];
}

std::string FormatUnknownCpu(const TAvrSignature& sig) {
  const char* format = sig.byte1 == kAtmelManufacturer
                           ? "Unknown Atmel CPU(0x%02X:%02X:%02X:%02X)!\r\n"
                           : "This is not a Atmel CPU(0x%02X:%02X:%02X:%02X)!\r\n";
  char text[64];
  std::snprintf(text, sizeof text, format, sig.byte1, sig.byte2, sig.byte3, sig.byte4);
  return text;
}

std::string DescribeCpu(const TAvrSignature& sig) {
  if (sig.byte1 != kAtmelManufacturer) return FormatUnknownCpu(sig);
  bool conclusive = false;
  const int32_t index = FindSignature(sig, &conclusive);
  if (index < 0) return FormatUnknownCpu(sig);
  const TAvrSigType& info = SignatureTable[size_t(index)];
  std::string text = info.CpuName;
  // Integer division truncates toward zero, so an unknown size (-1) shows as 0KB.
  text += ", " + std::to_string(info.MemSize.Flash / 1024) + "KB Flash, " +
          std::to_string(info.MemSize.EEPROM) + "Byte EEPROM";
  if (!conclusive) text += " (NON CONCLUSIVE!)";
  return text;
}

void AppendSetFeatures(const TAvrFeatureByte& features, uint8_t value, std::string& text) {
  for (const TAvrFeature& f : features) {
    // A bit number outside the byte can only come from a hand-built record; it names nothing.
    if (f.Bit < 0 || f.Bit > 7) continue;
    if (value & (1u << f.Bit)) {
      text += f.Name;
      text += "; ";
    }
  }
}

std::string ExplainLocks(const TAvrSigType* info, uint8_t value) {
  std::string text;
  if (!info) return text;
  if (IsUndescribed(info->Locks.Low)) return "<No \"Locks\" section in signature DB!>";
  AppendSetFeatures(info->Locks.Low, value, text);
  return text;
}

std::string ExplainFuses(const TAvrSigType* info, uint32_t value) {
  std::string text;
  if (!info) return text;
  const std::array<std::pair<const TAvrFeatureByte*, uint8_t>, 3> bytes = {{
      {&info->Fuses.Low, uint8_t(value)},
      {&info->Fuses.High, uint8_t(value >> 8)},
      {&info->Fuses.Ext, uint8_t(value >> 16)},
  }};
  for (const auto& [features, byte] : bytes)
    if (byte != 0 && IsUndescribed(*features))
      return "<No \"Fuses\" section for queried value in signature DB!>";
  for (const auto& [features, byte] : bytes) AppendSetFeatures(*features, byte, text);
  return text;
}
