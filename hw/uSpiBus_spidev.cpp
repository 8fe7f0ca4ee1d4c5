#include "hw/uSpiBus_spidev.h"

#include "core/uWait.h"
#include "hw/uSpiBus_gpio.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/spi/spidev.h>

namespace {
constexpr const char* kDefaultResetChip = "/dev/gpiochip0";
// The fastest level: a phase of 3 clocks of a 16 MHz target is 187.5 ns, a period of 375 ns.
constexpr uint32_t kFastestHz = 2666666;

// Splits "CHIP:LINE" into a chip path and a pin; a pin without a colon is a line of gpiochip0.
void SplitResetPin(const TPinAssign& reset, std::string& chip, TPinAssign& line) {
  chip = kDefaultResetChip;
  line = reset;
  const size_t colon = reset.Name.rfind(':');
  if (reset.Pin >= 0 || colon == std::string::npos) return;
  chip = GpioChipPath(reset.Name.substr(0, colon));
  const std::string rest = reset.Name.substr(colon + 1);
  line.Name = rest;
  line.Pin = -1;
  if (!rest.empty() && rest.size() <= 4 &&
      std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    line.Pin = std::stoi(rest);
    line.Name.clear();
  }
}
} // namespace

uint32_t SpidevClockHz(uint8_t level) {
  const uint32_t half_us = SpiSpeedHalfPeriodUs(level);
  if (half_us == 0) return kFastestHz;
  return 1000000u / (2u * half_us);
}

std::string SpidevErrorText(const std::string& path, int negative_errno, const char* step) {
  switch (-negative_errno) {
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return "The SPI device " + path +
           " does not exist: enable SPI (on a Raspberry Pi: dtparam=spi=on in config.txt, or raspi-config) "
           "and make sure the spidev driver is loaded.";
  case EACCES:
  case EPERM:
    return "Permission denied on " + path +
           ": add your user to the group that owns it, usually spi on Raspberry Pi OS (sudo usermod -aG spi "
           "$USER, then log in again), or give access with a udev rule (SUBSYSTEM==\"spidev\", "
           "GROUP=\"spi\", "
           "MODE=\"0660\").";
  case EBUSY:
    return path + " is in use by another program; close that program and try again.";
  case ENOTTY:
    return path + " is not an SPI device (give /dev/spidevB.C).";
  default:
    return std::string("Can not ") + step + " " + path + ": " + ErrnoText(negative_errno) + ".";
  }
}

TSpiBus_SPIDEV::TSpiBus_SPIDEV(std::shared_ptr<IOsSeam> os, std::shared_ptr<IGpioLib> gpio,
                               std::string spidev_path, TPinMap pins)
    : os_(SeamOrPosix(std::move(os))), gpio_(GpioLibOrReal(std::move(gpio))), path_(std::move(spidev_path)),
      pins_(std::move(pins)) {}

TSpiBus_SPIDEV::~TSpiBus_SPIDEV() {
  ClosePort();
}

void TSpiBus_SPIDEV::Fail(const std::string& text) {
  SetLastErrorText(text);
  reset_.reset();
  reset_chip_.reset();
  reset_wire_ = -1;
  fd_.Reset();
  port_number_ = 0;
}

int TSpiBus_SPIDEV::ResetWire(uint8_t level) const {
  // The AVR's RESET pin is active low; "~" or the flag for a transistor or buffer that inverts.
  const bool inverted = pins_.Reset.Inverted != ((Options & soResetInverted) != 0);
  return (level ? 0 : 1) ^ (inverted ? 1 : 0);
}

int TSpiBus_SPIDEV::OpenResetLine() {
  TPinAssign line;
  SplitResetPin(pins_.Reset, reset_chip_path_, line);
  int result = gpio_->OpenChip(reset_chip_path_, reset_chip_);
  if (result < 0) {
    Fail("RESET: " + GpioOpenErrorText(reset_chip_path_, result));
    return result;
  }
  std::string error;
  result = ResolveGpioLine(*reset_chip_, reset_chip_path_, line, reset_offset_, error);
  if (result < 0) {
    Fail("RESET: " + error);
    return result;
  }
  const int wire = ResetWire(0); // released: a running target keeps running
  result = reset_chip_->RequestOutputs({reset_offset_}, {wire}, kGpioConsumer, reset_);
  if (result < 0) {
    const std::string consumer = reset_chip_->LineConsumer(reset_offset_);
    Fail("RESET: " +
         GpioRequestErrorText(reset_chip_path_, "line " + std::to_string(reset_offset_), result, consumer));
    return result;
  }
  reset_wire_ = wire;
  return 0;
}

HRESULT TSpiBus_SPIDEV::OpenPort(int32_t port_number) {
  ClosePort();
  SetLastErrorText({});
  ClearLineFault();
  message_limit_ = kSpidevDefaultBufsiz;
  const int fd = os_->Open(path_, O_RDWR);
  if (fd < 0) {
    Fail(SpidevErrorText(path_, fd, "open"));
    return E_FAIL;
  }
  fd_ = TSeamFd(os_.get(), fd);
  // Mode 0, MSB first (no SPI_LSB_FIRST), chip select left out where the controller can.
  uint8_t mode = SPI_MODE_0 | SPI_NO_CS;
  int result = os_->Ioctl(fd, SPI_IOC_WR_MODE, &mode);
  no_cs_ = result >= 0;
  if (result == -EINVAL) {
    mode = SPI_MODE_0;
    result = os_->Ioctl(fd, SPI_IOC_WR_MODE, &mode);
  }
  if (result < 0) {
    Fail(SpidevErrorText(path_, result, "set SPI mode 0 on"));
    return E_FAIL;
  }
  uint8_t bits = 8;
  result = os_->Ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits);
  if (result < 0) {
    Fail(SpidevErrorText(path_, result, "set 8-bit words on"));
    return E_FAIL;
  }
  // The default for transfers that name no rate; each transfer names the level's own.
  uint32_t speed = SpidevClockHz(Speed);
  result = os_->Ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed);
  if (result < 0) {
    Fail(SpidevErrorText(path_, result, "set the clock rate of"));
    return E_FAIL;
  }
  if (OpenResetLine() < 0) return E_FAIL;
  port_number_ = port_number;
  return S_OK;
}

void TSpiBus_SPIDEV::ClosePort() {
  queued_bits_.clear();
  queued_samples_.clear();
  bool ok = true;
  // RESET first: the target runs before anything else lets go.
  if (reset_) {
    ok = reset_->SetValues({ResetWire(0)}) >= 0;
    reset_.reset();
  }
  reset_chip_.reset();
  reset_wire_ = -1;
  if (fd_.Valid() && fd_.Reset() < 0) ok = false;
  port_number_ = 0;
  if (!ok) ReportLineFault();
}

HRESULT TSpiBus_SPIDEV::ProbeHardware() {
  return fd_.Valid() && reset_ ? S_OK : SPI_E_NOPORT;
}

void TSpiBus_SPIDEV::SetMosi(uint8_t /*level*/) {}

void TSpiBus_SPIDEV::SetSck(uint8_t /*level*/) {}

bool TSpiBus_SPIDEV::GetMiso(uint8_t& level) {
  level = 1;
  return true;
}

bool TSpiBus_SPIDEV::PutReset(int wire) {
  if (!reset_) return false;
  if (wire == reset_wire_) return true;
  const int result = reset_->SetValues({wire});
  if (result < 0) {
    reset_wire_ = -1;
    ReportLineFault();
    SetLastErrorText("The GPIO chip " + reset_chip_path_ + " stopped answering while setting RESET (" +
                     ErrnoText(result) + ").");
    return false;
  }
  reset_wire_ = wire;
  return true;
}

void TSpiBus_SPIDEV::SetReset(uint8_t level) {
  PutReset(ResetWire(level));
}

uint32_t TSpiBus_SPIDEV::SckPhaseNs(uint8_t level) const {
  const uint64_t hz = SpidevClockHz(level);
  return uint32_t((1000000000ull + 2 * hz - 1) / (2 * hz)); // rounded up: never shorter than it is
}

size_t TSpiBus_SPIDEV::Transfer(const uint8_t* tx, uint8_t* rx, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (!fd_.Valid() || LineFault() || AbortRequested()) {
      ReportLineFault();
      break;
    }
    const size_t length = std::min(count - done, message_limit_);
    spi_ioc_transfer transfer{};
    transfer.tx_buf = reinterpret_cast<uintptr_t>(tx + done);
    transfer.rx_buf = reinterpret_cast<uintptr_t>(rx + done);
    transfer.len = uint32_t(length);
    transfer.speed_hz = SpidevClockHz(Speed);
    transfer.bits_per_word = 8;
    const int result = os_->Ioctl(fd_.Get(), SPI_IOC_MESSAGE(1), &transfer);
    if (result == -EMSGSIZE && length > 4) {
      // The driver's buffer is smaller than its default (bufsiz): halve, in whole frames.
      message_limit_ = std::max<size_t>(4, (length / 2) & ~size_t(3));
      continue;
    }
    if (result < 0) {
      ReportLineFault();
      SetLastErrorText("The SPI device " + path_ + " stopped answering (" + ErrnoText(result) +
                       "): the controller or its board was removed.");
      break;
    }
    done += length;
  }
  return done;
}

HRESULT TSpiBus_SPIDEV::Exchange(TSpiFrame* frames, size_t count) {
  if (count == 0) return LineFault() ? SPI_E_NOPORT : S_OK;
  tx_.resize(4 * count);
  rx_.assign(4 * count, 0xFF);
  for (size_t i = 0; i < count; ++i) std::copy(frames[i].Out, frames[i].Out + 4, tx_.begin() + 4 * i);
  const size_t clocked = Transfer(tx_.data(), rx_.data(), tx_.size()) / 4;
  for (size_t i = 0; i < count; ++i)
    for (int k = 0; k < 4; ++k) {
      const uint8_t sampled = uint8_t(frames[i].Sample >> (8 * (3 - k)));
      // Frames not clocked read as an undriven MISO at their sampled bits.
      frames[i].In[k] = i < clocked ? uint8_t(rx_[4 * i + k] & sampled) : sampled;
    }
  return LineFault() ? SPI_E_NOPORT : S_OK;
}

HRESULT TSpiBus_SPIDEV::WriteByte(uint8_t value) {
  uint8_t ignored = 0xFF;
  static_cast<void>(Transfer(&value, &ignored, 1));
  return 0;
}

uint8_t TSpiBus_SPIDEV::ReadByte() {
  const uint8_t out = 0xFF;
  uint8_t in = 0xFF;
  return Transfer(&out, &in, 1) == 1 ? in : 0xFF;
}

void TSpiBus_SPIDEV::SetLines(uint8_t mosi, uint8_t sck) {
  if (sck) queued_bits_.push_back(mosi ? 1 : 0);
}

void TSpiBus_SPIDEV::SampleInto(uint8_t& byte, uint8_t mask) {
  queued_samples_.push_back({&byte, mask, queued_bits_.empty() ? 0 : queued_bits_.size() - 1});
}

void TSpiBus_SPIDEV::FlushLines() {
  const size_t bytes = queued_bits_.size() / 8;
  std::vector<uint8_t> in(bytes, 0xFF);
  size_t clocked_bits = 0;
  if (!queued_bits_.empty() && queued_bits_.size() % 8 == 0) {
    std::vector<uint8_t> out(bytes, 0);
    for (size_t i = 0; i < queued_bits_.size(); ++i)
      if (queued_bits_[i]) out[i / 8] |= uint8_t(0x80u >> (i % 8));
    clocked_bits = 8 * Transfer(out.data(), in.data(), bytes);
  }
  // Samples of bits not clocked (a lone bit, a failed call) read as an undriven line.
  for (const TQueuedSample& sample : queued_samples_) {
    const bool high = sample.bit >= clocked_bits || (in[sample.bit / 8] & (0x80u >> (sample.bit % 8))) != 0;
    if (high) *sample.byte |= sample.mask;
  }
  queued_bits_.clear();
  queued_samples_.clear();
}

std::vector<TWireFinding> TSpiBus_SPIDEV::TestWires() {
  std::vector<TWireFinding> findings;
  if (!fd_.Valid() || !reset_) {
    findings.push_back({"SPI", TWireVerdict::Unseen, "The SPI device " + path_ + " is not open."});
    return findings;
  }
  ClearLineFault();
  const std::string reset_text =
      "RESET (line " + std::to_string(reset_offset_) + " of " + reset_chip_path_ + ")";
  PutReset(ResetWire(1));
  WaitMs(1);
  const int held = reset_->GetValue(0);
  // Neither byte starts a Programming Enable, so a chip held in reset executes nothing.
  const uint8_t out[2] = {0xA5, 0x5A};
  uint8_t in[2] = {0xFF, 0xFF};
  const bool clocked = Transfer(out, in, 2) == 2;
  PutReset(ResetWire(0));
  WaitMs(1);
  const int released = reset_->GetValue(0);

  if (held < 0 || released < 0)
    findings.push_back({"RESET", TWireVerdict::Unseen, reset_text + " could not be read back."});
  else if (held == ResetWire(1) && released == ResetWire(0))
    findings.push_back(
        {"RESET", TWireVerdict::Ok,
         reset_text + " follows at the GPIO pin; a wire broken beyond it cannot be seen from here."});
  else
    findings.push_back({"RESET", TWireVerdict::Broken,
                        reset_text + " does not follow: it reads " + (held ? "high" : "low") +
                            " however it is driven, so the pin is shorted to " +
                            (held ? "the supply" : "ground") + "."});
  const std::string controller = "the SPI controller of " + path_ + " drives it and cannot read it back.";
  findings.push_back({"SCK", TWireVerdict::Unseen, "SCK: " + controller});
  findings.push_back({"MOSI", TWireVerdict::Unseen, "MOSI: " + controller});
  if (!clocked)
    findings.push_back({"MISO", TWireVerdict::Unseen, "MISO: the SPI device did not clock the test bytes."});
  else if (in[0] == out[0] && in[1] == out[1])
    findings.push_back({"MISO", TWireVerdict::Shorted,
                        "MISO returns what MOSI sent: the two wires are shorted, looped or swapped."});
  else if (in[0] == uint8_t(~out[0]) && in[1] == uint8_t(~out[1]))
    findings.push_back(
        {"MISO", TWireVerdict::Shorted,
         "MISO returns MOSI inverted: MOSI reaches MISO through an inverting buffer or a short."});
  else if (in[0] == 0xFF && in[1] == 0xFF)
    findings.push_back({"MISO", TWireVerdict::Unseen,
                        "MISO reads high throughout: nothing drives it, which is what a chip gives before "
                        "programming mode too; only its echo there shows whether MISO is connected."});
  else if (in[0] == 0x00 && in[1] == 0x00)
    // A chip held in reset drives MISO low until it has something to echo: that looks the same.
    findings.push_back(
        {"MISO", TWireVerdict::Unseen,
         "MISO reads low throughout: a chip held in reset drives it low like that, and so does a "
         "short to ground; only the chip's echo in programming mode tells them apart."});
  else
    findings.push_back({"MISO", TWireVerdict::Broken,
                        "MISO changes while nothing should drive it: a floating or noisy wire, or one that "
                        "touches SCK."});
  return findings;
}
