// The terminal side of a command-line run, shared by `pinlet` and `pinlet-upload`: the log (colours
// only on a terminal), the progress bar on standard error, and the questions asked on the
// terminal. A signal recorded in the terminal's flags stops a running transfer and answers No.
#pragma once
#include "app/uController.h"
#include "cli/uCliRun.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

inline int Interrupted(const TCliTerminal& terminal) {
  return terminal.Interrupted ? int(*terminal.Interrupted) : 0;
}

// The log on standard output: colours on a terminal, plain text otherwise. Line ends become "\n".
// The progress bar shares the terminal, so it is wiped before a log text is written.
class TConsoleLog : public ILogSink {
public:
  explicit TConsoleLog(const TCliTerminal& terminal) : terminal_(terminal) {}

  void LogStatus(const std::string& text, uint32_t colour) override {
    if (text.empty() || (filter_ && !filter_(colour))) return;
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
  // Which texts are shown, by their colour (base/uLogColours.h); empty: all.
  void SetFilter(std::function<bool(uint32_t colour)> filter) { filter_ = std::move(filter); }

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
  std::function<bool(uint32_t)> filter_;
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
  // yes: every question is answered Yes, and the answer names yes_reason as the reason.
  TConsoleConfirm(const TCliTerminal& terminal, bool yes, std::string yes_reason = "--yes")
      : terminal_(terminal), yes_(yes), yes_reason_(std::move(yes_reason)) {}

  bool AskYesNo(const std::string& question) override {
    std::FILE* out = terminal_.Out;
    if (Interrupted(terminal_)) {
      // A run that is being stopped starts nothing new, whatever --yes says.
      std::fprintf(out, "%s [y/N] ", question.c_str());
      return AnsweredNoBySignal(out);
    }
    if (yes_) {
      std::fprintf(out, "%s [y/N] yes (%s)\n", question.c_str(), yes_reason_.c_str());
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
  std::string yes_reason_;
};
