// pinlet-upload's run on the simulated ATmega328P: the -U actions of one command line in one
// session, the uploaders' erase and verify rules, the fuse protections, the dry run, the -p check,
// and the exit statuses; the real binary once.
#include "app/uBusFactory.h"
#include "app/uFuseEdit.h"
#include "cli/uUploadRun.h"
#include "core/uWait.h"
#include "sim/uSimPorts.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/wait.h>

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

// Passes everything to the port's own bus and counts the reset sequences (entries into
// programming mode), which are what a session saves.
class TCountingBus : public TSpiBusBase {
public:
  TCountingBus(std::unique_ptr<TSpiBusBase> inner, int& entries)
      : inner_(std::move(inner)), entries_(entries) {}
  ~TCountingBus() override { ClosePort(); }
  HRESULT OpenPort(int32_t port_number) override { return inner_->OpenPort(port_number); }
  void ClosePort() override { inner_->ClosePort(); }
  HRESULT ProbeHardware() override { return inner_->ProbeHardware(); }
  void SetMosi(uint8_t level) override { inner_->SetMosi(level); }
  bool GetMiso(uint8_t& level) override { return inner_->GetMiso(level); }
  void SetSck(uint8_t level) override { inner_->SetSck(level); }
  void SetReset(uint8_t level) override { inner_->SetReset(level); }
  bool SamplesAreFree() const override { return inner_->SamplesAreFree(); }
  HRESULT SetProgMode(bool enable) override {
    if (enable) ++entries_;
    inner_->Options = Options;
    return inner_->SetProgMode(enable);
  }

private:
  std::unique_ptr<TSpiBusBase> inner_;
  int& entries_;
};

class UploadRun : public ::testing::Test {
protected:
  UploadRun() : scoped_clock_(std::make_shared<TVirtualClock>()) {}

  static TUploadAction U(TUploadMemory memory, TUploadOp op, std::string file, TUploadFormat format) {
    TUploadAction action;
    action.Memory = memory;
    action.Op = op;
    action.File = std::move(file);
    action.Format = format;
    action.Text = "action";
    return action;
  }
  TUploadOptions Options(std::vector<TUploadAction> actions, const std::string& part = "m328p") const {
    TUploadOptions options;
    options.Programmer = "sim";
    options.Part = part;
    options.DatabasePath = kDatabase;
    options.Actions = std::move(actions);
    return options;
  }

  // Runs the options; out is standard output, log the log (standard error).
  int Run(const TUploadOptions& options, const std::string& input = {}) {
    std::FILE* o = std::tmpfile();
    std::FILE* e = std::tmpfile();
    std::FILE* i = std::tmpfile();
    std::fputs(input.c_str(), i);
    std::rewind(i);
    TCliTerminal t;
    t.Out = o;
    t.Err = e;
    t.In = i;
    entries = 0;
    const int status = RunUpload(options, t, "pinlet-upload",
                                 [this](const std::string& name, const std::string& db, std::string& detail) {
                                   std::unique_ptr<TSpiBusBase> bus = CreateBusForPort(name, "", db, detail);
                                   if (!bus) return bus;
                                   return std::unique_ptr<TSpiBusBase>(
                                       std::make_unique<TCountingBus>(std::move(bus), entries));
                                 });
    out = ReadAll(o);
    log = ReadAll(e);
    std::fclose(o);
    std::fclose(e);
    std::fclose(i);
    return status;
  }
  bool Logged(const std::string& text) const { return log.find(text) != std::string::npos; }

  std::string Path(const std::string& name) const { return work_dir_.Path() + "/" + name; }
  std::string WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  std::string Image(const std::string& name, size_t size, int seed) const {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += char(i * 7 + size_t(seed));
    return WriteFile(name, bytes);
  }
  // The chip's value of a fuse or lock byte, as pinlet-upload reads it in decimal.
  int ReadByte(TUploadMemory memory) {
    if (Run(Options({U(memory, TUploadOp::Read, "-", TUploadFormat::Decimal)})) != kExitOk) return -1;
    return std::atoi(out.c_str());
  }

  TScopedWaitClock scoped_clock_;
  TScopedStateHome state_dir_;
  TScratchDir work_dir_;
  std::string out, log;
  int entries = 0;
};

using M = TUploadMemory;
using O = TUploadOp;
using F = TUploadFormat;

TEST_F(UploadRun, SeveralActionsRunInOrderInOneSession) {
  const std::string flash = Image("fw.bin", 600, 1), eeprom = Image("cfg.bin", 40, 2);
  const int before = ReadByte(M::LowFuse);
  ASSERT_EQ(before, 0x62);
  EXPECT_EQ(
      Run(Options({U(M::Flash, O::Write, flash, F::Raw), U(M::Eeprom, O::Write, eeprom, F::Auto),
                   U(M::LowFuse, O::Write, "0xE2", F::Immediate),
                   U(M::HighFuse, O::Write, "0xDE", F::Immediate), U(M::Signature, O::Read, "-", F::Hex)})),
      kExitOk)
      << log;
  // One reset for the whole line: the flash, its verify, the EEPROM, the fuses and the signature.
  EXPECT_EQ(entries, 1) << log;
  EXPECT_TRUE(Logged("Erasing flash...")) << log;
  EXPECT_TRUE(Logged("Meta stream and flash is equal.")) << log;
  EXPECT_TRUE(Logged("The EEPROM image and the EEPROM are equal.")) << log;
  EXPECT_TRUE(Logged("lfuse written and read back: 0xE2")) << log;
  EXPECT_TRUE(Logged("hfuse written and read back: 0xDE")) << log;
  // Only the value read to "-" is on standard output; the log is all on standard error.
  EXPECT_EQ(out, "0x1e,0x95,0x0f\n");
  EXPECT_EQ(log.find("0x1e,0x95"), std::string::npos);

  // The chip kept all of it: verified in a second run.
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, flash, F::Raw), U(M::Eeprom, O::Verify, eeprom, F::Raw),
                         U(M::LowFuse, O::Verify, "226", F::Immediate),
                         U(M::HighFuse, O::Verify, "0xDE", F::Immediate)})),
            kExitOk)
      << log;
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(Run(Options({U(M::LowFuse, O::Verify, "0x62", F::Immediate)})), kExitFailed);
  EXPECT_TRUE(Logged("lfuse: the chip holds 0xE2, action expects 0x62!")) << log;
  // An action that fails ends the run: the ones after it are not done.
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, Image("other.bin", 600, 9), F::Raw),
                         U(M::LowFuse, O::Write, "0xFF", F::Immediate)})),
            kExitFailed);
  EXPECT_EQ(ReadByte(M::LowFuse), 0xE2);
}

TEST_F(UploadRun, FuseValuesFromTextAndRawFilesAndBackToFiles) {
  const std::string h = WriteFile("l.txt", "0xff\n"), d = WriteFile("h.txt", "222"),
                    o = WriteFile("e.txt", "0375"), b = WriteFile("lock.txt", "0b11111111"),
                    raw = WriteFile("l.bin", std::string(1, '\xE2'));
  ASSERT_EQ(Run(Options({U(M::LowFuse, O::Write, h, F::Hex), U(M::HighFuse, O::Write, d, F::Decimal),
                         U(M::ExtFuse, O::Write, o, F::Octal), U(M::Lock, O::Write, b, F::Binary)})),
            kExitOk)
      << log;
  EXPECT_EQ(ReadByte(M::LowFuse), 0xFF);
  EXPECT_EQ(ReadByte(M::HighFuse), 222);
  EXPECT_EQ(ReadByte(M::ExtFuse), 0xFD);
  ASSERT_EQ(Run(Options({U(M::LowFuse, O::Write, raw, F::Raw)})), kExitOk) << log;
  EXPECT_EQ(ReadByte(M::LowFuse), 0xE2);

  // Reads into files, in each text form and raw.
  ASSERT_EQ(Run(Options({U(M::HighFuse, O::Read, Path("h.out"), F::Hex),
                         U(M::HighFuse, O::Read, Path("d.out"), F::Decimal),
                         U(M::HighFuse, O::Read, Path("o.out"), F::Octal),
                         U(M::HighFuse, O::Read, Path("b.out"), F::Binary),
                         U(M::LowFuse, O::Read, Path("l.out"), F::Raw)})),
            kExitOk)
      << log;
  auto content = [this](const char* name) {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(content("h.out"), "0xde\n");
  EXPECT_EQ(content("d.out"), "222\n");
  EXPECT_EQ(content("o.out"), "0336\n");
  EXPECT_EQ(content("b.out"), "0b11011110\n");
  EXPECT_EQ(content("l.out"), std::string(1, '\xE2'));
  // What a read saved verifies against the chip.
  EXPECT_EQ(Run(Options({U(M::HighFuse, O::Verify, Path("b.out"), F::Binary)})), kExitOk) << log;

  // Values that are no byte, and two bytes for one fuse, are refused before anything is written.
  EXPECT_EQ(Run(Options({U(M::LowFuse, O::Write, "0x100", F::Immediate)})), kExitFailed);
  EXPECT_EQ(Run(Options({U(M::LowFuse, O::Write, "0xFF,0xFE", F::Immediate)})), kExitFailed);
  EXPECT_TRUE(Logged("one byte is written to the lfuse, not 2.")) << log;
  EXPECT_EQ(ReadByte(M::LowFuse), 0xE2);
}

TEST_F(UploadRun, LockOutSettingsAreRefusedUnlessAllowed) {
  // RSTDISBL programmed (hfuse bit 7) ends ISP on the chip.
  TUploadOptions options = Options({U(M::HighFuse, O::Write, "0x59", F::Immediate)});
  EXPECT_EQ(Run(options), kExitFailed);
  EXPECT_TRUE(Logged("Refused: nothing was written.")) << log;
  EXPECT_EQ(ReadByte(M::HighFuse), 0xD9);
  // Several fuses in a row are one request: a lock-out in one of them writes none of them.
  EXPECT_EQ(Run(Options({U(M::LowFuse, O::Write, "0xFF", F::Immediate),
                         U(M::HighFuse, O::Write, "0x59", F::Immediate)})),
            kExitFailed);
  EXPECT_EQ(ReadByte(M::LowFuse), 0x62);
  options.AllowLockout = true;
  EXPECT_EQ(Run(options), kExitOk) << log;
  EXPECT_EQ(ReadByte(M::HighFuse), 0x59);
  // The lock byte of the boot loader recipes: bits the chip lacks are written 1, and not compared.
  ASSERT_EQ(
      Run(Options({U(M::Lock, O::Write, "0x0F", F::Immediate), U(M::Lock, O::Verify, "0x0F", F::Immediate)})),
      kExitOk)
      << log;
  EXPECT_EQ(ReadByte(M::Lock), 0xCF);
  EXPECT_EQ(Run(Options({U(M::Lock, O::Verify, "0x3F", F::Immediate)})), kExitFailed);
}

TEST_F(UploadRun, FuseWriteUnderProgrammedLockBitsIsWarnedAboutNotRefused) {
  // LB1 programmed (lock mode 2) is no lock-out: ISP can still erase the chip.
  ASSERT_EQ(Run(Options({U(M::Lock, O::Write, "0xFE", F::Immediate)})), kExitOk) << log;
  Run(Options({U(M::LowFuse, O::Write, "0xE2", F::Immediate)}));
  EXPECT_TRUE(Logged("LB1 is programmed")) << log;
  EXPECT_FALSE(Logged("Refused")) << log;
  EXPECT_TRUE(Logged("Shall I write the fuse bytes of ATmega328P? [y/N] yes (as the command line asks)"))
      << log;
}

TEST_F(UploadRun, QuietVerboseAndSignals) {
  TUploadOptions options = Options({U(M::Signature, O::Read, "-", F::Decimal)});
  options.Quiet = 2;
  EXPECT_EQ(Run(options), kExitOk);
  EXPECT_EQ(out, "30,149,15\n");
  EXPECT_TRUE(log.empty()) << log; // -q -q: errors only
  options.Quiet = 1;
  options.Actions = {U(M::LowFuse, O::Verify, "0x00", F::Immediate)};
  EXPECT_EQ(Run(options), kExitFailed);
  EXPECT_FALSE(Logged("Connected and Ready.")) << log;
  EXPECT_TRUE(Logged("lfuse: the chip holds 0x62")) << log;
  options.Quiet = 0;
  options.Verbose = 1;
  EXPECT_EQ(Run(options), kExitFailed);
  EXPECT_TRUE(Logged("Programmer sim (")) << log;
  EXPECT_TRUE(Logged("port SIM1, speed Auto, part ATmega328P")) << log;

  // A signal that arrived ends the run before its next step, with 128 + its number.
  volatile std::sig_atomic_t interrupted = SIGINT, abort = 0;
  std::FILE* o = std::tmpfile();
  std::FILE* e = std::tmpfile();
  TCliTerminal t;
  t.Out = o;
  t.Err = e;
  t.Interrupted = &interrupted;
  t.Abort = &abort;
  EXPECT_EQ(RunUpload(Options({U(M::LowFuse, O::Write, "0xFF", F::Immediate)}), t, "pinlet-upload"),
            128 + SIGINT);
  std::fclose(o);
  std::fclose(e);
  EXPECT_EQ(ReadByte(M::LowFuse), 0x62);
}

TEST_F(UploadRun, EraseRulesOfAFlashWrite) {
  const std::string a = Image("a.bin", 256, 1), b = Image("b.bin", 256, 2);
  ASSERT_EQ(Run(Options({U(M::Flash, O::Write, a, F::Raw)})), kExitOk) << log;
  // -D: b is programmed over a, which can only clear bits: the verify finds the difference.
  TUploadOptions no_erase = Options({U(M::Flash, O::Write, b, F::Raw)});
  no_erase.NoAutoErase = true;
  EXPECT_EQ(Run(no_erase), kExitFailed);
  EXPECT_TRUE(Logged("(the flash is not erased first)")) << log;
  EXPECT_FALSE(Logged("Erasing flash...")) << log;
  EXPECT_TRUE(Logged("Meta stream and flash is not equal!")) << log;
  // -e erases before the actions, and -D then writes onto the erased flash.
  no_erase.Erase = true;
  EXPECT_EQ(Run(no_erase), kExitOk) << log;
  EXPECT_TRUE(Logged("Device has been erased.")) << log;
  EXPECT_EQ(entries, 1) << log;
  // Without -D the write erases first, once, however many flash writes follow.
  const std::string high = WriteFile("high.hex", ":020400001234B4\n:00000001FF\n");
  EXPECT_EQ(Run(Options({U(M::Flash, O::Write, a, F::Raw), U(M::Flash, O::Write, high, F::IntelHex)})),
            kExitOk)
      << log;
  EXPECT_EQ(log.find("Erasing flash..."), log.rfind("Erasing flash...")) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, a, F::Raw), U(M::Flash, O::Verify, high, F::Auto)})), kExitOk)
      << log;
  // The erase comes before the first image written, so an EEPROM written before the flash stays.
  const std::string e = Image("e.bin", 32, 5);
  EXPECT_EQ(Run(Options({U(M::Eeprom, O::Write, e, F::Raw), U(M::Flash, O::Write, a, F::Raw)})), kExitOk)
      << log;
  EXPECT_LT(log.find("Device has been erased."), log.find("Writing 32 bytes to the EEPROM")) << log;
  EXPECT_EQ(Run(Options({U(M::Eeprom, O::Verify, e, F::Raw)})), kExitOk) << log;
  // -e alone: the chip is erased, and what was there no longer verifies.
  TUploadOptions erase = Options({});
  erase.Erase = true;
  EXPECT_EQ(Run(erase), kExitOk) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, a, F::Raw)})), kExitFailed);
  // -V: no verify after the write.
  TUploadOptions no_verify = Options({U(M::Flash, O::Write, a, F::Raw)});
  no_verify.NoVerify = true;
  EXPECT_EQ(Run(no_verify), kExitOk) << log;
  EXPECT_FALSE(Logged("Comparing")) << log;
  // A format letter chooses the kind whatever the name says: the raw file read back as HEX text.
  EXPECT_EQ(Run(Options({U(M::Flash, O::Read, Path("back.txt"), F::IntelHex)})), kExitOk) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, Path("back.txt"), F::IntelHex)})), kExitOk) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Read, "-", F::IntelHex)})), kExitOk) << log;
  EXPECT_EQ(out.rfind(":00000001FF"), out.size() - 13) << out.substr(out.size() - 40);
}

TEST_F(UploadRun, ImagesFromStandardInputAndFromValues) {
  const std::string hex = ":0400000001020304F2\n:00000001FF\n";
  EXPECT_EQ(Run(Options({U(M::Flash, O::Write, "-", F::Auto)}), hex), kExitOk) << log;
  EXPECT_TRUE(Logged("Loaded standard input; 4bytes")) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, "1,2,3,4", F::Immediate)})), kExitOk) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, "1,2,3,5", F::Immediate)})), kExitFailed) << log;
  // EEPROM bytes as values on the command line and as a text file.
  EXPECT_EQ(Run(Options({U(M::Eeprom, O::Write, "0x11,0x22,0x33", F::Immediate)})), kExitOk) << log;
  EXPECT_EQ(Run(Options({U(M::Eeprom, O::Verify, WriteFile("e.txt", "0x11 0x22\n0x33\n"), F::Hex)})), kExitOk)
      << log;
  EXPECT_EQ(Run(Options({U(M::Eeprom, O::Verify, "-", F::Raw)}), "\x11\x22\x34"), kExitFailed) << log;
  EXPECT_EQ(Run(Options({U(M::Eeprom, O::Write, "0x11,zz", F::Immediate)})), kExitFailed);
  EXPECT_TRUE(Logged("'zz' is no byte value")) << log;
}

TEST_F(UploadRun, DryRunWritesNothing) {
  const std::string a = Image("a.bin", 300, 1), b = Image("b.bin", 300, 2), e = Image("e.bin", 16, 3);
  ASSERT_EQ(Run(Options({U(M::Flash, O::Write, a, F::Raw)})), kExitOk) << log;
  TUploadOptions dry = Options({U(M::Flash, O::Write, b, F::Raw), U(M::Eeprom, O::Write, e, F::Raw),
                                U(M::LowFuse, O::Write, "0xFF", F::Immediate)});
  dry.DryRun = true;
  dry.Erase = true;
  EXPECT_EQ(Run(dry), kExitOk) << log;
  EXPECT_TRUE(Logged("Dry run: the chip would be erased now.")) << log;
  EXPECT_TRUE(Logged("The flash differs from the image at address 0x00000000: the write would change it."))
      << log;
  EXPECT_TRUE(Logged("lfuse: 0x62 -> 0xFF")) << log; // what would be written is shown
  EXPECT_TRUE(Logged("Dry run: these bytes would be written. Nothing was written.")) << log;
  EXPECT_FALSE(Logged("Erasing flash...")) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, a, F::Raw)})), kExitOk) << log;
  EXPECT_EQ(ReadByte(M::LowFuse), 0x62);
  // The dry run of what is there already says so; its refusals are the real write's.
  dry.Actions = {U(M::Flash, O::Write, a, F::Raw)};
  dry.Erase = false;
  EXPECT_EQ(Run(dry), kExitOk) << log;
  EXPECT_TRUE(Logged("The flash holds the image already. Nothing was written.")) << log;
  dry.Actions = {U(M::HighFuse, O::Write, "0x59", F::Immediate)};
  EXPECT_EQ(Run(dry), kExitFailed) << log;
  EXPECT_TRUE(Logged("Refused: nothing was written.")) << log;
}

TEST_F(UploadRun, PartMustMatchTheChipUnlessForced) {
  const std::string a = Image("a.bin", 128, 1);
  TUploadOptions options = Options({U(M::Flash, O::Write, a, F::Raw)}, "m168");
  EXPECT_EQ(Run(options), kExitFailed);
  EXPECT_TRUE(Logged("-p names the ATmega168, this chip is an ATmega328P (signature 0x1E 0x95 0x0F)."))
      << log;
  EXPECT_FALSE(Logged("Writing")) << log;
  EXPECT_EQ(Run(Options({U(M::Flash, O::Verify, a, F::Raw)})), kExitFailed); // nothing was written
  options.Force = true;
  EXPECT_EQ(Run(options), kExitOk) << log;
  EXPECT_TRUE(Logged("Warning: this chip is an ATmega328P")) << log;
  // Names in any case and variant names are the same part.
  EXPECT_EQ(Run(Options({}, "ATMEGA328P")), kExitOk) << log;
}

TEST_F(UploadRun, ExitStatusesAndUsageErrors) {
  TUploadOptions options = Options({});
  options.Programmer = "no-such-cable";
  EXPECT_EQ(Run(options), kExitUsage);
  EXPECT_NE(log.find("'-c ?'"), std::string::npos) << log;
  EXPECT_EQ(Run(Options({}, "m9999")), kExitUsage);
  options = Options({});
  options.BitClock = "fast";
  EXPECT_EQ(Run(options), kExitUsage);
  // A missing input file fails before the port is opened: no reset sequence.
  EXPECT_EQ(Run(Options({U(M::Flash, O::Write, Path("missing.hex"), F::IntelHex)})), kExitFailed);
  EXPECT_EQ(entries, 0);
  // A replacing -C file that does not exist leaves the built-in ids; one that is to add must exist.
  options = Options({});
  options.ConfigFiles = {Path("none/avr.conf")};
  options.ConfigReplaces = true;
  EXPECT_EQ(Run(options), kExitOk) << log;
  EXPECT_TRUE(Logged("does not exist; using the built-in programmer ids")) << log;
  options.ConfigFiles.push_back("+" + Path("none/more.conf"));
  EXPECT_EQ(Run(options), kExitUsage) << log;
  // The lists.
  options = Options({});
  options.ListProgrammers = true;
  options.ListParts = true;
  EXPECT_EQ(Run(options), kExitOk);
  EXPECT_NE(out.find("sim"), std::string::npos) << out;
  const size_t m328p = out.find("\n  m328p ");
  ASSERT_NE(m328p, std::string::npos) << out;
  const std::string line = out.substr(m328p + 1, out.find('\n', m328p + 1) - m328p - 1);
  EXPECT_EQ(line.substr(line.find('=')), "= ATmega328P") << line;
  EXPECT_NE(out.find("t85"), std::string::npos) << out;
  EXPECT_EQ(out.find("Valid programmers are:"), out.rfind("Valid programmers are:")) << "one heading each";
  EXPECT_EQ(out.find("Valid parts are:"), out.rfind("Valid parts are:")) << out;
  // The simulated port gives its lines back at close, so RESET cannot stay held: said, not ignored.
  options = Options({});
  options.ExitReset = false;
  EXPECT_EQ(Run(options), kExitOk) << log;
  EXPECT_TRUE(Logged("RESET cannot stay held after the run")) << log;
}

TEST(UploadBitClock, NeverFasterThanAsked) {
  for (const char* text : {"125kHz", "1MHz", "2000hz", "10", "8 us", "0.5", "62.5khz"}) {
    const std::optional<uint8_t> level = SpeedLevelForBitClock(text);
    ASSERT_TRUE(level) << text;
    const std::string t = text;
    double hz = std::strtod(text, nullptr);
    if (t.find("MHz") != std::string::npos)
      hz *= 1e6;
    else if (t.find("khz") != std::string::npos || t.find("kHz") != std::string::npos)
      hz *= 1e3;
    else if (t.find("hz") == std::string::npos)
      hz = 1e6 / hz;
    const uint32_t chosen = SpeedLevelMaxSckHz(*level);
    ASSERT_NE(chosen, 0u) << text; // the level without a wait has no known speed
    if (*level < kSpeedLevelCount - 1) {
      EXPECT_LE(chosen, hz) << text;
    }
    // The next faster level (with a wait of its own) would be faster than asked.
    if (*level > 1) {
      EXPECT_GT(SpeedLevelMaxSckHz(uint8_t(*level - 1)), hz) << text;
    }
  }
  bool slowest = false;
  EXPECT_EQ(SpeedLevelForBitClock("2000Hz", &slowest), kSpeedLevelCount - 1);
  EXPECT_TRUE(slowest);
  for (const char* bad : {"", "fast", "0", "-5", "10 parsecs", "khz"})
    EXPECT_FALSE(SpeedLevelForBitClock(bad)) << bad;
}

TEST(UploadPorts, KernelDevicePathsBecomePinletPortNames) {
  TUploadProgrammer spi{"linuxspi", "", "linuxspi", "", "/dev/spidev0.0", ""};
  EXPECT_EQ(UploadPortName(spi, ""), "spi:/dev/spidev0.0");
  EXPECT_EQ(UploadPortName(spi, "/dev/spidev1.1"), "spi:/dev/spidev1.1");
  EXPECT_EQ(UploadPortName(spi, "spi:/dev/spidev1.1"), "spi:/dev/spidev1.1");
  TUploadProgrammer gpio{"linuxgpio", "", "linuxgpio", "", "/dev/gpiochip0", ""};
  EXPECT_EQ(UploadPortName(gpio, ""), "gpio:/dev/gpiochip0");
  EXPECT_EQ(UploadPortName(gpio, "gpiochip2"), "gpio:/dev/gpiochip2");
  TUploadProgrammer ftdi{"ft232r", "", "ft245r", "", "usb", ""};
  EXPECT_EQ(UploadPortName(ftdi, ""), "usb");
  EXPECT_EQ(UploadPortName(ftdi, "usb:A600XYZ"), "usb:A600XYZ");
  TUploadProgrammer par{"dapa", "", "par", "", "/dev/parport0", ""};
  EXPECT_EQ(UploadPortName(par, "/dev/parport1"), "/dev/parport1");
}

TEST(UploadValues, NumbersInTheirBases) {
  std::vector<uint8_t> values;
  std::string error;
  ASSERT_TRUE(ParseUploadValues("0xFF, 255 0377,0b11111111\n", values, error)) << error;
  EXPECT_EQ(values, std::vector<uint8_t>(4, 0xFF));
  ASSERT_TRUE(ParseUploadValues("0", values, error));
  EXPECT_EQ(values, std::vector<uint8_t>{0});
  for (const char* bad : {"", "256", "0x", "0b102", "08", "-1", "0xFF;", "ff"})
    EXPECT_FALSE(ParseUploadValues(bad, values, error)) << bad;
}

// The real binary, as an IDE starts it.
TEST(PinletUploadBinary, WritesAndVerifiesOnSim1) {
  TScratchDir state, work;
  const std::string image = work.Path() + "/fw.hex";
  std::ofstream(image) << ":10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n";
  auto run = [&](const std::string& args, std::string& output) {
    const std::string command = "XDG_STATE_HOME='" + state.Path() +
                                "' '" PINLET_BINARY_DIR "/bin/pinlet-upload' --db '" +
                                std::string(kDatabase) + "' " + args + " </dev/null 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n;
    output.clear();
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int raw = pclose(pipe);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  std::string output;
  EXPECT_EQ(run("-c sim -p m328p -P SIM1 -B 125kHz -U flash:w:'" + image + "':i", output), 0) << output;
  EXPECT_NE(output.find("Meta stream and flash is equal."), std::string::npos) << output;
  EXPECT_EQ(run("-p atmega328p -c sim -U flash:v:'" + image + "':i -U signature:r:-:h", output), 0) << output;
  EXPECT_NE(output.find("0x1e,0x95,0x0f"), std::string::npos) << output;
  EXPECT_EQ(run("-p m328p -c sim -U flash:q:x", output), 2) << output;
  EXPECT_EQ(run("--help", output), 0) << output;
  EXPECT_NE(output.find("pinlet-upload"), std::string::npos) << output;
}

} // namespace
