// The bit-banged SPI bus on a PC parallel port. MOSI, SCK and RESET are data-register bits, MISO
// a status bit; which ones is the cable's wiring (hw/uPinMap.h). The default cable has two
// looped-back lines that tell whether it is plugged in, and three auxiliary lines held low while
// the port is in use; other cables may have buffer-enable pins instead (TPinMap::Buffers).
//
// Port number N is /dev/parport(N-1), so every port drives its own lines; the bus can also be
// built on an explicit device path.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uAdapterTest.h"
#include "hw/uInpOut32.h"
#include "hw/uOsSeam.h"
#include "hw/uPinMap.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TSpiBus_LPT : public TSpiBusBase, public IAdapterSelfTest {
public:
  // The default cable's loop-backs: data register bits out, status register bits in.
  static constexpr uint8_t kLoopAOut = 0; // pin 2
  static constexpr uint8_t kLoopBOut = 1; // pin 3
  static constexpr uint8_t kLoopAIn = 5;  // pin 12, paper end
  static constexpr uint8_t kLoopBIn = 7;  // pin 11, busy, inverted by the port

  // device_path empty: OpenPort(N) opens the device of LPTN (GetPortDevicePath: /dev/parport(N-1)).
  // Otherwise OpenPort opens that device whatever number it is given (the number is only
  // remembered). pins: the cable's wiring; OpenPort refuses one the port cannot carry.
  explicit TSpiBus_LPT(std::shared_ptr<IOsSeam> seam = nullptr, std::string device_path = {},
                       TPinMap pins = DefaultPinMap(TPinKind::Parallel));
  ~TSpiBus_LPT() override;

  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  bool CanHoldResetAtClose() const override { return true; }
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;

  // With the target held in reset: the default cable's two loop-backs, and MISO against each
  // output (hw/uAdapterTest.h).
  std::vector<TWireFinding> TestWires() override;
  TPinKind WiringKind() const override { return TPinKind::Parallel; }

  int32_t PortNumber() const { return port_number_; }
  uint16_t BaseAddress() const { return base_address_; }
  uint8_t DataShadow() const { return data_shadow_; }
  uint8_t StatusShadow() const { return status_shadow_; }
  uint8_t ControlShadow() const { return control_shadow_; }
  // The device the last OpenPort tried (why it failed: LastErrorText).
  const std::string& DevicePath() const { return opened_path_; }
  IOsSeam& Seam() const { return *seam_; }
  const TPinMap& Pins() const { return pins_; }
  // The cable of the default wiring, with its loop-backs and auxiliary lines.
  bool DefaultCable() const { return default_cable_; }

  // Loop-back test of the default cable; leaves data bits 0 and 1 where it put them.
  bool LoopbackTest();

protected:
  // MOSI and SCK are bits of the data register: a clock edge and the new data are one write.
  void SetLines(uint8_t mosi, uint8_t sck) override;

private:
  // An output of the cable: its bit in the data or the control register, and whether the line is
  // inverted between register and chip (by a buffer on the cable, or by the port itself: STROBE,
  // AUTOFD and SELECTIN are low when their bit is set).
  struct TOutput {
    uint8_t mask = 0;
    bool inverted = false;
    bool control = false;
  };
  // Register levels to set, gathered so that each register is written once at most.
  struct TRegisterLevels {
    uint8_t data_mask = 0, data = 0, control_mask = 0, control = 0;
    void Add(const TOutput& line, bool high) {
      uint8_t& mask = line.control ? control_mask : data_mask;
      uint8_t& levels = line.control ? control : data;
      mask |= line.mask;
      if (high) levels |= line.mask;
    }
  };
  // The register level of a line: the logical level, inverted when Options says so and again
  // when the cable does.
  bool Drive(uint8_t level, uint8_t flag, const TOutput& line) const {
    return ((level != 0) != ((Options & flag) != 0)) != line.inverted;
  }
  // Fills the line masks from pins_; false with LastErrorText when the port cannot carry the wiring.
  bool MapPins();
  void SetDataBit(uint8_t bit, bool on);
  // Each line at its register level (inversions applied), the data register before the control.
  void SetOutputs(const TRegisterLevels& levels);
  void WriteControl(uint8_t value);
  // The data register with the given bits set to the given levels (mask selects them).
  void SetDataBits(uint8_t mask, uint8_t levels);
  HRESULT ReadStatusBit(uint8_t bit, uint8_t& value);
  void SetAuxLines(bool active);
  void WriteData(uint8_t value);
  // One loop-back of the default cable, out to in, both levels; port_inverts: BUSY.
  bool LoopFollows(uint8_t out_bit, uint8_t in_bit, bool port_inverts);

  std::shared_ptr<IOsSeam> seam_;
  std::string device_path_;
  std::string opened_path_;
  TPinMap pins_;
  bool default_cable_ = true;
  TOutput reset_, sck_, mosi_;
  uint8_t miso_bit_ = 6;         // status register bit
  bool miso_inverted_ = false;   // by the cable's buffer, or by the port (BUSY)
  std::vector<TOutput> buffers_; // buffer-enable outputs, enabled when their register bit is 0
  std::vector<TOutput> power_;   // target power, on when their register bit is 1
  uint8_t control_outputs_ = 0;  // control register bits that are outputs of the wiring
  std::unique_ptr<THwDirectInOut> driver_;
  int32_t port_number_ = 0;
  uint16_t base_address_ = THwDirectInOut::kDefaultBase;
  uint8_t data_shadow_ = 0;
  uint8_t status_shadow_ = 0;
  uint8_t control_shadow_ = 0;
  uint8_t saved_control_ = 0; // the control register as OpenPort found it
  bool saved_control_valid_ = false;
  // True while the data register is known to hold data_shadow_; lets an unchanged level skip the
  // system call. Cleared by a failed write so the next change retries.
  bool data_in_sync_ = false;
  bool control_in_sync_ = false;
};

// The part of the wiring self-test that every port with fixed inputs and outputs shares. Expects
// the target held in reset with SCK high, so that the chip has not started serial programming and
// leaves MISO undriven (QuietTargetForWireTest). Drives MOSI, SCK and RESET in turn low, high, low,
// high through the bus's own line operations and reads MISO at every level: MISO that follows an
// output is shorted to it; MISO that stays low while nothing drives it is held down. Whether an
// output reaches the chip cannot be seen this way and is reported Unseen. Leaves RESET held and
// SCK high. names: how the user knows each line ("MOSI (pin 7)"); settle_ms: how long a line
// takes from its change to a read that shows it.
struct TWireNames {
  std::string Reset, Sck, Mosi, Miso;
};
std::vector<TWireFinding> TestMisoAgainstOutputs(TSpiBusBase& bus, const TWireNames& names,
                                                 uint32_t settle_ms);
// RESET released with SCK high, then held again: a chip only enters serial programming at a RESET
// edge with SCK low, and keeps its pins as inputs until then.
void QuietTargetForWireTest(TSpiBusBase& bus, uint32_t settle_ms);
// SCK and MOSI low, RESET released: how a self-test leaves the lines.
void IdleAfterWireTest(TSpiBusBase& bus);
