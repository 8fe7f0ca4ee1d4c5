// The bit-banged SPI bus on an FTDI USB chip in synchronous bit-bang mode (FT232R, FT-X, FT232H,
// FT2232H, FT4232H). Its eight pins are clocked from a buffer: each byte written sets the output
// pins for one tick of the bit-bang clock, and for each byte written one byte is read back, holding
// the pins as they were just before that byte was applied.
//
// Every USB request costs about a millisecond, so the line seam queues: each SCK phase is one byte
// (more at the slow levels), a whole run of frames goes out as one write with its read-back
// submitted beside it, and the MISO samples are picked from the read-back when the run is flushed.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uAdapterTest.h"
#include "hw/uFtdiLib.h"
#include "hw/uPinMap.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TSpiBus_FTDI : public TSpiBusBase, public IAdapterSelfTest {
public:
  // The bit-bang clock, the same on every level: 16 bytes per second per unit of the baud rate
  // given to libftdi (FTDI AN_232R-01 "Bit Bang Modes for the FT232R and FT245R", 2.1: "the clock
  // for the Bit Bang mode is actually 16 times the baudrate"; libftdi's baud_test divides by 16 in
  // bit-bang mode likewise). 480 000 bytes per second is about what a full-speed USB link carries
  // both ways in synchronous mode (each byte goes out and its read-back, with two status bytes per
  // 64-byte packet, comes in; full speed moves at most 19 bulk packets of 64 bytes per 1 ms frame,
  // USB 2.0 5.8.4): a faster clock would only run in bursts between stalls, with uneven SCK phases
  // and no gain. Its 2083 ns phase is also more than the two cycles of a factory-fresh chip's
  // 1 MHz ("> 2 CPU clock cycles", app/uSckSpeed.h), with 4 % to spare for the chip's oscillator.
  // The slower levels hold a phase for several bytes, so their timing rests on this one exact
  // divisor (3 MHz / 25 at libftdi's fourfold bit-bang baud rate) and not on how the chip rounds
  // other rates.
  static constexpr int kBaudRate = 30000;
  // Rounded down: the phase the bus reports is never longer than the real one.
  static constexpr uint32_t kByteNs = 1'000'000'000u / (16u * kBaudRate); // 2083 ns
  // The chip's buffers are no limit for a run: the read-back transfer runs beside the write, so
  // the 128-byte read FIFO of the FT232R never fills (in synchronous mode the chip would wait for
  // room there rather than lose a byte). The chunk sizes only set the size of the USB transfers
  // the library keeps queued.
  static constexpr unsigned kChunkBytes = 4096;
  static constexpr uint8_t kLatencyMs = 1; // the shortest: a run's last partial packet comes back soonest

  // lib null: libftdi1. serial empty: the first bit-bang-capable FTDI device found. OpenPort(N)
  // opens the device (N is only remembered).
  explicit TSpiBus_FTDI(std::shared_ptr<IFtdiLib> lib = nullptr, std::string serial = {},
                        TPinMap pins = DefaultPinMap(TPinKind::Ftdi));
  ~TSpiBus_FTDI() override;

  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;
  // Every written byte brings its read-back: a sample costs nothing.
  bool SamplesAreFree() const override { return true; }
  uint32_t SckPhaseNs(uint8_t level) const override {
    return BytesPerPhase(SpiSpeedHalfPeriodUs(level)) * kByteNs;
  }

  std::vector<TWireFinding> TestWires() override;
  TPinKind WiringKind() const override { return TPinKind::Ftdi; }

  bool IsOpen() const { return device_ != nullptr; }
  int32_t PortNumber() const { return port_number_; }
  // The device opened (its strings as listed), valid while open.
  const TFtdiDeviceInfo& Device() const { return info_; }
  const TPinMap& Pins() const { return pins_; }
  // Bytes a phase of wait_us lasts at the bit-bang clock (at least one).
  static uint32_t BytesPerPhase(uint32_t wait_us);

protected:
  void SetLines(uint8_t mosi, uint8_t sck) override;
  void SampleInto(uint8_t& byte, uint8_t mask) override;
  void PhaseWait(uint32_t us) override;
  void FlushLines() override;

private:
  struct TSample {
    uint8_t* byte;
    uint8_t mask;
    size_t index; // the read-back of the byte at this queue position: the pins before it
  };

  uint8_t PinBit(const TPinAssign& pin) const { return uint8_t(1u << pin.Pin); }
  // The port byte that drives the lines to these logical levels (1 = RESET held).
  uint8_t PortByte(uint8_t mosi, uint8_t sck, uint8_t reset) const;
  uint8_t MisoLevel(uint8_t pins) const;
  // Queues the byte of the current levels and sends the queue.
  void DriveNow();
  // Sends the queue as one write with its read-back beside it; delivers the samples. False on a
  // failed transfer (a line fault).
  bool RunQueue(std::vector<uint8_t>* read_back = nullptr);
  // Writes the bytes and reads as many back in one round trip.
  int Exchange(const std::vector<uint8_t>& out, std::vector<uint8_t>& in);
  void Failed(const char* step, int code);
  // The port byte for a self-test pattern: outputs (RESET, SCK, MOSI) set to the given pin levels.
  uint8_t PatternByte(bool reset, bool sck, bool mosi) const;
  bool ReadPattern(uint8_t byte, uint8_t& pins);
  std::string WireName(const char* signal, const TPinAssign& pin) const;
  HRESULT Configure();
  void CloseDevice();

  std::shared_ptr<IFtdiLib> lib_;
  std::string serial_;
  TPinMap pins_;
  std::unique_ptr<IFtdiDevice> device_;
  TFtdiDeviceInfo info_;
  int32_t port_number_ = 0;
  bool dead_ = false; // a transfer failed: the adapter is gone, no more USB traffic but the close
  // Logical levels of the lines now (1 = RESET held).
  uint8_t mosi_ = 1, sck_ = 0, reset_ = 0;
  uint8_t mask_ = 0; // the outputs
  std::vector<uint8_t> queue_;
  std::vector<TSample> samples_;
};
