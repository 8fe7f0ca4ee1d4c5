// A write and its verify as one command: one database read, one reset, one Programming Enable.
#include "devicedb/uXmlDB.h"
#include "tests/app/ControllerFixture.h"

#include <algorithm>

namespace {

constexpr uint32_t kBlue = 0xFF0000;

// What one command cost the chip and the process.
struct TCost {
  uint64_t parses, enables, reset_ops;
};

class ControllerSession : public ControllerTest {
protected:
  TCost Now() { return {SignatureDBLoadCount(), Chip().Counters().enables, SimBus().LineCounters().reset}; }
  TCost Since(const TCost& before) {
    const TCost now = Now();
    return {now.parses - before.parses, now.enables - before.enables, now.reset_ops - before.reset_ops};
  }
};

TEST_F(ControllerSession, AWriteAndItsVerifyEnterProgrammingModeOnceAndReadTheDatabaseOnce) {
  Connect();
  const std::vector<uint8_t> image = PatternBytes(1000);
  LoadBytes(image);

  // The cost of one command on its own, as the yardstick for the reset line.
  TCost before = Now();
  ASSERT_EQ(controller_.VerifyFlash(), TCommandResult::Failed); // the chip is still empty
  const TCost single = Since(before);
  EXPECT_EQ(single.parses, 1u);
  EXPECT_EQ(single.enables, 1u);

  // The write erases the chip first (this one has RDY/BSY: no reset after the erase), then the
  // verify runs in the same programming mode.
  log_.lines.clear();
  before = Now();
  EXPECT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
  const TCost session = Since(before);
  EXPECT_TRUE(LogHas({"Meta stream and flash is equal.\r\n", kBlue}));
  EXPECT_EQ(Chip().Counters().chip_erases, 1u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), Chip().Flash().begin()));
  EXPECT_EQ(session.parses, 1u);
  EXPECT_EQ(session.enables, 1u);
  EXPECT_EQ(session.reset_ops, single.reset_ops);
  EXPECT_FALSE(Chip().InProgMode());

  // The EEPROM's write and verify likewise.
  const std::string eeprom = WriteTextFile("cfg.bin", std::string(64, '\x5A'));
  ASSERT_EQ(controller_.LoadFile(eeprom, TImageMemory::Eeprom), TCommandResult::Done);
  before = Now();
  EXPECT_EQ(controller_.Write(TImageMemory::Eeprom, true), TCommandResult::Done);
  const TCost eeprom_session = Since(before);
  EXPECT_TRUE(LogHas({"The EEPROM image and the EEPROM are equal.\r\n", kBlue}));
  EXPECT_EQ(eeprom_session.parses, 1u);
  EXPECT_EQ(eeprom_session.enables, 1u);

  // Outside a session every command reads the database again, so an edited file counts at once.
  before = Now();
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
  EXPECT_EQ(Since(before).parses, 2u);
}

TEST_F(ControllerSession, ASessionReusesTheSimulatedPortsDatabaseReadAndEndsProgrammingMode) {
  ASSERT_EQ(SetSimPortChip(1, kDefaultSimChip), S_OK);
  LoadBytes(PatternBytes(300));
  const uint64_t parses = SignatureDBLoadCount();
  controller_.BeginSession();
  ASSERT_EQ(controller_.Init("SIM1", kConnectSpeed, false), TCommandResult::Done);
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
  // The port's chip was built from the one read; the commands after it used it.
  EXPECT_EQ(SignatureDBLoadCount() - parses, 1u);
  EXPECT_EQ(Chip().Counters().enables, 1u);
  EXPECT_TRUE(Chip().InProgMode()) << "the session keeps the chip in programming mode";
  EXPECT_EQ(controller_.EndSession(), TCommandResult::Done);
  EXPECT_FALSE(Chip().InProgMode());
  EXPECT_EQ(controller_.EndSession(), TCommandResult::Refused);
}

TEST_F(ControllerSession, APartWithoutRdyBsyIsResetAfterItsEraseAndThenWritten) {
  Connect("AT90S8515");
  const std::vector<uint8_t> image = PatternBytes(700, 3);
  LoadBytes(image);
  const TCost before = Now();
  EXPECT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
  const TCost cost = Since(before);
  EXPECT_TRUE(LogHas({"Meta stream and flash is equal.\r\n", kBlue}));
  EXPECT_TRUE(std::equal(image.begin(), image.end(), Chip().Flash().begin()));
  EXPECT_EQ(cost.parses, 1u);
  // The entry at the start, and the one the datasheet asks for after the erase.
  EXPECT_EQ(cost.enables, 2u);
}

} // namespace
