// The bus for a port as the user names it: a port name ("COM3", "lpt1", any letter case), a device
// path ("/dev/ttyUSB0", "/dev/parport0"), or an adapter of the newer kinds:
//
//   ftdi, ftdi:SERIAL          the first FTDI chip found, or the one with that serial number
//   gpio, gpio:/dev/gpiochipN  four lines of a GPIO chip (gpiochip0 when none is named)
//   spi:/dev/spidevB.C         an SPI controller, RESET on a GPIO line
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uHwSeams.h"
#include "hw/uOsSeam.h"
#include "hw/uPinMap.h"

#include <memory>
#include <string>
#include <string_view>

// Which kind of adapter a port text names, and the device within it: the FTDI serial number (may
// be empty), the GPIO chip or spidev path, the serial or parallel device path or port name.
struct TPortTarget {
  TPinKind Kind = TPinKind::Serial;
  std::string Device;
};
// False for a text that names none of the kinds above (error says why when it looked like one).
bool ParsePortTarget(std::string_view text, TPortTarget& target, std::string& error);

// Constructs the matching back end with the wiring pins (the text of ParsePinMap; empty = the
// adapter's default) and opens its port; the owner asks CheckHardware next, as with any bus, and
// reads LastErrorText when that fails. A COMn or LPTn that discovery did not list still opens its
// fixed device (GetPortDevicePath), so that the failure names that device and the reason. nullptr,
// with error saying why, when text is no port or the wiring is one the adapter cannot have.
std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::string_view pins,
                                           const THwSeams& seams, std::string& error);
// The old ports with their default wiring.
std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::shared_ptr<IOsSeam> seam = nullptr);
