#include "hw/uPortBus.h"

#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"

#include <cctype>

namespace {

// pkParallel for "LPT<digits>", pkSerial for "COM<digits>" (any letter case), else pkUnknown.
int KindOfPortName(std::string_view text) {
  if (text.size() < 4) return pkUnknown;
  for (size_t i = 3; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return pkUnknown;
  std::string prefix(text.substr(0, 3));
  for (char& c : prefix) c = char(std::toupper(static_cast<unsigned char>(c)));
  return prefix == "LPT" ? pkParallel : prefix == "COM" ? pkSerial : pkUnknown;
}

} // namespace

std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::shared_ptr<IOsSeam> seam) {
  if (IsDevicePath(text)) {
    // The number only marks the bus as open; the path decides the device.
    if (ClassifyDevicePath(text) == pkParallel)
      return CreateSpiBus<TSpiBus_LPT>(1, std::move(seam), std::string(text));
    return CreateSpiBus<TSpiBus_COM>(1, std::move(seam), std::string(text));
  }
  int kind = GetPortKind(text);
  if (kind == pkUnknown) kind = KindOfPortName(text);
  const int number = GetPortNumber(text);
  switch (kind) {
  case pkParallel:
    return CreateSpiBus<TSpiBus_LPT>(number, std::move(seam));
  case pkSerial:
    return CreateSpiBus<TSpiBus_COM>(number, std::move(seam));
  default:
    return nullptr;
  }
}
