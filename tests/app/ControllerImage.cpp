// "Load", "Save ", the debug load and "Dump meta file".
#include "tests/app/ControllerFixture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRed = 0x0000FF, kGreen = 0x008000, kBlue = 0xFF0000, kBlack = 0;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(ControllerTest, LoadHexReportsNameAndSizeAndTellsTheFrontEnd) {
  std::vector<std::string> recorded;
  controller_.OnFileLoaded = [&](const std::string& name) { recorded.push_back(name); };
  const std::string path = WriteTextFile("prog.hex", ":0400100001020304E2\r\n:00000001FF\r\n");
  EXPECT_EQ(controller_.LoadFile(path), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Loaded " + path + "; 20bytes\r\n", kGreen}}));
  EXPECT_EQ(recorded, (std::vector<std::string>{path}));
  const std::vector<uint8_t> bytes = MetaBytes();
  ASSERT_EQ(bytes.size(), 20u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.end()), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_TRUE(controller_.ControlState().DumpMetaFile);
}

TEST_F(ControllerTest, LoadFailuresAreLoggedWithTheirReasonAndKeepThePreviousImage) {
  const std::string missing = TempFile("nothere.ucm");
  EXPECT_EQ(controller_.LoadFile(missing), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Error loading file!\r\n", kRed},
                                               {missing + ": " + std::strerror(ENOENT) + "\r\n", kRed}}));
  EXPECT_FALSE(controller_.HasImage());

  // The extension is compared without regard to case.
  ASSERT_EQ(controller_.LoadFile(WriteTextFile("PROG.HEX", ":02000000AABB99\r\n:00000001FF\r\n")),
            TCommandResult::Done);
  EXPECT_EQ(MetaBytes(), (std::vector<uint8_t>{0xAA, 0xBB}));
  log_.lines.clear();
  EXPECT_EQ(controller_.LoadFile(WriteTextFile("prog.s28", "\x01\x02\x03")), TCommandResult::Failed);
  EXPECT_EQ(controller_.LoadFile(WriteTextFile("noextension", "x")), TCommandResult::Failed);
  // Third record's checksum is wrong; a record without its checksum, and one with a stray character.
  const std::string bad =
      WriteTextFile("bad.hex", ":0100000011EE\r\n:0100010022DC\r\n:0100020033FF\r\n:00000001FF\r\n");
  const std::string cut = WriteTextFile("cut.hex", ":0100000011EE\r\n:01000100\r\n");
  const std::string stray = WriteTextFile("stray.hex", ":0100000011EE\r\n:01000100x2DC\r\n");
  for (const std::string& name : {bad, cut, stray})
    EXPECT_EQ(controller_.LoadFile(name), TCommandResult::Failed);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{
                {"Unknown file format!\r\n", kRed},
                {"Unknown file format!\r\n", kRed},
                {"Error loading file!\r\n", kRed},
                {bad + ": line 3: bad checksum 0xFF, the record's bytes need 0xCA\r\n", kRed},
                {"Error loading file!\r\n", kRed},
                {cut + ": line 2: record too short: 9 characters where byte count 0x01 needs 13\r\n", kRed},
                {"Error loading file!\r\n", kRed},
                {stray + ": line 2: 'x' at column 10 is not a hex digit\r\n", kRed},
            }));
  EXPECT_EQ(MetaBytes(), (std::vector<uint8_t>{0xAA, 0xBB}));
}

TEST_F(ControllerTest, SaveWritesTheImageInTheKindOfTheExtension) {
  LoadBytes(PatternBytes(17));
  const std::string hex = TempFile("out.hex");
  const std::string ucm = TempFile("out.UCM");
  EXPECT_EQ(controller_.SaveFile(hex), TCommandResult::Done);
  EXPECT_EQ(controller_.SaveFile(ucm), TCommandResult::Done);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"Saved " + hex + "\r\n", kGreen}, {"Saved " + ucm + "\r\n", kGreen}}));

  const std::vector<uint8_t> bytes = PatternBytes(17);
  EXPECT_EQ(ReadFile(ucm), std::string(bytes.begin(), bytes.end()));
  const std::string text = ReadFile(hex);
  EXPECT_EQ(text.rfind(":10000000", 0), 0u) << text;
  EXPECT_NE(text.find("\r\n:01001000"), std::string::npos) << text;
  EXPECT_NE(text.find(":00000001FF\r\n"), std::string::npos) << text;

  // Both load back to the same image; saving did not change the meta memory.
  EXPECT_EQ(MetaBytes(), bytes);
  ASSERT_EQ(controller_.LoadFile(hex), TCommandResult::Done);
  EXPECT_EQ(MetaBytes(), bytes);
  ASSERT_EQ(controller_.LoadFile(ucm), TCommandResult::Done);
  EXPECT_EQ(MetaBytes(), bytes);
}

// A save goes only to a regular file or a new name in a writable folder; refusals say why, and
// leave the target and the folder as they were.
TEST_F(ControllerTest, SaveRefusesFifosAndMissingFoldersAndFollowsLinksToFiles) {
  LoadBytes(PatternBytes(40));
  const std::string fifo = TempFile("pipe.ucm");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string missing = TempFile("no/such/dir/out.ucm");
  const std::pair<std::string, std::string> refused[] = {
      {fifo, fifo + ": is a FIFO, not a regular file"},
      {missing,
       missing + ": cannot save in folder " + TempFile("no/such/dir") + ": " + std::strerror(ENOENT)},
  };
  for (const auto& [name, reason] : refused) {
    log_.lines.clear();
    EXPECT_EQ(controller_.SaveFile(name), TCommandResult::Failed) << name;
    const std::vector<TLogLine> expected{{"Error saving file!\r\n", kRed}, {reason + "\r\n", kRed}};
    EXPECT_EQ(log_.lines, expected);
    // Asking first gives the same answer and the same lines.
    log_.lines.clear();
    const TSaveCheck check = controller_.CheckSaveTarget(name);
    EXPECT_FALSE(check.Ok);
    EXPECT_EQ(check.Message, "Error saving file!");
    EXPECT_EQ(check.Reason, reason);
    EXPECT_EQ(log_.lines, expected);
  }
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  // Through a link to a regular file, the file is replaced and the link stays.
  const std::string real = WriteTextFile("real.ucm", "old");
  const std::string alias = TempFile("alias.ucm");
  ASSERT_EQ(::symlink("real.ucm", alias.c_str()), 0);
  log_.lines.clear();
  EXPECT_EQ(controller_.CheckSaveTarget(alias).Ok, true);
  EXPECT_TRUE(log_.lines.empty());
  EXPECT_EQ(controller_.SaveFile(alias), TCommandResult::Done);
  ASSERT_EQ(::lstat(alias.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  const std::vector<uint8_t> bytes = PatternBytes(40);
  EXPECT_EQ(ReadFile(real), std::string(bytes.begin(), bytes.end()));

  // An unknown kind needs no second line.
  log_.lines.clear();
  const TSaveCheck check = controller_.CheckSaveTarget(TempFile("out.txt"));
  EXPECT_FALSE(check.Ok);
  EXPECT_EQ(check.Message, "Unknown file format!");
  EXPECT_EQ(controller_.SaveFile(TempFile("out.txt")), TCommandResult::Failed);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"Unknown file format!\r\n", kRed}, {"Unknown file format!\r\n", kRed}}));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(work_dir_.Path()))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"alias.ucm", "image.ucm", "pipe.ucm", "real.ucm"}));
}

TEST_F(ControllerTest, DebugLoadMakesTheTestTextFromTheTickCount) {
  clock_->now_ns = uint64_t(0x1BEEF) * 1000000; // only the low 16 bits of the tick count show
  EXPECT_EQ(controller_.LoadDebugImage(), TCommandResult::Done);
  const std::string expected = "tamso.was.here.beef";
  EXPECT_EQ(MetaBytes(), std::vector<uint8_t>(expected.begin(), expected.end()));
  EXPECT_TRUE(log_.lines.empty());

  clock_->now_ns = uint64_t(0x2A) * 1000000;
  EXPECT_EQ(controller_.LoadDebugImage(), TCommandResult::Done);
  const std::vector<uint8_t> bytes = MetaBytes();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "tamso.was.here.002a");
}

TEST_F(ControllerTest, DumpOfSixteenBytesShowsOneCompleteRow) {
  LoadBytes({'H', 'e', 'l', 'l', 'o', 0x00, 0x1F, 0x20, 0x7F, 0x80, 0xFF, 'z', 'A', 'B', 0xAB, 0xCD});
  EXPECT_EQ(controller_.DumpMetaFile(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{
                            {"0x0000:", kGreen},
                            {"6548 ", kBlack},
                            {"6C6C ", kBlack},
                            {"006F ", kBlack},
                            {"201F ", kBlack},
                            {"807F ", kBlack},
                            {"7AFF ", kBlack},
                            {"4241 ", kBlack},
                            {"CDAB ", kBlack},
                            // high byte first: 'e','H', ...; 0x7F counts as printable, 0x80 does not
                            {"eHll.o .."
                             "\x7F"
                             "z.BA..\r\n",
                             kBlue},
                        }));
  EXPECT_EQ(events_->progress, (std::vector<int32_t>{0, 87, 0}));
  EXPECT_EQ(events_->idles, 1);
}

TEST_F(ControllerTest, DumpLabelsRowsWithByteAddressesAndShowsNoColumnForAPartialRow) {
  LoadBytes({0x41, 0x42, 0x43});
  EXPECT_EQ(controller_.DumpMetaFile(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"0x0000:", kGreen}, {"4241 ", kBlack}}));
  EXPECT_EQ(events_->progress, (std::vector<int32_t>{0, 0}));

  log_.lines.clear();
  LoadBytes(PatternBytes(35)); // two full rows, one word, and an odd byte that is not shown
  EXPECT_EQ(controller_.DumpMetaFile(), TCommandResult::Done);
  std::vector<std::string> labels;
  size_t words = 0;
  for (const auto& line : log_.lines) {
    if (line.colour == kGreen) labels.push_back(line.text);
    if (line.colour == kBlack) ++words;
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"0x0000:", "0x0010:", "0x0020:"}));
  EXPECT_EQ(words, 17u);
  EXPECT_EQ(log_.lines.back(), (TLogLine{"E7E0 ", kBlack}));
}

} // namespace
