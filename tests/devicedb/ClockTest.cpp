// The clock a low fuse byte selects, read from the shipped records through the datasheets' clock
// tables: the factory settings, each kind of source, CKDIV8, and families the tables do not hold.
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrClock.h"
#include "devicedb/uXmlDB.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

const TAvrSigType* RecordNamed(const std::string& name) {
  for (const TAvrSigType& record : SignatureTable) {
    std::stringstream names(record.CpuName);
    for (std::string part; std::getline(names, part, '/');)
      if (part == name) return &record;
  }
  return nullptr;
}

class ClockTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(LoadSignatureDB(PINLET_SOURCE_DIR "/resources/CpuSignatures.xml", error), 0) << error;
  }
};

TEST_F(ClockTest, LowFuseBytesSelectTheDatasheetsSources) {
  using K = TAvrClockKind;
  struct Case {
    const char* chip;
    uint8_t low;
    K kind;
    uint32_t system_hz; // 0: decided by the part on the board
    bool divided;
  };
  const Case cases[] = {
      // Factory settings: 8 MHz RC divided by 8 (ATtiny13: 9.6 MHz), ATmega8: 1 MHz RC, no CKDIV8.
      {"ATmega328P", 0x62, K::InternalRc, 1'000'000, true},
      {"ATmega2560", 0x62, K::InternalRc, 1'000'000, true},
      {"ATtiny85", 0x62, K::InternalRc, 1'000'000, true},
      {"ATtiny2313", 0x64, K::InternalRc, 1'000'000, true},
      {"ATtiny13", 0x6A, K::InternalRc, 1'200'000, true},
      {"ATmega8", 0xE1, K::InternalRc, 1'000'000, false},
      // Each kind of source on the ATmega328P table (CKSEL in bits 3..0, CKDIV8 in bit 7).
      {"ATmega328P", 0xFF, K::Crystal, 0, false},
      {"ATmega328P", 0xE4, K::LowFrequencyCrystal, 32'768, false},
      {"ATmega328P", 0xE3, K::InternalSlow, 128'000, false},
      {"ATmega328P", 0x63, K::InternalSlow, 16'000, true},
      {"ATmega328P", 0xE0, K::ExternalClock, 0, false},
      {"ATmega328P", 0xE1, K::Reserved, 0, false},
      // The ATmega8 table: external RC 0101..1000, watch crystal 1001, crystal above.
      {"ATmega8", 0xE6, K::ExternalRc, 0, false},
      {"ATmega8", 0xE9, K::LowFrequencyCrystal, 32'768, false},
      // Two CKSEL bits on the ATtiny13; the ATtiny's own code points.
      {"ATtiny13", 0x7B, K::InternalSlow, 128'000, false},
      {"ATtiny85", 0xE1, K::InternalRc, 16'000'000, false},
      {"ATtiny85", 0xE6, K::LowFrequencyCrystal, 32'768, false},
      {"ATtiny84", 0xE3, K::Reserved, 0, false},
      {"ATtiny861", 0xE4, K::LowFrequencyCrystal, 32'768, false},
      {"ATtiny2313", 0xE6, K::InternalSlow, 128'000, false},
      {"ATtiny2313", 0xE5, K::Reserved, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chip) + " low fuse " + std::to_string(c.low));
    const TAvrSigType* record = RecordNamed(c.chip);
    ASSERT_NE(record, nullptr);
    const TAvrClock clock = DescribeClock(*record, c.low);
    EXPECT_EQ(clock.Kind, c.kind);
    EXPECT_EQ(clock.SystemHz(), c.system_hz);
    EXPECT_EQ(clock.DividedBy8, c.divided);
    EXPECT_STRNE(clock.Source, "");
  }
}

TEST_F(ClockTest, FamiliesOutsideTheTablesAreUnknownButKeepTheirCkdiv8) {
  // The ATmega32U4 shares its CPU type with the ATmega324, not its clock table.
  const TAvrSigType& u4 = *RecordNamed("ATmega32U4");
  EXPECT_FALSE(ClockFamilyKnown(u4));
  const TAvrClock clock = DescribeClock(u4, 0x5E);
  EXPECT_EQ(clock.Kind, TAvrClockKind::Unknown);
  EXPECT_TRUE(clock.HasCkdiv8 && clock.DividedBy8);
  // CKSEL, SUT and CKDIV8 are the clock bits of the low fuse byte, CKOUT is not.
  EXPECT_EQ(ClockSelectBits(*RecordNamed("ATmega328P")), 0xBF);
}

} // namespace
