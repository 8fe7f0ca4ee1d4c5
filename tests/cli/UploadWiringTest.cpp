// Every built-in programmer's wiring is one its kind of port can carry: the back end takes it.
#include "app/uBusFactory.h"
#include "cli/uUploadIds.h"

#include <gtest/gtest.h>

namespace {

TEST(UploadWiring, EveryBuiltInCableIsAWiringItsPortCanCarry) {
  const std::pair<const char*, const char*> ports[] = {{"par", "/dev/parport0"},
                                                       {"serbb", "/dev/ttyS0"},
                                                       {"ft245r", "ftdi"},
                                                       {"linuxgpio", "gpio:/dev/gpiochip0"},
                                                       {"linuxspi", "spi:/dev/spidev0.0"}};
  size_t checked = 0;
  for (const TUploadProgrammer& programmer : BuiltInUploadProgrammers()) {
    const char* port = nullptr;
    for (const auto& [kind, name] : ports)
      if (programmer.Kind == kind) port = name;
    if (programmer.Kind == "sim") continue;
    ASSERT_NE(port, nullptr) << programmer.Id << ": kind " << programmer.Kind;
    // No such device here: the bus is made and its open fails; a wiring it cannot carry gives no bus.
    std::string detail;
    const auto bus = CreateBusForPort(port, programmer.Pins, "", detail);
    EXPECT_NE(bus, nullptr) << programmer.Id << " (" << programmer.Pins << "): " << detail;
    ++checked;
  }
  EXPECT_GT(checked, 20u);
}

} // namespace
