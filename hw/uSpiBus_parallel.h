// The bit-banged SPI bus on a PC parallel port. MOSI, SCK and RESET are data-register bits, MISO
// a status bit; two looped-back lines tell whether the programming adapter is plugged in.
//
// Port number N is /dev/parport(N-1), so every port drives its own lines; the bus can also be
// built on an explicit device path.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uInpOut32.h"
#include "hw/uOsSeam.h"

#include <cstdint>
#include <memory>
#include <string>

class TSpiBus_LPT : public TSpiBusBase {
public:
  // Data register bits.
  static constexpr uint8_t kLoopAOut = 0; // pin 2
  static constexpr uint8_t kLoopBOut = 1; // pin 3
  static constexpr uint8_t kSckBit = 4;   // pin 6
  static constexpr uint8_t kMosiBit = 5;  // pin 7
  static constexpr uint8_t kResetBit = 7; // pin 9
  // Status register bits.
  static constexpr uint8_t kLoopAIn = 5; // pin 12, paper end
  static constexpr uint8_t kMisoBit = 6; // pin 10, acknowledge
  static constexpr uint8_t kLoopBIn = 7; // pin 11, busy, inverted by the port

  // device_path empty: OpenPort(N) opens the device of LPTN (GetPortDevicePath: /dev/parport(N-1)).
  // Otherwise OpenPort opens that device whatever number it is given (the number is only
  // remembered).
  explicit TSpiBus_LPT(std::shared_ptr<IOsSeam> seam = nullptr, std::string device_path = {});
  ~TSpiBus_LPT() override;

  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;

  int32_t PortNumber() const { return port_number_; }
  uint16_t BaseAddress() const { return base_address_; }
  uint8_t DataShadow() const { return data_shadow_; }
  uint8_t StatusShadow() const { return status_shadow_; }
  uint8_t ControlShadow() const { return control_shadow_; }
  // The device the last OpenPort tried (why it failed: LastErrorText).
  const std::string& DevicePath() const { return opened_path_; }
  IOsSeam& Seam() const { return *seam_; }

  // Loop-back test of the adapter; leaves data bits 0 and 1 where it put them.
  bool LoopbackTest();

protected:
  // MOSI and SCK are bits of the data register: a clock edge and the new data are one write.
  void SetLines(uint8_t mosi, uint8_t sck) override;

private:
  // The register level of a line: the logical level, inverted when Options says so.
  bool Drive(uint8_t level, uint8_t flag) const { return (level != 0) != ((Options & flag) != 0); }
  void SetDataBit(uint8_t bit, bool on);
  // The data register with the given bits set to the given levels (mask selects them).
  void SetDataBits(uint8_t mask, uint8_t levels);
  HRESULT ReadStatusBit(uint8_t bit, uint8_t& value);
  void SetAuxLines(bool active);
  void WriteData(uint8_t value);

  std::shared_ptr<IOsSeam> seam_;
  std::string device_path_;
  std::string opened_path_;
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
};
