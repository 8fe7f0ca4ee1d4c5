#include "devicedb/uAVR_base.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TAvrSigType Record(const std::string& name, uint8_t b2, uint8_t b3, int32_t flash, int32_t eeprom) {
  TAvrSigType r;
  r.CpuName = name;
  r.CpuType = actATmega8;
  r.Sig = {0x1E, b2, b3, 0x00};
  r.MemSize = {flash, eeprom};
  return r;
}

void Describe(TAvrFeatureByte& features, int bit, const std::string& name) {
  features[size_t(bit)] = TAvrFeature{name, bit, 1};
}

class Identification : public ::testing::Test {
protected:
  void TearDown() override { SignatureTable.clear(); }
};

} // namespace

TEST_F(Identification, MatchesOnTheFirstThreeBytesAndNamesTheChip) {
  SignatureTable = {Record("ATmega16", 0x94, 0x03, 16384, 512), Record("ATmega8", 0x93, 0x07, 8192, 512)};
  const TAvrSignature chip{0x1E, 0x93, 0x07, 0xFF}; // byte4 takes no part

  bool conclusive = false;
  EXPECT_EQ(FindSignature(chip, &conclusive), 1);
  EXPECT_TRUE(conclusive);
  EXPECT_EQ(GetCpuInfo(chip), &SignatureTable[1]);
  EXPECT_EQ(DescribeCpu(chip), "ATmega8, 8KB Flash, 512Byte EEPROM");

  SignatureTable.push_back(Record("ATmega8 again", 0x93, 0x07, 4096, 256));
  EXPECT_EQ(FindSignature(chip, &conclusive), 1);
  EXPECT_FALSE(conclusive);
  EXPECT_EQ(GetCpuInfo(chip), &SignatureTable[1]);
  EXPECT_EQ(DescribeCpu(chip), "ATmega8, 8KB Flash, 512Byte EEPROM (NON CONCLUSIVE!)");

  // Sizes in whole kilobytes; unknown sizes as given.
  SignatureTable = {Record("NoSizes", 0x90, 0x01, -1, -1), Record("Odd", 0x90, 0x02, 1536, 64)};
  EXPECT_EQ(DescribeCpu({0x1E, 0x90, 0x01, 0}), "NoSizes, 0KB Flash, -1Byte EEPROM");
  EXPECT_EQ(DescribeCpu({0x1E, 0x90, 0x02, 0}), "Odd, 1KB Flash, 64Byte EEPROM");
}

TEST_F(Identification, UnmatchedAndForeignSignaturesGetTheirMessages) {
  SignatureTable = {Record("ATmega8", 0x93, 0x07, 8192, 512)};
  SignatureTable.push_back(SignatureTable[0]);
  SignatureTable[1].Sig.byte1 = 0x00; // a record of another maker is never handed out

  EXPECT_EQ(DescribeCpu({0x00, 0x93, 0x07, 0x00}), "This is not a Atmel CPU(0x00:93:07:00)!\r\n");
  EXPECT_EQ(GetCpuInfo({0x00, 0x93, 0x07, 0x00}), nullptr);
  EXPECT_EQ(FindSignature({0x00, 0x93, 0x07, 0x00}), 1);
  EXPECT_EQ(DescribeCpu({0xFF, 0xFF, 0xFF, 0xFF}), "This is not a Atmel CPU(0xFF:FF:FF:FF)!\r\n");

  EXPECT_EQ(FormatUnknownCpu({0x1E, 0xAB, 0xCD, 0xEF}), "Unknown Atmel CPU(0x1E:AB:CD:EF)!\r\n");
  EXPECT_EQ(GetCpuInfo({0x1E, 0x99, 0x99, 0x00}), nullptr);
  bool conclusive = true;
  EXPECT_EQ(FindSignature({0x1E, 0x99, 0x99, 0x00}, &conclusive), -1);
  EXPECT_FALSE(conclusive);
}

TEST_F(Identification, LockTextsNameTheProgrammedDescribedBits) {
  TAvrSigType info = Record("ATmega8", 0x93, 0x07, 8192, 512);
  EXPECT_EQ(ExplainLocks(&info, 0x00), "<No \"Locks\" section in signature DB!>");
  EXPECT_EQ(ExplainLocks(&info, 0xFF), "<No \"Locks\" section in signature DB!>");

  Describe(info.Locks.Low, 0, "LB1");
  Describe(info.Locks.Low, 1, "LB2");
  EXPECT_EQ(ExplainLocks(&info, 0x03), "LB1; LB2; ");
  EXPECT_EQ(ExplainLocks(&info, 0x00), "");
  EXPECT_EQ(ExplainLocks(&info, 0x80), ""); // bit 7 is not described
  EXPECT_EQ(ExplainLocks(nullptr, 0xFF), "");
}

TEST_F(Identification, FuseTextsGoLowHighExtendedAndNeedADescriptionOnlyForNonZeroBytes) {
  TAvrSigType info = Record("ATmega8", 0x93, 0x07, 8192, 512);
  Describe(info.Fuses.Low, 7, "CKDIV8");
  Describe(info.Fuses.Low, 0, "CKSEL0");
  EXPECT_EQ(ExplainFuses(&info, 0x0000FF), "CKSEL0; CKDIV8; ");
  EXPECT_EQ(ExplainFuses(&info, 0x00FF00), "<No \"Fuses\" section for queried value in signature DB!>");
  EXPECT_EQ(ExplainFuses(&info, 0x000000), "");

  Describe(info.Fuses.High, 5, "SPIEN");
  Describe(info.Fuses.Ext, 1, "BODLEVEL1");
  EXPECT_EQ(ExplainFuses(&info, 0xFFFFFF), "CKSEL0; CKDIV8; SPIEN; BODLEVEL1; ");
  EXPECT_EQ(ExplainFuses(&info, 0x022081), "CKSEL0; CKDIV8; SPIEN; BODLEVEL1; ");
  EXPECT_EQ(ExplainFuses(&info, 0xFF000000), ""); // above the extended byte there is nothing

  info.Fuses.Ext = TAvrFeatureByte{};
  EXPECT_EQ(ExplainFuses(&info, 0x010001), "<No \"Fuses\" section for queried value in signature DB!>");
  EXPECT_EQ(ExplainFuses(nullptr, 0xFFFFFF), "");

  std::string text = "Fuses: ";
  AppendSetFeatures(info.Fuses.Low, 0x01, text);
  EXPECT_EQ(text, "Fuses: CKSEL0; ");
}

TEST_F(Identification, RecordSizesAreJudgedAndTheReasonNamesTheRecord) {
  struct Case {
    int32_t flash, flash_page, eeprom, eeprom_page;
    const char* problem; // nullptr: usable
  };
  const Case cases[] = {
      {8192, 64, 512, 4, nullptr},
      {-1, -1, -1, -1, nullptr},    // nothing given: the operations report missing sizes themselves
      {2048, -1, 128, -1, nullptr}, // a classic part, written byte by byte
      {1024, 32, 0, -1, nullptr},   // no EEPROM at all
      {262144, 256, 4096, 8, nullptr},
      {8192, 16384, 512, 4, "flash page size 16384 is larger than the flash (8192 bytes)"},
      {8192 + 32, 64, 512, 4, "flash size 8224 is not a whole number of 64-byte pages"},
      {8192, 96, 512, 4, "flash page size 96 is not a power of two of at least 2 bytes"},
      {8192, 1, 512, 4, "flash page size 1 is not a power of two of at least 2 bytes"},
      {8192, 0, 512, 4, "flash page size 0 is not a power of two"},
      {0x7FFFFFFF, 64, 512, 4, "flash size 2147483647 is not a size an AVR can have (1 to 1048576 bytes)"},
      {0, 64, 512, 4, "flash size 0 is not a size"},
      {8192, 64, 1 << 20, 4, "EEPROM size 1048576 is not a size an AVR can have (0 to 65536 bytes)"},
      {8192, 64, 512, 3, "EEPROM page size 3 is not a power of two"},
      {8192, 64, 512, 1024, "EEPROM page size 1024 is larger than the EEPROM (512 bytes)"},
  };
  for (const Case& c : cases) {
    TAvrSigType record = Record("ATmega8/ATmega8L", 0x93, 0x07, c.flash, c.eeprom);
    record.PageSize = {c.flash_page, c.eeprom_page};
    SCOPED_TRACE(std::to_string(c.flash) + "/" + std::to_string(c.flash_page) + " " +
                 std::to_string(c.eeprom) + "/" + std::to_string(c.eeprom_page));
    std::string reason = "untouched";
    EXPECT_EQ(RecordSizesUsable(record, &reason), c.problem == nullptr);
    if (c.problem) {
      EXPECT_EQ(reason.rfind("The device record \"ATmega8/ATmega8L\" is unusable: its ", 0), 0u) << reason;
      EXPECT_NE(reason.find(c.problem), std::string::npos) << reason;
    } else {
      EXPECT_EQ(reason, "untouched");
    }
  }
}

TEST_F(Identification, AllRecordsOfASignatureAndWhetherTheirFlashSizesAgree) {
  SignatureTable = {Record("ATmega8", 0x93, 0x07, 8192, 512), Record("ATmega16", 0x94, 0x03, 16384, 512),
                    Record("ATmega8L", 0x93, 0x07, 8192, 256), Record("ATmega8X", 0x93, 0x07, 16384, 512)};
  const auto found = MatchingRecords({0x1E, 0x93, 0x07, 0x55});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], &SignatureTable[0]);
  EXPECT_EQ(found[1], &SignatureTable[2]);
  EXPECT_EQ(found[2], &SignatureTable[3]);
  EXPECT_TRUE(MatchingRecords({0x1E, 0x11, 0x11, 0}).empty());
  EXPECT_TRUE(FlashSizesAgree(SignatureTable[0], SignatureTable[2])) << "the EEPROM takes no part";
  EXPECT_FALSE(FlashSizesAgree(SignatureTable[0], SignatureTable[3]));
  SignatureTable[2].PageSize.Flash = 64;
  EXPECT_FALSE(FlashSizesAgree(SignatureTable[0], SignatureTable[2]));
}
