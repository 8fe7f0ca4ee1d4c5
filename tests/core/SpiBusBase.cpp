// The bit-banged bus base and the wait primitives, observed through a recording back end and a
// virtual clock.
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "tests/support/RecordingBus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using K = TLineEvent::Kind;

class SpiBusBase : public ::testing::Test {
protected:
  void SetUp() override {
    bus = CreateSpiBus<TRecordingBus>(1);
    bus->AttachClock(*clock);
  }
  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::unique_ptr<TRecordingBus> bus;
};

TEST_F(SpiBusBase, WriteByteShiftsMsbFirstAndLeavesMosiHighSckLow) {
  bus->WriteByte(0xA5);
  EXPECT_EQ(bus->MosiAtRisingEdges(), (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1}));
  EXPECT_EQ(bus->mosi, 1);
  EXPECT_EQ(bus->sck, 0);
  // MOSI only changes while SCK is low, so the target never sees it move under a high clock.
  uint8_t clock_level = 0;
  for (const TLineEvent& e : bus->log) {
    if (e.kind == K::Sck) clock_level = uint8_t(e.value);
    if (e.kind == K::Mosi) {
      EXPECT_EQ(clock_level, 0);
    }
  }
}

TEST_F(SpiBusBase, ReadByteSamplesMsbFirstWhileSckHighWithMosiResting) {
  bus->WriteByte(0x00); // leaves MOSI at 1
  bus->log.clear();
  bus->miso_script = {1, 0, 0, 1, 0, 1, 1, 0};
  EXPECT_EQ(bus->ReadByte(), 0x96);
  uint8_t clock_level = 0;
  for (const TLineEvent& e : bus->log) {
    if (e.kind == K::Sck) clock_level = uint8_t(e.value);
    if (e.kind == K::Miso) {
      EXPECT_EQ(clock_level, 1) << "sampled after the falling edge";
    }
    if (e.kind == K::Mosi) {
      EXPECT_EQ(e.value, 1u);
    }
  }
  EXPECT_EQ(bus->Count(K::Miso), 8u);
  EXPECT_EQ(bus->MosiAtRisingEdges(), std::vector<uint8_t>(8, 1)); // the target receives 0xFF

  bus->miso_rest = 1;
  EXPECT_EQ(bus->ReadByte(), 0xFF);
  bus->miso_rest = 0;
  EXPECT_EQ(bus->ReadByte(), 0x00);
}

TEST_F(SpiBusBase, FailedSampleReadsHighAndIsRememberedAsLineFault) {
  bus->miso_rest = 0;
  EXPECT_FALSE(bus->LineFault());
  EXPECT_EQ(bus->ReadBit(), 0);
  EXPECT_FALSE(bus->LineFault());
  bus->miso_fails = true;
  EXPECT_EQ(bus->ReadBit(), 1);
  EXPECT_TRUE(bus->LineFault());
  bus->miso_fails = false;
  EXPECT_EQ(bus->ReadBit(), 0);
  EXPECT_TRUE(bus->LineFault()) << "the fault stays until cleared";
  bus->ClearLineFault();
  EXPECT_FALSE(bus->LineFault());
}

TEST_F(SpiBusBase, ResetSequenceOrderAndWaits) {
  bus->SetProgMode(true);
  const std::vector<TLineEvent> expected = {{K::Sck, 0},    {K::Mosi, 1},    {K::BusyWait, 20000},
                                            {K::Reset, 0},  {K::Sleep, 120}, {K::Reset, 1},
                                            {K::Sleep, 100}};
  ASSERT_EQ(bus->log.size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(bus->log[k], expected[k]) << ToString(bus->log[k]);
  EXPECT_EQ(clock->now_ns, 240u * 1000000u);

  bus->log.clear();
  bus->ResetPulseTime = 5;
  bus->ResetSettleTime = 0;
  bus->SetProgMode(true);
  EXPECT_EQ(bus->log[3], (TLineEvent{K::Reset, 0}));
  EXPECT_EQ(bus->log[4], (TLineEvent{K::BusyWait, 5000}));
  EXPECT_EQ(bus->log.back(), (TLineEvent{K::Reset, 1})) << "a zero settle time makes no wait";

  bus->log.clear();
  EXPECT_EQ(bus->SetProgMode(false), 0);
  EXPECT_EQ(bus->log, (std::vector<TLineEvent>{{K::Reset, 0}}));
}

TEST(Wait, BusyUpToThirtyMsSleepsAbove) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  WaitMs(30);
  EXPECT_EQ(clock->busy_us, 30000u);
  EXPECT_EQ(clock->busy_calls, 1u);
  EXPECT_EQ(clock->sleep_calls, 0u);
  WaitMs(31);
  EXPECT_EQ(clock->slept_ms, 31u);
  EXPECT_EQ(clock->busy_calls, 1u);
  WaitMs(0);
  WaitUs(0);
  EXPECT_EQ(clock->busy_calls, 1u);
  EXPECT_EQ(clock->sleep_calls, 1u);
  EXPECT_EQ(clock->now_ns, 61u * 1000000u);
}

TEST_F(SpiBusBase, SpeedSetsHalfPeriodAndFastestNeverWaits) {
  bus->Speed = sdFastest;
  bus->WriteByte(0x5A);
  bus->ReadByte();
  EXPECT_EQ(clock->busy_calls, 0u);

  bus->Speed = sdNormal;
  bus->WriteByte(0x5A);
  EXPECT_EQ(clock->busy_calls, 16u);
  EXPECT_EQ(clock->busy_us, 16u * 5);

  // Each level's delay, and a level the window never sets stays at the slowest.
  const uint32_t delays[] = {1, 3, 5, 10, 30, 100, 100};
  for (uint8_t speed = 1; speed <= 7; ++speed) {
    clock->busy_us = 0;
    bus->Speed = speed;
    bus->ReadBit();
    EXPECT_EQ(clock->busy_us, 2 * delays[speed - 1]) << int(speed);
  }
}

TEST_F(SpiBusBase, ErrorTexts) {
  std::string text = "unchanged";
  EXPECT_EQ(bus->GetErrorText(0x9003, text), 1);
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(bus->GetErrorText(0x9002, text), 0);
  EXPECT_EQ(text, "Can not find hardware device (serial/parallel dongle)!");
  EXPECT_EQ(bus->GetErrorText(0x9001, text), 0);
  EXPECT_EQ(text, "Can not open physical connection device (COM,LPT,..)!");
}

TEST(SpiBusConstruction, PortThatCannotOpenStillConstructsAndReportsNoPort) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  auto bus = CreateSpiBus<TRecordingBus>(7); // only port 1 exists
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
  bus->WriteByte(0xFF);
  EXPECT_TRUE(bus->log.empty());

  auto open = CreateSpiBus<TRecordingBus>(1);
  EXPECT_EQ(open->Speed, sdNormal);
  EXPECT_EQ(open->Options, 0);
  EXPECT_EQ(open->ResetPulseTime, 120u);
  EXPECT_EQ(open->ResetSettleTime, 100u);
  EXPECT_EQ(open->CheckHardware(), S_OK);
  open->adapter_present = false;
  EXPECT_EQ(open->CheckHardware(), SPI_E_NOHARDWARE);
}

TEST(Wait, CounterTrustedOnlyWhenTwoReadingsAreWithinEightMicroseconds) {
  // 1 MHz counter: 8 ticks = 8 µs.
  int64_t now = 0, step = 8;
  int reads = 0;
  auto counter = [&] {
    ++reads;
    now += step;
    return now;
  };
  EXPECT_FALSE(TestCounter(counter, 1000000));
  EXPECT_EQ(reads, 100) << "50 tries of two readings";

  step = 7;
  reads = 0;
  EXPECT_TRUE(TestCounter(counter, 1000000));
  EXPECT_EQ(reads, 2);

  // A slow counter that is fast only on its last try is still trusted.
  reads = 0;
  auto late = [&] {
    ++reads;
    now += (reads == 100) ? 1 : 50;
    return now;
  };
  EXPECT_TRUE(TestCounter(late, 1000000));
  EXPECT_FALSE(TestCounter(counter, 0));
}

} // namespace
