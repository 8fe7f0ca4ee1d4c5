// Planning fuse and lock changes on the shipped records: the values written, the adjustments the
// programmer makes, the explanations, and what is refused.
#include "app/uController.h"
#include "app/uFuseEdit.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"
#include "devicedb/uXmlDB.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const TAvrSigType& RecordNamed(const std::string& name) {
  for (const TAvrSigType& record : SignatureTable) {
    std::stringstream names(record.CpuName);
    for (std::string part; std::getline(names, part, '/');)
      if (part == name) return record;
  }
  throw std::runtime_error("no record " + name);
}

bool AnyHas(const std::vector<std::string>& texts, const std::string& part) {
  for (const std::string& text : texts)
    if (text.find(part) != std::string::npos) return true;
  return false;
}

using TBytes = std::array<std::optional<uint8_t>, kConfigByteCount>;
constexpr TBytes kM328Factory{0x62, 0xD9, 0xFF, 0xFF};
constexpr TBytes kUnreadable{};
constexpr std::nullopt_t N = std::nullopt;

class FuseEditPlan : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(LoadSignatureDB(PINLET_SOURCE_DIR "/resources/CpuSignatures.xml", error), 0) << error;
  }
  static TConfigPlan Plan(const std::string& chip, const TBytes& current, const std::string& text,
                          TConfigScope scope = TConfigScope::Fuses) {
    TConfigRequest request;
    std::string error;
    EXPECT_TRUE(ParseConfigSettings(text, scope, request, error)) << error;
    const TAvrSigType& record = RecordNamed(chip);
    return PlanConfigChange(record, DescribeMemories(record), current, request);
  }
};

TEST_F(FuseEditPlan, ValuesWrittenAndWhatIsSaidAboutThem) {
  enum TSays { Nothing, Note, Warning, Lockout, Error };
  struct Case {
    const char* chip;
    TBytes current;
    const char* set;
    TConfigScope scope;
    std::optional<uint8_t> written; // the first planned byte's New, when it is written
    TSays says;
    const char* text; // part of what is said
  };
  const TConfigScope F = TConfigScope::Fuses, L = TConfigScope::Locks;
  const Case cases[] = {
      // Raw bytes, bits by name (any case), both in one list; an unchanged byte is not written.
      {"ATmega328P", kM328Factory, "lfuse=0xE2", F, 0xE2, Nothing, ""},
      {"ATmega328P", kM328Factory, "ckdiv8=unprogrammed", F, 0xE2, Nothing, ""},
      {"ATmega328P", kM328Factory, "lfuse=0xE2,CKDIV8=0", F, std::nullopt, Nothing, ""},
      {"ATmega328P", kM328Factory, "hfuse=0xD9", F, std::nullopt, Nothing, ""},
      // Bits the record does not describe are written unprogrammed.
      {"ATmega328P", kM328Factory, "efuse=0x05", F, 0xFD, Note, "0x05 becomes 0xFD"},
      // Bits the ISP cannot write keep their value: SPIEN on the AT90S4433 stays programmed.
      {"AT90S4433", {0xDA, N, N, 0xFF}, "fuse=0xFF", F, 0xDF, Note, "SPIEN cannot be written"},
      // Clock sources that need a part on the board, or a slower SCK.
      {"ATmega328P", kM328Factory, "lfuse=0xFF", F, 0xFF, Warning, "crystal on XTAL1/XTAL2"},
      {"ATmega328P", kM328Factory, "lfuse=0xE3", F, 0xE3, Warning, "--speed sdSlower"},
      {"ATtiny13", {0x6A, 0xFF, N, 0xFF}, "lfuse=0x7B", F, 0x7B, Warning, "128 kHz"},
      {"ATmega8", {0xE4, 0xD9, N, 0xFF}, "lfuse=0xE1", F, 0xE1, Nothing, ""},
      {"ATmega32U4", {0x5E, 0x99, 0xF3, 0xFF}, "lfuse=0xDE", F, 0xDE, Warning, "not described here"},
      // Settings after which ISP cannot reach the chip again.
      {"ATmega328P", kM328Factory, "hfuse=0x59", F, 0x59, Lockout, "RSTDISBL"},
      {"ATmega328P", kM328Factory, "lfuse=0x63", F, 0x63, Lockout, "could not program the chip again"},
      {"ATmega328P", kM328Factory, "lfuse=0xE1", F, 0xE1, Lockout, "reserved"},
      // Lock modes that stop verify or a boot loader's reads, and lock bits that only an erase clears.
      {"ATmega328P", kM328Factory, "0xFC", L, 0xFC, Warning, "every verify fails"},
      {"ATmega328P", kM328Factory, "LB1=programmed", L, 0xFE, Warning, "Lock mode 2"},
      {"ATmega328P", kM328Factory, "lock=0xDF", L, 0xDF, Warning, "BLB12 programmed"},
      {"ATmega328P", {0x62, 0xD9, 0xFF, 0xFC}, "lock=0xFF", L, 0xFF, Error, "only a chip erase"},
      {"ATmega328P", {0x62, 0xD9, 0xFF, 0xFE}, "lfuse=0xE2", F, 0xE2, Warning, "LB1 is programmed"},
      // Requests that cannot be carried out on the chip.
      {"ATmega8", {0xE1, 0xD9, N, 0xFF}, "fuse=0xE1", F, std::nullopt, Error, "more than one fuse byte"},
      {"ATmega328P", kM328Factory, "LB1=programmed", F, std::nullopt, Error, "'locks --set'"},
      {"AT90S1200", kUnreadable, "fuse=0xFE", F, std::nullopt, Error, "has no low fuse byte"},
      {"AT90S1200", kUnreadable, "LB1=programmed", L, std::nullopt, Error, "cannot report its lock byte"},
      {"AT90S1200", kUnreadable, "0xFD", L, 0xFD, Warning, "Lock mode 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chip) + " --set " + c.set);
    const TConfigPlan plan = Plan(c.chip, c.current, c.set, c.scope);
    const std::vector<std::string>* said[] = {nullptr, &plan.Notes, &plan.Warnings, &plan.Lockouts,
                                              &plan.Errors};
    if (c.says == Nothing)
      EXPECT_TRUE(plan.Notes.empty() && plan.Warnings.empty() && plan.Lockouts.empty() &&
                  plan.Errors.empty());
    else
      EXPECT_TRUE(AnyHas(*said[c.says], c.text));
    // A refusal of the whole request is an error or a lock-out; everything else may be written.
    EXPECT_EQ(plan.Refused(false), c.says == Error || c.says == Lockout);
    EXPECT_EQ(plan.Refused(true), c.says == Error);
    if (c.written) {
      ASSERT_FALSE(plan.Bytes.empty());
      EXPECT_TRUE(plan.Bytes[0].Write);
      EXPECT_EQ(plan.Bytes[0].New, *c.written);
    } else if (c.says != Error) {
      EXPECT_FALSE(plan.HasWrites());
    }
  }
}

TEST_F(FuseEditPlan, SpeedLevelsFollowTheTargetClock) {
  // SCK phases of at least two target clocks (three from 12 MHz): the half periods of the levels
  // are 0, 1, 3, 5, 10, 30 and 100 µs.
  EXPECT_EQ(SpeedLevelMaxSckHz(3), 100'000u);
  EXPECT_EQ(SpeedLevelMaxSckHz(6), 5'000u);
  EXPECT_EQ(SpeedLevelMaxSckHz(0), 0u);
  EXPECT_EQ(SpeedLevelForTargetClock(16'000'000), std::optional<uint8_t>(1));
  EXPECT_EQ(SpeedLevelForTargetClock(1'000'000), std::optional<uint8_t>(2));
  EXPECT_EQ(SpeedLevelForTargetClock(128'000), std::optional<uint8_t>(5));
  EXPECT_EQ(SpeedLevelForTargetClock(32'768), std::optional<uint8_t>(6));
  EXPECT_EQ(SpeedLevelForTargetClock(16'000), std::nullopt);
}

} // namespace
