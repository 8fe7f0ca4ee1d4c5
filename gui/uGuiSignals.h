// The signals that end the window (SIGINT, SIGTERM, SIGHUP, SIGQUIT) as Qt notifications. Killing
// the process where it stands would leave the target in reset and the port with our settings; the
// handler only writes the signal's number into a pipe (a self-pipe: the one thing a handler may do
// safely), and a socket notifier hands it to the event loop, where the window can stop a transfer
// and close. A second signal also sets the abort flag, which ends a transfer at its next instruction
// (TPinletController::SetAbortFlag).
#pragma once
#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <memory>

class TGuiSignals : public QObject {
  Q_OBJECT

public:
  // Installs the handlers; the destructor puts the previous ones back. One object at a time.
  explicit TGuiSignals(QObject* parent = nullptr);
  ~TGuiSignals() override;

  bool Installed() const { return installed_; }
  // The number of the first signal that arrived; 0 while none did.
  int First() const { return first_; }
  // Non-zero after a second signal.
  static const volatile std::sig_atomic_t* Abort();

signals:
  void Signalled(int signo);

private:
  void OnReadable();

  std::unique_ptr<QSocketNotifier> notifier_;
  int first_ = 0;
  bool installed_ = false;
};
