// The SPI bus on a Linux SPI controller (/dev/spidevB.C, the spidev driver), with the target's
// RESET on a GPIO line. The controller clocks the bytes, so this back end works above the bit
// level: a whole run of frames goes to the kernel as one SPI_IOC_MESSAGE, split only where the
// spidev driver's buffer (module parameter bufsiz, 4096 bytes unless changed) would overflow.
//
// SPI mode 0, 8 bits per word, MSB first: the AVR's serial programming interface samples MOSI on
// the rising edge and shifts MISO out on the falling one. Chip select is not part of the wiring:
// the mode asks for SPI_NO_CS where the controller allows it; elsewhere the controller still
// toggles its CS pin, which nothing is wired to.
//
// What the controller cannot do: clock a single bit (the words are 8 bits), read MISO outside a
// transfer or drive SCK and MOSI on their own (SCK rests low in mode 0 between transfers). The
// base's bit path is queued and sent at FlushLines when it comes to whole bytes (TransferByte);
// a lone bit (ReadBit, WriteBit) clocks nothing and samples an undriven line, so a programmer
// that has lost the framing gets it back through a new RESET pulse, which the ISP layer's later
// entry rounds give.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uAdapterTest.h"
#include "hw/uGpioLib.h"
#include "hw/uOsSeam.h"
#include "hw/uPinMap.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The SPI clock of a speed level: the fastest rate whose phase is at least the level's wait. The
// fastest level has no wait; its rate keeps a phase of three target clocks of a 16 MHz part (the
// datasheets' rule: an SCK phase of at least 2 CPU clocks below 12 MHz and 3 at or above), which
// also serves 20 MHz parts. Controllers round a requested rate down, never up.
uint32_t SpidevClockHz(uint8_t level);

// The spidev driver's default buffer (drivers/spi/spidev.c, module parameter bufsiz): the most
// one message may carry in each direction.
constexpr size_t kSpidevDefaultBufsiz = 4096;

class TSpiBus_SPIDEV : public TSpiBusBase, public IAdapterSelfTest {
public:
  // os: null = the C library; gpio: null = libgpiod. pins.Reset: a line of /dev/gpiochip0 (number
  // or name), or "CHIP:LINE" with CHIP a path or gpiochipN.
  TSpiBus_SPIDEV(std::shared_ptr<IOsSeam> os, std::shared_ptr<IGpioLib> gpio, std::string spidev_path,
                 TPinMap pins = DefaultPinMap(TPinKind::Spi));
  ~TSpiBus_SPIDEV() override;

  // Opens the SPI device and sets it up, then requests the RESET line (released). The number is
  // only remembered. E_FAIL with LastErrorText saying why.
  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  HRESULT ProbeHardware() override;
  // SCK and MOSI belong to the controller: these do nothing.
  void SetMosi(uint8_t level) override;
  void SetSck(uint8_t level) override;
  // MISO is only seen inside a transfer: reads as an undriven line (1).
  bool GetMiso(uint8_t& level) override;
  void SetReset(uint8_t level) override;

  HRESULT Exchange(TSpiFrame* frames, size_t count) override;
  HRESULT WriteByte(uint8_t value) override;
  uint8_t ReadByte() override;
  bool SamplesAreFree() const override { return true; }
  uint32_t SckPhaseNs(uint8_t level) const override;

  // With RESET held, clocks two bytes and looks at what MISO returned: the bytes sent (or their
  // inverse) is a MOSI-MISO loop or short; all ones an undriven line, all zeros a line held low,
  // neither of which tells a missing chip from a present one (an AVR held in reset drives MISO
  // low, no chip leaves it floating, a short to ground holds it low), so both are unseen; anything
  // else a noisy or floating line. SCK and MOSI cannot be read back.
  std::vector<TWireFinding> TestWires() override;
  TPinKind WiringKind() const override { return TPinKind::Spi; }

  bool IsOpen() const { return fd_.Valid(); }
  int32_t PortNumber() const { return port_number_; }
  const std::string& DevicePath() const { return path_; }
  const std::string& ResetChipPath() const { return reset_chip_path_; }
  unsigned ResetLine() const { return reset_offset_; }
  // Whether the controller took SPI_NO_CS.
  bool ChipSelectOff() const { return no_cs_; }
  // The largest message tried last; smaller after the driver refused a larger one (EMSGSIZE).
  size_t MessageLimit() const { return message_limit_; }

protected:
  // The base's bit path, queued: a rising edge queues MOSI's bit, a sample waits for its byte,
  // FlushLines sends whole bytes in one message and delivers the samples.
  void SetLines(uint8_t mosi, uint8_t sck) override;
  void SampleInto(uint8_t& byte, uint8_t mask) override;
  void PhaseWait(uint32_t /*us*/) override {} // the controller keeps the time
  void FlushLines() override;

private:
  // Clocks count bytes out of tx into rx in as few messages as the driver takes; the number of
  // bytes clocked (count unless a call failed or an abort came, which are line faults).
  size_t Transfer(const uint8_t* tx, uint8_t* rx, size_t count);
  bool PutReset(int wire);
  int ResetWire(uint8_t level) const;
  int OpenResetLine(); // 0 or -errno with the text set
  void Fail(const std::string& text);

  std::shared_ptr<IOsSeam> os_;
  std::shared_ptr<IGpioLib> gpio_;
  std::string path_;
  TPinMap pins_;
  TSeamFd fd_;
  int32_t port_number_ = 0;
  bool no_cs_ = false;
  size_t message_limit_ = kSpidevDefaultBufsiz;
  std::string reset_chip_path_;
  unsigned reset_offset_ = 0;
  std::unique_ptr<IGpioChip> reset_chip_;
  std::unique_ptr<IGpioLines> reset_;
  int reset_wire_ = -1;
  std::vector<uint8_t> tx_, rx_;
  struct TQueuedSample {
    uint8_t* byte;
    uint8_t mask;
    size_t bit; // index of the queued bit it samples
  };
  std::vector<uint8_t> queued_bits_;
  std::vector<TQueuedSample> queued_samples_;
};

// The user-facing reason for a failed open or set-up of a spidev device.
std::string SpidevErrorText(const std::string& path, int negative_errno, const char* step);
