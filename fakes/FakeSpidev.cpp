#include "fakes/FakeSpidev.h"

#include "core/uWait.h"
#include "sim/uSimChip.h"

#include <cerrno>
#include <cstring>
#include <linux/spi/spidev.h>

TFakeSpidevNode& TFakeSpidev::AddDevice(const std::string& path) {
  return nodes_[path];
}

int TFakeSpidev::DoOpen(const std::string& path, int /*flags*/) {
  const auto found = nodes_.find(path);
  if (found == nodes_.end()) return -ENOENT;
  TFakeSpidevNode& node = found->second;
  if (node.open_errno != 0) return -node.open_errno;
  if (node.Failing()) return -ENOENT;
  ++node.open_count;
  const int fd = next_fd_++;
  fds_[fd] = path;
  return fd;
}

int TFakeSpidev::DoClose(int fd) {
  const auto found = fds_.find(fd);
  if (found == fds_.end()) return -EBADF;
  --nodes_.at(found->second).open_count;
  fds_.erase(found);
  return 0;
}

uint8_t TFakeSpidev::ClockByte(TFakeSpidevNode& node, uint8_t out) {
  if (node.loop_mosi_miso) return out;
  uint8_t in = 0;
  for (int bit = 7; bit >= 0; --bit) {
    const uint8_t level = (out >> bit) & 1;
    uint8_t miso = 1; // nothing drives it: the line floats high
    if (node.chip) {
      // Mode 0: data set up while SCK is low, both sides sample on the rising edge.
      node.chip->SetMosi(level);
      node.chip->SetSck(1);
      miso = node.chip->Miso();
      node.chip->SetSck(0);
    }
    in = uint8_t(in << 1 | (miso ? 1 : 0));
  }
  return in;
}

int TFakeSpidev::Message(TFakeSpidevNode& node, unsigned count, void* arg) {
  auto* transfers = static_cast<spi_ioc_transfer*>(arg);
  // drivers/spi/spidev.c: the bounce buffers hold bufsiz bytes in each direction per message.
  size_t tx_total = 0, rx_total = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (transfers[i].tx_buf) tx_total += transfers[i].len;
    if (transfers[i].rx_buf) rx_total += transfers[i].len;
    if (transfers[i].bits_per_word != 0 && transfers[i].bits_per_word != 8) return -EINVAL;
  }
  if (tx_total > node.bufsiz || rx_total > node.bufsiz) return -EMSGSIZE;
  size_t total = 0;
  for (unsigned i = 0; i < count; ++i) {
    const spi_ioc_transfer& t = transfers[i];
    const auto* tx = reinterpret_cast<const uint8_t*>(uintptr_t(t.tx_buf));
    auto* rx = reinterpret_cast<uint8_t*>(uintptr_t(t.rx_buf));
    const uint32_t hz = t.speed_hz ? t.speed_hz : node.max_speed_hz;
    for (uint32_t k = 0; k < t.len; ++k) {
      const uint8_t in = ClockByte(node, tx ? tx[k] : 0); // no tx buffer: zeros go out
      if (rx) rx[k] = in;
    }
    if (node.clock && hz) node.clock->Advance(uint64_t(t.len) * 8 * 1000000000ull / hz);
    ++node.transfers;
    if (node.keep_log) node.speeds.push_back(hz);
    total += t.len;
  }
  ++node.messages;
  node.bytes += total;
  if (node.keep_log) node.message_bytes.push_back(total);
  return int(total);
}

int TFakeSpidev::DoIoctl(int fd, unsigned long request, void* arg) {
  const auto found = fds_.find(fd);
  if (found == fds_.end()) return -EBADF;
  TFakeSpidevNode& node = nodes_.at(found->second);
  ++node.ioctls;
  if (node.clock) node.clock->Advance(node.ns_per_ioctl);
  if (node.Failing()) return -node.fail_errno;
  int result = -ENOTTY;
  if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0 && _IOC_DIR(request) == _IOC_WRITE) {
    const unsigned size = _IOC_SIZE(request);
    if (size % sizeof(spi_ioc_transfer) != 0) return -EINVAL;
    result = Message(node, unsigned(size / sizeof(spi_ioc_transfer)), arg);
  } else {
    switch (request) {
    case SPI_IOC_WR_MODE: {
      const uint8_t mode = *static_cast<uint8_t*>(arg);
      if ((mode & SPI_NO_CS) && !node.no_cs_supported) return -EINVAL;
      node.mode = mode;
      result = 0;
      break;
    }
    case SPI_IOC_RD_MODE:
      *static_cast<uint8_t*>(arg) = node.mode;
      result = 0;
      break;
    case SPI_IOC_WR_BITS_PER_WORD: {
      const uint8_t bits = *static_cast<uint8_t*>(arg);
      if (bits != 0 && bits != 8) return -EINVAL; // a controller of 8-bit words only
      node.bits_per_word = bits;
      result = 0;
      break;
    }
    case SPI_IOC_RD_BITS_PER_WORD:
      *static_cast<uint8_t*>(arg) = node.bits_per_word;
      result = 0;
      break;
    case SPI_IOC_WR_MAX_SPEED_HZ: {
      const uint32_t hz = *static_cast<uint32_t*>(arg);
      if (hz == 0) return -EINVAL;
      node.max_speed_hz = hz;
      result = 0;
      break;
    }
    case SPI_IOC_RD_MAX_SPEED_HZ:
      *static_cast<uint32_t*>(arg) = node.max_speed_hz;
      result = 0;
      break;
    default:
      break;
    }
  }
  if (node.after_ioctl) node.after_ioctl(node.ioctls);
  return result;
}
