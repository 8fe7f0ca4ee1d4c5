#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"

#include "DbTestFiles.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kSig = R"(<Sig byte1="0x1E" byte2="0x93" byte3="0x07" byte4="0"/>)";
const std::string kLocks = R"(<LocksEnum><E Name="LB1">Lock bit 1</E><E Name="LB2"/></LocksEnum>)";
const std::string kFuses = R"(<FusesEnum><E Name="CKSEL0"/><E Name="SPIEN"/><E/></FusesEnum>)";

std::string Cpu(const std::string& inner) {
  return "<Cpu>" + inner + "</Cpu>";
}
std::string MinimalCpu(const std::string& extra = "") {
  return Cpu("<CpuType>actATmega8</CpuType>" + kSig + extra);
}
std::string Db(const std::string& signatures, const std::string& locks = kLocks,
               const std::string& fuses = kFuses) {
  return "<Database>" + locks + fuses + "<Signatures>" + signatures + "</Signatures></Database>";
}

class SignatureDb : public ::testing::Test {
protected:
  // Loads the document and returns the status; section_ holds the reader's diagnostic.
  HRESULT Load(const std::string& xml) {
    error_ = "untouched";
    return LoadSignatureDB(dir_.WriteXml("CpuSignatures.xml", xml), error_, &section_);
  }

  dbtest::TempDir dir_;
  std::string error_, section_;
};

} // namespace

TEST(XmlValueToInt, HexadecimalByTrailingDigitsDecimalWithBlanksSignAndJunk) {
  EXPECT_EQ(XmlValueToInt("0x00001E"), 0x1E);
  EXPECT_EQ(XmlValueToInt("0xaBc"), 0xABC);
  EXPECT_EQ(XmlValueToInt("0xFFFFFFFF"), -1);
  EXPECT_EQ(XmlValueToInt("0x1G"), 0);  // does not end in a digit
  EXPECT_EQ(XmlValueToInt("0x1G2"), 2); // only the digits at the end count
  EXPECT_EQ(XmlValueToInt("0X1E"), 0);  // upper-case X is decimal 0 followed by junk
  EXPECT_EQ(XmlValueToInt("  -  7"), -7);
  EXPECT_EQ(XmlValueToInt("12abc"), 12);
  EXPECT_EQ(XmlValueToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(XmlValueToInt("0000000001"), 1);

  for (const char* bad :
       {"0x", "0x0000001E1", "", "2147483648", "-2147483648", "00000000001", "+1", "--1", "\t1", "abc"})
    EXPECT_EQ(XmlValueToInt(bad), std::nullopt) << bad;
}

TEST_F(SignatureDb, LoadsEveryFieldOfARecordAndTheVocabularies) {
  const std::string cpu = Cpu(R"(
      <PageNo Flash="128" EEPROM="128"/>
      <CpuName>
        ATmega8
      </CpuName>
      <Sig byte1="30" byte2="0x93" byte3="0x0007" byte4="0x1FF"/>
      <CpuType>actATmega8</CpuType>
      <CpuName>Second name is ignored</CpuName>
      <FlashOpt EraseBeforeFlash=" 1"/>
      <MemSize Flash="8192" EEPROM="512"/>
      <PageSize Flash="64" EEPROM="4"/>
      <LocksLow><B Bit="1" Name="LB2" Default="1"/><B Bit="0" Name="LB1" Default="0"/></LocksLow>
      <FusesHigh><B Bit="5" Name="SPIEN" Default="0"/></FusesHigh>)");
  const std::string locks = R"(<LocksEnum><E Name="LB1">
        Lock bit 1 </E><E Name="LB2"/><E/></LocksEnum>)";
  ASSERT_EQ(Load(Db(cpu + MinimalCpu(), locks)), S_OK) << section_;
  EXPECT_EQ(error_, "untouched");

  ASSERT_EQ(LockAbbrevMap.size(), 3u);
  EXPECT_EQ(LockAbbrevMap[0].Abbrev, "LB1");
  EXPECT_EQ(LockAbbrevMap[0].Text, "Lock bit 1");
  EXPECT_EQ(LockAbbrevMap[1].Text, "");
  ASSERT_EQ(FuseAbbrevMap.size(), 3u);
  EXPECT_EQ(FuseAbbrevMap[2].Abbrev, "");

  ASSERT_EQ(SignatureTable.size(), 2u);
  const TAvrSigType& r = SignatureTable[0];
  EXPECT_EQ(r.CpuName, "ATmega8");
  EXPECT_EQ(r.CpuType, actATmega8);
  EXPECT_EQ(r.Sig, (TAvrSignature{0x1E, 0x93, 0x07, 0xFF})); // the low 8 bits of each number
  EXPECT_EQ(r.EraseBeforeFlash, 1);
  EXPECT_EQ(r.MemSize.Flash, 8192);
  EXPECT_EQ(r.MemSize.EEPROM, 512);
  EXPECT_EQ(r.PageSize.Flash, 64);
  EXPECT_EQ(r.PageSize.EEPROM, 4);
  EXPECT_EQ(r.PageNo.Flash, 128);
  EXPECT_EQ(r.Locks.Low[0].Name, "LB1");
  EXPECT_EQ(r.Locks.Low[0].Bit, 0);
  EXPECT_EQ(r.Locks.Low[0].Default, 0);
  EXPECT_EQ(r.Locks.Low[1].Name, "LB2");
  EXPECT_EQ(r.Locks.Low[1].Default, 1);
  EXPECT_EQ(r.Locks.Low[2].Bit, -1);
  EXPECT_EQ(r.Fuses.High[5].Name, "SPIEN");
  EXPECT_EQ(r.Fuses.High[4].Bit, -1);
  EXPECT_EQ(r.Fuses.Low[0].Bit, -1);
  EXPECT_EQ(ExplainFuses(&r, 0x002000), "SPIEN; ");
}

TEST_F(SignatureDb, SectionOrderRootNameAndForeignChildrenDoNotMatter) {
  const std::string xml = "<Anything><Comment>x</Comment>"
                          "<Signatures>" +
                          MinimalCpu() +
                          "</Signatures>"
                          "<Signatures></Signatures>" // only the first of a name is read
                          + kFuses + kLocks + "</Anything>";
  ASSERT_EQ(Load(xml), S_OK) << section_;
  EXPECT_EQ(SignatureTable.size(), 1u);
  EXPECT_EQ(LockAbbrevMap.size(), 2u);
  EXPECT_EQ(FuseAbbrevMap.size(), 3u);

  // Names are matched with case.
  EXPECT_EQ(Load(Db(MinimalCpu(), "<locksenum><E Name=\"LB1\"/></locksenum>")), DB_E_LOCKS);
}

TEST_F(SignatureDb, AbsentOptionalPartsReadAsMinusOneOrEmpty) {
  const std::string long_name(300, 'N');
  const std::string cpus = Cpu("<CpuType>actATmega8</CpuType>" + kSig) +
                           Cpu("<CpuName>" + long_name + "</CpuName><CpuType>actATmega999</CpuType>" + kSig +
                               "<CpuName/><FusesHigh/><FusesExt>  </FusesExt>") +
                           Cpu("<CpuName>" + std::string(254, 'x') + "\xC2\xB5" +
                               "</CpuName><CpuType>ACTATTINY13</CpuType>" + kSig);
  ASSERT_EQ(Load(Db(cpus)), S_OK) << section_;
  ASSERT_EQ(SignatureTable.size(), 3u);

  const TAvrSigType& bare = SignatureTable[0];
  EXPECT_EQ(bare.CpuName, "");
  for (int32_t v : {bare.EraseBeforeFlash, bare.MemSize.Flash, bare.MemSize.EEPROM, bare.PageSize.Flash,
                    bare.PageSize.EEPROM, bare.PageNo.Flash, bare.PageNo.EEPROM})
    EXPECT_EQ(v, -1);

  // Unknown type loads as 255; the name keeps its first 255 characters; empty bit sections are
  // like absent ones (no name check, all undescribed).
  EXPECT_EQ(SignatureTable[1].CpuType, kNoCpuType);
  EXPECT_EQ(SignatureTable[1].CpuName, std::string(255, 'N'));
  for (const TAvrFeature& f : SignatureTable[1].Fuses.High) EXPECT_EQ(f.Bit, -1);
  // A name is never cut inside a character.
  EXPECT_EQ(SignatureTable[2].CpuName, std::string(254, 'x'));
  EXPECT_EQ(SignatureTable[2].CpuType, actATtiny13);
}

TEST_F(SignatureDb, BadOrMissingRequiredValuesFailTheSignaturesSection) {
  const struct {
    const char* what;
    std::string cpu;
  } cases[] = {
      {"no CpuType", Cpu(kSig)},
      {"no Sig", Cpu("<CpuType>actATmega8</CpuType>")},
      {"missing byte4", Cpu(R"(<CpuType>actATmega8</CpuType><Sig byte1="0x1E" byte2="1" byte3="2"/>)")},
      {"11 hex chars",
       Cpu(R"(<CpuType>actATmega8</CpuType><Sig byte1="0x0000001E0" byte2="1" byte3="2" byte4="0"/>)")},
      {"MemSize without EEPROM", MinimalCpu(R"(<MemSize Flash="8192"/>)")},
      {"Flash above int range", MinimalCpu(R"(<MemSize Flash="2147483648" EEPROM="1"/>)")},
      {"PageNo with plus sign", MinimalCpu(R"(<PageNo Flash="+1" EEPROM="1"/>)")},
      {"bit without Default", MinimalCpu(R"(<FusesExt><B Bit="0" Name="CKSEL0"/></FusesExt>)")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Load(Db(MinimalCpu() + c.cpu)), DB_E_SIGNATURES) << c.what;
    EXPECT_EQ(error_, "untouched") << c.what;
    EXPECT_NE(section_.find("entry 2"), std::string::npos) << c.what << ": " << section_;
  }

  // A blank before a number and a fraction after it are accepted.
  ASSERT_EQ(
      Load(Db(MinimalCpu(R"(<MemSize Flash="262144" EEPROM="1.5"/><FlashOpt EraseBeforeFlash="-1"/>)"))),
      S_OK);
  EXPECT_EQ(SignatureTable[0].MemSize.Flash, 262144);
  EXPECT_EQ(SignatureTable[0].MemSize.EEPROM, 1);
  EXPECT_EQ(SignatureTable[0].EraseBeforeFlash, -1);
}

TEST_F(SignatureDb, BitNumbersOutsideTheByteFail) {
  for (const char* bit : {"8", "-1", "0x100"}) {
    const std::string section =
        std::string(R"(<FusesHigh><B Bit=")") + bit + R"(" Name="SPIEN" Default="0"/></FusesHigh>)";
    EXPECT_EQ(Load(Db(MinimalCpu(section))), DB_E_SIGNATURES) << bit;
    EXPECT_NE(section_.find("The xml attribute \"Bit\" is out of range!"), std::string::npos) << section_;
  }
  // "0x07" is bit 7; a later element for the same bit replaces the earlier one.
  ASSERT_EQ(Load(Db(MinimalCpu(R"(<FusesHigh><B Bit="0x07" Name="CKSEL0" Default="0"/>
                                       <B Bit="7" Name="SPIEN" Default="1"/></FusesHigh>)"))),
            S_OK);
  EXPECT_EQ(SignatureTable[0].Fuses.High[7].Name, "SPIEN");
  EXPECT_EQ(SignatureTable[0].Fuses.High[7].Default, 1);
}

TEST_F(SignatureDb, BitNamesMustBeInTheirOwnVocabulary) {
  const std::string two_locks =
      R"(<LocksLow><B Bit="0" Name="LB1" Default="1"/><B Bit="1" Name="LB2" Default="1"/></LocksLow>)";

  // Bits 2..7 stay undescribed, and their empty name is in no entry of LocksEnum.
  EXPECT_EQ(Load(Db(MinimalCpu(two_locks))), DB_E_SIGNATURES);
  EXPECT_NE(section_.find("Invalid enum element \"\"!"), std::string::npos) << section_;

  // A vocabulary entry without a name, or with an empty one, admits undescribed bits.
  for (const char* empty_entry : {"<E/>", "<E Name=\"\">unused</E>"}) {
    const std::string locks =
        std::string("<LocksEnum><E Name=\"LB1\"/><E Name=\"LB2\"/>") + empty_entry + "</LocksEnum>";
    ASSERT_EQ(Load(Db(MinimalCpu(two_locks), locks)), S_OK) << section_;
    const TAvrFeatureByte& lock = SignatureTable[0].Locks.Low;
    EXPECT_EQ(lock[1].Name, "LB2");
    for (int k = 2; k < 8; ++k) EXPECT_EQ(lock[size_t(k)].Bit, -1);
    EXPECT_EQ(ExplainLocks(&SignatureTable[0], 0xFF), "LB1; LB2; ");
  }

  // A lock bit named from the fuse vocabulary; a name differing only in case.
  const std::string lock_with_empty = R"(<LocksEnum><E Name="LB1"/><E/></LocksEnum>)";
  EXPECT_EQ(
      Load(Db(MinimalCpu(R"(<LocksLow><B Bit="0" Name="SPIEN" Default="1"/></LocksLow>)"), lock_with_empty)),
      DB_E_SIGNATURES);
  EXPECT_NE(section_.find("Invalid enum element \"SPIEN\"!"), std::string::npos) << section_;
  EXPECT_EQ(
      Load(Db(MinimalCpu(R"(<LocksLow><B Bit="0" Name="lb1" Default="1"/></LocksLow>)"), lock_with_empty)),
      DB_E_SIGNATURES);
  // Fuse bytes are checked against FusesEnum, which here holds the empty abbreviation.
  EXPECT_EQ(Load(Db(MinimalCpu(R"(<FusesLow><B Bit="3" Name="SPIEN" Default="1"/></FusesLow>)"))), S_OK);
}

TEST_F(SignatureDb, MissingOrEmptySectionsGiveTheirOwnCodes) {
  const std::string bad_signatures = Cpu("<CpuName>no type</CpuName>");
  const std::string signatures = "<Signatures>" + MinimalCpu() + "</Signatures>";

  EXPECT_EQ(Load("<R>" + kFuses + signatures + "</R>"), DB_E_LOCKS);
  EXPECT_EQ(Load(Db(bad_signatures, "<LocksEnum></LocksEnum>")), DB_E_LOCKS);
  EXPECT_EQ(Load(Db(bad_signatures, "<LocksEnum>text only</LocksEnum>")), DB_E_LOCKS);
  EXPECT_EQ(error_, "untouched");
  EXPECT_EQ(Load("<R>" + kLocks + signatures + "</R>"), DB_E_FUSES);
  EXPECT_EQ(Load(Db(MinimalCpu(), kLocks, "<FusesEnum/>")), DB_E_FUSES);
  EXPECT_EQ(Load("<R>" + kLocks + kFuses + "</R>"), DB_E_SIGNATURES);
  EXPECT_EQ(Load(Db("")), DB_E_SIGNATURES);
  // The sections must be children of the root, not deeper.
  EXPECT_EQ(Load("<R><Inner>" + kLocks + kFuses + signatures + "</Inner></R>"), DB_E_LOCKS);
}

TEST_F(SignatureDb, ALoadOverwritesTheTablesWithoutClearingThem) {
  auto named = [](const std::string& name, const std::string& type = "actATmega8") {
    return Cpu("<CpuName>" + name + "</CpuName><CpuType>" + type + "</CpuType>" + kSig);
  };
  ASSERT_EQ(Load(Db(named("A") + named("B") + named("C"))), S_OK);

  // The second record fails after its name was read: the first is new, the second half new,
  // the third is still the old one.
  ASSERT_EQ(Load(Db(named("X") + named("Y", "") + named("Z"))), DB_E_SIGNATURES);
  ASSERT_EQ(SignatureTable.size(), 3u);
  EXPECT_EQ(SignatureTable[0].CpuName, "X");
  EXPECT_EQ(SignatureTable[1].CpuName, "Y");
  EXPECT_EQ(SignatureTable[2].CpuName, "C");

  // A file that does not parse leaves every table as it was.
  EXPECT_EQ(Load("<Database><LocksEnum>"), XML_E_PARSE);
  EXPECT_EQ(SignatureTable.size(), 3u);
  EXPECT_EQ(SignatureTable[2].CpuName, "C");

  ASSERT_EQ(Load(Db(named("Only"))), S_OK);
  ASSERT_EQ(SignatureTable.size(), 1u);
  EXPECT_EQ(SignatureTable[0].CpuName, "Only");
}
