// The bit-banged bus base and the wait primitives, seen through a recording back end and a virtual clock.
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "tests/support/RecordingBus.h"

#include <gtest/gtest.h>

#include <csignal>

#include <string>
#include <vector>

namespace {

using K = TLineEvent::Kind;

class SpiBusBase : public ::testing::Test {
protected:
  void SetUp() override { bus->AttachClock(*clock); }
  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::unique_ptr<TRecordingBus> bus = CreateSpiBus<TRecordingBus>(1);

  // MOSI may change only while SCK is low; MISO is sampled only while SCK is high.
  void ExpectLineDiscipline() const {
    uint8_t sck = 0;
    for (const TLineEvent& e : bus->log) {
      if (e.kind == K::Sck) sck = uint8_t(e.value);
      EXPECT_FALSE(e.kind == K::Mosi && sck) << "MOSI moved under a high clock";
      EXPECT_FALSE(e.kind == K::Miso && !sck) << "sampled with the clock low";
    }
  }
};

TEST_F(SpiBusBase, BytesShiftMsbFirstAndReadsSampleWhileSckHigh) {
  bus->WriteByte(0xA5);
  EXPECT_EQ(bus->MosiAtRisingEdges(), (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1}));
  EXPECT_EQ(bus->mosi, 1);
  EXPECT_EQ(bus->sck, 0);
  ExpectLineDiscipline();

  bus->log.clear();
  bus->miso_script = {1, 0, 0, 1, 0, 1, 1, 0};
  EXPECT_EQ(bus->ReadByte(), 0x96);
  ExpectLineDiscipline();
  for (const TLineEvent& e : bus->log) EXPECT_FALSE(e.kind == K::Mosi && e.value != 1) << "MOSI rests high";
  EXPECT_EQ(bus->Count(K::Miso), 8u);
  EXPECT_EQ(bus->MosiAtRisingEdges(), std::vector<uint8_t>(8, 1)); // the target receives 0xFF
  bus->miso_rest = 0;
  EXPECT_EQ(bus->ReadByte(), 0x00);
}

TEST_F(SpiBusBase, ExchangeClocksFramesBackToBackAndSamplesOnlyFlaggedBits) {
  bus->Speed = sdNormal;
  // Seventeen samples: the first bit of frame 2 and its bytes 2 and 3 (the last bit, flagged
  // twice, is sampled once).
  TSpiFrame frames[2] = {SpiFrame(0xA5, 0x3C, 0x0F, 0xF0),
                         SpiFrame(0x01, 0x80, 0x7E, 0x00, SpiSampleByte(2) | SpiSampleByte(3) | 0x80000001u)};
  bus->miso_script = {1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 1};
  EXPECT_EQ(bus->Exchange(frames, 2), S_OK);
  std::vector<uint8_t> sent;
  for (const TSpiFrame& f : frames)
    for (uint8_t byte : f.Out)
      for (int bit = 7; bit >= 0; --bit) sent.push_back((byte >> bit) & 1);
  EXPECT_EQ(bus->MosiAtRisingEdges(), sent);
  EXPECT_EQ(bus->Count(K::Miso), 17u);
  EXPECT_EQ((std::vector<uint8_t>(frames[0].In, frames[0].In + 4)), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ((std::vector<uint8_t>(frames[1].In, frames[1].In + 4)),
            (std::vector<uint8_t>{0x80, 0, 0x66, 0xAB}));
  ExpectLineDiscipline();
  EXPECT_LE(bus->Count(K::Sck), 2u * 64 + 1) << "two edges a bit, one fall to end the run";
  EXPECT_EQ(clock->busy_calls, 2u * 64);
  EXPECT_EQ(bus->mosi, 1);

  // An abort clocks nothing; sampled bits read as an undriven line.
  bus->log.clear();
  volatile std::sig_atomic_t abort = 1;
  bus->SetAbortFlag(&abort);
  EXPECT_EQ(bus->Exchange(frames, 2), SPI_E_NOPORT);
  EXPECT_TRUE(bus->MosiAtRisingEdges().empty());
  EXPECT_EQ(frames[1].In[3], 0xFF);
  bus->SetAbortFlag(nullptr);
}

TEST_F(SpiBusBase, FailedSampleReadsHighAndIsRememberedAsLineFault) {
  bus->miso_rest = 0;
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
  EXPECT_EQ(bus->log, (std::vector<TLineEvent>{{K::Sck, 0},
                                               {K::Mosi, 1},
                                               {K::BusyWait, 20000},
                                               {K::Reset, 0},
                                               {K::Sleep, 120},
                                               {K::Reset, 1},
                                               {K::Sleep, 100}}));
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

TEST_F(SpiBusBase, SpeedSetsHalfPeriodAndFastestNeverWaits) {
  bus->Speed = sdFastest;
  bus->WriteByte(0x5A);
  bus->ReadByte();
  EXPECT_EQ(clock->busy_calls, 0u);

  bus->Speed = sdNormal;
  bus->WriteByte(0x5A);
  EXPECT_EQ(clock->busy_calls, 16u);
  EXPECT_EQ(clock->busy_us, 16u * 5);

  // Fastest timed level, slowest, and a level the window never sets (slowest delay).
  for (auto [speed, delay] : {std::pair{1, 1u}, {6, 100u}, {7, 100u}}) {
    clock->busy_us = 0;
    bus->Speed = uint8_t(speed);
    bus->ReadBit();
    EXPECT_EQ(clock->busy_us, 2 * delay) << speed;
  }
}

TEST_F(SpiBusBase, PortsAndErrorTexts) {
  auto closed = CreateSpiBus<TRecordingBus>(7); // only port 1 exists
  EXPECT_EQ(closed->CheckHardware(), SPI_E_NOPORT);
  closed->WriteByte(0xFF);
  EXPECT_TRUE(closed->log.empty());
  EXPECT_EQ(bus->CheckHardware(), S_OK);
  bus->adapter_present = false;
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOHARDWARE);
  // One convention everywhere: 0 succeeds, anything else fails, the bus's own positive codes and
  // the bare 1 included.
  for (const HRESULT failure : {SPI_E_NOPORT, SPI_E_NOHARDWARE, S_FALSE, E_FAIL, E_INVALIDARG}) {
    EXPECT_TRUE(Failed(failure)) << std::hex << failure;
    EXPECT_FALSE(Succeeded(failure)) << std::hex << failure;
  }
  EXPECT_TRUE(Succeeded(S_OK) && !Failed(S_OK));

  std::string text = "unchanged";
  EXPECT_EQ(bus->GetErrorText(0x9003, text), 1);
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(bus->GetErrorText(0x9002, text), 0);
  EXPECT_EQ(text, "Can not find hardware device (serial/parallel dongle)!");
  EXPECT_EQ(bus->GetErrorText(0x9001, text), 0);
  EXPECT_EQ(text, "Can not open physical connection device (COM,LPT,..)!");
}

TEST(Wait, BusyUpToThirtyMsSleepsAbove) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  WaitMs(30);
  EXPECT_EQ(clock->busy_us, 30000u);
  EXPECT_EQ(clock->sleep_calls, 0u);
  WaitMs(31);
  EXPECT_EQ(clock->slept_ms, 31u);
  WaitMs(0);
  WaitUs(0);
  EXPECT_EQ(clock->busy_calls, 1u);
  EXPECT_EQ(clock->sleep_calls, 1u);
  EXPECT_EQ(clock->now_ns, 61u * 1000000u);
}

TEST(Wait, CounterTrustedOnlyWhenTwoReadingsAreWithinEightMicroseconds) {
  int64_t now = 0, step = 8; // 1 MHz counter: 8 ticks = 8 µs
  int reads = 0;
  auto counter = [&] { return ++reads, now += step; };
  EXPECT_FALSE(TestCounter(counter, 1000000));
  EXPECT_EQ(reads, 100) << "50 tries of two readings";
  step = 7;
  reads = 0;
  EXPECT_TRUE(TestCounter(counter, 1000000));
  EXPECT_EQ(reads, 2);
  EXPECT_FALSE(TestCounter(counter, 0));

  reads = 0; // fast only on its last try is still trusted
  auto late = [&] { return ++reads, now += (reads == 100) ? 1 : 50; };
  EXPECT_TRUE(TestCounter(late, 1000000));
}

} // namespace
