// Running commands the way `pinlet` does, against files instead of a terminal, on the simulated
// port with a virtual clock; and the real binary once, end to end.
#include "cli/uCliRun.h"
#include "core/uWait.h"
#include "devicedb/uXmlDB.h"
#include "sim/uSimPorts.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kDatabase = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

std::string ReadAll(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

class CliRun : public ::testing::Test {
protected:
  CliRun() : scoped_clock_(std::make_shared<TVirtualClock>()) {}

  // Runs a command line; out/err hold what it printed.
  int Run(std::vector<std::string> args, bool terminal = false, const std::string& input = {}) {
    args.insert(args.begin(), {"--db", kDatabase});
    const TCliParse parse = ParseCommandLine(args);
    if (!parse.Ok) {
      err = parse.Error;
      return kExitUsage;
    }
    std::FILE* o = std::tmpfile();
    std::FILE* e = std::tmpfile();
    std::FILE* i = std::tmpfile();
    std::fputs(input.c_str(), i);
    std::rewind(i);
    TCliTerminal t;
    t.Out = o;
    t.Err = e;
    t.In = i;
    t.OutIsTerminal = t.ErrIsTerminal = t.InIsTerminal = terminal;
    const int status = RunCli(parse.Options, t, "pinlet");
    out = ReadAll(o);
    err = ReadAll(e);
    std::fclose(o);
    std::fclose(e);
    std::fclose(i);
    return status;
  }

  std::string Path(const std::string& name) const { return work_dir_.Path() + "/" + name; }
  std::string WriteImage(const std::string& name, size_t size, int seed = 1) const {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += char(i * 13 + size_t(seed));
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }
  bool Printed(const std::string& text) const { return out.find(text) != std::string::npos; }
  static std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  TScopedWaitClock scoped_clock_;
  TScopedStateHome state_dir_;
  TScratchDir work_dir_;
  std::string out, err;
};

TEST_F(CliRun, WriteThenVerifyOnTheSimulatedChip) {
  const std::string image = WriteImage("fw.ucm", 700);
  const uint64_t parses = SignatureDBLoadCount();
  EXPECT_EQ(Run({"write", image, "--yes"}), kExitOk) << out;
  // The port's chip, the write and its verify share one read of the database.
  EXPECT_EQ(SignatureDBLoadCount() - parses, 1u);
  EXPECT_TRUE(Printed("Loaded " + image + "; 700bytes\n")) << out;
  EXPECT_TRUE(Printed("Connected and Ready.\n")) << out;
  EXPECT_TRUE(Printed("Writing 700 bytes...\n")) << out;
  EXPECT_TRUE(Printed("Shall I really overwrite the whole flash memory? [y/N] yes")) << out;
  // Verified afterwards unless told not to.
  EXPECT_TRUE(Printed("Comparing 700 bytes...\nVerifying flash...\n")) << out;
  EXPECT_TRUE(Printed("Meta stream and flash is equal.\n")) << out;
  // Not a terminal: no colour codes, no carriage returns, no progress bar.
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_TRUE(err.empty()) << err;

  // The chip kept its flash for the next run.
  EXPECT_EQ(Run({"verify", image}), kExitOk) << out;
  EXPECT_EQ(Run({"verify", WriteImage("other.ucm", 700, 2)}), kExitFailed);
  EXPECT_TRUE(Printed("Meta stream and flash is not equal!(at address 0x00000000)\n")) << out;

  EXPECT_EQ(Run({"write", image, "--yes", "--no-verify"}), kExitOk);
  EXPECT_FALSE(Printed("Comparing")) << out;
}

// An avr-gcc executable is written as it stands: its flash, with --memory eeprom its EEPROM; the
// one built for another chip is refused before anything is written, and ELF is not a save kind.
TEST_F(CliRun, WriteAndVerifyTakeTheElfFileAvrGccLinks) {
  const std::string elf = PINLET_EXAMPLE_ELF, other = PINLET_EXAMPLE_ELF_M168;
  if (elf.empty()) GTEST_SKIP() << "avr-gcc was not found when the build was configured";
  EXPECT_EQ(Run({"write", elf, "--yes"}), kExitOk) << out;
  EXPECT_TRUE(Printed("Meta stream and flash is equal.\n")) << out;
  EXPECT_EQ(Run({"--memory", "eeprom", "write", elf, "--yes"}), kExitOk) << out;
  EXPECT_EQ(Run({"--memory", "eeprom", "verify", elf}), kExitOk) << out;
  EXPECT_EQ(Run({"write", other, "--yes"}), kExitFailed) << out;
  EXPECT_TRUE(Printed("built for ATmega168, this chip is an ATmega328P")) << out;
  EXPECT_FALSE(Printed("Writing")) << out;
  EXPECT_EQ(Run({"verify", elf}), kExitOk) << "the refused file changed nothing: " << out;
  EXPECT_EQ(Run({"read", Path("back.elf")}), kExitFailed) << out;
  EXPECT_FALSE(std::ifstream(Path("back.elf")).good());
}

TEST_F(CliRun, TheMemoryOptionMovesEepromImagesAndTheirExitStatuses) {
  const std::string image = WriteImage("cfg.bin", 100), back = Path("back.eep");
  EXPECT_EQ(Run({"--memory", "eeprom", "write", image, "--yes"}), kExitOk) << out;
  EXPECT_TRUE(Printed("Writing 100 bytes to the EEPROM...\n")) << out;
  EXPECT_TRUE(Printed("The EEPROM image and the EEPROM are equal.\n")) << out; // verified afterwards
  EXPECT_EQ(Run({"read", back, "--memory=eeprom"}), kExitOk) << out;
  EXPECT_TRUE(Printed("Reading 1024 bytes of EEPROM...\n")) << out;
  EXPECT_EQ(Run({"dump", "-m", "eeprom", back}), kExitOk) << out;
  EXPECT_TRUE(Printed("0x0060:")) << out;
  EXPECT_EQ(Run({"-m", "eeprom", "write", WriteImage("big.bin", 1025), "--yes"}), kExitFailed) << out;
  EXPECT_TRUE(Printed("is bigger than the EEPROM")) << out;
  EXPECT_EQ(Run({"-m", "eeprom", "erase"}), kExitUsage);
}

TEST_F(CliRun, BurnABootLoaderAsTheReadmeShowsIt) {
  // erase, fuses, flash, lock: the sequence of the README, on the simulated ATmega328P.
  EXPECT_EQ(Run({"erase", "--yes"}), kExitOk) << out;
  EXPECT_EQ(Run({"fuses", "--set", "lfuse=0xFF,hfuse=0xDE,efuse=0x05", "--yes"}), kExitOk) << out;
  EXPECT_TRUE(Printed("lfuse: 0x62 -> 0xFF\n")) << out;
  EXPECT_TRUE(Printed("written unprogrammed (1): 0x05 becomes 0xFD")) << out;
  EXPECT_TRUE(Printed("crystal on XTAL1/XTAL2")) << out;
  EXPECT_TRUE(Printed("Shall I write the fuse bytes of ATmega328P? [y/N] yes (--yes)")) << out;
  EXPECT_EQ(Run({"write", PINLET_SOURCE_DIR "/examples/synth_m328p.hex", "--yes"}), kExitOk) << out;
  EXPECT_EQ(Run({"locks", "--set", "0xCF", "--yes"}), kExitOk) << out;
  EXPECT_TRUE(Printed("lock written and read back: 0xCF")) << out;
  // The read commands show what was written; the flash still verifies.
  EXPECT_EQ(Run({"fuses"}), kExitOk) << out;
  EXPECT_TRUE(Printed("Fuse bits: 0x00022100\n")) << out;
  EXPECT_EQ(Run({"verify", PINLET_SOURCE_DIR "/examples/synth_m328p.hex"}), kExitOk) << out;

  // A lock-out is refused without --allow-lockout (status 1), and the question is not asked.
  EXPECT_EQ(Run({"fuses", "--set", "RSTDISBL=programmed", "--yes"}), kExitFailed) << out;
  EXPECT_TRUE(Printed("Refused: nothing was written.")) << out;
  EXPECT_FALSE(Printed("[y/N]")) << out;
  EXPECT_EQ(Run({"fuses", "--set", "rstdisbl=programmed", "--yes", "--allow-lockout"}), kExitOk) << out;
  EXPECT_EQ(Run({"fuses", "--set", "lfuse=0x1FF"}), kExitUsage);
}

TEST_F(CliRun, QuestionsWithoutATerminalAreAnsweredNoOnATerminalAsTyped) {
  const std::string image = WriteImage("fw.ucm", 64);
  EXPECT_EQ(Run({"write", image}), kExitFailed);
  EXPECT_TRUE(
      Printed("Shall I really overwrite the whole flash memory? [y/N] no (standard input is not a terminal"))
      << out;
  EXPECT_FALSE(Printed("Writing flash...")) << out;
  EXPECT_EQ(Run({"verify", image}), kExitFailed); // nothing was written
  EXPECT_EQ(Run({"erase"}), kExitFailed);
  EXPECT_TRUE(Printed("Shall I erase the whole flash memory? [y/N] no")) << out;
  EXPECT_FALSE(Printed("Device has been erased.")) << out;

  EXPECT_EQ(Run({"erase"}, true, "y\n"), kExitOk);
  EXPECT_TRUE(Printed("Device has been erased.")) << out;
  EXPECT_EQ(Run({"erase"}, true, "yes\n"), kExitOk);
  for (const char* answer : {"\n", "nope\n", ""})
    EXPECT_EQ(Run({"erase"}, true, answer), kExitFailed) << answer;
}

TEST_F(CliRun, ColoursAndProgressBarOnlyOnATerminal) {
  EXPECT_EQ(Run({"signature"}, true), kExitOk);
  EXPECT_TRUE(Printed("\x1b[32mConnected and Ready.\x1b[0m\n")) << out;
  EXPECT_TRUE(Printed("\x1b[34mSignature: 0x1E:95:0F:00\x1b[0m\n")) << out;
  EXPECT_EQ(Run({"dump", Path("missing.hex")}, true), kExitFailed);
  EXPECT_TRUE(Printed("\x1b[31mError loading file!\x1b[0m\n")) << out;
  EXPECT_EQ(Run({"write", WriteImage("fw.ucm", 4096), "--yes"}, true), kExitOk);
  EXPECT_NE(err.find("byte/sec"), std::string::npos) << err;
  EXPECT_NE(err.find("%"), std::string::npos) << err;
}

TEST_F(CliRun, ReadSavesTheFlashInTheKindOfTheExtension) {
  const std::string image = WriteImage("fw.ucm", 300);
  ASSERT_EQ(Run({"--sim-chip", "ATmega8", "write", image, "--yes"}), kExitOk) << out;
  const std::string saved = Path("back.hex");
  EXPECT_EQ(Run({"--sim-chip", "atmega8l", "read", saved}), kExitOk) << out;
  EXPECT_TRUE(Printed("Reading 8192 bytes...\n")) << out;
  EXPECT_TRUE(Printed("Saved " + saved + "\n")) << out;
  // The saved file verifies against the chip.
  EXPECT_EQ(Run({"--sim-chip", "ATmega8", "verify", saved}), kExitOk) << out;
  EXPECT_TRUE(Printed("Comparing 8192 bytes...")) << out;

  // An unknown kind is refused before the port is touched.
  EXPECT_EQ(Run({"read", Path("back.s28")}), kExitFailed);
  EXPECT_EQ(out, "Unknown file format!\n");
}

TEST_F(CliRun, AReadFromAChipThatStopsAnsweringSavesNothingAndEndsWithStatusOne) {
  const std::string kept = WriteImage("kept.hex", 100);
  std::ifstream before_stream(kept, std::ios::binary);
  const std::string before((std::istreambuf_iterator<char>(before_stream)), std::istreambuf_iterator<char>());
  for (const uint8_t resting : {uint8_t(1), uint8_t(0)}) {
    SCOPED_TRACE(resting ? "MISO floats high" : "MISO stuck low");
    TSimChipOptions faults;
    faults.stop_after_bits = 64 * 2000; // a cable pulled some 4 KB into the flash
    faults.resting_miso = resting;
    ASSERT_EQ(SetSimPortFaults(1, faults), S_OK);
    const std::string fresh = Path(resting ? "fresh-high.ucm" : "fresh-low.ucm");
    EXPECT_EQ(Run({"read", fresh}), kExitFailed) << out;
    EXPECT_TRUE(Printed("Error while reading \xC2\xB5"
                        "C device flash!(at address 0x"))
        << out;
    EXPECT_TRUE(Printed("does not answer")) << out;
    EXPECT_FALSE(Printed("Saved")) << out;
    EXPECT_FALSE(std::ifstream(fresh).good()) << "no file left behind";

    EXPECT_EQ(Run({"read", kept}), kExitFailed) << out;
    std::ifstream after_stream(kept, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after_stream)), std::istreambuf_iterator<char>()),
              before)
        << "an existing file is not replaced";
  }
  // Without a chip the signature fails too.
  TSimChipOptions faults;
  faults.no_chip = true;
  ASSERT_EQ(SetSimPortFaults(1, faults), S_OK);
  EXPECT_EQ(Run({"signature"}), kExitFailed) << out;
  EXPECT_TRUE(Printed("Error reading signature!\n")) << out;
  EXPECT_EQ(Run({"calibration"}), kExitFailed) << out;
  EXPECT_TRUE(Printed("Error reading calibration!\n")) << out;
}

// The target is checked before the port is opened: a bad one costs no flash read, and a read that
// fails leaves no file and replaces none.
TEST_F(CliRun, ReadRefusesABadTargetBeforeTouchingThePort) {
  ASSERT_EQ(::mkfifo(Path("pipe.ucm").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("pipe.ucm", Path("link.hex").c_str()), 0);
  const std::pair<std::string, std::string> refused[] = {
      {Path("no/such/back.hex"), Path("no/such/back.hex") + ": cannot save in folder " + Path("no/such") +
                                     ": " + std::strerror(ENOENT)},
      {Path("pipe.ucm"), Path("pipe.ucm") + ": is a FIFO, not a regular file"},
      {Path("link.hex"), Path("link.hex") + " (-> " + Path("pipe.ucm") + "): is a FIFO, not a regular file"},
  };
  for (const auto& [name, reason] : refused) {
    EXPECT_EQ(Run({"read", name}), kExitFailed) << name;
    EXPECT_EQ(out, "Error saving file!\n" + reason + "\n");
  }
  struct stat st {};
  ASSERT_EQ(::lstat(Path("pipe.ucm").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(::lstat(Path("link.hex").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  // Past the check, the read fails (no such port): nothing is made and nothing replaced.
  const std::string kept = WriteImage("kept.ucm", 10);
  const std::string before = ReadFileText(kept);
  EXPECT_EQ(Run({"--port", "NOSUCHPORT", "read", kept}), kExitFailed);
  EXPECT_EQ(Run({"--port", "NOSUCHPORT", "read", Path("new.ucm")}), kExitFailed);
  EXPECT_TRUE(Printed("Unknown error occoured!")) << out;
  EXPECT_EQ(ReadFileText(kept), before);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(work_dir_.Path()))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"kept.ucm", "link.hex", "pipe.ucm"}));
}

TEST_F(CliRun, SimulatedChipIsChosenByItsDatabaseName) {
  EXPECT_EQ(Run({"--sim-chip", "ATMEGA8L", "signature"}), kExitOk);
  EXPECT_TRUE(Printed("Signature: 0x1E:93:07:00\n - CPU name: ATmega8/ATmega8L/ATmega8A")) << out;
  EXPECT_EQ(Run({"--sim-chip", "ATmega2560", "--port", "SIM2", "signature"}), kExitOk);
  EXPECT_TRUE(Printed("Signature: 0x1E:98:01:00")) << out;

  EXPECT_EQ(Run({"--sim-chip", "ATmega9999", "signature"}), kExitUsage);
  EXPECT_NE(err.find("ATmega9999"), std::string::npos) << err;
  EXPECT_EQ(Run({"--sim-chip", "ATmega8", "--port", "COM1", "signature"}), kExitUsage);
  EXPECT_NE(err.find("simulated"), std::string::npos) << err;
}

TEST_F(CliRun, ConnectionFailuresEndWithStatusOneAndDumpNeedsNoPort) {
  EXPECT_EQ(Run({"--port", "NOSUCHPORT", "signature"}), kExitFailed);
  EXPECT_TRUE(Printed("Unknown error occoured!\n")) << out;
  EXPECT_FALSE(Printed("Signature")) << out;
  EXPECT_EQ(Run({"--port", Path("ttyNONE"), "fuses"}), kExitFailed);
  EXPECT_TRUE(Printed("Error: Can not open physical connection device (COM,LPT,..)!\n")) << out;

  EXPECT_EQ(Run({"--port", "NOSUCHPORT", "dump", WriteImage("fw.ucm", 18)}), kExitOk);
  EXPECT_FALSE(Printed("Connected")) << out;
  EXPECT_TRUE(Printed("0x0000:")) << out;
  EXPECT_TRUE(Printed("0x0010:")) << out;
  EXPECT_EQ(out.back(), '\n') << "the last, partial row is finished with a line end";
}

// Scripts tell a good adapter with a chip (0) from one whose chip did not answer (3).
TEST_F(CliRun, AdapterTestExitStatusSaysWhetherAChipAnswered) {
  EXPECT_EQ(Run({"adapter-test"}), kExitOk) << out;
  EXPECT_TRUE(Printed("Adapter test on SIM1.")) << out;
  EXPECT_TRUE(Printed("ATmega328P")) << out;
  TSimChipOptions faults;
  faults.no_chip = true;
  ASSERT_EQ(SetSimPortFaults(1, faults), S_OK);
  EXPECT_EQ(Run({"adapter-test"}), kExitNoChip) << out;
  EXPECT_EQ(Run({"--port", "LPT1", "--pins", "miso=3", "adapter-test"}), kExitFailed) << out;
  EXPECT_TRUE(Printed("pin 3 of the parallel port cannot be read")) << out;
}

TEST_F(CliRun, PortsListsTheSimulatedPortWithItsKind) {
  EXPECT_EQ(Run({"ports"}), kExitOk);
  EXPECT_TRUE(Printed("SIM1")) << out;
  EXPECT_TRUE(Printed("simulated")) << out;
  EXPECT_TRUE(Printed("Simulated ATmega328P")) << out;
}

// The real binary.

struct TProcessResult {
  int status = -1;
  std::string output;
};

TProcessResult RunPinlet(const std::string& state_home, const std::string& args) {
  const std::string command =
      "XDG_STATE_HOME='" + state_home + "' '" PINLET_BINARY_DIR "/bin/pinlet' " + args + " </dev/null 2>&1";
  TProcessResult result;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

TEST(PinletBinary, WriteAndVerifyOnSim1) {
  TScratchDir state;
  TScratchDir work;
  const std::string image = work.Path() + "/fw.hex";
  std::ofstream(image) << ":10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n";

  TProcessResult r = RunPinlet(state.Path(), "--port SIM1 --speed sdFastest write '" + image + "' --yes");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Meta stream and flash is equal."), std::string::npos) << r.output;

  r = RunPinlet(state.Path(), "--speed 0 verify '" + image + "'");
  EXPECT_EQ(r.status, 0) << r.output;

  r = RunPinlet(state.Path(), "erase");
  EXPECT_EQ(r.status, 1) << r.output; // stdin is not a terminal: answered No
  r = RunPinlet(state.Path(), "--speed 0 verify '" + image + "'");
  EXPECT_EQ(r.status, 0) << r.output;

  r = RunPinlet(state.Path(), "--bogus");
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("--help"), std::string::npos) << r.output;
  r = RunPinlet(state.Path(), "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Usage: pinlet"), std::string::npos);
}

} // namespace
