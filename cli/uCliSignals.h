// The signals that end a `pinlet` run: SIGINT (Ctrl-C), SIGTERM (kill), SIGHUP (the terminal went
// away) and SIGQUIT. None of them may kill the process where it stands: the target would stay in
// reset (the parallel port's data latch and a serial port's break keep their last level) and the
// port would keep our settings. The handlers only record what arrived; the run looks at the flags
// and ends through the normal cleanup.
//
//  - The first SIGINT asks the running transfer to stop after its current page.
//  - A second signal of any kind, or a first SIGTERM, SIGHUP or SIGQUIT, aborts at the next
//    instruction on the bus.
//  - A question that is being asked is answered No: the handlers are installed without SA_RESTART,
//    so the blocked read returns with EINTR.
// The run then exits with 128 + the number of the first signal, as a shell reports a process
// killed by it.
#pragma once
#include <csignal>

class TCliSignals {
public:
  // Installs the handlers and clears the flags; the destructor puts the previous handlers back.
  // One object at a time.
  TCliSignals();
  ~TCliSignals();
  TCliSignals(const TCliSignals&) = delete;
  TCliSignals& operator=(const TCliSignals&) = delete;
  // False when a handler could not be installed (that signal then keeps its old disposition).
  bool Installed() const { return installed_; }

  // The number of the first signal that arrived; 0 while none did.
  static const volatile std::sig_atomic_t* Interrupted();
  // Non-zero once the run must stop at the next instruction.
  static const volatile std::sig_atomic_t* Abort();

private:
  bool installed_ = true;
};

// The exit status of a run ended by signal signo.
constexpr int ExitStatusForSignal(int signo) {
  return 128 + signo;
}
