// Feeds arbitrary bytes to the Intel HEX reader, then writes the image back out. Whenever a load
// succeeds, loading what was written must reproduce the image exactly.
#include "memimage/uAvrMemFile.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

std::vector<uint8_t> ImageBytes(const std::shared_ptr<IuCFile>& file) {
  std::vector<uint8_t> bytes;
  auto image = QueryInterface<IuCMemStream>(file);
  if (!image) std::abort();
  int32_t size = 0;
  image->GetSize(&size);
  image->Rewind();
  bytes.resize(static_cast<size_t>(size));
  for (auto& b : bytes)
    if (image->GetByte(&b) != S_OK) std::abort();
  return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto hex = NewHexFile();
  const HRESULT loaded = hex->LoadFromStream(NewMemoryIStream(std::vector<uint8_t>(data, data + size)));
  const std::vector<uint8_t> image = ImageBytes(hex);
  // Writing out a multi-megabyte image per input only slows the search down.
  if (image.size() > (1u << 20)) return 0;

  auto text = NewMemoryIStream();
  if (hex->SaveToStream(text) != S_OK) std::abort();
  if (loaded != S_OK) return 0;

  // The reader starts at the stream's current position.
  if (text->Seek(0, STREAM_SEEK_SET, nullptr) != S_OK) std::abort();
  auto again = NewHexFile();
  if (again->LoadFromStream(text) != S_OK) std::abort();
  if (ImageBytes(again) != image) std::abort();
  return 0;
}
