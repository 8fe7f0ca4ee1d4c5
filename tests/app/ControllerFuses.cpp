// Writing fuse and lock bytes through the simulated chip: round trips on chips of each layout, the
// protections (nothing at all is written when a request is refused), bits forced to their
// unprogrammed state, a read-back that differs, and the chips that cannot report their bits.
#include "tests/app/ControllerFixture.h"

#include <iterator>

namespace {

constexpr uint32_t kRed = 0x0000FF;

TConfigRequest Settings(const std::string& text, TConfigScope scope) {
  TConfigRequest request;
  std::string error;
  if (!ParseConfigSettings(text, scope, request, error)) throw std::runtime_error(error);
  return request;
}

class ControllerFuses : public ControllerTest {
protected:
  TCommandResult SetFuses(const std::string& text, TLockoutConsent consent = TLockoutConsent::Refuse) {
    return controller_.WriteConfig(Settings(text, TConfigScope::Fuses), consent);
  }
  TCommandResult SetLock(const std::string& text) {
    return controller_.WriteConfig(Settings(text, TConfigScope::Locks), TLockoutConsent::Refuse);
  }
  bool LogContains(const std::string& part) const {
    for (const TLogLine& line : log_.lines)
      if (line.text.find(part) != std::string::npos) return true;
    return false;
  }
  std::array<uint8_t, 4> ChipBytes() {
    return {Chip().Fuse(0), Chip().Fuse(1), Chip().Fuse(2), Chip().Lock()};
  }
};

TEST_F(ControllerFuses, FusesAndLockRoundTripOnEveryLayout) {
  struct Case {
    const char* chip;
    std::array<uint8_t, 3> start; // fuse bytes set up first (low, high, extended)
    const char* fuses;
    const char* lock;
    std::array<uint8_t, 4> after; // low, high, extended, lock as the chip then holds them
    uint64_t fuse_writes;
  };
  const Case cases[] = {
      {"ATmega8", {0xE1, 0xD9, 0xFF}, "lfuse=0xE4,hfuse=0xD1", "lock=0xFC", {0xE4, 0xD1, 0xFF, 0xFC}, 2},
      {"ATmega328P",
       {0x62, 0xD9, 0xFF},
       "lfuse=0xFF,hfuse=0xDE,efuse=0xFD",
       "0xCF",
       {0xFF, 0xDE, 0xFD, 0xCF},
       3},
      {"ATmega2560",
       {0x62, 0x99, 0xFF},
       "lfuse=0xFF,hfuse=0xD8,efuse=0xFD",
       "0xCF",
       {0xFF, 0xD8, 0xFD, 0xCF},
       3},
      // Only the bytes that change are written: the ATtiny13's high byte stays.
      {"ATtiny13",
       {0x6A, 0xFF, 0xFF},
       "lfuse=0x7A,hfuse=0xFF",
       "LB1=programmed",
       {0x7A, 0xFF, 0xFF, 0xFE},
       1},
      {"ATtiny85",
       {0x62, 0xDF, 0xFF},
       "CKDIV8=unprogrammed,EESAVE=programmed,efuse=0xFE",
       "0xFC",
       {0xE2, 0xD7, 0xFE, 0xFC},
       3},
      // The classic layout: one fuse byte written in the second instruction byte, SPIEN not writable.
      {"AT90S4433", {0xDA, 0xFF, 0xFF}, "fuse=0xD2", "lock=0xF9", {0xD2, 0xFF, 0xFF, 0xF9}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chip);
    controller_.Free();
    Connect(c.chip);
    Chip().SetFuses(c.start[0], c.start[1], c.start[2]);
    Chip().SetLock(0xFF);
    EXPECT_EQ(SetFuses(c.fuses), TCommandResult::Done);
    EXPECT_EQ(Chip().Counters().fuse_writes, c.fuse_writes);
    EXPECT_EQ(SetLock(c.lock), TCommandResult::Done);
    EXPECT_EQ(Chip().Counters().lock_writes, 1u);
    EXPECT_EQ(ChipBytes(), c.after);
    // The same request again finds nothing to write.
    log_.lines.clear();
    EXPECT_EQ(SetFuses(c.fuses), TCommandResult::Done);
    EXPECT_EQ(Chip().Counters().fuse_writes, c.fuse_writes);
    EXPECT_TRUE(LogContains("nothing to write"));
    EXPECT_FALSE(Chip().InProgMode());
  }
}

TEST_F(ControllerFuses, ShowsTheChangeAndAsksBeforeWritingALockoutOnlyWithConsent) {
  Connect();
  Chip().SetFuses(0x62, 0xD9, 0xFF);
  confirm_.answer = false;
  EXPECT_EQ(SetFuses("lfuse=0xE2,hfuse=0xD9"), TCommandResult::Declined);
  EXPECT_EQ(Chip().Counters().fuse_writes, 0u);
  EXPECT_EQ(confirm_.questions, (std::vector<std::string>{"Shall I write the fuse bytes of ATmega328P?"}));
  EXPECT_TRUE(LogHas({"lfuse: 0x62 -> 0xE2\r\n", clLogBlue}));
  EXPECT_TRUE(LogHas({"  CKDIV8 (System clock divided by 8): programmed -> unprogrammed\r\n", clLogBlue}));
  EXPECT_TRUE(LogHas({"hfuse: 0xD9 already, not written\r\n", clLogBlue}));

  // A lock-out is refused without consent, before any question; with it, asked and written.
  confirm_.answer = true;
  confirm_.questions.clear();
  EXPECT_EQ(SetFuses("RSTDISBL=programmed"), TCommandResult::Failed);
  EXPECT_TRUE(LogHas({"Refused: nothing was written. Add --allow-lockout to write it anyway.\r\n", kRed}));
  EXPECT_EQ(SetFuses("RSTDISBL=programmed", TLockoutConsent::Allowed), TCommandResult::Done);
  EXPECT_EQ(Chip().Fuse(1), 0x59);
  EXPECT_EQ(confirm_.questions.size(), 1u);
}

TEST_F(ControllerFuses, RefusalsWriteNoByteOfTheRequest) {
  struct Case {
    const char* chip;
    const char* set;
    TConfigScope scope;
    const char* says;
  };
  const Case cases[] = {
      {"ATmega328P", "lfuse=0xE2,SPIEN=unprogrammed", TConfigScope::Fuses, "SPIEN"},
      {"ATtiny85", "efuse=0xFE,DWEN=programmed", TConfigScope::Fuses, "DWEN"},
      {"ATmega328P", "hfuse=0xD1,lfuse=0x63", TConfigScope::Fuses, "could not program the chip again"},
      {"ATmega328P", "lfuse=0xE2,efuse=0xFD,XYZ=1", TConfigScope::Fuses, "names no fuse or lock bit"},
      {"ATmega8", "lfuse=0xE4,efuse=0xFF", TConfigScope::Fuses, "has no extended fuse byte"},
      {"ATmega328P", "BLB12=0,LB1=unprogrammed", TConfigScope::Locks, "only a chip erase"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chip) + " " + c.set);
    controller_.Free();
    Connect(c.chip);
    Chip().SetLock(0xFE); // LB1 programmed, for the lock case
    const std::array<uint8_t, 4> before = ChipBytes();
    confirm_.questions.clear();
    EXPECT_EQ(controller_.WriteConfig(Settings(c.set, c.scope), TLockoutConsent::Refuse),
              TCommandResult::Failed);
    EXPECT_TRUE(LogContains(c.says));
    EXPECT_EQ(Chip().Counters().fuse_writes, 0u);
    EXPECT_EQ(Chip().Counters().lock_writes, 0u);
    EXPECT_EQ(ChipBytes(), before);
    EXPECT_TRUE(confirm_.questions.empty());
  }
}

TEST_F(ControllerFuses, AReadBackThatDiffersIsAnError) {
  Connect();
  // The controller's database claims an extended fuse bit 3 that the chip does not have.
  std::ifstream in(kShippedDatabase, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = char16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
  const size_t record = text.find(u"<CpuName>ATmega328P</CpuName>");
  const std::u16string anchor = u"<Bit Bit=\"2\" Name=\"BODLEVEL2\" Default=\"1\"/>";
  const size_t at = text.find(anchor, record);
  ASSERT_NE(at, std::u16string::npos);
  text.insert(at + anchor.size(), u"<Bit Bit=\"3\" Name=\"HWBE\" Default=\"1\"/>");
  std::string patched;
  for (char16_t unit : text) patched += {char(unit & 0xFF), char(unit >> 8)};
  controller_.DatabasePath = WriteTextFile("db.xml", patched);

  EXPECT_EQ(SetFuses("efuse=0xF5"), TCommandResult::Failed);
  EXPECT_EQ(Chip().Counters().fuse_writes, 1u);
  EXPECT_TRUE(LogContains("efuse: wrote 0xF5, read back 0xFD"));
}

TEST_F(ControllerFuses, ChipsWithoutLockOrFuseReadsSaySo) {
  Connect("AT90S1200");
  EXPECT_EQ(controller_.ReadLockBits(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{
                            {"This chip (AT90S1200) cannot report its lock bits over ISP.\r\n", kRed}}));
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadFuseBits(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{
                            {"This chip (AT90S1200) cannot report its fuse bits over ISP.\r\n", kRed}}));
  // Its lock bits can still be written, unverified.
  log_.lines.clear();
  EXPECT_EQ(SetLock("0xF9"), TCommandResult::Done);
  EXPECT_EQ(Chip().Counters().lock_writes, 1u);
  EXPECT_TRUE(LogContains("not verified"));
}

} // namespace
