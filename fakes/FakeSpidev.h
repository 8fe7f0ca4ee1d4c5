// A model of Linux spidev device nodes (/dev/spidevB.C) behind the OS seam, for tests of the
// spidev back end without a board. It takes the ioctls of linux/spi/spidev.h: SPI_IOC_WR_MODE,
// SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_WR_MAX_SPEED_HZ (and their RD_ forms) and SPI_IOC_MESSAGE(n),
// refusing a message larger than the driver's buffer in either direction with EMSGSIZE, as the
// driver does. The bytes of a message are clocked bit by bit, in SPI mode 0 MSB first, into a
// simulated chip whose RESET is on a GPIO line (fakes/FakeGpio.h); MISO floats high without a
// chip. Faults: a missing node (ENOENT), open refused (EACCES, EBUSY), a controller without
// SPI_NO_CS, MOSI looped to MISO, every ioctl after a number failing (the board removed).
#pragma once
#include "hw/uOsSeam.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TSimAvrChip;
class TVirtualClock;

struct TFakeSpidevNode {
  // Faults.
  int open_errno = 0;
  bool no_cs_supported = true;    // SPI_NO_CS in a mode is refused (EINVAL) when false
  int64_t fail_after_ioctls = -1; // ioctls after this many fail with fail_errno
  int fail_errno = ESHUTDOWN;     // what spidev answers once its controller is gone
  size_t bufsiz = 4096;           // the spidev module parameter
  bool loop_mosi_miso = false;    // MOSI wired to MISO: every byte comes back
  TSimAvrChip* chip = nullptr;    // on SCK, MOSI and MISO

  // Time, on the clock when one is set: per ioctl, and per bit at the transfer's rate.
  TVirtualClock* clock = nullptr;
  uint64_t ns_per_ioctl = 0;

  // State and counts.
  uint8_t mode = 0, bits_per_word = 0;
  uint32_t max_speed_hz = 500000;
  int open_count = 0;
  uint64_t ioctls = 0, messages = 0, transfers = 0, bytes = 0;
  std::vector<size_t> message_bytes; // length of each message clocked
  std::vector<uint32_t> speeds;      // rate of each transfer clocked
  std::function<void(uint64_t ioctls)> after_ioctl;
  bool keep_log = true;

  bool Failing() const { return fail_after_ioctls >= 0 && int64_t(ioctls) > fail_after_ioctls; }
};

class TFakeSpidev : public IOsSeam {
public:
  TFakeSpidevNode& AddDevice(const std::string& path);
  TFakeSpidevNode& Node(const std::string& path) { return nodes_.at(path); }
  int OpenDescriptors() const { return int(fds_.size()); }

protected:
  int DoOpen(const std::string& path, int flags) override;
  int DoClose(int fd) override;
  int DoIoctl(int fd, unsigned long request, void* arg) override;
  int DoTcGetAttr(int, termios&) override { return -ENOTTY; }
  int DoTcSetAttr(int, int, const termios&) override { return -ENOTTY; }
  int DoTcFlush(int, int) override { return -ENOTTY; }
  int DoFlock(int, int) override { return 0; }

private:
  int Message(TFakeSpidevNode& node, unsigned count, void* arg);
  uint8_t ClockByte(TFakeSpidevNode& node, uint8_t out);

  std::map<std::string, TFakeSpidevNode> nodes_;
  std::map<int, std::string> fds_;
  int next_fd_ = 200;
};
