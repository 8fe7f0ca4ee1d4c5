// The command lines the Arduino IDE and arduino-cli run for "Upload Using Programmer" and "Burn
// Bootloader", built from the Arduino AVR core as Debian installs it (arduino-core-avr), with the
// platform.local.txt and programmer entry the README tells users to add, run through the real
// pinlet-upload binary onto the simulated chip. What a board's definition asks for (fuses, lock
// bits, the bootloader at the top of flash, the sketch at 0) is then read from the chip's state.
#include "cli/uUploadConfig.h"
#include "cli/uUploadIds.h"
#include "hw/uPinMap.h"
#include "sim/uSimChip.h"
#include "tests/support/ArduinoProperties.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/UploadTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kArduinoAvr = "/usr/share/arduino/hardware/arduino/avr";
constexpr const char* kUploadBinary = PINLET_BINARY_DIR "/bin/pinlet-upload";
// The copy beside the built binaries, where an installed one sits beside the database as well.
constexpr const char* kUploadConfig = PINLET_BINARY_DIR "/bin/pinlet-upload.conf";
constexpr const char* kDatabase = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

// What the README has users add: platform.local.txt beside the core's platform.txt, and an entry
// for programmers.txt.
std::string PlatformLocalText() {
  return std::string("tools.avrdude.cmd.path=") + kUploadBinary + "\n" + "tools.avrdude.config.path=+" +
         kUploadConfig + "\n";
}
constexpr const char* kSimProgrammerEntry = "pinlet-sim.name=Pinlet: simulated chip (SIM1)\n"
                                            "pinlet-sim.protocol=sim\n"
                                            "pinlet-sim.program.protocol=sim\n"
                                            "pinlet-sim.program.tool=avrdude\n"
                                            "pinlet-sim.program.tool.default=avrdude\n"
                                            "pinlet-sim.program.extra_params=-PSIM1\n";

std::string HexRecord(uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
  std::vector<uint8_t> rec = {uint8_t(count), uint8_t(offset >> 8), uint8_t(offset), type};
  rec.insert(rec.end(), data, data + count);
  uint8_t sum = 0;
  for (uint8_t b : rec) sum = uint8_t(sum + b);
  rec.push_back(uint8_t(-sum));
  std::string line = ":";
  char hex[3];
  for (uint8_t b : rec) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line + "\r\n";
}

// A sketch's HEX file (16-byte records, a linear address record where the data passes 64 KB).
std::string WriteIntelHex(const std::map<uint32_t, uint8_t>& bytes) {
  std::string text;
  uint32_t upper = 0;
  auto it = bytes.begin();
  while (it != bytes.end()) {
    const uint32_t start = it->first;
    if (start >> 16 != upper) {
      upper = start >> 16;
      const uint8_t ext[2] = {uint8_t(upper >> 8), uint8_t(upper)};
      text += HexRecord(4, 0, ext, 2);
    }
    std::vector<uint8_t> data;
    while (it != bytes.end() && it->first == start + data.size() && data.size() < 16 &&
           (it->first >> 16) == upper) {
      data.push_back(it->second);
      ++it;
    }
    text += HexRecord(0, uint16_t(start), data.data(), data.size());
  }
  return text + ":00000001FF\r\n";
}

// Sketch-like contents: count bytes from address, a pattern that differs from address to address.
void AddSketchBytes(std::map<uint32_t, uint8_t>& bytes, uint32_t address, uint32_t count, uint8_t seed) {
  for (uint32_t i = 0; i < count; ++i) bytes[address + i] = uint8_t((address + i) * 7 + seed + (i >> 8));
}

// The byte a fuse or lock read gives after value was written: the bits the chip has take the
// value, the others read as 1.
uint8_t ReadBack(const TAvrFeatureByte& features, uint8_t value) {
  uint8_t present = 0;
  for (int k = 0; k < 8; ++k)
    if (!features[size_t(k)].Name.empty()) present = uint8_t(present | (1u << k));
  return uint8_t(value | ~present);
}

uint8_t ParseByte(const std::string& text) {
  return uint8_t(std::stoul(text, nullptr, 0));
}

// Where the boot section starts (a byte address) for a high fuse: BOOTSZ1..0 are bits 2..1, the
// smallest section (BOOTSZ = 11) is min_words long and each step down doubles it. ATmega328P:
// 256 words, at word 0x3F00 (datasheet 7810C-AVR-10/12, table 26-7 "Boot Size Configuration").
uint32_t BootStart(uint32_t flash_bytes, uint8_t high_fuse, uint32_t min_words) {
  const uint32_t bootsz = (high_fuse >> 1) & 3u;
  return flash_bytes - 2 * (min_words << (3 - bootsz));
}

struct TBoardCase {
  const char* board;
  std::map<std::string, std::string> menu;
  const char* chip; // the database record the board's build.mcu names
  uint32_t min_boot_words;
  bool verbose; // the IDE's "verbose output during upload"
};

void PrintTo(const TBoardCase& c, std::ostream* os) {
  *os << c.board;
  for (const auto& [menu, option] : c.menu) *os << " " << menu << "=" << option;
}

class UploadRecipes : public ::testing::TestWithParam<TBoardCase> {
protected:
  void SetUp() override {
    if (!std::filesystem::exists(std::string(kArduinoAvr) + "/platform.txt"))
      GTEST_SKIP() << kArduinoAvr << " is missing: install the Arduino AVR core (Debian's arduino-core-avr, "
                   << "scripts/install-deps) to run the IDE's command lines";
    std::string error;
    ASSERT_TRUE(platform_.Load(std::string(kArduinoAvr) + "/platform.txt", error)) << error;
    ASSERT_TRUE(platform_.Parse(PlatformLocalText(), "platform.local.txt", error)) << error;
    // What the IDE knows at run time.
    platform_.Set("runtime.platform.path", kArduinoAvr);
    platform_.Set("runtime.hardware.path", std::filesystem::path(kArduinoAvr).parent_path().string());
    platform_.Set("runtime.os", "linux");
    platform_.Set("build.path", work_.Path());
    platform_.Set("build.project_name", "Blink.ino");
    ASSERT_TRUE(boards_.Load(std::string(kArduinoAvr) + "/boards.txt", error)) << error;
    ASSERT_TRUE(
        programmers_.Parse(ReadText(std::string(kArduinoAvr) + "/programmers.txt") + kSimProgrammerEntry,
                           "programmers.txt", error))
        << error;
    ASSERT_TRUE(std::filesystem::exists(kUploadBinary)) << kUploadBinary << " has not been built";
    ASSERT_TRUE(std::filesystem::exists(kUploadConfig)) << kUploadConfig << " was not copied beside it";
  }

  // The pattern's command line, expanded and split; fails the test when a placeholder is left.
  std::vector<std::string> CommandLine(const TArduinoProperties& props, const std::string& pattern_key) {
    const std::string pattern = props.Get(pattern_key);
    EXPECT_FALSE(pattern.empty()) << pattern_key;
    const std::string line = props.Expand(pattern);
    EXPECT_EQ(line.find('{'), std::string::npos) << "not expanded: " << line;
    return SplitArduinoCommandLine(line);
  }

  TProcess Run(const std::vector<std::string>& args) {
    std::string shown;
    for (const std::string& a : args) shown += " [" + a + "]";
    SCOPED_TRACE(shown);
    TProcess r = RunArgs(args, state_.Path(), work_.Path());
    return r;
  }

  TArduinoProperties platform_, boards_, programmers_;
  TScratchDir state_, work_;
};

TEST_P(UploadRecipes, UploadUsingProgrammerThenBurnBootloader) {
  const TBoardCase& c = GetParam();
  std::string error;
  TArduinoProperties board;
  ASSERT_TRUE(ArduinoBoardProperties(boards_, c.board, c.menu, board, error)) << error;
  const TArduinoProperties programmer = programmers_.SubTree("pinlet-sim");
  const TAvrSigType record = SimDatabaseRecord(kDatabase, c.chip);
  ASSERT_FALSE(record.CpuName.empty());
  TSimChipOptions persisted;
  persisted.persist = true;
  persisted.state_dir = state_.Path() + "/pinlet";
  const uint32_t flash_bytes = uint32_t(record.MemSize.Flash);

  // Upload Using Programmer, twice: the second, shorter sketch must not leave the first one's
  // tail behind (the pattern has no -D, so the chip is erased before the flash is written).
  const TArduinoProperties program = ArduinoToolProperties(platform_, board, programmer.Get("program.tool"),
                                                           programmer, c.verbose, /*verify=*/true);
  const std::string sketch_path = work_.Path() + "/Blink.ino.hex";
  std::map<uint32_t, uint8_t> first, second;
  AddSketchBytes(first, 0, 3000, 1);
  if (flash_bytes > 0x10000) AddSketchBytes(first, 0x10000 - 40, 100, 2); // across the 64 KB line
  AddSketchBytes(second, 0, 1000, 3);
  for (const auto* sketch : {&first, &second}) {
    std::ofstream(sketch_path, std::ios::binary) << WriteIntelHex(*sketch);
    const std::vector<std::string> args = CommandLine(program, "program.pattern");
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args[0], kUploadBinary);
    const TProcess r = Run(args);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  {
    const TSimAvrChip chip(record, persisted);
    ASSERT_EQ(chip.StateLoad(), TSimStateLoad::Loaded) << chip.StateWarning();
    const std::vector<uint8_t>& flash = chip.Flash();
    ASSERT_EQ(flash.size(), flash_bytes);
    size_t wrong = 0;
    for (uint32_t a = 0; a < flash_bytes; ++a) {
      const auto it = second.find(a);
      const uint8_t want = it == second.end() ? 0xFF : it->second;
      if (flash[a] != want && wrong++ < 5)
        ADD_FAILURE() << "flash[0x" << std::hex << a << "] = " << int(flash[a]);
    }
    EXPECT_EQ(wrong, 0u);
  }

  // Burn Bootloader: the erase pattern (erase, unlock, fuses), then the bootloader pattern (the
  // file, then the lock bits).
  std::map<uint32_t, uint8_t> loader;
  const std::string loader_path = std::string(kArduinoAvr) + "/bootloaders/" + board.Get("bootloader.file");
  ASSERT_TRUE(ReadIntelHex(ReadText(loader_path), loader, error)) << loader_path << ": " << error;
  ASSERT_FALSE(loader.empty()) << loader_path;
  // Some of Debian's rebuilt bootloaders do not fit (its optiboot_atmega328.hex runs past the end of
  // the 32 KB flash): such a file must be refused before anything is written, not cut short.
  const bool fits = loader.rbegin()->first < flash_bytes;
  const uint8_t high = ParseByte(board.Get("bootloader.high_fuses"));
  if (fits) {
    // The board's definition agrees with itself: the file starts where the high fuse puts the boot
    // section, and the reset vector goes there (BOOTRST, bit 0, programmed).
    EXPECT_EQ(loader.begin()->first, BootStart(flash_bytes, high, c.min_boot_words));
    EXPECT_EQ(high & 1u, 0u);
  }
  const TArduinoProperties burn = ArduinoToolProperties(platform_, board, board.Get("bootloader.tool"),
                                                        programmer, c.verbose, /*verify=*/false);
  const TProcess erase = Run(CommandLine(burn, "erase.pattern"));
  ASSERT_EQ(erase.status, 0) << erase.output;
  const TProcess load = Run(CommandLine(burn, "bootloader.pattern"));
  if (fits) {
    ASSERT_EQ(load.status, 0) << load.output;
  } else {
    EXPECT_NE(load.status, 0) << load.output;
    EXPECT_FALSE(load.output.empty()) << "a refusal says why";
  }

  const TSimAvrChip chip(record, persisted);
  ASSERT_EQ(chip.StateLoad(), TSimStateLoad::Loaded) << chip.StateWarning();
  EXPECT_EQ(chip.Fuse(0), ReadBack(record.Fuses.Low, ParseByte(board.Get("bootloader.low_fuses")))) << "low";
  EXPECT_EQ(chip.Fuse(1), ReadBack(record.Fuses.High, high)) << "high fuse";
  EXPECT_EQ(chip.Fuse(2), ReadBack(record.Fuses.Ext, ParseByte(board.Get("bootloader.extended_fuses"))))
      << "extended fuse";
  const std::string lock = board.Get(fits ? "bootloader.lock_bits" : "bootloader.unlock_bits");
  EXPECT_EQ(chip.Lock(), ReadBack(record.Locks.Low, ParseByte(lock))) << "lock";
  // Nothing but the bootloader is left in flash (the sketch went with the erase); nothing at all
  // when the file was refused.
  const std::vector<uint8_t>& flash = chip.Flash();
  size_t wrong = 0;
  for (uint32_t a = 0; a < flash_bytes; ++a) {
    const auto it = loader.find(a);
    const uint8_t want = it == loader.end() || !fits ? 0xFF : it->second;
    if (flash[a] != want && wrong++ < 5)
      ADD_FAILURE() << "flash[0x" << std::hex << a << "] = " << int(flash[a]);
  }
  EXPECT_EQ(wrong, 0u);
}

// Boards with an ATmega328P, the chip the simulated port carries: the Uno, whose bootloader file
// in Debian's package does not fit, and the Nano with its old bootloader, which does.
INSTANTIATE_TEST_SUITE_P(DebianArduinoCore, UploadRecipes,
                         ::testing::Values(TBoardCase{"uno", {}, "ATmega328P", 256, false},
                                           TBoardCase{
                                               "nano", {{"cpu", "atmega328old"}}, "ATmega328P", 256, true}),
                         [](const ::testing::TestParamInfo<TBoardCase>& info) {
                           std::string name = info.param.board;
                           for (const auto& [menu, option] : info.param.menu) name += "_" + option;
                           return name;
                         });

// The configuration file the recipes pass: every entry is read (none skipped as a type the reader
// does not take), and each is wired as the built-in programmer of the same id, so that choosing an
// adapter gives the same wires with or without the file.
TEST(UploadConfigFile, DeclaresPinletsAdaptersWiredAsTheBuiltInOnes) {
  const std::string text = ReadText(kUploadConfig);
  ASSERT_FALSE(text.empty()) << kUploadConfig;
  size_t declared = 0;
  for (size_t at = text.find("\nprogrammer"); at != std::string::npos; at = text.find("\nprogrammer", at + 1))
    ++declared;
  std::vector<TUploadProgrammer> read;
  std::string error;
  ASSERT_TRUE(ReadUploadConfig(kUploadConfig, read, error)) << error;
  EXPECT_EQ(read.size(), declared) << "an entry of the file was skipped";
  const std::map<std::string, TPinKind> kinds = {{"par", TPinKind::Parallel},
                                                 {"serbb", TPinKind::Serial},
                                                 {"ft245r", TPinKind::Ftdi},
                                                 {"linuxgpio", TPinKind::Gpio},
                                                 {"linuxspi", TPinKind::Spi}};
  for (const TUploadProgrammer& p : read) {
    SCOPED_TRACE(p.Id);
    const TUploadProgrammer* built_in = FindUploadProgrammer(p.Id, {});
    ASSERT_NE(built_in, nullptr) << "not a built-in id";
    EXPECT_EQ(p.Kind, built_in->Kind);
    if (p.Kind == "sim") continue; // no wires
    const auto kind = kinds.find(p.Kind);
    ASSERT_NE(kind, kinds.end()) << p.Kind;
    TPinMap from_file, from_table;
    ASSERT_TRUE(ParsePinMap(p.Pins, kind->second, from_file, error)) << p.Pins << ": " << error;
    ASSERT_TRUE(ParsePinMap(built_in->Pins, kind->second, from_table, error))
        << built_in->Pins << ": " << error;
    EXPECT_EQ(DescribePinMap(from_file, kind->second), DescribePinMap(from_table, kind->second));
  }
  // The recipes run the binary with it; a programmer it declares is offered by -c ? when the file
  // stands alone.
  TScratchDir state, work;
  const TProcess r =
      RunArgs({kUploadBinary, std::string("-C") + kUploadConfig, "-c", "?"}, state.Path(), work.Path());
  EXPECT_EQ(r.status, 0) << r.output;
  for (const TUploadProgrammer& p : read)
    EXPECT_NE(r.output.find(p.Id), std::string::npos) << p.Id << "\n" << r.output;
}

// The reader itself, on the parts of the format the core uses and a few it could.
TEST(ArduinoProperties, ReadsKeysMenusPlatformKeysAndExpandsAsTheIde) {
  TArduinoProperties p;
  std::string error;
  ASSERT_TRUE(p.Parse("# comment\n"
                      "  tools.x.path = /usr  \r\n"
                      "tools.x.cmd.linux={path}/bin/x-linux\n"
                      "tools.x.cmd={path}/bin/x\n"
                      "tools.x.cmd.windows={path}/bin/x.exe\n"
                      "tools.x.path.macosx=/opt\n"
                      "\n"
                      "tools.x.pattern=\"{cmd}\" \"-C{config}\" {verbose} -p{mcu} {unknown} a=b\n"
                      "tools.x.config={path}/etc/x.conf\n"
                      "tools.x.self=<{self}>\n",
                      "platform.txt", error))
      << error;
  const TArduinoProperties tool = p.SubTree("tools.x");
  EXPECT_EQ(tool.Get("path"), "/usr");
  EXPECT_EQ(tool.Get("cmd"), "{path}/bin/x-linux") << "the Linux key wins over the plain one after it";
  TArduinoProperties later;
  ASSERT_TRUE(later.Parse("tools.x.cmd=/home/me/x\n", "platform.local.txt", error));
  TArduinoProperties merged = tool;
  merged.Merge(later.SubTree("tools.x"));
  EXPECT_EQ(merged.Get("cmd"), "/home/me/x") << "a later file still replaces it";
  merged.Set("mcu", "atmega328p");
  merged.Set("verbose", "-q -q");
  const std::string line = tool.Expand("{pattern}");
  EXPECT_EQ(line, "\"/usr/bin/x-linux\" \"-C/usr/etc/x.conf\" {verbose} -p{mcu} {unknown} a=b");
  EXPECT_EQ(merged.Expand("{pattern}"),
            "\"/home/me/x\" \"-C/usr/etc/x.conf\" -q -q -patmega328p {unknown} a=b");
  EXPECT_EQ(tool.Expand("{self}").substr(0, 2), "<<") << "a value naming itself ends";
  EXPECT_EQ(tool.Expand("{{path}} {path"), "{/usr} {path");

  EXPECT_EQ(SplitArduinoCommandLine("\"/a b/x\"  -C'/c d.conf'  -q\t-q \"\" -Uflash:w:\"/e f.hex\":i "),
            (std::vector<std::string>{"/a b/x", "-C/c d.conf", "-q", "-q", "-Uflash:w:/e f.hex:i"}));

  TArduinoProperties boards;
  ASSERT_TRUE(boards.Parse("menu.cpu=Processor\n"
                           "b.name=Board\n"
                           "b.build.mcu=atmega1280\n"
                           "b.bootloader.high_fuses=0xDA\n"
                           "b.menu.cpu.big=Big\n"
                           "b.menu.cpu.big.build.mcu=atmega2560\n"
                           "b.menu.cpu.small=Small\n"
                           "b.menu.cpu.small.bootloader.high_fuses=0xDD\n",
                           "boards.txt", error))
      << error;
  TArduinoProperties board;
  ASSERT_TRUE(ArduinoBoardProperties(boards, "b", {}, board, error)) << error;
  EXPECT_EQ(board.Get("build.mcu"), "atmega2560") << "no choice: the first option";
  EXPECT_EQ(board.Get("bootloader.high_fuses"), "0xDA");
  ASSERT_TRUE(ArduinoBoardProperties(boards, "b", {{"cpu", "small"}}, board, error)) << error;
  EXPECT_EQ(board.Get("build.mcu"), "atmega1280");
  EXPECT_EQ(board.Get("bootloader.high_fuses"), "0xDD");
  EXPECT_FALSE(ArduinoBoardProperties(boards, "b", {{"cpu", "tiny"}}, board, error));
  EXPECT_NE(error.find("tiny"), std::string::npos) << error;
  EXPECT_FALSE(ArduinoBoardProperties(boards, "nosuch", {}, board, error));

  EXPECT_FALSE(p.Parse("ok=1\nno equals sign here\n", "boards.txt", error));
  EXPECT_EQ(error.substr(0, 12), "boards.txt:2") << error;
}

} // namespace
