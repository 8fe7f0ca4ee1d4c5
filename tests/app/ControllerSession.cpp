// A write and its verify as one command: one database read, one Programming Enable.
#include "devicedb/uXmlDB.h"
#include "tests/app/ControllerFixture.h"

namespace {

class ControllerSession : public ControllerTest {
protected:
  // Database reads and Programming Enables of one write + verify.
  std::pair<uint64_t, uint64_t> WriteAndVerifyCost() {
    const uint64_t parses = SignatureDBLoadCount(), enables = Chip().Counters().enables;
    EXPECT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
    EXPECT_TRUE(LogHas({"Meta stream and flash is equal.\r\n", 0xFF0000}));
    EXPECT_FALSE(Chip().InProgMode());
    return {SignatureDBLoadCount() - parses, Chip().Counters().enables - enables};
  }
};

TEST_F(ControllerSession, AWriteAndItsVerifyReadTheDatabaseOnceAndEnterProgrammingModeOnce) {
  Connect();
  LoadBytes(PatternBytes(700));
  // The erase before the write needs no new entry on a chip with RDY/BSY.
  EXPECT_EQ(WriteAndVerifyCost(), std::make_pair(uint64_t(1), uint64_t(1)));
  EXPECT_EQ(Chip().Counters().chip_erases, 1u);
  // Outside a session every command reads the database at its start, so an edited file counts.
  const uint64_t parses = SignatureDBLoadCount();
  controller_.VerifyFlash();
  controller_.VerifyFlash();
  EXPECT_EQ(SignatureDBLoadCount() - parses, 2u);
}

TEST_F(ControllerSession, APartWithoutRdyBsyIsEnteredAgainAfterItsErase) {
  Connect("AT90S8515");
  LoadBytes(PatternBytes(700, 3));
  EXPECT_EQ(WriteAndVerifyCost(), std::make_pair(uint64_t(1), uint64_t(2)));
}

} // namespace
