// Feeds arbitrary bytes to the settings loader. Besides not crashing, what the loader keeps must
// be written in a form that it reads back as the same rows: a second load and save has to give
// the same text as the first save, or settings would drift from run to run.
#include "app/uIniFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TReginiObj first;
  if (!first.LoadFromText(input)) {
    if (!first.Rows().empty()) std::abort(); // a refused file loads nothing
    return 0;
  }
  const std::string saved = first.SaveToText();
  TReginiObj second;
  if (!second.LoadFromText(saved)) std::abort();
  if (second.Rows().size() != first.Rows().size()) std::abort();
  if (second.SaveToText() != saved) std::abort();
  for (const auto& row : first.Rows()) {
    std::string a, b;
    if (!first.ReadString(row.Section, row.Key, a) || !second.ReadString(row.Section, row.Key, b))
      std::abort();
    if (a != b) std::abort();
  }
  // The by-id decoding runs on whatever a file holds.
  if (DecodeIniText(EncodeIniText(input)) != input) std::abort();
  return 0;
}
