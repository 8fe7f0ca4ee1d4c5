#include "hw/uPortBus.h"

#include "hw/uFtdiLib.h"
#include "hw/uGpioLib.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_ftdi.h"
#include "hw/uSpiBus_gpio.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "hw/uSpiBus_spidev.h"

#include <cctype>

namespace {

std::string Lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = char(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

// pkParallel for "LPT<digits>", pkSerial for "COM<digits>" (any letter case), else pkUnknown.
int KindOfPortName(std::string_view text) {
  if (text.size() < 4) return pkUnknown;
  for (size_t i = 3; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return pkUnknown;
  const std::string prefix = Lower(text.substr(0, 3));
  return prefix == "lpt" ? pkParallel : prefix == "com" ? pkSerial : pkUnknown;
}

// "gpiochip1" and "spidev0.0" mean the devices of that name under /dev.
std::string UnderDev(std::string_view device) {
  return device.find('/') == std::string_view::npos ? "/dev/" + std::string(device) : std::string(device);
}

} // namespace

bool ParsePortTarget(std::string_view text, TPortTarget& target, std::string& error) {
  const size_t colon = text.find(':');
  const std::string scheme = Lower(text.substr(0, colon));
  const std::string_view rest = colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
  if (scheme == "ftdi" || scheme == "usb") {
    target = {TPinKind::Ftdi, std::string(rest)};
    return true;
  }
  if (scheme == "gpio") {
    target = {TPinKind::Gpio, UnderDev(rest.empty() ? "gpiochip0" : rest)};
    return true;
  }
  if (scheme == "spi") {
    if (rest.empty()) {
      error = "spi: needs the SPI device, e.g. spi:/dev/spidev0.0.";
      return false;
    }
    target = {TPinKind::Spi, UnderDev(rest)};
    return true;
  }
  if (IsDevicePath(text)) {
    target = {ClassifyDevicePath(text) == pkParallel ? TPinKind::Parallel : TPinKind::Serial,
              std::string(text)};
    return true;
  }
  int kind = GetPortKind(text);
  if (kind == pkUnknown) kind = KindOfPortName(text);
  if (kind == pkUnknown) return false;
  target = {kind == pkParallel ? TPinKind::Parallel : TPinKind::Serial, std::string(text)};
  return true;
}

std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::string_view pins,
                                           const THwSeams& seams, std::string& error) {
  error.clear();
  TPortTarget target;
  if (!ParsePortTarget(text, target, error)) return nullptr;
  TPinMap map;
  if (!ParsePinMap(pins, target.Kind, map, error)) {
    error = "--pins " + error;
    return nullptr;
  }
  switch (target.Kind) {
  case TPinKind::Parallel:
  case TPinKind::Serial: {
    const bool parallel = target.Kind == TPinKind::Parallel;
    if (IsDevicePath(target.Device)) {
      // The number only marks the bus as open; the path decides the device.
      if (parallel) return CreateSpiBus<TSpiBus_LPT>(1, seams.Os, target.Device, map);
      return CreateSpiBus<TSpiBus_COM>(1, seams.Os, target.Device, map);
    }
    const int number = GetPortNumber(target.Device);
    if (parallel) return CreateSpiBus<TSpiBus_LPT>(number, seams.Os, std::string(), map);
    return CreateSpiBus<TSpiBus_COM>(number, seams.Os, std::string(), map);
  }
  case TPinKind::Ftdi:
    return CreateSpiBus<TSpiBus_FTDI>(1, seams.Ftdi, target.Device, map);
  case TPinKind::Gpio:
    return CreateSpiBus<TSpiBus_GPIO>(1, seams.Gpio, target.Device, map);
  case TPinKind::Spi:
    return CreateSpiBus<TSpiBus_SPIDEV>(1, seams.Os, seams.Gpio, target.Device, map);
  }
  return nullptr;
}

std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::shared_ptr<IOsSeam> seam) {
  std::string error;
  return CreatePortBus(text, {}, THwSeams{std::move(seam), nullptr, nullptr}, error);
}
