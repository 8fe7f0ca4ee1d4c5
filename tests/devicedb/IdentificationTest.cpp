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
