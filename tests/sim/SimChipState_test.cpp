// The state file: what one run writes the next run sees; anything that does not fit the chip is
// ignored rather than trusted.
#include "sim/uSimChip.h"
#include "tests/support/SimTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <stdlib.h>
#include <sys/stat.h>

namespace {

class SimChipState : public testing::Test {
protected:
  TSimChipOptions Persistent() const {
    TSimChipOptions options;
    options.persist = true;
    options.state_dir = dir_.Path() + "/nested/pinlet";
    return options;
  }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void WriteFile(const std::string& path, const std::string& content) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  // Writes a state file with recognisable contents and returns its text.
  std::string MakeStateFile() {
    TSimAvrChip chip(SimRecordMega328P(), Persistent());
    chip.Flash()[0] = 0x0C;
    chip.Flash()[32767] = 0x94;
    chip.Eeprom()[1023] = 0x77;
    chip.SetFuses(0xE2, 0xDA, 0xFD);
    chip.SetLock(0xFC);
    EXPECT_EQ(chip.SaveState(), S_OK);
    return ReadFile(chip.StatePath());
  }

  TScratchDir dir_;
};

TEST_F(SimChipState, RoundTripsMemoriesFusesAndLock) {
  const std::string text = MakeStateFile();
  EXPECT_EQ(text.rfind("PINLET-SIMCHIP 1\nname ATmega328P\nsignature 1E 95 0F 00\n", 0), 0u);
  TSimAvrChip chip(SimRecordMega328P(), Persistent());
  EXPECT_EQ(chip.StateLoad(), TSimStateLoad::Loaded);
  EXPECT_EQ(chip.Flash()[0], 0x0C);
  EXPECT_EQ(chip.Flash()[32767], 0x94);
  EXPECT_EQ(chip.Flash()[1], 0xFF);
  EXPECT_EQ(chip.Eeprom()[1023], 0x77);
  EXPECT_EQ(chip.Fuse(0), 0xE2);
  EXPECT_EQ(chip.Fuse(1), 0xDA);
  EXPECT_EQ(chip.Fuse(2), 0xFD);
  EXPECT_EQ(chip.Lock(), 0xFC);
}

TEST_F(SimChipState, DestructionSavesOnlyChangedChips) {
  const std::string path = TSimAvrChip(SimRecordMega328P(), Persistent()).StatePath();
  { TSimAvrChip untouched(SimRecordMega328P(), Persistent()); }
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0) << "an untouched chip writes nothing";
  {
    TSimAvrChip chip(SimRecordMega328P(), Persistent());
    EXPECT_EQ(chip.StateLoad(), TSimStateLoad::Missing);
    chip.SetLock(0xFE);
  }
  TSimAvrChip again(SimRecordMega328P(), Persistent());
  EXPECT_EQ(again.Lock(), 0xFE);
}

TEST_F(SimChipState, CorruptOrForeignFilesGiveAFreshChipAreReportedAndKeptAside) {
  const std::string good = MakeStateFile();
  const std::string path = TSimAvrChip(SimRecordMega328P(), Persistent()).StatePath();
  const std::string header_end = "data\n";
  const size_t data = good.find(header_end) + header_end.size();

  std::string wrong_sig = good;
  wrong_sig.replace(wrong_sig.find("1E 95 0F"), 8, "1E 95 14");
  std::string wrong_size = good;
  wrong_size.replace(wrong_size.find("flash 32768"), 11, "flash 16384");
  std::string bad_fuse = good;
  bad_fuse.replace(bad_fuse.find("fuses E2"), 8, "fuses G2");
  const std::vector<std::pair<const char*, std::string>> cases{
      {"empty", ""},
      {"truncated", good.substr(0, good.size() - 1)},
      {"too long", good + "x"},
      {"other version", "PINLET-SIMCHIP 2" + good.substr(good.find('\n'))},
      {"other chip", wrong_sig},
      {"other size", wrong_size},
      {"bad hex", bad_fuse},
      {"unknown key",
       good.substr(0, data - header_end.size()) + "colour red\n" + good.substr(data - header_end.size())},
  };
  const std::vector<std::string> reasons{"is empty",
                                         "is truncated",
                                         "is too long",
                                         "is not a state file",
                                         "belongs to another chip",
                                         "other memory sizes",
                                         "damaged header line",
                                         "unknown header line"};
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [name, content] = cases[i];
    SCOPED_TRACE(name);
    WriteFile(path, content);
    {
      TSimAvrChip chip(SimRecordMega328P(), Persistent());
      EXPECT_EQ(chip.StateLoad(), TSimStateLoad::Rejected);
      EXPECT_EQ(chip.Flash()[0], 0xFF);
      EXPECT_EQ(chip.Eeprom()[1023], 0xFF);
      EXPECT_EQ(chip.Fuse(0), 0x62);
      EXPECT_EQ(chip.Lock(), 0xFF);
      // Said, with the file and what is wrong with it, and the file kept aside untouched.
      EXPECT_NE(chip.StateWarning().find(path), std::string::npos) << chip.StateWarning();
      EXPECT_NE(chip.StateWarning().find(reasons[i]), std::string::npos) << chip.StateWarning();
      const size_t at = chip.StateWarning().find(path + ".bad-");
      ASSERT_NE(at, std::string::npos) << chip.StateWarning();
      const std::string aside =
          chip.StateWarning().substr(at, chip.StateWarning().find(".", at + path.size() + 5) - at);
      EXPECT_EQ(ReadFile(aside), content);
      std::filesystem::remove(aside);
      chip.SetLock(0xFE); // the save that follows writes a fresh file, not over the kept one
    }
    EXPECT_EQ(TSimAvrChip(SimRecordMega328P(), Persistent()).StateLoad(), TSimStateLoad::Loaded);
  }
}

TEST_F(SimChipState, SavingReplacesTheFileAtomically) {
  MakeStateFile();
  TSimAvrChip chip(SimRecordMega328P(), Persistent());
  chip.Flash()[0] = 0x00;
  ASSERT_EQ(chip.SaveState(), S_OK);
  const std::string dir = Persistent().state_dir;
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ++entries;
    EXPECT_EQ(entry.path().filename(), "sim-ATmega328P.state");
  }
  EXPECT_EQ(entries, 1) << "no temporary file is left behind";
  EXPECT_EQ(TSimAvrChip(SimRecordMega328P(), Persistent()).Flash()[0], 0x00);
}

TEST_F(SimChipState, PersistenceCanBeTurnedOffAndAnUnwritableDirectoryIsNotFatal) {
  TSimChipOptions options;
  options.state_dir = dir_.Path();
  {
    TSimAvrChip chip(SimRecordMega328P(), options);
    EXPECT_EQ(chip.StateLoad(), TSimStateLoad::Disabled);
    EXPECT_EQ(chip.StatePath(), "");
    chip.SetLock(0xFE);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));

  options = Persistent();
  WriteFile(dir_.Path() + "/file", "x");
  options.state_dir = dir_.Path() + "/file/pinlet";
  TSimAvrChip chip(SimRecordMega328P(), options);
  chip.SetLock(0xFE);
  EXPECT_LT(chip.SaveState(), 0);
}

TEST(SimStateLocation, FollowsXdgStateHomeThenHome) {
  const std::string saved_xdg = getenv("XDG_STATE_HOME") ? getenv("XDG_STATE_HOME") : "";
  const char* home = getenv("HOME");
  const std::string saved_home = home ? home : "";
  ASSERT_EQ(setenv("XDG_STATE_HOME", "/var/tmp/xdg", 1), 0);
  EXPECT_EQ(SimStateDirectory(), "/var/tmp/xdg/pinlet");
  ASSERT_EQ(setenv("XDG_STATE_HOME", "relative/dir", 1), 0);
  ASSERT_EQ(setenv("HOME", "/home/someone", 1), 0);
  EXPECT_EQ(SimStateDirectory(), "/home/someone/.local/state/pinlet");
  ASSERT_EQ(setenv("XDG_STATE_HOME", saved_xdg.c_str(), 1), 0);
  ASSERT_EQ(home ? setenv("HOME", saved_home.c_str(), 1) : unsetenv("HOME"), 0);
  EXPECT_EQ(SimStateFileName("ATmega8/ATmega8L"), "sim-ATmega8_ATmega8L.state");
}

} // namespace
