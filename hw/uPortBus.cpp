#include "hw/uPortBus.h"

#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"

#include <cctype>

namespace {
bool HasPrefix(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
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
  // A port discovery did not list still gets its fixed device, and so an error text that says
  // what is wrong with it.
  if (kind == pkUnknown)
    kind = HasPrefix(text, "LPT") ? pkParallel : HasPrefix(text, "COM") ? pkSerial : pkUnknown;
  const int number = GetPortNumber(text);
  switch (kind) {
  case pkParallel:
    return CreateSpiBus<TSpiBus_LPT>(number, std::move(seam));
  case pkSerial:
  case pkExtraSerial:
    return CreateSpiBus<TSpiBus_COM>(number, std::move(seam));
  default:
    return nullptr;
  }
}

std::string PortBusErrorText(const TSpiBusBase& bus) {
  if (const auto* lpt = dynamic_cast<const TSpiBus_LPT*>(&bus)) return lpt->LastErrorText();
  if (const auto* com = dynamic_cast<const TSpiBus_COM*>(&bus)) return com->LastErrorText();
  return {};
}
