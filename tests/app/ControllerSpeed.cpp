// --speed auto and the speed warning: the level follows the clock the chip's fuses select.
#include "app/uSckSpeed.h"
#include "tests/app/ControllerFixture.h"

namespace {

constexpr uint32_t kGreen = 0x008000, kRed = 0x0000FF;
constexpr uint8_t kFaster = 1, kFast = 2, kSlower = 5;

bool LogContains(const std::vector<TLogLine>& lines, const std::string& part, uint32_t colour) {
  for (const TLogLine& line : lines)
    if (line.colour == colour && line.text.find(part) != std::string::npos) return true;
  return false;
}

TEST(SckSpeed, EachPhaseLastsMoreThanTwoTargetClocksThreeFromTwelveMegahertz) {
  EXPECT_EQ(FastestLevelForClock(kAutoEntryHz), kFast) << "3 us >= 2 us; sdFaster's 1 us is too short";
  EXPECT_EQ(FastestLevelForClock(8'000'000), kFaster);
  EXPECT_EQ(FastestLevelForClock(20'000'000), kFaster) << "three cycles of 20 MHz are 150 ns";
  EXPECT_EQ(FastestLevelForClock(128'000), kSlower) << "two cycles of 128 kHz are 15.6 us";
  // sdFastest's phase is the port's own operations: no clock is promised to take it.
  EXPECT_FALSE(LevelSuitsClock(0, 20'000'000));
  EXPECT_EQ(LowestClockForLevel(0), 0u);
  // The hint's clock is the lowest that suits the level.
  const uint32_t lowest = LowestClockForLevel(kFaster);
  EXPECT_TRUE(LevelSuitsClock(kFaster, lowest));
  EXPECT_FALSE(LevelSuitsClock(kFaster, lowest - 1));
  EXPECT_EQ(lowest, 2'000'000u);
}

class ControllerSpeed : public ControllerTest {
protected:
  void ConnectAt(uint8_t speed) {
    ASSERT_EQ(SetSimPortChip(1, kDefaultSimChip), S_OK);
    ASSERT_EQ(controller_.Init("SIM1", speed, false), TCommandResult::Done);
  }
};

TEST_F(ControllerSpeed, AutoGoesAsFastAsTheFusesClockAllowsAndStaysSafeForACrystal) {
  ConnectAt(kSpeedAuto);
  EXPECT_EQ(Bus()->Speed, kFast) << "before the fuses are known: safe for 1 MHz";

  // A new chip: the internal 8 MHz divided by 8.
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, kFast);
  EXPECT_TRUE(LogContains(log_.lines, "Speed: sdFast (SCK phase 3 \xC2\xB5s) for the chip's", kGreen));
  EXPECT_TRUE(LogContains(log_.lines, "divided by 8 (CKDIV8): 1 MHz.", kGreen));

  // CKDIV8 unprogrammed: 8 MHz.
  Chip().SetFuses(0xE2, 0xD9, 0xFF);
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, kFaster);
  EXPECT_TRUE(LogContains(log_.lines, "Speed: sdFaster (SCK phase 1 \xC2\xB5s)", kGreen));
  // The same choice again is not repeated in the log.
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_FALSE(LogContains(log_.lines, "Speed:", kGreen));

  // A crystal: its frequency is the board's. The next command starts safe again and stays there,
  // saying how to go faster.
  Chip().SetFuses(0xFF, 0xD9, 0xFF);
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, kFast);
  EXPECT_TRUE(LogContains(log_.lines, "safe for the 1 MHz of a new chip", kGreen));
  EXPECT_TRUE(LogContains(log_.lines, "(--speed LEVEL): sdFaster suits a clock of 2 MHz or more.", kGreen));
}

TEST_F(ControllerSpeed, AHandChosenLevelTooFastForTheKnownClockIsWarnedAboutAndKept) {
  ConnectAt(0);
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(Bus()->Speed, 0) << "the user's choice stands";
  EXPECT_TRUE(LogContains(log_.lines, "Warning: sdFastest is too fast for the chip's", kRed));
  EXPECT_TRUE(LogContains(log_.lines, "at least 2000 ns there. sdFast or slower suits it", kRed));

  // A level the clock allows, or a clock the fuses do not give, draws no warning.
  controller_.SetSpeed(kFast);
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  controller_.SetSpeed(0);
  Chip().SetFuses(0xFF, 0xD9, 0xFF);
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_FALSE(LogContains(log_.lines, "Warning", kRed));
}

} // namespace
