// A model of port devices and programming adapters behind the OS seam, for tests of the hw/ back
// ends without hardware. Each device node is a wire-level model:
//  - parallel (ppdev): data, control and status registers; the default cable's two loop-backs
//    (data bit 0 -> status bit 5; data bit 1 -> BUSY, which the port shows inverted in status bit
//    7); the cable's wiring (default: MOSI pin 7 = data bit 5, SCK pin 6 = bit 4, RESET pin 9 =
//    bit 7, low = chip held in reset; MISO pin 10 = status bit 6) and the buffer-enable pins that
//    must be low ("~": high) for the chip to see the cable;
//  - serial (tty): the wiring over TXD (its break state), DTR and RTS out and CTS, DSR, DCD and RI
//    in (default: DTR = MOSI, RTS = SCK, break = RESET held, CTS = MISO, DSR looped from RTS); an
//    asserted line is a 1 at the chip (RESET: held).
// MISO floats high when no chip drives it. A simulated chip can be wired to the lines.
// Faults: a missing node (ENOENT), open refused (EACCES, EBUSY), claim or exclusive use refused,
// the adapter absent (no loop-back, nothing on the lines), no chip, every call after a number of
// ioctls failing with EIO (an adapter pulled out mid-transfer), and the cable's own faults: a
// broken wire, two wires shorted, MOSI and MISO swapped at the chip.
#pragma once
#include "hw/uOsSeam.h"
#include "hw/uPinMap.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TSimAvrChip;

enum class TFakeDsr { FollowsRts, TiedHigh, TiedLow };

// A wire of the cable between the port and the chip.
enum class TFakeWire : uint8_t { None, Reset, Sck, Mosi, Miso };

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
  // Which port pins the cable ties to the chip ("~": its buffer inverts the line) and, on a
  // parallel cable, the pins that enable its buffer: while one of them is not at its enable
  // level the chip's inputs float and MISO reaches nothing. WireAs sets it for another cable.
  TPinMap wiring;
  // The cable's faults. A broken wire does not reach the chip: its input floats (RESET high
  // through the chip's pull-up, SCK and MOSI low), or the port's MISO input rests high. Shorted
  // wires touch: a low on either pulls both low, and MISO, while the chip does not drive it,
  // takes the level of the output it touches. Swapped: the port's MOSI goes to the chip's MISO
  // pin and the port's MISO input to the chip's MOSI pin, two inputs that leave each other
  // floating.
  TFakeWire broken = TFakeWire::None;
  TFakeWire shorted[2] = {TFakeWire::None, TFakeWire::None};
  bool mosi_miso_swapped = false;
  // A cable of another wiring, without the default cable's loop-backs.
  void WireAs(const TPinMap& map);
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
  // The levels at the chip's pins (RESET electrical: low = held) and the level the port's MISO
  // input sees, after the wiring and the cable's faults.
  struct TChipSide {
    uint8_t reset = 1, sck = 0, mosi = 0;
    bool miso = true;
  };
  TChipSide ChipSide() const;
  // The level of a port pin: an output's level (serial: asserted, TXD: break on); -1 for a pin
  // that is no output.
  int OutputLevel(int pin) const;
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
