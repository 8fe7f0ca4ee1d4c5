// A model of port devices and programming adapters behind the OS seam, for tests of the hw/ back
// ends without hardware. Each device node is a wire-level model:
//  - parallel (ppdev): data, control and status registers; the adapter's two loop-backs (data bit 0
//    -> status bit 5; data bit 1 -> BUSY, which the port shows inverted in status bit 7); MOSI data
//    bit 5, SCK data bit 4, RESET data bit 7 (low = chip held in reset), MISO status bit 6;
//  - serial (tty): DTR = MOSI, RTS = SCK, break = RESET held, CTS = MISO, DSR looped from RTS.
// MISO floats high when no chip drives it. A simulated chip can be wired to the lines.
// Faults: a missing node (ENOENT), open refused (EACCES, EBUSY), claim or exclusive use refused,
// the adapter absent (no loop-back, nothing on the lines), no chip, and every call after a number
// of ioctls failing with EIO (an adapter pulled out mid-transfer).
#pragma once
#include "hw/uOsSeam.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TSimAvrChip;

enum class TFakeDsr { FollowsRts, TiedHigh, TiedLow };

// One observable step on a node, with the line levels after it.
struct TFakeEvent {
  std::string op;   // "open", "close", "PPWDATA", "TIOCMBIS", "tcsetattr", ...
  uint8_t data = 0; // parallel data register
  bool dtr = false, rts = false, brk = false;
};

struct TFakeNode {
  bool parallel = false;

  // Faults.
  int open_errno = 0;            // open fails with this errno
  int claim_errno = 0;           // PPCLAIM fails with this errno
  int exclusive_errno = 0;       // PPEXCL / TIOCEXCL fails with this errno
  int lock_errno = 0;            // flock fails with this errno
  int64_t eio_after_ioctls = -1; // after this many ioctls, everything but close fails with EIO
  bool not_a_tty = false;        // termios calls fail with ENOTTY
  bool adapter_present = true;
  bool loop_a = true, loop_b = true; // parallel loop-back wires
  TFakeDsr dsr = TFakeDsr::FollowsRts;
  TSimAvrChip* chip = nullptr; // wired to the adapter's lines when set
  // An adapter whose buffer inverts these lines between port and chip.
  bool invert_mosi = false, invert_sck = false, invert_miso = false;
  bool keep_events = true; // off for long transfers: a flash write is millions of steps
  // Runs after every ioctl with the node's ioctl count (a signal arriving mid-transfer, ...).
  std::function<void(uint64_t ioctls)> after_ioctl;

  // State.
  uint8_t data = 0, control = 0;
  bool excl_requested = false, claimed = false;
  bool dtr = false, rts = false, brk = false;
  bool tty_exclusive = false, locked = false;
  termios settings{};
  int open_count = 0;
  uint64_t ioctls = 0;
  std::vector<TFakeEvent> events;

  uint8_t Status() const;
  int ModemLines() const; // TIOCM_* bits as TIOCMGET reports them
  bool Unplugged() const { return eio_after_ioctls >= 0 && int64_t(ioctls) > eio_after_ioctls; }
  bool Did(const std::string& op) const;
  // Index of the first event named op at or after from; -1 when none.
  int Find(const std::string& op, size_t from = 0) const;
};

class TFakePortDevice : public IOsSeam {
public:
  TFakeNode& AddParallel(const std::string& path);
  TFakeNode& AddSerial(const std::string& path);
  TFakeNode& Node(const std::string& path) { return nodes_.at(path); }
  int OpenDescriptors() const { return int(fds_.size()); }

protected:
  int DoOpen(const std::string& path, int flags) override;
  int DoClose(int fd) override;
  int DoIoctl(int fd, unsigned long request, void* arg) override;
  int DoTcGetAttr(int fd, termios& settings) override;
  int DoTcSetAttr(int fd, int when, const termios& settings) override;
  int DoTcFlush(int fd, int queue) override;
  int DoFlock(int fd, int operation) override;

private:
  TFakeNode* NodeOf(int fd);
  void Record(TFakeNode& node, const std::string& op);
  void DriveChip(TFakeNode& node);
  int ParallelIoctl(TFakeNode& node, unsigned long request, void* arg);
  int SerialIoctl(TFakeNode& node, unsigned long request, void* arg);

  std::map<std::string, TFakeNode> nodes_;
  std::map<int, std::string> fds_;
  int next_fd_ = 100;
};
