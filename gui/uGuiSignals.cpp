#include "gui/uGuiSignals.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The state the handler touches: the pipe's write end and the counters.
int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_count = 0;
volatile std::sig_atomic_t g_abort = 0;
std::array<struct sigaction, kSignals.size()> g_previous{};
std::array<bool, kSignals.size()> g_replaced{};

extern "C" void OnSignal(int signo) {
  const int saved_errno = errno;
  g_count = g_count + 1;
  if (g_count >= 2) g_abort = 1;
  const unsigned char byte = static_cast<unsigned char>(signo);
  // A full pipe means enough signals are waiting already; nothing else can be done here.
  if (write(g_pipe[1], &byte, 1) < 0) {
  }
  errno = saved_errno;
}

} // namespace

TGuiSignals::TGuiSignals(QObject* parent) : QObject(parent) {
  g_count = 0;
  g_abort = 0;
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &TGuiSignals::OnReadable);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART; // the event loop's own calls need not see EINTR
  installed_ = true;
  for (size_t i = 0; i < kSignals.size(); ++i) {
    g_replaced[i] = false;
    if (sigaction(kSignals[i], nullptr, &g_previous[i]) != 0) {
      installed_ = false;
      continue;
    }
    if (g_previous[i].sa_handler == SIG_IGN) continue; // ignored by the parent (nohup): stays so
    g_replaced[i] = sigaction(kSignals[i], &action, nullptr) == 0;
    installed_ = installed_ && g_replaced[i];
  }
}

TGuiSignals::~TGuiSignals() {
  for (size_t i = 0; i < kSignals.size(); ++i)
    if (g_replaced[i] && sigaction(kSignals[i], &g_previous[i], nullptr) != 0) {
      // Nothing more can be done at the end; the handler stays and only writes into the pipe.
    }
  notifier_.reset();
  for (int& fd : g_pipe) {
    if (fd >= 0 && close(fd) != 0) {
      // The descriptor is gone either way.
    }
    fd = -1;
  }
}

const volatile std::sig_atomic_t* TGuiSignals::Abort() {
  return &g_abort;
}

void TGuiSignals::OnReadable() {
  unsigned char bytes[16];
  ssize_t n = 0;
  while ((n = read(g_pipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (first_ == 0) first_ = bytes[i];
      emit Signalled(bytes[i]);
    }
  }
}
