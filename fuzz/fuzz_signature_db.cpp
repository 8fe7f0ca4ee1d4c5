// Feeds arbitrary bytes to the device database loader as if they were the file's content, then
// runs the identification and bit texts over whatever was loaded. Besides the sanitizers, it
// aborts when a load that reported success left the tables in a state the rest of the program
// does not expect.
#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool InVocabulary(const std::string& name, const std::vector<TAbbrevMapEntry>& map) {
  return std::any_of(map.begin(), map.end(), [&](const TAbbrevMapEntry& e) { return e.Abbrev == name; });
}

void CheckByte(const TAvrFeatureByte& features, const std::vector<TAbbrevMapEntry>& map) {
  bool described = false;
  for (size_t k = 0; k < features.size(); ++k) {
    const TAvrFeature& f = features[k];
    if (f.Bit != -1 && f.Bit != int32_t(k)) std::abort();
    if (f.Bit == -1 && (!f.Name.empty() || f.Default != -1)) std::abort();
    described |= f.Bit != -1;
  }
  if (described)
    for (const TAvrFeature& f : features)
      if (!InVocabulary(f.Name, map)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error_text, section_error;
  const HRESULT hr = LoadSignatureDBFromBytes(data, size, error_text, &section_error);
  if (hr == XML_E_PARSE && error_text.empty()) std::abort();
  if (hr != S_OK) return 0;

  if (LockAbbrevMap.empty() || FuseAbbrevMap.empty() || SignatureTable.empty()) std::abort();
  for (const TAvrSigType& record : SignatureTable) {
    if (record.CpuName.size() > 255) std::abort();
    if (record.CpuType >= kAvrCpuTypeCount && record.CpuType != kNoCpuType) std::abort();
    CheckByte(record.Locks.Low, LockAbbrevMap);
    CheckByte(record.Fuses.Low, FuseAbbrevMap);
    CheckByte(record.Fuses.High, FuseAbbrevMap);
    CheckByte(record.Fuses.Ext, FuseAbbrevMap);

    TAvrSignature sig = record.Sig;
    sig.byte1 = 0x1E;
    const std::string description = DescribeCpu(sig);
    if (description.empty()) std::abort();
    const TAvrSigType* info = GetCpuInfo(record.Sig);
    if (record.Sig.byte1 == 0x1E && !info) std::abort();
    for (unsigned value : {0x00u, 0x5Au, 0xFFu}) (void)ExplainLocks(&record, uint8_t(value));
    for (uint32_t value : {0x000000u, 0x0000FFu, 0x00FF00u, 0xFFFFFFu}) (void)ExplainFuses(&record, value);
  }
  return 0;
}
