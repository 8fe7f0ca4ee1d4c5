// Fuse and lock instructions per layout, and how the end of a programming cycle is waited for,
// against the byte-level fake target.
#include "tests/core/IspFixture.h"

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

class ChipMemories : public IspFixture {
protected:
  TAvrSigType& Chip(uint8_t type, int32_t page = 64) {
    SignatureTable.clear();
    MakeChip(4096, page > 0 ? uint32_t(page / 2) : 0);
    TAvrSigType& record = AddRecord("part", type, 8192, page);
    record.MemSize.EEPROM = 512;
    IdentifyAndClear();
    return record;
  }
};

// Each layout of the datasheets' instruction sets: the byte written, where its bits go and which
// bits the instruction fixes.
TEST_F(ChipMemories, ConfigWritesPlaceTheBitsWhereEachLayoutWantsThem) {
  struct Case {
    uint8_t type;
    TAvrMemory memory;
    uint8_t value;
    const char* sent;
  };
  const Case cases[] = {
      {actATmega168, TAvrMemory::LowFuse, 0xE2, "AC A0 00 E2"},
      {actATmega168, TAvrMemory::HighFuse, 0xD9, "AC A8 00 D9"},
      {actATmega168, TAvrMemory::ExtFuse, 0xFD, "AC A4 00 FD"},
      {actATmega168, TAvrMemory::Lock, 0xFC, "AC E0 00 FC"},
      // AT90S4433: five fuse bits in the second byte; lock bits 2 and 1 there too.
      {actAT90S4433, TAvrMemory::LowFuse, 0xDA, "AC BA 00 00"},
      {actAT90S4433, TAvrMemory::Lock, 0xF9, "AC F9 00 00"},
      {actAT90S4433, TAvrMemory::Lock, 0xFD, "AC FD 00 00"},
      // ATmega103: EESAVE, SUT1, SUT0 in 1011 E1 S1 S0.
      {actATmega103, TAvrMemory::LowFuse, 0xF6, "AC B6 00 00"},
      // ATmega163: bits 5, 4 of the low byte and 7..3 of the high byte are written as 1.
      {actATmega163, TAvrMemory::LowFuse, 0x00, "AC A0 00 30"},
      {actATmega163, TAvrMemory::HighFuse, 0x00, "AC A8 00 F8"},
      // ATmega161: 1 BOOTRST 1 SUT 1 CKSEL2..0.
      {actATmega161, TAvrMemory::LowFuse, 0x00, "AC A0 00 A8"},
      // AT90S8535: FSTRT in 1011 111F.
      {actAT90S8535, TAvrMemory::LowFuse, 0xFE, "AC BE 00 00"},
      {actATtiny12, TAvrMemory::LowFuse, 0x52, "AC A0 00 52"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + AvrMemoryName(c.memory));
    Chip(c.type);
    EXPECT_EQ(isp->WriteConfigByte(c.memory, c.value), S_OK);
    ASSERT_FALSE(Sent().empty());
    EXPECT_EQ(Sent().front(), c.sent);
  }

  // What a chip cannot write over ISP is refused without a word to it.
  for (const auto& [type, memory] :
       {std::pair{actAT90S1200, TAvrMemory::LowFuse}, std::pair{actATtiny22, TAvrMemory::LowFuse},
        std::pair{actATmega8, TAvrMemory::ExtFuse}}) {
    Chip(type);
    EXPECT_EQ(isp->WriteConfigByte(memory, 0xFF), ISP_E_NOTSUPPORTED);
    EXPECT_TRUE(Sent().empty());
  }
}

TEST_F(ChipMemories, OldPartsReadLockAndFuseBitsFromOneByte) {
  Chip(actAT90S8535);
  chip->lock_raw = 0xBE; // LB2 (bit 6) and FSTRT (bit 0) programmed; LB1 (bit 7), SPIEN (bit 5) not
  uint8_t lock = 0, fuse = 0;
  EXPECT_EQ(isp->ReadConfigByte(TAvrMemory::Lock, lock), S_OK);
  EXPECT_EQ(lock, 0xFB) << "LB2 is logical bit 2";
  EXPECT_EQ(isp->ReadConfigByte(TAvrMemory::LowFuse, fuse), S_OK);
  EXPECT_EQ(fuse, 0xFE) << "FSTRT programmed, SPIEN not, the rest not carried";
  EXPECT_EQ(Sent(), (Strings{"58 00 00 FF", "58 00 00 FF"}));

  // The ATmega163 leaves bits 5 and 4 of its low fuse undefined: they read as unprogrammed.
  Chip(actATmega163);
  chip->fuse_low_raw = 0x00;
  EXPECT_EQ(isp->ReadConfigByte(TAvrMemory::LowFuse, fuse), S_OK);
  EXPECT_EQ(fuse, 0x30);
}

TEST_F(ChipMemories, WritesWaitForTheChipAsItSignalsTheEnd) {
  // RDY/BSY: polled until ready, nothing else sent meanwhile.
  Chip(actATmega168);
  chip->busy_polls = 5;
  EXPECT_EQ(isp->WriteConfigByte(TAvrMemory::LowFuse, 0xE2), S_OK);
  EXPECT_EQ(chip->With(0xF0).size(), 6u);
  EXPECT_EQ(chip->sent_while_busy, 0u);

  // A chip that stays busy fails with the address of the page, not a silent success.
  chip->busy_polls = 1u << 30;
  chip->instructions.clear();
  auto image = std::make_shared<TVectorMemStream>(std::vector<uint8_t>(200, 0x12));
  int32_t error_at = -1;
  const uint64_t start = clock->now_ns;
  EXPECT_EQ(isp->WriteFlash(image, &error_at), ISP_E_FLASHWRITE);
  EXPECT_EQ(error_at, 62) << "the last word of the first page";
  EXPECT_EQ(isp->LastFault(), ISP_E_STILLBUSY);
  // Four times the 4.5 ms page time, give or take a poll.
  EXPECT_NEAR(double(clock->now_ns - start) / 1e6, 18.0, 1.0);
  std::string text;
  EXPECT_EQ(isp->GetErrorText(ISP_E_STILLBUSY, text), 0);
  EXPECT_NE(text.find("busy"), std::string::npos);

  // Value polling (ATmega163): after the page write the first cell that is not 0xFF is read back
  // until it holds its value; a page of 0xFF waits the datasheet's 16 ms instead.
  Chip(actATmega163, 128);
  EXPECT_EQ(isp->LoadPageWord(0x40, 0x12FF), S_OK);
  EXPECT_EQ(isp->WritePage(0x40), S_OK);
  EXPECT_EQ(Sent(), (Strings{"40 00 00 FF", "48 00 00 12", "4C 00 40 AA", "28 00 40 FF"}));
  chip->instructions.clear();
  const uint64_t before = clock->now_ns;
  EXPECT_EQ(isp->LoadPageWord(0x80, 0xFFFF), S_OK);
  EXPECT_EQ(isp->WritePage(0x80), S_OK);
  EXPECT_EQ(chip->With(0x28).size() + chip->With(0x20).size(), 0u);
  EXPECT_EQ(clock->now_ns - before, 16'000'000u);
}

} // namespace
