// The simulated back end under the bus base: port state, the probe, line counting, and the bus's
// own byte operations talking to the chip.
#include "core/uWait.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"

#include <fstream>
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
  // Per bit one falling and one rising SCK edge (the first fall made sure of), MOSI only where the
  // data changes; the byte ends on 1, so resting MOSI high costs nothing.
  EXPECT_EQ(bus->LineCounters().sck, 1u + 8 * 2);
  EXPECT_EQ(bus->LineCounters().mosi, 8u);
  bus->ResetLineCounters();
  bus->WriteByte(0x00);
  EXPECT_EQ(bus->LineCounters().mosi, 2u) << "set once, rested high once";
  bus->ResetLineCounters();
  bus->ReadByte();
  EXPECT_EQ(bus->LineCounters().miso, 8u);
  EXPECT_EQ(bus->LineCounters().Total(), 17u + 1 + 8);
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

namespace {

// Two buses on one simulated chip are two programs on one port: the second is refused as a busy
// serial port would be, and gets the port with what the first saved once that one lets go.
TEST(SimBusExclusive, ASecondBusOnTheSameChipIsRefusedUntilTheFirstCloses) {
  TScratchDir dir;
  TSimChipOptions options;
  options.persist = true;
  options.state_dir = dir.Path();
  auto first = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P(), options));
  ASSERT_EQ(first->CheckHardware(), S_OK);
  auto second = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P(), options));
  EXPECT_EQ(second->CheckHardware(), SPI_E_NOPORT);
  EXPECT_EQ(second->LastErrorText(), "SIM1 is in use by another program; close that program and try again.");
  second.reset();

  // A chip created while the first holds the port still sees the first's write once it gets it.
  auto third = std::make_unique<TSimAvrChip>(SimRecordMega328P(), options);
  TSimLineDriver line(*first);
  line.EnterReset();
  ASSERT_TRUE(line.Enable());
  line.Instruction(0xC0, 0x00, 0x00, 0x34);
  first.reset();
  auto next = CreateSpiBus<TSpiBus_Sim>(1, std::move(third));
  ASSERT_EQ(next->CheckHardware(), S_OK);
  EXPECT_EQ(next->Chip()->Eeprom()[0], 0x34);
}

// Leaving programming mode keeps what was programmed; when that fails the bus says so.
TEST(SimBusSave, LeavingProgrammingModeReportsAFailedSave) {
  TScratchDir dir;
  std::ofstream(dir.Path() + "/file") << "x";
  TSimChipOptions options;
  options.persist = true;
  options.state_dir = dir.Path() + "/file/pinlet"; // a file where the folder should be
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P(), options));
  EXPECT_EQ(bus->SetProgMode(false), S_OK) << "nothing changed, nothing to save";
  TSimLineDriver line(*bus);
  line.EnterReset();
  ASSERT_TRUE(line.Enable());
  line.Instruction(0xC0, 0x00, 0x00, 0x12);
  EXPECT_LT(bus->SetProgMode(false), 0);
  EXPECT_NE(bus->LastErrorText().find(options.state_dir + "/sim-ATmega328P.state"), std::string::npos)
      << bus->LastErrorText();
  EXPECT_NE(bus->LastErrorText().find("Not a directory"), std::string::npos) << bus->LastErrorText();
}

} // namespace
