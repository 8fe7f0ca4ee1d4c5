// The bus for a port as the user names it: a listed port ("COM3", "lpt1", any letter case) or a
// device path ("/dev/ttyUSB0", "/dev/parport0").
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uOsSeam.h"

#include <memory>
#include <string>
#include <string_view>

// Constructs the matching back end and opens its port; the owner asks CheckHardware next, as with
// any bus. nullptr when text is neither a COM or LPT name nor a device path.
std::unique_ptr<TSpiBusBase> CreatePortBus(std::string_view text, std::shared_ptr<IOsSeam> seam = nullptr);
// Why the bus's port did not open and what the user can do; empty when it opened or when bus is
// not a port back end.
std::string PortBusErrorText(const TSpiBusBase& bus);
