// Feeds arbitrary bytes to the SREC reader, then writes the image back out. Whenever a load
// succeeds, loading what was written must reproduce the image and its coverage exactly.
#include "memimage/uSrecFile.h"

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

std::vector<uint8_t> Coverage(const std::shared_ptr<IuCFile>& file, size_t size) {
  std::vector<uint8_t> covered;
  if (QueryInterface<IuCMemStream>(file)->GetCoverage(0, static_cast<int32_t>(size), covered) != S_OK)
    std::abort();
  return covered;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto srec = NewSrecFile();
  const HRESULT loaded = srec->LoadFromStream(NewMemoryIStream(std::vector<uint8_t>(data, data + size)));
  if (loaded != S_OK && srec->LastErrorText().empty()) std::abort();
  const std::vector<uint8_t> image = ImageBytes(srec);
  // Writing out a multi-megabyte image per input only slows the search down.
  if (image.size() > (1u << 20)) return 0;

  auto text = NewMemoryIStream();
  if (srec->SaveToStream(text) != S_OK) std::abort();
  if (loaded != S_OK) return 0;

  if (text->Seek(0, STREAM_SEEK_SET, nullptr) != S_OK) std::abort();
  auto again = NewSrecFile();
  if (again->LoadFromStream(text) != S_OK) std::abort();
  // The writer leaves trailing uncovered bytes out, so compare the covered bytes.
  const std::vector<uint8_t> back = ImageBytes(again);
  const std::vector<uint8_t> before = Coverage(srec, image.size()), after = Coverage(again, image.size());
  if (before != after) std::abort();
  for (size_t i = 0; i < image.size(); ++i)
    if (before[i] && (i >= back.size() || back[i] != image[i])) std::abort();
  return 0;
}
