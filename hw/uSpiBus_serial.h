// The bit-banged SPI bus on a serial port's modem-control lines. By default DTR carries MOSI, RTS
// carries SCK, the break state of TXD carries RESET, CTS carries MISO, and DSR, looped back from
// RTS in the adapter, shows that the adapter is plugged in; other cables put the signals on other
// outputs (TXD, DTR, RTS) and inputs (CTS, DSR, DCD, RI): hw/uPinMap.h. The transmitter never
// sends data.
//
// COMn maps to a device through port discovery (GetPortDevicePath); the bus can also be built on
// an explicit device path such as /dev/ttyUSB0.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uAdapterTest.h"
#include "hw/uOsSeam.h"
#include "hw/uPinMap.h"

#include <cstdint>
#include <memory>
#include <string>
#include <termios.h>
#include <vector>

class TSpiBus_COM : public TSpiBusBase, public IAdapterSelfTest {
public:
  // device_path empty: OpenPort(N) opens the device of COMN. Otherwise OpenPort opens that device
  // whatever number it is given (the number is only remembered). pins: the cable's wiring;
  // OpenPort refuses one the port cannot carry.
  explicit TSpiBus_COM(std::shared_ptr<IOsSeam> seam = nullptr, std::string device_path = {},
                       TPinMap pins = DefaultPinMap(TPinKind::Serial));
  ~TSpiBus_COM() override;

  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;

  // With the target held in reset: the default cable's RTS -> DSR loop-back, and MISO against
  // each output (hw/uAdapterTest.h).
  std::vector<TWireFinding> TestWires() override;
  TPinKind WiringKind() const override { return TPinKind::Serial; }

  int32_t PortNumber() const { return port_number_; }
  bool IsOpen() const { return fd_.Valid(); }
  const std::string& DevicePath() const { return opened_path_; }
  IOsSeam& Seam() const { return *seam_; }
  const TPinMap& Pins() const { return pins_; }
  // The cable of the default wiring, with its RTS -> DSR loop-back.
  bool DefaultCable() const { return default_cable_; }

  // RTS -> DSR loop-back test; leaves the lines idle and the target released.
  bool LoopbackTest();

protected:
  // MOSI and SCK on DTR and RTS (either way round): both in one request, the other modem outputs
  // as found at open. A cable with one of them on TXD needs a request per line that changes.
  void SetLines(uint8_t mosi, uint8_t sck) override;

private:
  enum class TLine : uint8_t { Unknown, Off, On };
  // The three outputs of a serial port.
  enum TOut : uint8_t { kTxd, kDtr, kRts, kOutCount };
  // An output of the cable: the port's line, and whether a buffer on the cable inverts it.
  struct TOutput {
    TOut line = kTxd;
    bool inverted = false;
  };

  bool Drive(uint8_t level, uint8_t flag, const TOutput& line) const {
    return ((level != 0) != ((Options & flag) != 0)) != line.inverted;
  }
  // Fills the line assignments from pins_; false with LastErrorText when the port cannot carry it.
  bool MapPins();
  // One output on or off (break on TXD); an unchanged level costs nothing.
  void SetOut(TOut line, bool on);
  void SetModemBit(int bit, bool on, TLine& state);
  void SetRts(bool on) { SetOut(kRts, on); }
  HRESULT GetModemBit(int bit, uint8_t& value);
  HRESULT GetDsr(uint8_t& value);
  int ConfigureLine(); // 0, or -errno of the call that failed
  void SetLinesIdle();
  void Fail(int negative_errno, const char* step);
  // Unlocks, ends exclusive use and closes; false when one of those failed.
  bool ReleaseHandle();

  std::shared_ptr<IOsSeam> seam_;
  std::string device_path_;
  std::string opened_path_;
  TSeamFd fd_;
  int32_t port_number_ = 0;
  bool exclusive_ = false;
  bool locked_ = false;
  termios saved_settings_{};
  int saved_modem_lines_ = 0;
  // The modem outputs other than DTR and RTS (OUT1, OUT2, loop) as found at open, which a
  // TIOCMSET must repeat.
  int other_outputs_ = 0;
  TPinMap pins_;
  bool default_cable_ = true;
  TOutput reset_, sck_, mosi_;
  int miso_flag_ = 0; // TIOCM_CTS, TIOCM_DSR, TIOCM_CAR or TIOCM_RNG
  bool miso_inverted_ = false;
  // Last levels put on the port (TXD: break), so that an unchanged level costs no system call.
  // Unknown after a failed change, so the next one retries.
  TLine state_[kOutCount] = {TLine::Unknown, TLine::Unknown, TLine::Unknown};
};

// The user-facing reason for a failed open of a serial device (ENOENT, EACCES, EBUSY, ...).
std::string SerialOpenErrorText(const std::string& device_path, int negative_errno, const char* step);
