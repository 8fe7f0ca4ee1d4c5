#include "cli/uCliSignals.h"

#include <array>

namespace {

constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Written by the handler, read by the run: the only state a handler may touch safely.
volatile std::sig_atomic_t g_first_signal = 0;
volatile std::sig_atomic_t g_abort = 0;

std::array<struct sigaction, kSignals.size()> g_previous{};
std::array<bool, kSignals.size()> g_replaced{};

extern "C" void OnSignal(int signo) {
  if (g_first_signal == 0) {
    g_first_signal = signo;
    // A page costs milliseconds, so a first Ctrl-C may finish it; the other signals mean "now".
    if (signo != SIGINT) g_abort = 1;
  } else {
    g_abort = 1;
  }
}

} // namespace

TCliSignals::TCliSignals() {
  g_first_signal = 0;
  g_abort = 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signo : kSignals) sigaddset(&action.sa_mask, signo);
  action.sa_flags = 0; // no SA_RESTART: a read waiting for an answer must return
  for (size_t i = 0; i < kSignals.size(); ++i) {
    g_replaced[i] = false;
    if (sigaction(kSignals[i], nullptr, &g_previous[i]) != 0) {
      installed_ = false;
      continue;
    }
    // A signal the parent told us to ignore (nohup, a background job of a script) stays ignored.
    if (g_previous[i].sa_handler == SIG_IGN) continue;
    g_replaced[i] = sigaction(kSignals[i], &action, nullptr) == 0;
    installed_ = installed_ && g_replaced[i];
  }
}

TCliSignals::~TCliSignals() {
  for (size_t i = 0; i < kSignals.size(); ++i)
    if (g_replaced[i] && sigaction(kSignals[i], &g_previous[i], nullptr) != 0) {
      // Nothing more can be done at the end of a run; the handler stays and only sets the flags.
    }
}

const volatile std::sig_atomic_t* TCliSignals::Interrupted() {
  return &g_first_signal;
}

const volatile std::sig_atomic_t* TCliSignals::Abort() {
  return &g_abort;
}
