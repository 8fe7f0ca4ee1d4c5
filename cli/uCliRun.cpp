#include "cli/uCliRun.h"

#include "app/uPortSelect.h"
#include "cli/uCliSignals.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

namespace {

int Interrupted(const TCliTerminal& terminal) {
  return terminal.Interrupted ? int(*terminal.Interrupted) : 0;
}

// The log on standard output: colours on a terminal, plain text otherwise. Line ends become "\n".
// The progress bar shares the terminal, so it is wiped before a log text is written.
class TConsoleLog : public ILogSink {
public:
  explicit TConsoleLog(const TCliTerminal& terminal) : terminal_(terminal) {}

  void LogStatus(const std::string& text, uint32_t colour) override {
    if (text.empty()) return;
    if (before_write_) before_write_();
    std::string plain;
    plain.reserve(text.size());
    for (char c : text)
      if (c != '\r') plain += c;
    const char* code = ColourCode(colour);
    if (code) {
      // Colour each line separately so a line end never carries the colour into the next line.
      size_t start = 0;
      while (start < plain.size()) {
        size_t end = plain.find('\n', start);
        const size_t stop = end == std::string::npos ? plain.size() : end;
        if (stop > start)
          std::fprintf(terminal_.Out, "%s%.*s\x1b[0m", code, int(stop - start), plain.data() + start);
        if (end == std::string::npos) break;
        std::fputc('\n', terminal_.Out);
        start = end + 1;
      }
    } else {
      std::fputs(plain.c_str(), terminal_.Out);
    }
    at_line_start_ = plain.back() == '\n';
    std::fflush(terminal_.Out);
  }

  // A last dump row without a line end is finished before the program ends.
  void FinishLine() {
    if (!at_line_start_) {
      std::fputc('\n', terminal_.Out);
      at_line_start_ = true;
      std::fflush(terminal_.Out);
    }
  }

  void SetBeforeWrite(std::function<void()> hook) { before_write_ = std::move(hook); }

private:
  const char* ColourCode(uint32_t colour) const {
    if (!terminal_.OutIsTerminal) return nullptr;
    switch (colour) {
    case clLogRed:
      return "\x1b[31m";
    case clLogGreen:
      return "\x1b[32m";
    case clLogBlue:
      return "\x1b[34m";
    default:
      return nullptr; // black: the terminal's own colour
    }
  }

  const TCliTerminal& terminal_;
  std::function<void()> before_write_;
  bool at_line_start_ = true;
};

// Progress of the transfers: a bar with the rate on standard error when that is a terminal.
class TConsoleProgress : public IProgressSink {
public:
  TConsoleProgress(const TCliTerminal& terminal, TConsoleLog& log) : terminal_(terminal), log_(log) {}

  void SetController(TPinletController* controller) { controller_ = controller; }

  HRESULT SetProgress(int32_t position) override {
    if (position <= 0) {
      // 0 starts a transfer or ends one: either way the old bar goes.
      Wipe();
      rate_.clear();
      position_ = 0;
      return S_OK;
    }
    position_ = std::clamp(position, 0, 100);
    Draw();
    return S_OK;
  }

  HRESULT SetStatusText(const std::string& text) override {
    rate_ = text;
    if (text.empty()) Wipe();
    return S_OK;
  }

  HRESULT AddMessage(const std::string& text, uint32_t colour) override {
    log_.LogStatus(text, colour);
    return S_OK;
  }

  HRESULT Idle() override {
    if (Interrupted(terminal_) && controller_ && !controller_->CancelRequested()) {
      Wipe();
      const bool now = terminal_.Abort && *terminal_.Abort;
      std::fputs(now ? "Interrupted: stopping at once...\n"
                     : "Interrupted: stopping after the current block...\n",
                 terminal_.Err);
      controller_->RequestCancel();
    }
    Draw();
    return S_OK;
  }

  void Wipe() {
    if (!shown_) return;
    std::fputs("\r\x1b[K", terminal_.Err);
    std::fflush(terminal_.Err);
    shown_ = false;
  }

private:
  void Draw() {
    if (!terminal_.ErrIsTerminal || position_ <= 0) return;
    // Redrawing on every Idle would cost more than the transfer at the fast speeds.
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && position_ == drawn_position_ && now - drawn_at_ < std::chrono::milliseconds(100)) return;
    constexpr int kWidth = 40;
    const int filled = position_ * kWidth / 100;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kWidth - filled), '-');
    std::fprintf(terminal_.Err, "\r[%s] %3d%%  %s\x1b[K", bar.c_str(), int(position_), rate_.c_str());
    std::fflush(terminal_.Err);
    shown_ = true;
    drawn_position_ = position_;
    drawn_at_ = now;
  }

  const TCliTerminal& terminal_;
  TConsoleLog& log_;
  TPinletController* controller_ = nullptr;
  int32_t position_ = 0;
  int32_t drawn_position_ = -1;
  std::chrono::steady_clock::time_point drawn_at_{};
  std::string rate_;
  bool shown_ = false;
};

// The window's Yes/No questions, asked on the terminal.
class TConsoleConfirm : public IConfirm {
public:
  TConsoleConfirm(const TCliTerminal& terminal, bool yes) : terminal_(terminal), yes_(yes) {}

  bool AskYesNo(const std::string& question) override {
    std::FILE* out = terminal_.Out;
    if (Interrupted(terminal_)) {
      // A run that is being stopped starts nothing new, whatever --yes says.
      std::fprintf(out, "%s [y/N] ", question.c_str());
      return AnsweredNoBySignal(out);
    }
    if (yes_) {
      std::fprintf(out, "%s [y/N] yes (--yes)\n", question.c_str());
      std::fflush(out);
      return true;
    }
    if (!terminal_.InIsTerminal) {
      std::fprintf(out, "%s [y/N] no (standard input is not a terminal; pass --yes to answer Yes)\n",
                   question.c_str());
      std::fflush(out);
      return false;
    }
    std::fprintf(out, "%s [y/N] ", question.c_str());
    std::fflush(out);
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, terminal_.In) != nullptr;
    // A signal interrupts the read (the handlers do not restart it); an answer typed before the
    // signal was seen does not count either.
    if (Interrupted(terminal_)) {
      std::clearerr(terminal_.In);
      return AnsweredNoBySignal(out);
    }
    if (!read) {
      std::fputc('\n', out);
      return false;
    }
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    return (*p == 'y' || *p == 'Y') && (p[1] == '\0' || p[1] == '\n' || std::strncmp(p + 1, "es", 2) == 0 ||
                                        std::strncmp(p + 1, "ES", 2) == 0);
  }

private:
  static bool AnsweredNoBySignal(std::FILE* out) {
    std::fputs("no (interrupted)\n", out);
    std::fflush(out);
    return false;
  }

  const TCliTerminal& terminal_;
  bool yes_;
};

int ListPortsCommand(const TCliTerminal& terminal) {
  const std::vector<TPortEntry> ports = ListPorts();
  size_t name_width = 4, kind_width = 4;
  for (const auto& port : ports) {
    name_width = std::max(name_width, port.Name.size());
    kind_width = std::max(kind_width, std::strlen(PortTypeName(port.Type)));
  }
  std::fprintf(terminal.Out, "%-*s  %-*s  %s\n", int(name_width), "PORT", int(kind_width), "KIND", "NAME");
  for (const auto& port : ports)
    std::fprintf(terminal.Out, "%-*s  %-*s  %s\n", int(name_width), port.Name.c_str(), int(kind_width),
                 PortTypeName(port.Type), port.DisplayName.c_str());
  return kExitOk;
}

} // namespace

int RunCli(const TCliOptions& options, const TCliTerminal& terminal, const std::string& program_name,
           const TPinletController::TBusFactory& bus_factory) {
  if (options.Help) {
    std::fputs(UsageText(program_name).c_str(), terminal.Out);
    return kExitOk;
  }
  if (options.Version) {
    std::fprintf(terminal.Out, "pinlet %s\n", PINLET_VERSION);
    return kExitOk;
  }
  if (options.Command == TCliCommand::Ports) return ListPortsCommand(terminal);

  if (!options.SimChip.empty()) {
    // SIM2 and up come into being when they are given a chip, so the name decides here.
    if (SimPortNumberFromName(PortNameFromText(options.Port)) == 0) {
      std::fprintf(terminal.Err, "%s: --sim-chip applies to the simulated ports (SIM1, SIM2, ...) only\n",
                   program_name.c_str());
      return kExitUsage;
    }
    std::string error;
    if (!SelectSimulatedChip(PortNameFromText(options.Port), options.SimChip, options.DatabasePath, error)) {
      std::fprintf(terminal.Err, "%s: %s\n", program_name.c_str(), error.c_str());
      return kExitUsage;
    }
  }

  TConsoleLog log(terminal);
  auto progress = std::make_shared<TConsoleProgress>(terminal, log);
  log.SetBeforeWrite([p = progress.get()] { p->Wipe(); });
  TConsoleConfirm confirm(terminal, options.Yes);
  TPinletController controller(log, confirm);
  controller.DatabasePath = options.DatabasePath;
  controller.Pins = options.Pins;
  if (bus_factory) controller.BusFactory = bus_factory;
  controller.SetEventSink(progress);
  controller.SetAbortFlag(terminal.Abort);
  progress->SetController(&controller);

  // One run is one command: the database is read once and the chip reset once, however many
  // steps the command has (a write and its verify).
  controller.BeginSession();
  // Every way out closes the port (RESET released, port settings restored) before the status.
  auto finish = [&](TCommandResult result) {
    if (const TCommandResult ended = controller.EndSession();
        result == TCommandResult::Done && ended == TCommandResult::Failed)
      result = ended;
    controller.Free();
    progress->Wipe();
    log.FinishLine();
    if (const int signo = Interrupted(terminal)) return ExitStatusForSignal(signo);
    return ExitStatusFor(result);
  };
  // A signal ends the run before its next step.
  auto stopped = [&] { return Interrupted(terminal) != 0; };

  // The file is read before the port is opened, so a missing file costs no reset sequence.
  switch (options.Command) {
  case TCliCommand::Write:
  case TCliCommand::Verify:
  case TCliCommand::Dump:
    if (const TCommandResult loaded = controller.LoadFile(options.File, options.Memory);
        loaded != TCommandResult::Done || stopped())
      return finish(loaded);
    break;
  case TCliCommand::Read:
    // Checked before the read: a bad name (unknown kind, missing folder, a FIFO) would otherwise
    // only be refused after the whole flash has been read.
    if (!controller.CheckSaveTarget(options.File).Ok) return finish(TCommandResult::Failed);
    break;
  default:
    break;
  }

  if (options.Command == TCliCommand::Dump) return finish(controller.DumpMetaFile(options.Memory));
  // The self-test opens the port itself, once per wiring it tries.
  if (options.Command == TCliCommand::AdapterTest)
    return finish(controller.AdapterTest(options.Port, options.Speed));

  if (const TCommandResult connected = controller.Init(options.Port, options.Speed, options.Debug);
      !controller.HasBus() || stopped())
    return finish(connected);

  TCommandResult result = TCommandResult::Refused;
  switch (options.Command) {
  case TCliCommand::Signature:
    result = controller.ReadSignature();
    break;
  case TCliCommand::Calibration:
    result = controller.ReadCalibration();
    break;
  case TCliCommand::Locks:
  case TCliCommand::Fuses:
    if (options.SetConfig)
      result = controller.WriteConfig(options.ConfigRequest, options.AllowLockout ? TLockoutConsent::Allowed
                                                                                  : TLockoutConsent::Refuse);
    else
      result = options.Command == TCliCommand::Locks ? controller.ReadLockBits() : controller.ReadFuseBits();
    break;
  case TCliCommand::Erase:
    result = controller.EraseFlash();
    break;
  case TCliCommand::Read:
    result = controller.Read(options.Memory);
    if (result == TCommandResult::Done && !stopped())
      result = controller.SaveFile(options.File, options.Memory);
    break;
  case TCliCommand::Write:
    result = controller.Write(options.Memory);
    if (result == TCommandResult::Done && !options.NoVerify && !stopped())
      result = controller.Verify(options.Memory);
    break;
  case TCliCommand::Verify:
    result = controller.Verify(options.Memory);
    break;
  default:
    break;
  }
  return finish(result);
}
