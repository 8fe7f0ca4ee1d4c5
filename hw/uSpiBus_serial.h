// The bit-banged SPI bus on a serial port's modem-control lines: DTR carries MOSI, RTS carries
// SCK, the break state of TXD carries RESET, CTS carries MISO, and DSR, looped back from RTS in
// the adapter, shows that the adapter is plugged in. The transmitter never sends data.
//
// COMn maps to a device through port discovery (GetPortDevicePath); the bus can also be built on
// an explicit device path such as /dev/ttyUSB0.
#pragma once
#include "core/uSpiBus_base.h"
#include "hw/uOsSeam.h"

#include <cstdint>
#include <memory>
#include <string>
#include <termios.h>

class TSpiBus_COM : public TSpiBusBase {
public:
  // device_path empty: OpenPort(N) opens the device of COMN. Otherwise OpenPort opens that device
  // whatever number it is given (the number is only remembered).
  explicit TSpiBus_COM(std::shared_ptr<IOsSeam> seam = nullptr, std::string device_path = {});
  ~TSpiBus_COM() override;

  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) override;
  bool GetMiso(uint8_t& level) override;
  void SetSck(uint8_t level) override;
  void SetReset(uint8_t level) override;

  int32_t PortNumber() const { return port_number_; }
  bool IsOpen() const { return fd_.Valid(); }
  const std::string& DevicePath() const { return opened_path_; }
  IOsSeam& Seam() const { return *seam_; }

  // RTS -> DSR loop-back test; leaves the lines idle and the target released.
  bool LoopbackTest();

protected:
  // DTR and RTS in one request where both change; the other modem outputs as found at open.
  void SetLines(uint8_t mosi, uint8_t sck) override;

private:
  enum class TLine : uint8_t { Unknown, Off, On };

  bool Drive(uint8_t level, uint8_t flag) const { return (level != 0) != ((Options & flag) != 0); }
  void SetModemBit(int bit, bool on, TLine& state);
  void SetDtr(bool on);
  void SetRts(bool on);
  void SetBreak(bool on);
  HRESULT GetModemBit(int bit, uint8_t& value);
  HRESULT GetCts(uint8_t& value);
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
  // Last levels put on the port, so that an unchanged level costs no system call. Unknown after
  // a failed change, so the next one retries.
  TLine dtr_ = TLine::Unknown;
  TLine rts_ = TLine::Unknown;
  TLine break_ = TLine::Unknown;
};

// The user-facing reason for a failed open of a serial device (ENOENT, EACCES, EBUSY, ...).
std::string SerialOpenErrorText(const std::string& device_path, int negative_errno, const char* step);
