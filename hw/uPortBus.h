// The bus for a port as the user names it: a port name ("COM3", "lpt1", any letter case) or a
// device path ("/dev/ttyUSB0", "/dev/parport0").
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uOsSeam.h"

#include <memory>
#include <string>
#include <string_view>

// Constructs the matching back end and opens its port; the owner asks CheckHardware next, as with
// any bus, and reads LastErrorText when that fails. A COMn or LPTn that discovery did not list
// still opens its fixed device (GetPortDevicePath), so that the failure names that device and the
// reason. nullptr when text is neither a discovered port, nor COM or LPT followed by a number, nor
// a device path.
std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::shared_ptr<IOsSeam> seam = nullptr);
