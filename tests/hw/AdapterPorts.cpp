// The port names of the newer adapters, their discovery under /dev, and a wiring refused before
// any device is touched.
#include "fakes/FakeFtdi.h"
#include "fakes/FakeGpio.h"
#include "fakes/FakePortDevice.h"
#include "fakes/FakeSpidev.h"
#include "hw/uAdapterEnum.h"
#include "hw/uPortBus.h"
#include "hw/uSpiBus_ftdi.h"
#include "hw/uSpiBus_gpio.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "hw/uSpiBus_spidev.h"
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

  // A wiring the cable can have reaches the back end, by name and by path.
  auto bus = CreatePortBus("LPT1", "reset=3,sck=5,mosi=2,miso=11", THwSeams{fake, nullptr, nullptr}, error);
  auto* parallel = dynamic_cast<TSpiBus_LPT*>(bus.get());
  ASSERT_TRUE(parallel) << error;
  EXPECT_EQ(DescribePinMap(parallel->Pins(), TPinKind::Parallel), "reset=3 sck=5 mosi=2 miso=11");
  fake->AddSerial("/dev/ttyUSB0");
  bus = CreatePortBus("/dev/ttyUSB0", "reset=RTS,sck=DTR,mosi=TXD", THwSeams{fake, nullptr, nullptr}, error);
  auto* serial = dynamic_cast<TSpiBus_COM*>(bus.get());
  ASSERT_TRUE(serial) << error;
  EXPECT_EQ(serial->Pins().Mosi.Pin, 3);
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

// The port text picks the back end, and the wiring reaches it: the FTDI's output pins, the GPIO
// lines requested, the spidev's RESET line.
TEST(AdapterPorts, TheNewKindsOpenTheirBackEndsWithTheWiringGiven) {
  auto ftdi = std::make_shared<TFakeFtdi>();
  TFakeFtdiDevice& board = ftdi->AddDevice({kFtdiVendor, 0x6001, "A50285BI", "FT232R USB UART", "FTDI"});
  auto gpio = std::make_shared<TFakeGpio>();
  TFakeGpioChip& header = gpio->AddChip("/dev/gpiochip0");
  auto spidev = std::make_shared<TFakeSpidev>();
  TFakeSpidevNode& spi = spidev->AddDevice("/dev/spidev0.0");
  const THwSeams seams{spidev, ftdi, gpio};
  std::string error;

  auto bus = CreatePortBus("ftdi:A50285BI", "sck=CTS", seams, error);
  ASSERT_TRUE(dynamic_cast<TSpiBus_FTDI*>(bus.get())) << error;
  EXPECT_TRUE(board.open);
  EXPECT_EQ(board.output_mask, (1 << 3) | (1 << 2) | (1 << 4)) << "SCK on CTS, MOSI on RTS, RESET on DTR";
  bus.reset();
  EXPECT_FALSE(board.open);

  bus = CreatePortBus("gpio", "reset=24", seams, error);
  ASSERT_TRUE(dynamic_cast<TSpiBus_GPIO*>(bus.get())) << error;
  EXPECT_TRUE(header.Held(24) && header.Held(11) && header.Held(10) && header.Held(9));
  EXPECT_FALSE(header.Held(25));
  bus.reset();

  bus = CreatePortBus("spi:spidev0.0", "reset=22", seams, error);
  ASSERT_TRUE(dynamic_cast<TSpiBus_SPIDEV*>(bus.get())) << error;
  EXPECT_EQ(spi.open_count, 1);
  EXPECT_TRUE(header.Held(22));
  EXPECT_FALSE(header.Held(11)) << "the SPI controller owns SCK";
  bus.reset();
  EXPECT_EQ(gpio->RequestedLines(), 0);
}

TEST(AdapterPorts, FtdiChipsAreListedByTheirSerialNumbers) {
  TFakeFtdi ftdi;
  ftdi.AddDevice({kFtdiVendor, 0x6001, "A50285BI", "FT232R USB UART", "FTDI"});
  ftdi.AddDevice({kFtdiVendor, 0x6014, "", "", ""}, TFtdiChipType::H232);
  std::string error;
  const auto ports = EnumFtdiPorts(ftdi, error);
  ASSERT_EQ(ports.size(), 2u) << error;
  EXPECT_EQ(ports[0].Name, "ftdi:A50285BI");
  EXPECT_EQ(ports[0].Display, "FT232R USB UART - FTDI (0403:6001, serial A50285BI)");
  EXPECT_EQ(ports[1].Name, "ftdi") << "without a serial number only 'the first' names it";
  EXPECT_EQ(ports[1].Display, "FTDI chip (0403:6014, no serial number)");
  EXPECT_TRUE(EnumFtdiPorts(*std::make_shared<TFakeFtdi>(), error).empty());
}
