// Feeds arbitrary --set texts to the settings parser and plans what parses on an ATmega328P-like
// record whose bytes read as the fuzzer says. Besides not crashing: a plan never writes a
// reserved bit programmed, never changes a bit the ISP cannot write, and a refusal is never lost.
#include "app/uFuseEdit.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

TAvrSigType Record() {
  TAvrSigType r;
  r.CpuName = "ATmega328P";
  r.CpuType = actATmega168;
  const char* const low[] = {"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "SUT0", "SUT1", "CKOUT", "CKDIV8"};
  const char* const high[] = {"BOOTRST", "BOOTSZ0", "BOOTSZ1", "EESAVE",
                              "WDTON",   "SPIEN",   "DWEN",    "RSTDISBL"};
  const char* const lock[] = {"LB1", "LB2", "BLB01", "BLB02", "BLB11", "BLB12"};
  for (int k = 0; k < 8; ++k) {
    r.Fuses.Low[size_t(k)] = {low[k], k, 1};
    r.Fuses.High[size_t(k)] = {high[k], k, 1};
  }
  for (int k = 0; k < 3; ++k) r.Fuses.Ext[size_t(k)] = {"BODLEVEL" + std::to_string(k), k, 1};
  for (int k = 0; k < 6; ++k) r.Locks.Low[size_t(k)] = {lock[k], k, 1};
  return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static const TAvrSigType record = Record();
  static const TAvrChipMemories memories = DescribeMemories(record);
  const TConfigScope scope = TConfigScope(data[0] % 3);
  const std::array<std::optional<uint8_t>, kConfigByteCount> current = {data[1], data[2], data[3], data[4]};
  TConfigRequest request;
  std::string error;
  if (!ParseConfigSettings(std::string(reinterpret_cast<const char*>(data + 5), size - 5), scope, request,
                           error)) {
    if (error.empty()) std::abort(); // a refusal says why
    return 0;
  }
  const TConfigPlan plan = PlanConfigChange(record, memories, current, request);
  for (const TConfigBytePlan& b : plan.Bytes) {
    const TAvrMemoryDesc& m = memories.Memory[size_t(b.Id) + size_t(TAvrMemory::LowFuse)];
    if (uint8_t(~b.New & ~m.DescribedBits) != 0) std::abort();
    if (((b.New ^ *b.Current) & m.DescribedBits & ~m.WritableBits) != 0) std::abort();
  }
  if (!plan.Errors.empty() && !plan.Refused(true)) std::abort();
  return 0;
}
