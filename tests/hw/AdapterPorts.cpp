// The port names of the newer adapters, their discovery under /dev, and a wiring refused before
// any device is touched.
#include "fakes/FakePortDevice.h"
#include "hw/uAdapterEnum.h"
#include "hw/uPortBus.h"
#include "tests/support/SimTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

TEST(AdapterPorts, PortTextsNameTheKindAndTheDevice) {
  TPortTarget target;
  std::string error;
  ASSERT_TRUE(ParsePortTarget("ftdi", target, error));
  EXPECT_EQ(target.Kind, TPinKind::Ftdi);
  EXPECT_EQ(target.Device, "");
  ASSERT_TRUE(ParsePortTarget("FTDI:A50285BI", target, error));
  EXPECT_EQ(target.Device, "A50285BI") << "the serial number keeps its case";
  ASSERT_TRUE(ParsePortTarget("gpio", target, error));
  EXPECT_EQ(target.Kind, TPinKind::Gpio);
  EXPECT_EQ(target.Device, "/dev/gpiochip0");
  ASSERT_TRUE(ParsePortTarget("gpio:gpiochip4", target, error));
  EXPECT_EQ(target.Device, "/dev/gpiochip4");
  ASSERT_TRUE(ParsePortTarget("spi:/dev/spidev0.1", target, error));
  EXPECT_EQ(target.Kind, TPinKind::Spi);
  EXPECT_EQ(target.Device, "/dev/spidev0.1");
  EXPECT_FALSE(ParsePortTarget("spi:", target, error));
  EXPECT_NE(error.find("spi:/dev/spidev0.0"), std::string::npos) << error;
  ASSERT_TRUE(ParsePortTarget("/dev/parport1", target, error));
  EXPECT_EQ(target.Kind, TPinKind::Parallel);
  ASSERT_TRUE(ParsePortTarget("com3", target, error));
  EXPECT_EQ(target.Kind, TPinKind::Serial);
  error.clear();
  EXPECT_FALSE(ParsePortTarget("SIM1", target, error));
  EXPECT_EQ(error, "") << "not a port of the hardware: the caller has the words";
}

TEST(AdapterPorts, AWiringTheCableCannotHaveIsRefusedBeforeThePortIsOpened) {
  RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
  auto fake = std::make_shared<TFakePortDevice>();
  TFakeNode& lpt = fake->AddParallel("/dev/parport0");
  std::string error;
  EXPECT_EQ(CreatePortBus("LPT1", "miso=2", THwSeams{fake, nullptr, nullptr}, error), nullptr);
  EXPECT_NE(error.find("--pins miso=2"), std::string::npos) << error;
  EXPECT_EQ(lpt.open_count, 0);
  EXPECT_EQ(CreatePortBus("COM1", "mosi=CTS", THwSeams{fake, nullptr, nullptr}, error), nullptr);
  EXPECT_NE(error.find("not an output"), std::string::npos) << error;
}

TEST(AdapterPorts, GpioChipsAndSpiDevicesAreFoundUnderDevInNumberOrder) {
  TScratchDir scratch;
  for (const char* name :
       {"gpiochip10", "gpiochip2", "spidev0.1", "spidev0.0", "ttyS0", "gpiochip", "spidev"})
    std::ofstream(scratch.Path() + "/" + name) << "";
  const auto ports = EnumLinuxAdapterPorts(TPortRoots{"/nonexistent", scratch.Path()});
  std::vector<std::string> names;
  for (const auto& port : ports) names.push_back(port.Name);
  const std::string dev = scratch.Path() + "/";
  EXPECT_EQ(names, (std::vector<std::string>{"gpio:" + dev + "gpiochip2", "gpio:" + dev + "gpiochip10",
                                             "spi:" + dev + "spidev0.0", "spi:" + dev + "spidev0.1"}));
  EXPECT_EQ(ports[0].Kind, TPinKind::Gpio);
  EXPECT_EQ(ports[3].Kind, TPinKind::Spi);
  EXPECT_TRUE(EnumLinuxAdapterPorts(TPortRoots{"/nonexistent", "/nonexistent-dev"}).empty());
}

} // namespace
