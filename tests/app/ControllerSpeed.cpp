// --speed auto and the speed warning: the level follows the clock the chip's fuses select.
#include "tests/app/ControllerFixture.h"
#include "tests/support/RecordingBus.h"

namespace {

constexpr uint8_t kFaster = 1, kFast = 2;

TEST(SckSpeed, EachPhaseLastsTwoTargetClocksThreeFromTwelveMegahertz) {
  EXPECT_EQ(FastestLevelForClock(kAutoEntryHz), kFast) << "sdFaster's 1 us is less than 2 us";
  EXPECT_EQ(FastestLevelForClock(20'000'000), kFaster) << "three cycles of 20 MHz are 150 ns";
  EXPECT_EQ(FastestLevelForClock(128'000), 5) << "two cycles of 128 kHz are 15.6 us";
  EXPECT_FALSE(LevelSuitsClock(0, 20'000'000)) << "sdFastest's phase is the port's alone";
  EXPECT_FALSE(LevelSuitsClock(kFaster, LowestClockForLevel(kFaster) - 1));
}

// A bus with a clock of its own says how long its phases are; sdFastest then counts for what it is.
class TClockedBus : public TRecordingBus {
public:
  uint32_t SckPhaseNs(uint8_t level) const override { return level == 0 ? 200 : 0; }
};

TEST(SckSpeed, ABusThatKnowsItsPhaseCanUseItsFastestLevelOnAFastChip) {
  TClockedBus bus;
  EXPECT_EQ(FastestLevelForClock(16'000'000, &bus), 0) << "three cycles of 16 MHz are 187.5 ns";
  EXPECT_EQ(FastestLevelForClock(20'000'000, &bus), 0) << "three cycles of 20 MHz are 150 ns";
  EXPECT_EQ(FastestLevelForClock(8'000'000, &bus), kFaster) << "two cycles of 8 MHz are 250 ns";
  EXPECT_EQ(FastestLevelForClock(12'000'000, &bus), kFaster) << "three cycles of 12 MHz are 250 ns";
  EXPECT_EQ(LowestClockForLevel(0, &bus), 10'000'000u) << "two cycles of 10 MHz are 200 ns";
  EXPECT_FALSE(LevelSuitsClock(0, 9'000'000, &bus));
  EXPECT_EQ(FastestLevelForClock(16'000'000), kFaster) << "without the bus sdFastest is never said to suit";
}

class ControllerSpeed : public ControllerTest {
protected:
  // The log lines since the last call that contain part.
  bool Logged(const std::string& part) {
    bool found = false;
    for (const TLogLine& line : log_.lines) found |= line.text.find(part) != std::string::npos;
    log_.lines.clear();
    return found;
  }
};

TEST_F(ControllerSpeed, AutoFollowsTheFusesClockAndStaysSafeForACrystal) {
  ASSERT_EQ(controller_.Init("SIM1", kSpeedAuto, false), TCommandResult::Done);
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, kFast);
  EXPECT_TRUE(Logged("Speed: sdFast (SCK phase 3 \xC2\xB5s) for the chip's"));
  Chip().SetFuses(0xE2, 0xD9, 0xFF); // CKDIV8 unprogrammed: 8 MHz
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, kFaster);
  EXPECT_TRUE(Logged("Speed: sdFaster"));
  // A crystal's frequency is the board's: the next entry is safe again and stays so.
  Chip().SetFuses(0xFF, 0xD9, 0xFF);
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, kFast);
  EXPECT_TRUE(Logged("(--speed LEVEL): sdFaster suits a clock of 2 MHz or more."));
}

TEST_F(ControllerSpeed, AHandChosenLevelTooFastForTheKnownClockIsWarnedAboutOnce) {
  ASSERT_EQ(controller_.Init("SIM1", 0, false), TCommandResult::Done);
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, 0) << "the user's choice stands";
  EXPECT_TRUE(Logged("Warning: sdFastest is too fast for the chip's"));
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_FALSE(Logged("Warning"));
  Chip().SetFuses(0xFF, 0xD9, 0xFF); // an unknown clock is not judged
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_FALSE(Logged("Warning"));
}

} // namespace
