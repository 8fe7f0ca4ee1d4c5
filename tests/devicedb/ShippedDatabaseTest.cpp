// Checks the device database that ships with the program (resources/CpuSignatures.xml, written by
// tools/gen_cpusignatures.py): it must load, and it must carry facts that a broken generator or a
// bad hand correction would get wrong.
#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

namespace {

const char* const kShippedDb = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

struct KnownChip {
  const char* name;
  uint8_t b2, b3;
  int flash, eeprom, page;
};

class ShippedDatabase : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(LoadSignatureDB(kShippedDb, error), 0) << error;
    ASSERT_FALSE(SignatureTable.empty());
  }

  static const TAvrSigType* Find(uint8_t b2, uint8_t b3) { return GetCpuInfo({0x1E, b2, b3, 0}); }

  // The byte as the datasheet states it: undescribed bits read as unprogrammed (1).
  static int DefaultByte(const TAvrFeatureByte& bits) {
    int value = 0xFF;
    for (const TAvrFeature& f : bits)
      if (f.Bit >= 0 && f.Default == 0) value &= ~(1 << f.Bit);
    return value;
  }

  static bool Described(const TAvrFeatureByte& bits) {
    for (const TAvrFeature& f : bits)
      if (f.Bit >= 0) return true;
    return false;
  }

  static bool HasVariant(const TAvrSigType& rec, const std::string& name) {
    std::stringstream names(rec.CpuName);
    for (std::string part; std::getline(names, part, '/');)
      if (part == name) return true;
    return false;
  }

  // The record of a chip by its signature, with its name among the variants and its sizes; null
  // (after a failure) when there is none.
  static const TAvrSigType* ExpectKnown(const KnownChip& c) {
    SCOPED_TRACE(c.name);
    const TAvrSigType* rec = Find(c.b2, c.b3);
    EXPECT_NE(rec, nullptr);
    if (!rec) return nullptr;
    EXPECT_TRUE(HasVariant(*rec, c.name)) << rec->CpuName;
    EXPECT_EQ(rec->MemSize.Flash, c.flash);
    EXPECT_EQ(rec->MemSize.EEPROM, c.eeprom);
    EXPECT_EQ(rec->PageSize.Flash, c.page);
    return rec;
  }
};

TEST_F(ShippedDatabase, KnowsSizesOfWellKnownChips) {
  const KnownChip chips[] = {
      {"ATmega8", 0x93, 0x07, 8192, 512, 64},
      {"ATmega328P", 0x95, 0x0F, 32768, 1024, 128},
      {"ATmega2560", 0x98, 0x01, 262144, 4096, 256},
      {"ATtiny13", 0x90, 0x07, 1024, 64, 32},
  };
  for (const KnownChip& c : chips) {
    const TAvrSigType* rec = ExpectKnown(c);
    if (rec) {
      EXPECT_EQ(rec->PageNo.Flash, c.flash / c.page) << c.name;
    }
  }
}

TEST_F(ShippedDatabase, NamesTheChipsOfTheFirstLogLines) {
  for (const char* name : {"AT90S1200", "ATmega8535", "ATmega32", "ATmega168", "ATmega8L"}) {
    bool found = false;
    for (const TAvrSigType& rec : SignatureTable) found = found || HasVariant(rec, name);
    EXPECT_TRUE(found) << name;
  }
}

TEST_F(ShippedDatabase, EveryRecordIsIdentifiableAndConsistent) {
  std::set<std::tuple<int, int, int>> seen;
  for (const TAvrSigType& rec : SignatureTable) {
    SCOPED_TRACE(rec.CpuName);
    EXPECT_FALSE(rec.CpuName.empty());
    EXPECT_EQ(rec.Sig.byte1, 0x1E);
    EXPECT_TRUE(seen.emplace(rec.Sig.byte1, rec.Sig.byte2, rec.Sig.byte3).second)
        << "signature shared with an earlier record";
    // Members 1..54 are real chip families; 0 and 55 are no chip, 255 is no member at all.
    EXPECT_GE(rec.CpuType, actAT90S1200);
    EXPECT_LE(rec.CpuType, actATmega2561);
    EXPECT_EQ(rec.EraseBeforeFlash, 1);
    EXPECT_GT(rec.MemSize.Flash, 0);
    EXPECT_GE(rec.MemSize.EEPROM, 0);
    if (rec.PageSize.Flash != -1) {
      ASSERT_GT(rec.PageSize.Flash, 0);
      EXPECT_EQ(rec.MemSize.Flash % rec.PageSize.Flash, 0);
      EXPECT_EQ(rec.PageNo.Flash * rec.PageSize.Flash, rec.MemSize.Flash);
    }
    if (rec.PageSize.EEPROM > 0) {
      EXPECT_EQ(rec.PageNo.EEPROM * rec.PageSize.EEPROM, rec.MemSize.EEPROM);
    }
    EXPECT_TRUE(Described(rec.Locks.Low)) << "no lock bits";
    EXPECT_TRUE(Described(rec.Fuses.Low)) << "no fuse bits";
    std::string reason;
    EXPECT_TRUE(RecordSizesUsable(rec, &reason)) << reason;
  }
}

TEST_F(ShippedDatabase, ClassicPartsHaveClassicLockBitsAndTheirOwnPageMode) {
  // AT90S1200 and ATtiny12 write flash word by word, the ATmega103/603 in 256-byte pages; all of
  // them give their lock bits LB1/LB2 back at bits 1 and 2, unlike the modern parts' bits 0 and 1.
  struct Classic {
    uint8_t b2, b3;
    int page;
  };
  for (const Classic& c : {Classic{0x90, 0x01, -1}, Classic{0x90, 0x05, -1}, Classic{0x97, 0x01, 256},
                           Classic{0x96, 0x01, 256}}) {
    const TAvrSigType* rec = Find(c.b2, c.b3);
    ASSERT_NE(rec, nullptr);
    SCOPED_TRACE(rec->CpuName);
    EXPECT_EQ(rec->PageSize.Flash, c.page);
    EXPECT_EQ(rec->Locks.Low[1].Name, "LB1");
    EXPECT_EQ(rec->Locks.Low[2].Name, "LB2");
    EXPECT_EQ(rec->Locks.Low[0].Bit, -1);
  }
}

TEST_F(ShippedDatabase, FuseDefaultsMatchTheDatasheets) {
  const TAvrSigType* m328p = Find(0x95, 0x0F);
  ASSERT_NE(m328p, nullptr);
  EXPECT_EQ(DefaultByte(m328p->Fuses.Low), 0x62);
  EXPECT_EQ(DefaultByte(m328p->Fuses.High), 0xD9);
  EXPECT_EQ(DefaultByte(m328p->Fuses.Ext), 0xFF);

  const TAvrSigType* m8 = Find(0x93, 0x07);
  ASSERT_NE(m8, nullptr);
  EXPECT_EQ(DefaultByte(m8->Fuses.Low), 0xE1);
  EXPECT_EQ(DefaultByte(m8->Fuses.High), 0xD9);
  EXPECT_FALSE(Described(m8->Fuses.Ext));

  // A fuse value as the ISP layer delivers it (1 = programmed) names the programmed bits.
  const uint32_t programmed =
      uint32_t(~DefaultByte(m8->Fuses.Low) & 0xFF) | uint32_t(~DefaultByte(m8->Fuses.High) & 0xFF) << 8;
  EXPECT_EQ(ExplainFuses(m8, programmed), "CKSEL1; CKSEL2; CKSEL3; SUT0; BOOTSZ0; BOOTSZ1; SPIEN; ");
}

TEST_F(ShippedDatabase, KnowsEveryIspPartOfAvrLibc) {
  // One record per signature that avr-libc and the datasheets give for a part programmed over
  // the serial ISP protocol (no TPI, PDI or UPDI parts).
  EXPECT_EQ(SignatureTable.size(), 127u);
  const KnownChip chips[] = {
      {"ATmega328PB", 0x95, 0x16, 32768, 1024, 128},  {"ATmega324PB", 0x95, 0x17, 32768, 1024, 128},
      {"ATmega168PB", 0x94, 0x15, 16384, 512, 128},   {"ATtiny841", 0x93, 0x15, 8192, 512, 16},
      {"ATtiny1634", 0x94, 0x12, 16384, 256, 32},     {"ATmega32U2", 0x95, 0x8A, 32768, 1024, 128},
      {"AT90USB1287", 0x97, 0x82, 131072, 4096, 256}, {"ATmega3250PA", 0x95, 0x0E, 32768, 1024, 128},
      {"ATmega6490P", 0x96, 0x0C, 65536, 2048, 256},  {"ATmega2564RFR2", 0xA8, 0x03, 262144, 8192, 256},
      {"ATmega64M1", 0x96, 0x84, 65536, 2048, 256},   {"AT90PWM316", 0x94, 0x83, 16384, 512, 128},
      {"ATmega8HVA", 0x93, 0x10, 8192, 256, 128},
  };
  for (const KnownChip& c : chips) ExpectKnown(c);
  // The catalogue type decides the lock and fuse reads: a part with boot lock bits needs a type
  // whose lock read keeps them (a mega type), whatever its name says.
  const TAvrSigType* t828 = Find(0x93, 0x14);
  ASSERT_NE(t828, nullptr);
  EXPECT_EQ(t828->CpuType, actATmega88);
  EXPECT_EQ(t828->Locks.Low[5].Name, "BLB12");
}

TEST_F(ShippedDatabase, MendedSlipsFollowTheDatasheets) {
  // Default fuse bytes: ATmega103 (SUT1, EESAVE), ATtiny15L (BODLEVEL), ATtiny22 (RCEN),
  // ATmega328PB (CFD), ATmega16U2.
  const struct {
    uint8_t b2, b3;
    bool extended; // else the low fuse byte
    int value;
  } defaults[] = {
      {0x97, 0x01, false, 0xD5}, {0x90, 0x06, false, 0x5C}, {0x91, 0x06, false, 0xDE},
      {0x95, 0x16, true, 0xF7},  {0x94, 0x89, true, 0xF4},
  };
  for (const auto& d : defaults) {
    const TAvrSigType* rec = Find(d.b2, d.b3);
    ASSERT_NE(rec, nullptr) << int(d.b3);
    EXPECT_EQ(DefaultByte(d.extended ? rec->Fuses.Ext : rec->Fuses.Low), d.value) << rec->CpuName;
  }
  EXPECT_EQ(Find(0x91, 0x06)->Fuses.Low[0].Name, "RCEN");
  EXPECT_EQ(Find(0x95, 0x16)->Fuses.Ext[3].Name, "CFD");
  // The plain ATmega169 shares 1E 94 05 with the 169P but has no RSTDISBL: the shared record must
  // not offer a bit that does not exist on one of its chips.
  ASSERT_NE(Find(0x94, 0x05), nullptr);
  EXPECT_EQ(Find(0x94, 0x05)->Fuses.Ext[0].Bit, -1);
  // Parts whose single start-up time bit avr-libc names SUT_CKSEL4.
  ASSERT_NE(Find(0x93, 0x15), nullptr);
  EXPECT_EQ(Find(0x93, 0x15)->Fuses.Low[4].Name, "SUT");
}

TEST_F(ShippedDatabase, DescribedFuseBytesAreReadByTheRecordsType) {
  // The ISP layer reads the high and extended fuse bytes only for some types; a record whose
  // type reads fewer bytes than it describes would never show those bits.
  const std::set<uint8_t> readsHigh = {
      actATmega8,    actATmega8515, actATmega8535, actATmega163,  actATmega16,   actATmega323, actATmega32,
      actATtiny13,   actATtiny26,   actATmega162,  actATmega169,  actATmega128,  actATmega64,  actATtiny2313,
      actATtiny25,   actATtiny45,   actATtiny85,   actATtiny261,  actATtiny461,  actATtiny861, actATmega48,
      actATmega88,   actATmega168,  actATmega164,  actATmega324,  actATmega644,  actAT90CAN32, actAT90CAN64,
      actAT90CAN128, actATmega640,  actATmega1280, actATmega1281, actATmega2560, actATmega2561};
  const std::set<uint8_t> readsExt = {
      actATmega162,  actATmega169,  actATmega128,  actATmega64,  actATtiny2313, actATtiny25,   actATtiny45,
      actATtiny85,   actATtiny261,  actATtiny461,  actATtiny861, actATmega48,   actATmega88,   actATmega168,
      actATmega164,  actATmega324,  actATmega644,  actAT90CAN32, actAT90CAN64,  actAT90CAN128, actATmega640,
      actATmega1280, actATmega1281, actATmega2560, actATmega2561};
  for (const TAvrSigType& rec : SignatureTable) {
    SCOPED_TRACE(rec.CpuName);
    if (Described(rec.Fuses.Ext)) {
      EXPECT_TRUE(readsExt.count(rec.CpuType)) << int(rec.CpuType);
    }
    if (Described(rec.Fuses.High)) {
      EXPECT_TRUE(readsHigh.count(rec.CpuType)) << int(rec.CpuType);
    }
    // and the other way round: a type that reads a byte finds it described.
    if (readsExt.count(rec.CpuType)) {
      EXPECT_TRUE(Described(rec.Fuses.Ext));
    }
    if (readsHigh.count(rec.CpuType)) {
      EXPECT_TRUE(Described(rec.Fuses.High));
    }
  }
}

TEST_F(ShippedDatabase, VocabulariesExplainEveryWord) {
  int unnamed = 0;
  for (const auto* map : {&LockAbbrevMap, &FuseAbbrevMap}) {
    for (const TAbbrevMapEntry& e : *map) {
      EXPECT_FALSE(e.Text.empty()) << e.Abbrev;
      if (e.Abbrev.empty()) ++unnamed;
    }
  }
  // One entry without a name per vocabulary lets a byte leave its unused bits undescribed.
  EXPECT_EQ(unnamed, 2);
  auto inMap = [](const std::vector<TAbbrevMapEntry>& map, const std::string& name) {
    for (const TAbbrevMapEntry& e : map)
      if (e.Abbrev == name) return true;
    return false;
  };
  for (const TAvrSigType& rec : SignatureTable) {
    for (const TAvrFeature& f : rec.Locks.Low)
      if (f.Bit >= 0) {
        EXPECT_TRUE(inMap(LockAbbrevMap, f.Name)) << rec.CpuName << " " << f.Name;
      }
    for (const TAvrFeatureByte* bits : {&rec.Fuses.Low, &rec.Fuses.High, &rec.Fuses.Ext})
      for (const TAvrFeature& f : *bits)
        if (f.Bit >= 0) {
          EXPECT_TRUE(inMap(FuseAbbrevMap, f.Name)) << rec.CpuName << " " << f.Name;
        }
  }
}

TEST(ShippedDatabaseGenerator, ReproducesTheCheckedInFile) {
  if (std::system("python3 --version >/dev/null 2>&1") != 0 ||
      std::system("avr-gcc --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 or avr-gcc (with avr-libc) not installed";
  const std::string cmd =
      std::string("python3 \"") + PINLET_SOURCE_DIR + "/tools/gen_cpusignatures.py\" --check";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << "run tools/gen_cpusignatures.py and check in the result";
}

} // namespace
