#include "fakes/FakePortDevice.h"

#include "sim/uSimChip.h"

#include <cerrno>
#include <linux/ppdev.h>
#include <sys/file.h>
#include <sys/ioctl.h>

namespace {
constexpr uint8_t kMisoStatus = 0x40;   // ACK, pin 10
constexpr uint8_t kPaperEnd = 0x20;     // pin 12
constexpr uint8_t kBusyStatus = 0x80;   // pin 11, inverted by the port
constexpr uint8_t kFloatingHigh = 0x18; // SELECT and ERROR: unconnected inputs read high
} // namespace

uint8_t TFakeNode::Status() const {
  const bool present = adapter_present;
  const bool pin12 = present && loop_a ? (data & 0x01) != 0 : true;
  const bool pin11 = present && loop_b ? (data & 0x02) != 0 : true;
  const bool pin10 = present && chip != nullptr ? (chip->Miso() != 0) != invert_miso : true;
  uint8_t status = kFloatingHigh;
  if (pin12) status |= kPaperEnd;
  if (!pin11) status |= kBusyStatus;
  if (pin10) status |= kMisoStatus;
  return status;
}

int TFakeNode::ModemLines() const {
  int lines = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  if (!adapter_present) return lines; // RS-232 inputs left open read as not asserted
  const bool miso = chip != nullptr ? (chip->Miso() != 0) != invert_miso : true;
  if (miso) lines |= TIOCM_CTS;
  const bool dsr_level = dsr == TFakeDsr::FollowsRts ? rts : dsr == TFakeDsr::TiedHigh;
  if (dsr_level) lines |= TIOCM_DSR;
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
  return node;
}

TFakeNode& TFakePortDevice::AddSerial(const std::string& path) {
  TFakeNode& node = nodes_[path];
  node.parallel = false;
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
  const uint8_t mosi = node.parallel ? (node.data >> 5) & 1 : node.dtr ? 1 : 0;
  const uint8_t sck = node.parallel ? (node.data >> 4) & 1 : node.rts ? 1 : 0;
  node.chip->SetReset(node.parallel ? ((node.data & 0x80) ? 0 : 1) : node.brk ? 1 : 0);
  node.chip->SetMosi(mosi ^ (node.invert_mosi ? 1 : 0));
  node.chip->SetSck(sck ^ (node.invert_sck ? 1 : 0));
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
