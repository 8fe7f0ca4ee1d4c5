// The bus back end of the simulated targets: its line operations drive the pins of a TSimAvrChip
// instead of a port. The simulated adapter is always present, so the hardware probe succeeds as
// soon as the port is open.
#pragma once
#include "core/uSpiBus_base.h"
#include "sim/uSimChip.h"

#include <cstdint>
#include <memory>
#include <string>

// Line operations the back end performed, for the benchmark (operations per flash byte) and for
// tests. Only operations on an open port count.
struct TSimLineCounters {
  uint64_t mosi = 0, miso = 0, sck = 0, reset = 0;
  uint64_t Total() const { return mosi + miso + sck + reset; }
};

class TSpiBus_Sim : public TSpiBusBase {
public:
  // The bus owns its chip. A null chip stands for an adapter with nothing plugged in.
  explicit TSpiBus_Sim(std::unique_ptr<TSimAvrChip> chip);
  ~TSpiBus_Sim() override;

  // Port number: any value above 0 opens (the SIM port's number); otherwise SPI_E_NOPORT.
  // E_FAIL while another bus holds the chip's state (LastErrorText says so).
  HRESULT OpenPort(int32_t port_number) override;
  // Releases RESET (the chip runs), saves the chip's state and lets others have it.
  void ClosePort() override;
  // Leaving programming mode saves the chip's state: a failed save is returned (a negated errno)
  // with LastErrorText saying what could not be kept.
  HRESULT SetProgMode(bool enable) override;
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;
  // No port behind the lines: a sample is a function call.
  bool SamplesAreFree() const override { return true; }

  bool IsOpen() const { return open_; }
  int32_t PortNumber() const { return port_number_; }
  TSimAvrChip* Chip() { return chip_.get(); }
  const TSimLineCounters& LineCounters() const { return lines_; }
  void ResetLineCounters() { lines_ = {}; }

private:
  uint8_t Apply(uint8_t level, uint8_t flag) const {
    return uint8_t((level ? 1 : 0) ^ ((Options & flag) ? 1 : 0));
  }

  std::unique_ptr<TSimAvrChip> chip_;
  bool open_ = false;
  int32_t port_number_ = 0;
  TSimLineCounters lines_;
};
