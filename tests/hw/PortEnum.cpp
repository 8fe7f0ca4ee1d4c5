// Port discovery on a fake sysfs tree, and the lookups on its lists.
#include "fakes/FakePortDevice.h"
#include "hw/uPortBus.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "tests/support/SimTestSupport.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// Builds sysfs the way the kernel lays it out: class entries are links into the device tree.
class FakeSysfs {
public:
  explicit FakeSysfs(const std::string& root) : root_(root) {}

  void Uart(int index, const char* type) {
    const fs::path dev = Dir("devices/platform/serial8250/tty/ttyS" + std::to_string(index));
    if (type) Write(dev / "type", type);
    Link("class/tty/ttyS" + std::to_string(index), dev);
    Link(dev / "device", Dir("devices/platform/serial8250"));
  }
  // A USB serial tty: usb device <bus>-<port> with product/manufacturer, interface :1.0 below it.
  void UsbTty(const std::string& name, const std::string& usb_port, const char* product, const char* maker) {
    const fs::path usb = Dir("devices/pci0000:00/usb1/" + usb_port);
    Write(usb / "idVendor", "0403\n");
    if (product) Write(usb / "product", std::string(product) + "\n");
    if (maker) Write(usb / "manufacturer", std::string(maker) + "\n");
    const fs::path interface = Dir("devices/pci0000:00/usb1/" + usb_port + "/" + usb_port + ":1.0");
    const fs::path tty = Dir(interface.lexically_relative(root_).string() + "/tty/" + name);
    Link("class/tty/" + name, tty);
    Link(tty / "device", interface);
  }
  void VirtualTty(const std::string& name) { Link("class/tty/" + name, Dir("devices/virtual/tty/" + name)); }
  void Ppdev(int index) { Dir("class/ppdev/parport" + std::to_string(index)); }
  void ParportBus(int index) { Dir("bus/parport/devices/parport" + std::to_string(index)); }

private:
  fs::path Dir(const std::string& relative) {
    const fs::path path = fs::path(root_) / relative;
    fs::create_directories(path);
    return path;
  }
  static void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
  void Link(const fs::path& where, const fs::path& target) {
    const fs::path link = where.is_absolute() ? where : fs::path(root_) / where;
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
  }

  std::string root_;
};

class PortDiscovery : public ::testing::Test {
protected:
  TScratchDir scratch;
  std::string sysfs = scratch.Path() + "/sys";
  FakeSysfs tree{sysfs};
  TPortRoots roots{sysfs, "/dev"};

  ~PortDiscovery() override { RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"}); }

  // A desktop with one real UART, two 8250 placeholders, an Arduino and an FTDI cable.
  void TypicalMachine() {
    tree.Uart(0, "4\n");
    tree.Uart(1, "0\n");
    tree.Uart(2, nullptr);
    tree.UsbTty("ttyUSB0", "1-2", "FT232R USB UART", "FTDI");
    tree.UsbTty("ttyACM0", "1-3", "Arduino Uno", "Arduino (www.arduino.cc)");
    tree.VirtualTty("tty0");
    tree.VirtualTty("ttyS9"); // no device link: not a port
    tree.Ppdev(0);
  }
};

TEST_F(PortDiscovery, ListsRealPortsWithRecognisableNamesAndLooksThemUpInAnyCase) {
  TypicalMachine();
  RefreshPortLists(roots);
  EXPECT_EQ(SerialPorts(), (TPortList{"COM1=\"Communications Port (COM1)\"",
                                      "COM2=\"Arduino Uno - Arduino (www.arduino.cc) (/dev/ttyACM0)\"",
                                      "COM3=\"FT232R USB UART - FTDI (/dev/ttyUSB0)\""}));
  EXPECT_EQ(ParallelPorts(), (TPortList{"LPT1=\"Printer Port (LPT1)\""}));
  EXPECT_EQ(GetPortDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(GetPortDevicePath("com2"), "/dev/ttyACM0");
  EXPECT_EQ(GetPortDevicePath("COM3"), "/dev/ttyUSB0");
  EXPECT_EQ(GetPortDevicePath("LPT1"), "/dev/parport0");
  EXPECT_EQ(GetPortKind("com1"), pkSerial);
  EXPECT_EQ(GetPortKind("Lpt1"), pkParallel);
  EXPECT_EQ(GetPortKind("COM4"), pkUnknown);
  EXPECT_TRUE(IsKnownPort("lpt1"));
  EXPECT_FALSE(IsKnownPort("LPT2"));
  EXPECT_EQ(GetPortFriendlyName("com1"), "Communications Port (COM1)");
  EXPECT_EQ(GetPortFriendlyName("LPT9"), "");
}

TEST_F(PortDiscovery, AdaptersAreNumberedAfterTheHighestBuiltInPortInIndexOrder) {
  tree.Uart(0, "4");
  tree.Uart(3, "4");
  tree.UsbTty("ttyUSB10", "1-4", "B", "X");
  tree.UsbTty("ttyUSB2", "1-5", "A", "X");
  RefreshPortLists(roots);
  TPortList names;
  GetSerialPortList(names, false, true);
  EXPECT_EQ(names, (TPortList{"COM1", "COM4", "COM5", "COM6"}));
  EXPECT_EQ(GetPortDevicePath("COM4"), "/dev/ttyS3");
  EXPECT_EQ(GetPortDevicePath("COM5"), "/dev/ttyUSB2");
  EXPECT_EQ(GetPortDevicePath("COM6"), "/dev/ttyUSB10");
  const TPortList first = SerialPorts();
  RefreshPortLists(roots);
  EXPECT_EQ(SerialPorts(), first) << "the same machine gives the same numbers";
}

TEST_F(PortDiscovery, AdapterNamesWithoutUsbStringsOrWithQuotes) {
  tree.UsbTty("ttyUSB0", "1-2", nullptr, nullptr);
  tree.UsbTty("ttyUSB1", "1-3", "CP2102", nullptr);
  tree.UsbTty("ttyUSB2", "1-4", "Dongle \"Pro\"; rev 2", "Acme");
  RefreshPortLists(roots);
  EXPECT_EQ(GetPortFriendlyName("COM1"), "USB Serial Port (/dev/ttyUSB0)");
  EXPECT_EQ(GetPortFriendlyName("COM2"), "CP2102 (/dev/ttyUSB1)");
  EXPECT_EQ(GetPortFriendlyName("COM3"), "Dongle \"Pro\"; rev 2 - Acme (/dev/ttyUSB2)");
}

TEST_F(PortDiscovery, ParallelPortsFromPpdevOrTheParportBus) {
  RefreshPortLists(roots);
  TPortList list{"stale"};
  GetSerialPortList(list, false, false);
  EXPECT_TRUE(list.empty()) << "an empty machine has no ports";
  GetParallelPortList(list, false, true);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(GetPortKind("COM1"), pkUnknown);

  tree.Ppdev(1);
  tree.ParportBus(1);
  tree.ParportBus(0); // present, but ppdev is not serving it: listed so opening can say why
  RefreshPortLists(roots);
  EXPECT_EQ(ParallelPorts(), (TPortList{"LPT1=\"Printer Port (LPT1)\"", "LPT2=\"Printer Port (LPT2)\""}));
  EXPECT_EQ(GetPortDevicePath("lpt2"), "/dev/parport1");
}

TEST(PortNumbers, ParsingFixedDevicesAndPathClassification) {
  EXPECT_EQ(GetPortNumber("LPT2"), 2);
  EXPECT_EQ(GetPortNumber("COM123"), 12) << "two characters after the prefix";
  EXPECT_EQ(GetPortNumber("COM1x"), 0);
  EXPECT_EQ(GetPortNumber("COM"), 0);
  std::string_view text = "  12)";
  EXPECT_EQ(ParsePortNumber(text), 12);
  EXPECT_EQ(text, ")");
  std::string_view five = "99999";
  EXPECT_EQ(ParsePortNumber(five), 99999);
  std::string_view six = "123456";
  EXPECT_EQ(ParsePortNumber(six), std::nullopt);
  EXPECT_EQ(six, "123456") << "no number, no movement";

  RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
  EXPECT_EQ(GetPortDevicePath("COM3"), "/dev/ttyS2");
  EXPECT_EQ(GetPortDevicePath("lpt1"), "/dev/parport0");
  EXPECT_EQ(GetPortDevicePath("COM0"), "");
  EXPECT_EQ(GetPortDevicePath("SIM1"), "");
  EXPECT_EQ(ClassifyDevicePath("/dev/parport0"), pkParallel);
  EXPECT_EQ(ClassifyDevicePath("/dev/serial/by-id/usb-FTDI-if00"), pkSerial);
  EXPECT_TRUE(IsDevicePath("/dev/ttyACM0"));
  EXPECT_FALSE(IsDevicePath("COM1"));
}

TEST(PortBusFactory, PicksTheBackEndByNameOrPath) {
  RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
  auto fake = std::make_shared<TFakePortDevice>();
  TFakeNode& lpt = fake->AddParallel("/dev/parport0");
  TFakeNode& usb = fake->AddSerial("/dev/ttyUSB0");
  auto parallel = CreatePortBus("lpt1", fake);
  ASSERT_TRUE(dynamic_cast<TSpiBus_LPT*>(parallel.get()));
  EXPECT_TRUE(lpt.claimed);
  auto serial = CreatePortBus("/dev/ttyUSB0", fake);
  ASSERT_TRUE(dynamic_cast<TSpiBus_COM*>(serial.get()));
  EXPECT_TRUE(usb.tty_exclusive);
  EXPECT_EQ(CreatePortBus("SIM1", fake), nullptr);
  // An unlisted COM port still opens its fixed device, and says why it failed.
  auto missing = CreatePortBus("COM7", fake);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->CheckHardware(), SPI_E_NOPORT);
  EXPECT_NE(missing->LastErrorText().find("/dev/ttyS6 does not exist"), std::string::npos)
      << missing->LastErrorText();
  // Only COM or LPT followed by a number is a port name.
  for (const char* text : {"LPT", "COM", "LPTX", "com1a", "SER1"})
    EXPECT_EQ(CreatePortBus(text, fake), nullptr) << text;
}

// LPT1 that discovery did not list is still /dev/parport0, and the bus says what is wrong with it
// in the words a user can act on.
TEST(PortBusFactory, UnlistedLptOpensItsFixedDeviceAndSaysWhyItFailed) {
  RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
  auto fake = std::make_shared<TFakePortDevice>();
  std::unique_ptr<TSpiBusBase> bus = CreatePortBus("LPT1", fake);
  ASSERT_TRUE(bus);
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
  EXPECT_NE(bus->LastErrorText().find("/dev/parport0 does not exist"), std::string::npos)
      << bus->LastErrorText();
  EXPECT_NE(bus->LastErrorText().find("modprobe ppdev"), std::string::npos) << bus->LastErrorText();

  TFakeNode& node = fake->AddParallel("/dev/parport0");
  node.open_errno = EACCES;
  bus = CreatePortBus("LPT1", fake);
  EXPECT_NE(bus->LastErrorText().find("/dev/parport0"), std::string::npos) << bus->LastErrorText();
  EXPECT_NE(bus->LastErrorText().find("-aG lp"), std::string::npos) << bus->LastErrorText();

  node.open_errno = 0;
  node.claim_errno = EBUSY;
  bus = CreatePortBus("LPT1", fake);
  EXPECT_NE(bus->LastErrorText().find("claimed by another program"), std::string::npos)
      << bus->LastErrorText();

  node.claim_errno = 0;
  bus = CreatePortBus("LPT1", fake);
  EXPECT_EQ(bus->CheckHardware(), S_OK);
  EXPECT_EQ(bus->LastErrorText(), "") << "an open that worked leaves no reason behind";
}

} // namespace
