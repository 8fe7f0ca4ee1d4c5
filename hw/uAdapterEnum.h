// Discovery of the newer adapters: FTDI chips on USB, GPIO chips and SPI devices. Unlike the
// serial and parallel ports these are named by what they are (ftdi:SERIAL, gpio:/dev/gpiochip0,
// spi:/dev/spidev0.0), so their names do not move when another adapter is plugged in.
#pragma once
#include "hw/uPinMap.h"
#include "hw/uPortEnum.h"

#include <string>
#include <vector>

class IFtdiLib;

struct TAdapterPort {
  std::string Name; // the port text that opens it: "ftdi:A50285BI", "gpio:/dev/gpiochip0"
  TPinKind Kind = TPinKind::Gpio;
  std::string Display; // "FT232R USB UART - FTDI (0403:6001, serial A50285BI)"
};

// The GPIO chips and spidev devices under roots.dev, in name order (gpiochip2 before gpiochip10).
std::vector<TAdapterPort> EnumLinuxAdapterPorts(const TPortRoots& roots);
// The FTDI chips the library finds; error says why the search failed (no USB access, ...).
std::vector<TAdapterPort> EnumFtdiPorts(IFtdiLib& ftdi, std::string& error);
