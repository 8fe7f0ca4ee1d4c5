// The simulated back end under the bus base: port state, the probe, line counting, and the bus's
// own byte operations talking to the chip.
#include "core/uWait.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

class SimBus : public testing::Test {
protected:
  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
};

TEST_F(SimBus, ProbeReportsOpenPort) {
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P()));
  EXPECT_TRUE(bus->IsOpen());
  EXPECT_EQ(bus->CheckHardware(), 0);
  auto closed = CreateSpiBus<TSpiBus_Sim>(0, std::make_unique<TSimAvrChip>(SimRecordMega328P()));
  EXPECT_EQ(closed->CheckHardware(), SPI_E_NOPORT);
  uint8_t level = 7;
  EXPECT_FALSE(closed->GetMiso(level));
  EXPECT_EQ(level, 7);
  EXPECT_EQ(closed->LineCounters().Total(), 0u);

  auto chipless = CreateSpiBus<TSpiBus_Sim>(2, nullptr);
  EXPECT_EQ(chipless->CheckHardware(), 0);
  chipless->SetProgMode(true);
  EXPECT_EQ(chipless->ReadByte(), 0xFF) << "without a chip MISO floats high";
}

TEST_F(SimBus, CountsEveryLineOperation) {
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P()));
  bus->ResetLineCounters();
  bus->WriteByte(0x55);
  // Per bit SCK low, MOSI, SCK high, SCK low; one SCK low before and MOSI high after the byte.
  EXPECT_EQ(bus->LineCounters().sck, 1u + 8 * 3);
  EXPECT_EQ(bus->LineCounters().mosi, 8u + 1);
  bus->ResetLineCounters();
  bus->ReadByte();
  EXPECT_EQ(bus->LineCounters().miso, 8u);
  EXPECT_EQ(bus->LineCounters().Total(), 1u + 8 * 4 + 1);
}

TEST_F(SimBus, InvertedLinesFollowOptions) {
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P()));
  bus->Options = soResetInverted;
  bus->SetReset(0); // drives the pin high: held in reset
  EXPECT_TRUE(bus->Chip()->InProgMode());
  bus->Options = soMisoInverted;
  bus->SetReset(1); // now the pin follows again
  bus->SetReset(0);
  uint8_t level = 7;
  ASSERT_TRUE(bus->GetMiso(level));
  EXPECT_EQ(level, 0) << "the floating-high MISO reads inverted";
}

TEST_F(SimBus, ClosingReleasesResetAndSavesState) {
  TScratchDir dir;
  TSimChipOptions options;
  options.persist = true;
  options.state_dir = dir.Path();
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P(), options));
  TSimLineDriver line(*bus);
  line.EnterReset();
  ASSERT_TRUE(line.Enable());
  line.Instruction(0xC0, 0x00, 0x00, 0x12);
  bus->ClosePort();
  EXPECT_FALSE(bus->Chip()->InProgMode());
  TSimAvrChip next(SimRecordMega328P(), options);
  EXPECT_EQ(next.StateLoad(), TSimStateLoad::Loaded);
  EXPECT_EQ(next.Eeprom()[0], 0x12);
}

} // namespace
