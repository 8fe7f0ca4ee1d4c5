// Feeds arbitrary bytes to the uploader configuration reader. Whatever it reads must be in a form
// the run can use: ids that are not empty, a kind Pinlet drives (the simulated chip without wires), and pins
// text of "key=[~]N" items; reading the same text again must give the same programmers.
#include "cli/uUploadConfig.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool PinsTextWellFormed(std::string_view pins) {
  while (!pins.empty()) {
    const size_t comma = pins.find(',');
    std::string_view item = pins.substr(0, comma);
    pins = comma == std::string_view::npos ? std::string_view{} : pins.substr(comma + 1);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    std::string_view value = item.substr(eq + 1);
    if (!value.empty() && value[0] == '~') value.remove_prefix(1);
    if (value.empty()) return false;
    for (const char c : value)
      if (c < '0' || c > '9') return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<TUploadProgrammer> first, second;
  std::string error;
  const bool ok = ParseUploadConfig(text, "fuzz.conf", first, error);
  if (!ok && error.rfind("fuzz.conf:", 0) != 0) std::abort(); // every error names file and line
  for (const TUploadProgrammer& p : first) {
    if (p.Id.empty() || p.DefaultPort.empty() || !PinsTextWellFormed(p.Pins)) std::abort();
    if (p.Kind != "par" && p.Kind != "serbb" && p.Kind != "ft245r" && p.Kind != "linuxgpio" &&
        p.Kind != "linuxspi" && p.Kind != "sim")
      std::abort();
  }
  std::string again;
  if (ParseUploadConfig(text, "fuzz.conf", second, again) != ok || again != error) std::abort();
  if (second.size() != first.size()) std::abort();
  for (size_t i = 0; i < first.size(); ++i)
    if (first[i].Id != second[i].Id || first[i].Pins != second[i].Pins || first[i].Kind != second[i].Kind)
      std::abort();
  return 0;
}
