// Feeds arbitrary bytes to the ELF reader as both parts. A refusal must say why; an accepted file's
// images must hold exactly its chunks' bytes, covered, within the largest image.
#include "memimage/uElfFile.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  TAvrElfContent content;
  std::string error;
  const HRESULT parsed = ParseAvrElf(file, content, error);
  if ((parsed == S_OK) == !error.empty()) std::abort();
  if (content.Fuses.size() > 16 || content.Lock.size() > 16 || content.Signature.size() > 16) std::abort();
  for (const TImagePart part : {TImagePart::Flash, TImagePart::Eeprom}) {
    auto elf = NewElfFile(part);
    const HRESULT loaded = elf->LoadFromStream(NewMemoryIStream(file));
    if (loaded != parsed) std::abort();
    if (loaded != S_OK) continue;
    auto image = QueryInterface<IuCMemStream>(elf);
    const auto& chunks = part == TImagePart::Eeprom ? content.Eeprom : content.Flash;
    // Later chunks win where they overlap, so the last chunk's bytes must read back as they are.
    if (chunks.empty()) continue;
    const TElfChunk& last = chunks.back();
    if (part == TImagePart::Eeprom && last.Address + last.Bytes.size() > 0x10000) std::abort();
    if (last.Address + last.Bytes.size() > static_cast<size_t>(kMaxImageSize)) std::abort();
    std::vector<uint8_t> covered;
    if (image->GetCoverage(static_cast<int32_t>(last.Address), static_cast<int32_t>(last.Bytes.size()),
                           covered) != S_OK)
      std::abort();
    if (image->Seek(static_cast<int32_t>(last.Address), 0, nullptr) != S_OK) std::abort();
    for (size_t i = 0; i < last.Bytes.size(); ++i) {
      uint8_t b = 0;
      if (!covered[i] || image->GetByte(&b) != S_OK || b != last.Bytes[i]) std::abort();
    }
    if (elf->SaveToStream(NewMemoryIStream()) == S_OK) std::abort();
  }
  return 0;
}
