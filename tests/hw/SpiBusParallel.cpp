// The parallel-port bus and its ppdev access, against a modelled adapter.
#include "core/uWait.h"
#include "fakes/FakePortDevice.h"
#include "hw/uInpOut32.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

class ParallelBus : public ::testing::Test {
protected:
  // Port numbers map to the fixed devices.
  ParallelBus() { RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"}); }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TFakeNode& lpt1 = fake->AddParallel("/dev/parport0");

  std::unique_ptr<TSpiBus_LPT> Open(int32_t number) { return CreateSpiBus<TSpiBus_LPT>(number, fake); }
};

TEST_F(ParallelBus, OpenClaimsExclusivelyAndHoldsTheTargetInReset) {
  auto bus = Open(1);
  ASSERT_EQ(bus->PortNumber(), 1);
  const int excl = lpt1.Find("PPEXCL");
  ASSERT_GE(excl, 0);
  EXPECT_GT(lpt1.Find("PPCLAIM"), excl) << "exclusive use must be asked for before the claim";
  // Bit 1 high, everything else low: RESET (bit 7) low holds the target through the inversion.
  EXPECT_EQ(lpt1.data, 0x02);
  EXPECT_EQ(lpt1.control, 0x00);
  EXPECT_EQ(bus->Options, soResetInverted);
}

TEST_F(ParallelBus, CloseRaisesAuxLinesReleasesResetAndFreesThePort) {
  {
    auto bus = Open(1);
    bus->SetMosi(1);
    bus->SetSck(1);
  }
  // Bits 2, 3, 6, 7 high; 0 and 1 as open left them, MOSI (5) and SCK (4) as last driven.
  EXPECT_EQ(lpt1.data, 0x02 | 0x20 | 0x10 | 0xCC);
  const int release = lpt1.Find("PPRELEASE");
  ASSERT_GE(release, 0);
  EXPECT_GT(lpt1.Find("close"), release);
  EXPECT_EQ(fake->OpenDescriptors(), 0);
}

TEST_F(ParallelBus, LinesMapOntoTheirDataBits) {
  auto bus = Open(1);
  bus->SetReset(0);
  EXPECT_EQ(lpt1.data & 0x80, 0x80) << "released reset drives pin 9 high";
  bus->SetReset(1);
  EXPECT_EQ(lpt1.data & 0x80, 0x00);
  bus->SetMosi(1);
  EXPECT_EQ(lpt1.data & 0x20, 0x20);
  bus->SetSck(1);
  EXPECT_EQ(lpt1.data & 0x10, 0x10);
  bus->SetMosi(0);
  bus->SetSck(0);
  EXPECT_EQ(lpt1.data & 0x30, 0x00);
  uint8_t level = 7;
  ASSERT_TRUE(bus->GetMiso(level));
  EXPECT_EQ(level, 1) << "an undriven MISO floats high";
}

TEST_F(ParallelBus, AdapterIsFoundThroughEitherLoopbackWire) {
  EXPECT_EQ(Open(1)->CheckHardware(), S_OK);
  EXPECT_EQ(clock->slept_ms + clock->busy_us / 1000, 200u) << "waits between change and sample";
  lpt1.loop_b = false;
  EXPECT_EQ(Open(1)->CheckHardware(), S_OK);
  lpt1.loop_a = false;
  lpt1.loop_b = true;
  EXPECT_EQ(Open(1)->CheckHardware(), S_OK);

  lpt1.loop_a = lpt1.loop_b = false;
  EXPECT_EQ(Open(1)->CheckHardware(), SPI_E_NOHARDWARE);
  lpt1.loop_a = lpt1.loop_b = true;
  lpt1.adapter_present = false;
  auto bus = Open(1);
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOHARDWARE);
  EXPECT_EQ(bus->PortNumber(), 1) << "the port stays open without an adapter";
}

TEST_F(ParallelBus, PortNumbersOutsideOneToThreeAreRejected) {
  for (int32_t number : {0, 4}) {
    auto bus = CreateSpiBus<TSpiBus_LPT>(0, fake);
    EXPECT_EQ(bus->OpenPort(number), E_INVALIDARG);
    bus->SetReset(1);
    uint8_t level = 9;
    EXPECT_FALSE(bus->GetMiso(level));
    EXPECT_EQ(level, 9);
    EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
  }
  EXPECT_EQ(lpt1.open_count, 0);
  EXPECT_TRUE(lpt1.events.empty());
}

TEST_F(ParallelBus, LptNDrivesParportNMinusOneOrTheGivenPath) {
  TFakeNode& lpt2 = fake->AddParallel("/dev/parport1");
  auto bus = Open(2);
  ASSERT_EQ(bus->PortNumber(), 2);
  EXPECT_EQ(bus->DevicePath(), "/dev/parport1");
  bus->SetMosi(1);
  EXPECT_EQ(lpt2.data, 0x22);
  EXPECT_TRUE(lpt1.events.empty()) << "LPT2 must not touch LPT1's lines";

  TFakeNode& other = fake->AddParallel("/dev/parport7");
  auto explicit_path = CreateSpiBus<TSpiBus_LPT>(1, fake, "/dev/parport7");
  ASSERT_EQ(explicit_path->PortNumber(), 1);
  EXPECT_TRUE(other.claimed);
  EXPECT_FALSE(lpt1.claimed);
}

TEST_F(ParallelBus, UnchangedLevelsCostNoPortAccessAndBytesAreBoundedPerBit) {
  auto bus = Open(1);
  fake->ResetCounts();
  bus->SetSck(0); // already low
  bus->SetMosi(0);
  bus->SetReset(1);
  EXPECT_EQ(fake->Counts().Total(), 0u);
  bus->SetSck(1);
  bus->SetSck(1);
  EXPECT_EQ(fake->Counts().ioctls, 1u);
  bus->SetSck(0);

  bus->Speed = sdFastest;
  fake->ResetCounts();
  bus->WriteByte(0xA5);
  // SCK up and down every bit, MOSI only where the bit changes. Read: SCK up, sample, SCK down.
  EXPECT_LE(fake->Counts().Total(), 8u * 3u);
  fake->ResetCounts();
  static_cast<void>(bus->ReadByte());
  EXPECT_EQ(fake->Counts().Total(), 8u * 3u);
}

TEST_F(ParallelBus, FailedOpenTellsWhyAndLeavesNothingOpen) {
  struct Case {
    int open_errno, exclusive_errno, claim_errno;
    const char* hint;
  };
  for (const Case& c :
       {Case{ENOENT, 0, 0, "sudo modprobe ppdev"}, Case{EACCES, 0, 0, "sudo usermod -aG lp $USER"},
        Case{EBUSY, 0, 0, "claimed by another program"}, Case{0, 0, EBUSY, "claimed by another program"},
        Case{0, 0, ENXIO, "claimed by another program"}, Case{0, EIO, 0, "Input/output error"}}) {
    SCOPED_TRACE(c.hint);
    lpt1.open_errno = c.open_errno;
    lpt1.exclusive_errno = c.exclusive_errno;
    lpt1.claim_errno = c.claim_errno;
    auto bus = CreateSpiBus<TSpiBus_LPT>(0, fake);
    EXPECT_EQ(bus->OpenPort(1), E_FAIL);
    EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
    EXPECT_NE(bus->LastErrorText().find(c.hint), std::string::npos) << bus->LastErrorText();
    EXPECT_NE(bus->LastErrorText().find("/dev/parport0"), std::string::npos);
    EXPECT_EQ(fake->OpenDescriptors(), 0);
    bus->SetMosi(1);
    EXPECT_EQ(lpt1.data, 0) << "a bus that failed to open drives nothing";
  }
}

TEST_F(ParallelBus, UnpluggedPortIsAFaultAndAFailedWriteIsRetried) {
  auto bus = Open(1);
  ASSERT_EQ(bus->CheckHardware(), S_OK);
  lpt1.eio_after_ioctls = int64_t(lpt1.ioctls);
  uint8_t level = 5;
  EXPECT_FALSE(bus->GetMiso(level));
  EXPECT_EQ(level, 5);
  EXPECT_TRUE(bus->LineFault());
  bus->ClearLineFault();
  bus->SetSck(1); // fails: the register still holds SCK low
  EXPECT_TRUE(bus->LineFault()) << "a failed register write is reported too";
  lpt1.eio_after_ioctls = -1;
  bus->SetSck(1);
  EXPECT_EQ(lpt1.data & 0x10, 0x10);
  lpt1.eio_after_ioctls = int64_t(lpt1.ioctls);
  bus.reset();
  EXPECT_EQ(fake->OpenDescriptors(), 0) << "the device is closed even when release fails";
}

// The port object alone.
TEST(HwDirectInOut, RegistersBecomePpdevRequests) {
  auto fake = std::make_shared<TFakePortDevice>();
  TFakeNode& node = fake->AddParallel("/dev/parport0");
  THwDirectInOut port("/dev/parport0", fake);
  EXPECT_FALSE(port.IsOpen()) << "nothing is open before Open";
  EXPECT_EQ(port.WritePort(0x378, 1), 1);
  ASSERT_EQ(port.Open(), 0);
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.WritePort(0x378, 0x5A), 0);
  EXPECT_EQ(node.data, 0x5A);
  const uint64_t before = fake->Counts().ioctls;
  EXPECT_EQ(port.WritePort(0x379, 0xFF), 0) << "the status register takes no writes but accepts them";
  EXPECT_EQ(fake->Counts().ioctls, before);
  EXPECT_EQ(port.WritePort(0x37A, 0x04), 0);
  EXPECT_EQ(node.control, 0x04);
  uint8_t value = 0;
  EXPECT_EQ(port.ReadPort(0x378, value), 0);
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(port.ReadPort(0x37A, value), 0);
  EXPECT_EQ(value, 0x04);
  EXPECT_EQ(port.ReadPort(0x37B, value), 1) << "only the three registers exist";
  EXPECT_EQ(value, 0);
  node.eio_after_ioctls = int64_t(node.ioctls);
  value = 0x77;
  EXPECT_EQ(port.ReadPort(0x379, value), 1);
  EXPECT_EQ(value, 0) << "a failed read leaves zero";
  EXPECT_EQ(port.LastStatus(), E_GEN_FAILURE) << "errno stays inside the port object";
  node.eio_after_ioctls = -1;
  port.CloseDriver();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(node.claimed);
  port.CloseDriver();
  EXPECT_EQ(fake->OpenDescriptors(), 0);

  THwDirectInOut missing("/dev/parport3", fake);
  EXPECT_EQ(missing.Open(), E_FILE_NOT_FOUND);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_NE(missing.LastErrorText().find("does not exist"), std::string::npos);
}

} // namespace
