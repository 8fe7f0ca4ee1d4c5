// The bit-banged SPI bus on four lines of a Linux GPIO chip (a Raspberry Pi's header, any board
// with four free lines), through the GPIO character device (hw/uGpioLib.h).
//
// The four lines are requested once, at OpenPort, in three requests: RESET alone, SCK and MOSI
// together (so that both move in one call), MISO as an input. RESET starts released, so that
// opening the port leaves a running target running; SetProgMode drives it. The AVR's RESET pin is
// active low, so a straight wire holds the target in reset with the line low; "~" in the pin map
// is for an inverting buffer or transistor between them. ClosePort releases RESET (drives the
// line to the released level and lets it go) before the other lines, on every path.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uAdapterTest.h"
#include "hw/uGpioLib.h"
#include "hw/uPinMap.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TSpiBus_GPIO : public TSpiBusBase, public IAdapterSelfTest {
public:
  // chip_path: "/dev/gpiochipN" or "gpiochipN"; empty means /dev/gpiochip0. pins: line offsets or
  // line names of that chip.
  TSpiBus_GPIO(std::shared_ptr<IGpioLib> lib, std::string chip_path,
               TPinMap pins = DefaultPinMap(TPinKind::Gpio));
  ~TSpiBus_GPIO() override;

  // Opens the chip and requests the lines; the number is only remembered. E_FAIL with
  // LastErrorText saying why (no chip, permission, a line in use and by whom, an unknown name).
  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  // The GPIO lines are the adapter: present when they are requested.
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;

  // Drives SCK and MOSI in turn with the target held in reset and reads back each line's own level
  // and MISO: an output the chip reads back wrong is broken or shorted at the pin, one that MISO
  // follows is shorted or swapped with it. A wire broken beyond the header is unseen.
  std::vector<TWireFinding> TestWires() override;
  TPinKind WiringKind() const override { return TPinKind::Gpio; }

  bool IsOpen() const { return open_; }
  int32_t PortNumber() const { return port_number_; }
  const std::string& ChipPath() const { return chip_path_; }
  // Resolved line offsets (valid while open): RESET, SCK, MOSI, MISO.
  unsigned ResetLine() const { return offsets_[kReset]; }
  unsigned SckLine() const { return offsets_[kSck]; }
  unsigned MosiLine() const { return offsets_[kMosi]; }
  unsigned MisoLine() const { return offsets_[kMiso]; }

protected:
  // SCK and MOSI in one call, only when one of them changes.
  void SetLines(uint8_t mosi, uint8_t sck) override;
  void SampleInto(uint8_t& byte, uint8_t mask) override;

private:
  enum : int { kReset = 0, kSck, kMosi, kMiso, kSignals };

  bool Inverted(int signal) const;
  int ResetWire(uint8_t level) const { return (level ? 0 : 1) ^ (Inverted(kReset) ? 1 : 0); }
  int Wire(int signal, uint8_t level) const { return (level ? 1 : 0) ^ (Inverted(signal) ? 1 : 0); }
  // Resolves the pin map to offsets; 0 or -errno with the text set.
  int ResolveLines();
  int RequestLines();
  // Puts SCK and MOSI on the wires (wire levels); false on a failed call, which is a line fault.
  bool PutClockData(int sck_wire, int mosi_wire);
  bool PutReset(int wire);
  // MISO as the bus sees it (inversion applied); false on a failed read.
  bool ReadMiso(uint8_t& level);
  void LineFailed(const char* what, int negative_errno);
  std::string LineText(int signal) const;
  void Teardown(); // releases RESET first, then the rest; no level changes

  std::shared_ptr<IGpioLib> lib_;
  std::string chip_path_;
  TPinMap pins_;
  std::unique_ptr<IGpioChip> chip_;
  std::unique_ptr<IGpioLines> reset_, clock_data_, miso_;
  unsigned offsets_[kSignals] = {0, 0, 0, 0};
  bool open_ = false;
  int32_t port_number_ = 0;
  // Wire levels last put on the lines; -1 unknown (after a failed call), so the next one retries.
  int sck_wire_ = -1, mosi_wire_ = -1, reset_wire_ = -1;
};

// How a line of a pin map is named for the user: "line 25", "line \"GPIO25\"".
std::string GpioLineText(const TPinAssign& pin);
// Resolves a pin to a line offset of chip: 0 and offset, or -errno (-ENOENT unknown name, -EINVAL
// an offset beyond the chip) with error set for the user.
int ResolveGpioLine(IGpioChip& chip, const std::string& chip_path, const TPinAssign& pin, unsigned& offset,
                    std::string& error);
