#include "fakes/FakePortDevice.h"

#include "sim/uSimChip.h"

#include <cerrno>
#include <linux/ppdev.h>
#include <sys/file.h>
#include <sys/ioctl.h>

void TFakeNode::WireAs(const TPinMap& map) {
  wiring = map;
  loop_a = loop_b = false;
  dsr = TFakeDsr::TiedLow; // an RS-232 input left open reads as not asserted
}

int TFakeNode::OutputLevel(int pin) const {
  if (parallel) {
    if (pin >= 2 && pin <= 9) return (data >> (pin - 2)) & 1;
    // The control pins: STROBE, AUTOFD and SELECTIN are low when their register bit is set.
    switch (pin) {
    case 1:
      return (control & 0x01) ? 0 : 1;
    case 14:
      return (control & 0x02) ? 0 : 1;
    case 16:
      return (control & 0x04) ? 1 : 0;
    case 17:
      return (control & 0x08) ? 0 : 1;
    default:
      return -1;
    }
  }
  switch (pin) {
  case 3:
    return brk ? 1 : 0;
  case 4:
    return dtr ? 1 : 0;
  case 7:
    return rts ? 1 : 0;
  default:
    return -1;
  }
}

TFakeNode::TChipSide TFakeNode::ChipSide() const {
  TChipSide side; // everything floating
  if (!adapter_present) return side;
  for (const TPinAssign& buffer : wiring.Buffers)
    if (OutputLevel(buffer.Pin) != (buffer.Inverted ? 1 : 0)) return side; // the buffer is off
  for (const TPinAssign& power : wiring.Power)
    if (OutputLevel(power.Pin) != (power.Inverted ? 0 : 1)) return side; // the target is not powered
  auto level = [&](const TPinAssign& assign, bool inverted) {
    const int pin = OutputLevel(assign.Pin);
    return uint8_t((pin > 0 ? 1 : 0) ^ (assign.Inverted ? 1 : 0) ^ (inverted ? 1 : 0));
  };
  // A parallel cable ties its RESET pin to the chip's (low = held); a serial one holds the chip
  // in reset while its RESET line is asserted.
  side.reset = parallel ? level(wiring.Reset, false) : uint8_t(level(wiring.Reset, false) ^ 1);
  side.sck = level(wiring.Sck, invert_sck);
  side.mosi = level(wiring.Mosi, invert_mosi);
  const bool driving = chip != nullptr && chip->InProgMode() && !chip->Dead();
  uint8_t miso = chip != nullptr ? chip->Miso() : 1; // the chip's, or the line's resting level
  bool miso_rests = false;                           // the port's MISO input sees no wire
  switch (broken) {
  case TFakeWire::Reset:
    side.reset = 1;
    break;
  case TFakeWire::Sck:
    side.sck = 0;
    break;
  case TFakeWire::Mosi:
    side.mosi = 0;
    break;
  case TFakeWire::Miso:
    miso_rests = true;
    break;
  case TFakeWire::None:
    break;
  }
  if (mosi_miso_swapped) {
    side.mosi = 0;
    miso_rests = true;
  }
  auto output = [&](TFakeWire wire) -> uint8_t* {
    return wire == TFakeWire::Reset  ? &side.reset
           : wire == TFakeWire::Sck  ? &side.sck
           : wire == TFakeWire::Mosi ? &side.mosi
                                     : nullptr;
  };
  uint8_t* a = output(shorted[0]);
  uint8_t* b = output(shorted[1]);
  if (a && b) {
    *a = *b = uint8_t(*a & *b);
  } else if ((a || b) && (shorted[0] == TFakeWire::Miso || shorted[1] == TFakeWire::Miso)) {
    uint8_t* touching = a ? a : b;
    const uint8_t net = driving ? uint8_t(*touching & miso) : *touching;
    *touching = miso = net;
  }
  side.miso = miso_rests ? true : ((miso != 0) != invert_miso) != wiring.Miso.Inverted;
  return side;
}

uint8_t TFakeNode::Status() const {
  bool miso_known = false, miso = true;
  auto pin = [&](int number) {
    if (!adapter_present) return true; // unconnected inputs read high
    if (number == wiring.Miso.Pin) {
      if (!miso_known) miso = ChipSide().miso, miso_known = true;
      return miso;
    }
    if (number == 12 && loop_a) return (data & 0x01) != 0;
    if (number == 11 && loop_b) return (data & 0x02) != 0;
    return true;
  };
  // ACK bit 6, BUSY bit 7 (inverted by the port), PE bit 5, SELECT bit 4, ERROR bit 3.
  return uint8_t((pin(10) ? 0x40 : 0) | (pin(11) ? 0 : 0x80) | (pin(12) ? 0x20 : 0) | (pin(13) ? 0x10 : 0) |
                 (pin(15) ? 0x08 : 0));
}

int TFakeNode::ModemLines() const {
  int lines = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  if (!adapter_present) return lines; // RS-232 inputs left open read as not asserted
  auto input = [&](int number, int flag) {
    bool on = false;
    if (number == wiring.Miso.Pin)
      on = ChipSide().miso;
    else if (number == 6)
      on = dsr == TFakeDsr::FollowsRts ? rts : dsr == TFakeDsr::TiedHigh;
    if (on) lines |= flag;
  };
  input(8, TIOCM_CTS);
  input(6, TIOCM_DSR);
  input(1, TIOCM_CAR);
  input(9, TIOCM_RNG);
  return lines;
}

bool TFakeNode::Did(const std::string& op) const {
  return Find(op) >= 0;
}

int TFakeNode::Find(const std::string& op, size_t from) const {
  for (size_t i = from; i < events.size(); ++i)
    if (events[i].op == op) return int(i);
  return -1;
}

TFakeNode& TFakePortDevice::AddParallel(const std::string& path) {
  TFakeNode& node = nodes_[path];
  node.parallel = true;
  node.wiring = DefaultPinMap(TPinKind::Parallel);
  return node;
}

TFakeNode& TFakePortDevice::AddSerial(const std::string& path) {
  TFakeNode& node = nodes_[path];
  node.parallel = false;
  node.wiring = DefaultPinMap(TPinKind::Serial);
  // A tty as the kernel leaves it after open: cooked, 9600 baud, DTR and RTS raised.
  node.settings.c_cflag = CS8 | CREAD | HUPCL | B9600;
  node.settings.c_lflag = ICANON | ECHO;
  return node;
}

TFakeNode* TFakePortDevice::NodeOf(int fd) {
  const auto found = fds_.find(fd);
  return found == fds_.end() ? nullptr : &nodes_.at(found->second);
}

void TFakePortDevice::Record(TFakeNode& node, const std::string& op) {
  if (node.keep_events) node.events.push_back({op, node.data, node.dtr, node.rts, node.brk});
}

void TFakePortDevice::DriveChip(TFakeNode& node) {
  if (node.chip == nullptr || !node.adapter_present) return;
  // Reset first, data before clock. A write that moves MOSI with a falling SCK edge reaches the
  // chip in that order too: it shifts out on the falling edge and samples MOSI only on the rising
  // one, so the data settling after the fall is what the real wires do as well.
  //
  // A short between MISO and an output makes the chip's input depend on whether the chip drives
  // MISO, which the levels just applied may change: the wires settle again until nothing moves.
  TFakeNode::TChipSide side = node.ChipSide();
  for (int pass = 0; pass < 4; ++pass) {
    node.chip->SetReset(side.reset ? 0 : 1);
    node.chip->SetMosi(side.mosi);
    node.chip->SetSck(side.sck);
    const TFakeNode::TChipSide settled = node.ChipSide();
    if (settled.reset == side.reset && settled.mosi == side.mosi && settled.sck == side.sck) break;
    side = settled;
  }
}

int TFakePortDevice::DoOpen(const std::string& path, int /*flags*/) {
  const auto found = nodes_.find(path);
  if (found == nodes_.end()) return -ENOENT;
  TFakeNode& node = found->second;
  if (node.open_errno != 0) return -node.open_errno;
  if (!node.parallel && node.tty_exclusive) return -EBUSY;
  if (node.Unplugged()) return -ENOENT;
  ++node.open_count;
  if (!node.parallel) node.dtr = node.rts = true; // the kernel raises them on open
  Record(node, "open");
  DriveChip(node);
  const int fd = next_fd_++;
  fds_[fd] = path;
  return fd;
}

int TFakePortDevice::DoClose(int fd) {
  TFakeNode* node = NodeOf(fd);
  if (node == nullptr) return -EBADF;
  fds_.erase(fd);
  --node->open_count;
  if (node->open_count == 0) {
    node->claimed = false; // the kernel drops a claim the program forgot
    node->excl_requested = false;
    node->locked = false;
    if (!node->parallel && (node->settings.c_cflag & HUPCL)) node->dtr = node->rts = false;
  }
  Record(*node, "close");
  DriveChip(*node);
  return 0;
}

int TFakePortDevice::DoIoctl(int fd, unsigned long request, void* arg) {
  TFakeNode* node = NodeOf(fd);
  if (node == nullptr) return -EBADF;
  ++node->ioctls;
  if (node->Unplugged()) return -EIO;
  const int result = node->parallel ? ParallelIoctl(*node, request, arg) : SerialIoctl(*node, request, arg);
  DriveChip(*node);
  if (node->after_ioctl) node->after_ioctl(node->ioctls);
  return result;
}

int TFakePortDevice::ParallelIoctl(TFakeNode& node, unsigned long request, void* arg) {
  auto* byte = static_cast<uint8_t*>(arg);
  switch (request) {
  case PPEXCL:
    if (node.exclusive_errno != 0) return -node.exclusive_errno;
    node.excl_requested = true;
    Record(node, "PPEXCL");
    return 0;
  case PPCLAIM:
    if (node.claim_errno != 0) return -node.claim_errno;
    node.claimed = true;
    Record(node, "PPCLAIM");
    return 0;
  case PPRELEASE:
    if (!node.claimed) return -EINVAL;
    node.claimed = false;
    Record(node, "PPRELEASE");
    return 0;
  default:
    break;
  }
  if (!node.claimed) return -EINVAL; // ppdev refuses register access before PPCLAIM
  switch (request) {
  case PPWDATA:
    node.data = *byte;
    Record(node, "PPWDATA");
    return 0;
  case PPRDATA:
    *byte = node.data;
    return 0;
  case PPWCONTROL:
    node.control = *byte;
    Record(node, "PPWCONTROL");
    return 0;
  case PPRCONTROL:
    *byte = node.control;
    return 0;
  case PPRSTATUS:
    *byte = node.Status();
    return 0;
  default:
    return -ENOTTY;
  }
}

int TFakePortDevice::SerialIoctl(TFakeNode& node, unsigned long request, void* arg) {
  auto* lines = static_cast<int*>(arg);
  switch (request) {
  case TIOCEXCL:
    if (node.exclusive_errno != 0) return -node.exclusive_errno;
    node.tty_exclusive = true;
    Record(node, "TIOCEXCL");
    return 0;
  case TIOCNXCL:
    node.tty_exclusive = false;
    Record(node, "TIOCNXCL");
    return 0;
  case TIOCMGET:
    *lines = node.ModemLines();
    return 0;
  case TIOCMBIS:
  case TIOCMBIC: {
    const bool on = request == TIOCMBIS;
    if (*lines & TIOCM_DTR) node.dtr = on;
    if (*lines & TIOCM_RTS) node.rts = on;
    Record(node, on ? "TIOCMBIS" : "TIOCMBIC");
    return 0;
  }
  case TIOCMSET:
    node.dtr = (*lines & TIOCM_DTR) != 0;
    node.rts = (*lines & TIOCM_RTS) != 0;
    Record(node, "TIOCMSET");
    return 0;
  case TIOCSBRK:
    node.brk = true;
    Record(node, "TIOCSBRK");
    return 0;
  case TIOCCBRK:
    node.brk = false;
    Record(node, "TIOCCBRK");
    return 0;
  default:
    return -ENOTTY;
  }
}

int TFakePortDevice::DoTcGetAttr(int fd, termios& settings) {
  TFakeNode* node = NodeOf(fd);
  if (node == nullptr) return -EBADF;
  if (node->parallel || node->not_a_tty) return -ENOTTY;
  if (node->Unplugged()) return -EIO;
  settings = node->settings;
  return 0;
}

int TFakePortDevice::DoTcSetAttr(int fd, int /*when*/, const termios& settings) {
  TFakeNode* node = NodeOf(fd);
  if (node == nullptr) return -EBADF;
  if (node->parallel || node->not_a_tty) return -ENOTTY;
  if (node->Unplugged()) return -EIO;
  node->settings = settings;
  Record(*node, "tcsetattr");
  return 0;
}

int TFakePortDevice::DoTcFlush(int fd, int /*queue*/) {
  TFakeNode* node = NodeOf(fd);
  if (node == nullptr) return -EBADF;
  if (node->parallel || node->not_a_tty) return -ENOTTY;
  if (node->Unplugged()) return -EIO;
  Record(*node, "tcflush");
  return 0;
}

int TFakePortDevice::DoFlock(int fd, int operation) {
  TFakeNode* node = NodeOf(fd);
  if (node == nullptr) return -EBADF;
  if (operation & LOCK_UN) {
    node->locked = false;
    Record(*node, "unlock");
    return 0;
  }
  if (node->lock_errno != 0) return -node->lock_errno;
  if (node->locked) return -EWOULDBLOCK;
  node->locked = true;
  Record(*node, "lock");
  return 0;
}
