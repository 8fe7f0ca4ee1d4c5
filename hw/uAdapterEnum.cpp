#include "hw/uAdapterEnum.h"

#include "hw/uFtdiLib.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// "gpiochip10" after "gpiochip2": the text before the number, then the numbers, field by field.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t i_end = i, j_end = j;
      while (i_end < a.size() && std::isdigit(static_cast<unsigned char>(a[i_end]))) ++i_end;
      while (j_end < b.size() && std::isdigit(static_cast<unsigned char>(b[j_end]))) ++j_end;
      const std::string x = a.substr(i, i_end - i), y = b.substr(j, j_end - j);
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = i_end;
      j = j_end;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

} // namespace

std::vector<TAdapterPort> EnumLinuxAdapterPorts(const TPortRoots& roots) {
  std::vector<std::string> chips, spis;
  std::error_code error;
  for (fs::directory_iterator it(roots.dev, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("gpiochip", 0) == 0 && name.size() > 8) chips.push_back(name);
    if (name.rfind("spidev", 0) == 0 && name.size() > 6) spis.push_back(name);
  }
  std::sort(chips.begin(), chips.end(), NaturalLess);
  std::sort(spis.begin(), spis.end(), NaturalLess);
  std::vector<TAdapterPort> ports;
  const std::string dev = roots.dev.empty() || roots.dev.back() == '/' ? roots.dev : roots.dev + "/";
  for (const auto& chip : chips)
    ports.push_back({"gpio:" + dev + chip, TPinKind::Gpio, "GPIO chip " + chip + " (four lines, --pins)"});
  for (const auto& spi : spis)
    ports.push_back({"spi:" + dev + spi, TPinKind::Spi, "SPI device " + spi + " (RESET on a GPIO line)"});
  return ports;
}

std::vector<TAdapterPort> EnumFtdiPorts(IFtdiLib& ftdi, std::string& error) {
  std::vector<TFtdiDeviceInfo> devices;
  std::vector<TAdapterPort> ports;
  if (ListFtdiDevices(ftdi, devices, error) <= 0) return ports;
  char ids[16];
  for (const auto& device : devices) {
    std::snprintf(ids, sizeof ids, "%04x:%04x", device.Vendor, device.Product);
    std::string display = device.Description.empty() ? "FTDI chip" : device.Description;
    if (!device.Manufacturer.empty()) display += " - " + device.Manufacturer;
    display += std::string(" (") + ids;
    display += device.Serial.empty() ? ", no serial number)" : ", serial " + device.Serial + ")";
    // Without a serial number only "the first" can name it.
    ports.push_back({device.Serial.empty() ? "ftdi" : "ftdi:" + device.Serial, TPinKind::Ftdi, display});
  }
  return ports;
}
