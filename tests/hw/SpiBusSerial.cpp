// The serial-port bus on modem-control lines, against a modelled adapter.
#include "core/uWait.h"
#include "fakes/FakePortDevice.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_serial.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

constexpr const char* kTty = "/dev/ttyUSB0";

class SerialBus : public ::testing::Test {
protected:
  // Port numbers map to the fixed devices.
  SerialBus() { RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"}); }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TFakeNode& tty = fake->AddSerial(kTty);

  std::unique_ptr<TSpiBus_COM> Open() { return CreateSpiBus<TSpiBus_COM>(3, fake, kTty); }
  uint64_t WaitedMs() const { return clock->slept_ms + clock->busy_us / 1000; }
};

TEST_F(SerialBus, OpenTakesThePortAloneAndConfiguresRawIdleLines) {
  const termios found = tty.settings;
  auto bus = Open();
  ASSERT_EQ(bus->PortNumber(), 3);
  EXPECT_TRUE(tty.tty_exclusive);
  EXPECT_TRUE(tty.locked);
  EXPECT_FALSE(tty.dtr);
  EXPECT_FALSE(tty.rts);
  EXPECT_FALSE(tty.brk);
  EXPECT_EQ(tty.settings.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(tty.settings.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(tty.settings.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(tty.settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(cfgetospeed(&tty.settings), speed_t(B9600));
  EXPECT_NE(found.c_lflag, tty.settings.c_lflag);
}

TEST_F(SerialBus, LinesMapOntoModemControl) {
  auto bus = Open();
  bus->SetReset(1);
  EXPECT_TRUE(tty.brk);
  bus->SetReset(0);
  EXPECT_FALSE(tty.brk);
  bus->SetMosi(1);
  EXPECT_TRUE(tty.dtr);
  bus->SetSck(1);
  EXPECT_TRUE(tty.rts);
  uint8_t level = 0;
  ASSERT_TRUE(bus->GetMiso(level));
  EXPECT_EQ(level, 1) << "CTS follows the floating-high MISO";
}

TEST_F(SerialBus, LoopbackFindsTheAdapterOnlyWhenDsrFollowsRts) {
  auto bus = Open();
  bus->SetReset(1);
  bus->SetMosi(1);
  EXPECT_EQ(bus->CheckHardware(), S_OK);
  EXPECT_EQ(WaitedMs(), 250u);
  EXPECT_FALSE(tty.rts);
  EXPECT_FALSE(tty.dtr);
  EXPECT_FALSE(tty.brk) << "the test leaves the target released";

  bus.reset();
  tty.dsr = TFakeDsr::TiedHigh;
  uint64_t before = WaitedMs();
  EXPECT_EQ(Open()->CheckHardware(), SPI_E_NOHARDWARE);
  EXPECT_EQ(WaitedMs() - before, 200u) << "fails at the third step";

  tty.dsr = TFakeDsr::TiedLow;
  before = WaitedMs();
  bus = Open();
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOHARDWARE);
  EXPECT_EQ(WaitedMs() - before, 150u) << "fails at the second step";
  EXPECT_FALSE(tty.rts);
  EXPECT_EQ(bus->PortNumber(), 3) << "the port stays open without an adapter";
}

TEST_F(SerialBus, CloseIdlesTheLinesBeforeRestoringThePort) {
  const termios found = tty.settings;
  {
    auto bus = Open();
    bus->SetMosi(1);
    bus->SetSck(1);
    bus->SetReset(1);
    tty.events.clear();
  }
  const int restore = tty.Find("tcsetattr");
  ASSERT_GE(restore, 0);
  const TFakeEvent& at_restore = tty.events[size_t(restore)];
  EXPECT_FALSE(at_restore.dtr);
  EXPECT_FALSE(at_restore.rts);
  EXPECT_FALSE(at_restore.brk);
  EXPECT_EQ(tty.settings.c_lflag, found.c_lflag);
  EXPECT_EQ(tty.settings.c_cflag, found.c_cflag);
  const int modem = tty.Find("TIOCMSET", size_t(restore));
  const int nxcl = tty.Find("TIOCNXCL", size_t(restore));
  const int close = tty.Find("close", size_t(restore));
  EXPECT_GT(modem, restore);
  EXPECT_GT(nxcl, modem);
  EXPECT_GT(close, nxcl);
  EXPECT_FALSE(tty.tty_exclusive);
  EXPECT_FALSE(tty.locked);
  EXPECT_EQ(fake->OpenDescriptors(), 0);
}

TEST_F(SerialBus, ClosedBusDrivesNothingAndSamplesNothing) {
  tty.open_errno = ENOENT;
  auto bus = Open();
  uint8_t level = 42;
  EXPECT_FALSE(bus->GetMiso(level));
  EXPECT_EQ(level, 42);
  bus->SetReset(1);
  EXPECT_FALSE(tty.brk);
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);

  auto zero = CreateSpiBus<TSpiBus_COM>(0, fake);
  EXPECT_EQ(zero->CheckHardware(), SPI_E_NOPORT) << "port number zero has no device";
  EXPECT_EQ(zero->OpenPort(0), E_FAIL);
}

TEST_F(SerialBus, UnchangedLevelsCostNoPortAccessAndBytesAreBoundedPerBit) {
  auto bus = Open();
  fake->ResetCounts();
  bus->SetSck(0);
  bus->SetMosi(0);
  bus->SetReset(0);
  EXPECT_EQ(fake->Counts().Total(), 0u);
  bus->SetReset(1);
  bus->SetReset(1);
  EXPECT_EQ(fake->Counts().ioctls, 1u);

  bus->Speed = sdFastest;
  fake->ResetCounts();
  bus->WriteByte(0xA5);
  EXPECT_LE(fake->Counts().Total(), 8u * 3u);
  fake->ResetCounts();
  static_cast<void>(bus->ReadByte());
  EXPECT_EQ(fake->Counts().Total(), 8u * 3u);
}

TEST_F(SerialBus, FailedOpenTellsWhyAndLeavesNothingOpen) {
  struct Case {
    void (*arrange)(TFakeNode&);
    const char* hint;
  };
  for (const Case& c : {Case{[](TFakeNode& n) { n.open_errno = ENOENT; }, "does not exist"},
                        Case{[](TFakeNode& n) { n.open_errno = EACCES; }, "usermod -aG dialout"},
                        Case{[](TFakeNode& n) { n.tty_exclusive = true; }, "in use by another program"},
                        Case{[](TFakeNode& n) { n.lock_errno = EWOULDBLOCK; }, "in use by another program"},
                        Case{[](TFakeNode& n) { n.not_a_tty = true; }, "not a serial port"}}) {
    SCOPED_TRACE(c.hint);
    auto device = std::make_shared<TFakePortDevice>();
    TFakeNode& node = device->AddSerial(kTty);
    c.arrange(node);
    const bool held_by_other = node.tty_exclusive;
    auto bus = CreateSpiBus<TSpiBus_COM>(3, device, kTty);
    EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
    EXPECT_NE(bus->LastErrorText().find(c.hint), std::string::npos) << bus->LastErrorText();
    EXPECT_NE(bus->LastErrorText().find(kTty), std::string::npos);
    EXPECT_EQ(device->OpenDescriptors(), 0);
    EXPECT_EQ(node.tty_exclusive, held_by_other) << "our exclusive claim must not outlive a failed open";
  }
}

TEST_F(SerialBus, UnpluggedAdapterIsAFaultAFailedChangeIsRetriedAndCloseStillFrees) {
  auto bus = Open();
  ASSERT_EQ(bus->CheckHardware(), S_OK);
  tty.eio_after_ioctls = int64_t(tty.ioctls);
  bus->SetMosi(1);
  EXPECT_FALSE(tty.dtr);
  tty.eio_after_ioctls = -1;
  bus->SetMosi(1);
  EXPECT_TRUE(tty.dtr) << "a failed change is retried";
  bus->ClearLineFault();

  tty.eio_after_ioctls = int64_t(tty.ioctls);
  bus->SetProgMode(true);
  EXPECT_TRUE(bus->LineFault());
  bus->ClearLineFault();
  uint8_t level = 3;
  EXPECT_FALSE(bus->GetMiso(level));
  EXPECT_TRUE(bus->LineFault());
  EXPECT_EQ(bus->ReadByte(), 0xFF) << "a dead port reads as its resting level, flagged as a fault";
  bus.reset();
  EXPECT_EQ(fake->OpenDescriptors(), 0);
}

TEST_F(SerialBus, ComNumberFindsItsDeviceThroughDiscovery) {
  // With nothing discovered COMn is the built-in UART /dev/ttyS(n-1).
  TFakeNode& uart = fake->AddSerial("/dev/ttyS1");
  auto bus = CreateSpiBus<TSpiBus_COM>(2, fake);
  EXPECT_EQ(bus->PortNumber(), 2);
  EXPECT_EQ(bus->DevicePath(), "/dev/ttyS1");
  EXPECT_EQ(uart.open_count, 1);
}

} // namespace
