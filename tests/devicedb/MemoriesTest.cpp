// The memory descriptions built from the shipped records, and the optional <Programming> element.
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"
#include "devicedb/uXmlDB.h"

#include "DbTestFiles.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* const kShippedDb = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

class ShippedMemories : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = SignatureTable;
    std::string error;
    ASSERT_EQ(LoadSignatureDB(kShippedDb, error), S_OK) << error;
  }
  void TearDown() override { SignatureTable = saved_; }
  static TAvrChipMemories Of(const std::string& name) {
    for (const TAvrSigType& r : SignatureTable)
      if (r.CpuName.rfind(name, 0) == 0) return DescribeMemories(r);
    ADD_FAILURE() << name;
    return {};
  }
  std::vector<TAvrSigType> saved_;
};

TEST_F(ShippedMemories, EachPartGetsItsOwnModesAndCompletion) {
  // The ATmega8's record gives an EEPROM page size, but its serial instructions have no page load.
  const TAvrChipMemories m8 = Of("ATmega8/");
  EXPECT_EQ(m8[TAvrMemory::Eeprom].PageSize, 0);
  EXPECT_TRUE(m8[TAvrMemory::Eeprom].Write.Present);
  EXPECT_EQ(m8[TAvrMemory::Eeprom].MaxWriteUs, 9000u);
  EXPECT_FALSE(m8[TAvrMemory::ExtFuse].Present);

  const TAvrChipMemories m328 = Of("ATmega328P");
  EXPECT_TRUE(m328.HasRdyBsy);
  EXPECT_EQ(m328[TAvrMemory::Flash].Ready, TAvrReady::RdyBsy);
  EXPECT_EQ(m328[TAvrMemory::Flash].MaxWriteUs, 4500u);
  EXPECT_EQ(m328[TAvrMemory::Eeprom].PageSize, 4);
  EXPECT_TRUE(m328[TAvrMemory::Eeprom].Load.Present);
  EXPECT_EQ(m328.EesaveFuse, TAvrMemory::HighFuse);
  EXPECT_EQ(m328.EesaveBit, 3);
  // The extended fuse byte names bits 2..0 only: the others exist on no ATmega328P.
  EXPECT_EQ(m328[TAvrMemory::ExtFuse].DescribedBits, 0x07);

  const TAvrChipMemories s8515 = Of("AT90S8515");
  EXPECT_EQ(s8515[TAvrMemory::Flash].PageSize, 0);
  EXPECT_TRUE(s8515[TAvrMemory::Flash].Load.Present);
  EXPECT_FALSE(s8515[TAvrMemory::Flash].Commit.Present);
  EXPECT_EQ(s8515[TAvrMemory::Flash].Ready, TAvrReady::ValuePoll);
  EXPECT_FALSE(s8515[TAvrMemory::Lock].Readable());
  EXPECT_TRUE(s8515[TAvrMemory::Lock].Writable());
  EXPECT_FALSE(s8515[TAvrMemory::LowFuse].Present);

  // The ATmega103 is paged over ISP (and now has its page size) but has no RDY/BSY.
  const TAvrChipMemories m103 = Of("ATmega103");
  EXPECT_EQ(m103[TAvrMemory::Flash].PageSize, 256);
  EXPECT_EQ(m103[TAvrMemory::Flash].MaxWriteUs, 56000u);
  EXPECT_EQ(m103.EesaveFuse, TAvrMemory::LowFuse);

  EXPECT_TRUE(Of("ATtiny12").DoubleErase);
  EXPECT_FALSE(Of("ATtiny11").Erase.Present) << "no serial programming";

  // Every record of the shipped database: a flash that can be written, a lock byte that can.
  for (const TAvrSigType& r : SignatureTable) {
    const TAvrChipMemories m = DescribeMemories(r);
    if (!m.Erase.Present) continue;
    SCOPED_TRACE(r.CpuName);
    const TAvrMemoryDesc& flash = m[TAvrMemory::Flash];
    EXPECT_TRUE(flash.PageMode() ? flash.Commit.Present : flash.Load.Present);
    EXPECT_TRUE(m[TAvrMemory::Lock].Writable());
    EXPECT_GT(flash.MaxWriteUs, 0u);
  }
}

TEST(MemoryBits, AnswersAndWritesFollowTheBitMaps) {
  TAvrMemoryDesc old;
  old.ReadBits = {-1, 7, 6, -1, -1, -1, -1, -1}; // LB1 in bit 7, LB2 in bit 6 of the answer
  old.Write = TIspOp::Of(0xAC, 0xF9, 0x00, 0x00);
  old.WriteByteIndex = 1;
  old.WriteBits = {-1, 1, 2, -1, -1, -1, -1, -1};
  EXPECT_EQ(LogicalFromAnswer(old, 0x7F), 0xFD); // bit 7 low: LB1 programmed
  EXPECT_EQ(LogicalFromAnswer(old, 0x00), 0xF9);
  EXPECT_EQ(WriteInstruction(old, 0xFD).Bytes, (std::array<uint8_t, 4>{0xAC, 0xFD, 0x00, 0x00}));
  EXPECT_EQ(WriteInstruction(old, 0xF9).Bytes, (std::array<uint8_t, 4>{0xAC, 0xF9, 0x00, 0x00}));

  EXPECT_EQ(AvrMemoryFromName("EFuse"), TAvrMemory::ExtFuse);
  EXPECT_EQ(AvrMemoryFromName("fuses"), std::nullopt);
  EXPECT_STREQ(AvrMemoryName(TAvrMemory::Lock), "lock");
}

TEST(ProgrammingElement, OverridesTheFamilyAndIsOptional) {
  const std::string head =
      R"(<Database><LocksEnum><E Name="LB1"/><E/></LocksEnum><FusesEnum><E/></FusesEnum><Signatures><Cpu>)"
      R"(<CpuType>actATmega8</CpuType><Sig byte1="0x1E" byte2="0x93" byte3="0x07" byte4="0"/>)"
      R"(<MemSize Flash="8192" EEPROM="512"/><PageSize Flash="64" EEPROM="4"/>)";
  const std::string tail = "</Cpu></Signatures></Database>";
  dbtest::TempDir dir;
  std::vector<TAvrSigType> saved = SignatureTable;
  std::string error;

  ASSERT_EQ(LoadSignatureDB(dir.WriteXml("a.xml", head + tail), error), S_OK) << error;
  TAvrChipMemories m = DescribeMemories(SignatureTable[0]);
  EXPECT_TRUE(m.HasRdyBsy);
  EXPECT_EQ(m[TAvrMemory::Eeprom].PageSize, 0);

  ASSERT_EQ(LoadSignatureDB(dir.WriteXml("b.xml", head +
                                                      R"(<Programming FlashWriteUs="7000" EraseUs="12000" )"
                                                      R"(RdyBsy="0" EepromPageMode="1"/>)" +
                                                      tail),
                            error),
            S_OK)
      << error;
  m = DescribeMemories(SignatureTable[0]);
  EXPECT_FALSE(m.HasRdyBsy);
  EXPECT_EQ(m[TAvrMemory::Flash].Ready, TAvrReady::ValuePoll);
  EXPECT_EQ(m[TAvrMemory::LowFuse].Ready, TAvrReady::Timed);
  EXPECT_EQ(m[TAvrMemory::Flash].MaxWriteUs, 7000u);
  EXPECT_EQ(m.EraseUs, 12000u);
  EXPECT_EQ(m[TAvrMemory::Eeprom].PageSize, 4);
  EXPECT_EQ(m[TAvrMemory::Eeprom].MaxWriteUs, 9000u) << "not given: the family's";

  std::string section;
  EXPECT_EQ(LoadSignatureDB(dir.WriteXml("c.xml", head + R"(<Programming EraseUs="soon"/>)" + tail), error,
                            &section),
            DB_E_SIGNATURES);
  SignatureTable = saved;
}

} // namespace
