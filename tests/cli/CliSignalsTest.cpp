// Signals ending a `pinlet` run: whatever arrives, and whenever, the run leaves programming mode,
// releases RESET, gives the port its settings back and exits with 128 + the signal's number. The
// ports are modelled behind the OS seam with the simulated chip on their wires, so the real back
// ends do the cleanup that is checked.
#include "cli/uCliRun.h"
#include "cli/uCliSignals.h"
#include "core/uWait.h"
#include "fakes/FakePortDevice.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSimChip.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <pthread.h>
#include <thread>
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

// A port whose node a test can watch, with a simulated ATmega328P on its wires, and a write of a
// few pages run through RunCli with the signal handlers installed.
class CliSignals : public ::testing::Test {
protected:
  CliSignals() : scoped_clock_(std::make_shared<TVirtualClock>()) {}

  TFakeNode& AddPort(bool parallel) {
    parallel_ = parallel;
    TFakeNode& node = parallel ? fake_->AddParallel(kPath) : fake_->AddSerial(kPath);
    node.chip = &chip_;
    node.keep_events = false;
    return node;
  }

  // Runs a command line through RunCli with the handlers installed, answering questions from in
  // (a terminal) when given; out holds the log.
  int Run(std::vector<std::string> args, std::FILE* in = nullptr) {
    // A fixed speed: where in a page a signal lands is counted in port operations, and the busy
    // polls between pages are as many as fit in the chip's programming time.
    args.insert(args.begin(), {"--db", kDatabase, "--port", "COM1", "--speed", "sdNormal"});
    const TCliParse parse = ParseCommandLine(args);
    EXPECT_TRUE(parse.Ok) << parse.Error;
    std::FILE* o = std::tmpfile();
    TCliTerminal terminal;
    terminal.Out = terminal.Err = o;
    terminal.In = in ? in : stdin;
    terminal.InIsTerminal = in != nullptr;
    const TCliSignals signals;
    terminal.Interrupted = TCliSignals::Interrupted();
    terminal.Abort = TCliSignals::Abort();
    auto factory = [this](const std::string&, const std::string&,
                          std::string&) -> std::unique_ptr<TSpiBusBase> {
      if (parallel_) return CreateSpiBus<TSpiBus_LPT>(1, fake_, kPath);
      return CreateSpiBus<TSpiBus_COM>(1, fake_, kPath);
    };
    const int status = RunCli(parse.Options, terminal, "pinlet", factory);
    out = ReadAll(o);
    std::fclose(o);
    return status;
  }
  // `pinlet write --yes` of an image of eight pages.
  int RunWrite() {
    const std::string image = dir_.Path() + "/fw.ucm";
    std::ofstream(image, std::ios::binary) << std::string(8 * 128, '\x5A');
    return Run({"write", image, "--yes"});
  }

  // Raises signo from inside the transfer, in the middle of the page after the first pages pages,
  // and once more again port operations later when again is not negative.
  void RaiseDuringWrite(TFakeNode& node, int signo, uint64_t pages, int64_t again = -1) {
    raised_at_ = page_done_at_ = 0;
    raised_again_ = false;
    node.after_ioctl = [this, signo, pages, again](uint64_t ioctls) {
      if (page_done_at_ == 0 && chip_.Counters().page_writes == pages) page_done_at_ = ioctls;
      if (page_done_at_ == 0) return;
      if (raised_at_ == 0 && ioctls >= page_done_at_ + kMidPage) {
        raised_at_ = ioctls;
        raise(signo);
      } else if (raised_at_ != 0 && again >= 0 && !raised_again_ && ioctls >= raised_at_ + uint64_t(again)) {
        raised_again_ = true;
        raise(signo);
      }
    };
  }

  // Port operations into a page: a page is 64 words, each two loads of 32 clocks.
  static constexpr uint64_t kMidPage = 1000;
  static constexpr const char* kPath = "/dev/fake-port";
  TScopedWaitClock scoped_clock_;
  TScratchDir dir_;
  std::shared_ptr<TFakePortDevice> fake_ = std::make_shared<TFakePortDevice>();
  TSimAvrChip chip_{SimRecordMega328P()};
  bool parallel_ = false;
  uint64_t page_done_at_ = 0, raised_at_ = 0;
  bool raised_again_ = false;
  std::string out;
};

// One instruction is 32 clocks of a few port operations each; a page is 64 words of two loads.
constexpr uint64_t kWithinAnInstruction = 200;

TEST_F(CliSignals, TermOnASerialPortStopsAtTheNextInstructionAndRestoresThePort) {
  TFakeNode& node = AddPort(false);
  node.settings.c_cflag = B19200 | CS7;
  node.settings.c_lflag = ICANON | ECHO;
  const termios found = node.settings;
  RaiseDuringWrite(node, SIGTERM, 2);

  EXPECT_EQ(RunWrite(), 128 + SIGTERM) << out;
  EXPECT_NE(out.find("Cancelled by the user!"), std::string::npos) << out;
  EXPECT_EQ(chip_.Counters().page_writes, 2u) << "the page under way is not finished";
  EXPECT_LT(node.ioctls - raised_at_, kWithinAnInstruction);
  EXPECT_FALSE(chip_.InProgMode()) << "the target runs again";
  EXPECT_FALSE(node.brk) << "break (RESET) cleared";
  // As the open found them: the kernel raises both when a tty is opened.
  EXPECT_TRUE(node.dtr && node.rts) << "DTR and RTS as found";
  EXPECT_EQ(node.settings.c_cflag, found.c_cflag);
  EXPECT_EQ(node.settings.c_lflag, found.c_lflag);
  EXPECT_FALSE(node.tty_exclusive);
  EXPECT_FALSE(node.locked);
  EXPECT_EQ(fake_->OpenDescriptors(), 0);
}

TEST_F(CliSignals, HangupOnAParallelPortReleasesResetAndRestoresTheControlRegister) {
  TFakeNode& node = AddPort(true);
  node.control = 0x0B;
  RaiseDuringWrite(node, SIGHUP, 1);

  EXPECT_EQ(RunWrite(), 128 + SIGHUP) << out;
  EXPECT_EQ(chip_.Counters().page_writes, 1u);
  EXPECT_LT(node.ioctls - raised_at_, kWithinAnInstruction);
  EXPECT_FALSE(chip_.InProgMode());
  EXPECT_NE(node.data & 0x80, 0) << "RESET released";
  EXPECT_EQ(node.control, 0x0B) << "control register as found";
  EXPECT_FALSE(node.claimed);
  EXPECT_EQ(fake_->OpenDescriptors(), 0);
}

TEST_F(CliSignals, CtrlCFinishesThePageASecondOneStopsAtTheNextInstruction) {
  TFakeNode& node = AddPort(false);
  RaiseDuringWrite(node, SIGINT, 2);
  EXPECT_EQ(RunWrite(), 128 + SIGINT) << out;
  EXPECT_NE(out.find("stopping after the current block"), std::string::npos) << out;
  EXPECT_EQ(chip_.Counters().page_writes, 3u) << "the page under way is finished";
  EXPECT_FALSE(node.brk);
  EXPECT_EQ(fake_->OpenDescriptors(), 0);

  // The second Ctrl-C, within the same page, neither kills the process nor waits for the page.
  const uint64_t pages_before = chip_.Counters().page_writes;
  RaiseDuringWrite(node, SIGINT, pages_before + 2, 1000);
  EXPECT_EQ(RunWrite(), 128 + SIGINT) << out;
  EXPECT_TRUE(raised_again_);
  EXPECT_EQ(chip_.Counters().page_writes - pages_before, 2u);
  EXPECT_LT(node.ioctls - raised_at_, 1000 + kWithinAnInstruction);
  EXPECT_FALSE(node.brk);
  EXPECT_FALSE(chip_.InProgMode());
  EXPECT_EQ(fake_->OpenDescriptors(), 0);
}

// A signal while the question waits for its answer: the read is interrupted and the answer is
// No, even when a "y" is typed afterwards; nothing is written.
TEST_F(CliSignals, SignalAtTheQuestionAnswersNoAtOnce) {
  TFakeNode& node = AddPort(false);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE* in = fdopen(fds[0], "r");
  ASSERT_NE(in, nullptr);
  const pthread_t runner = pthread_self();
  std::atomic<bool> returned{false};
  bool returned_before_typing = false;
  std::thread user([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pthread_kill(runner, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    returned_before_typing = returned;
    EXPECT_EQ(write(fds[1], "y\n", 2), 2);
  });
  chip_.Flash()[0] = 0x12;
  const int status = Run({"erase"}, in);
  returned = true;
  user.join();
  std::fclose(in);
  close(fds[1]);

  EXPECT_EQ(status, 128 + SIGINT) << out;
  EXPECT_TRUE(returned_before_typing) << "the read was not interrupted";
  EXPECT_NE(out.find("Shall I erase the whole flash memory? [y/N] no (interrupted)\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Device has been erased."), std::string::npos) << out;
  EXPECT_EQ(chip_.Counters().chip_erases, 0u);
  EXPECT_EQ(chip_.Flash()[0], 0x12);
  EXPECT_FALSE(node.brk);
  EXPECT_FALSE(chip_.InProgMode());

  // A signal that came before the question (during the connection) answers it No without asking,
  // --yes or not, and the write never starts.
  raised_at_ = 0;
  node.after_ioctl = [this](uint64_t ioctls) {
    if (raised_at_ == 0 && chip_.Counters().enables == 1) raise(SIGTERM), raised_at_ = ioctls;
  };
  EXPECT_EQ(RunWrite(), 128 + SIGTERM) << out;
  EXPECT_EQ(chip_.Counters().page_writes, 0u);
  EXPECT_EQ(out.find("Writing flash"), std::string::npos) << out;
}

} // namespace
