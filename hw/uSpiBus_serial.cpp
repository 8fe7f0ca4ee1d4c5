#include "hw/uSpiBus_serial.h"

#include "core/uWait.h"
#include "hw/uPortEnum.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

std::string SerialOpenErrorText(const std::string& device_path, int negative_errno, const char* step) {
  switch (-negative_errno) {
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return "The serial device " + device_path +
           " does not exist: the port is not present or the USB adapter is unplugged.";
  case EACCES:
  case EPERM:
    return "Permission denied on " + device_path +
           ": add your user to the group that owns the device, usually dialout (sudo usermod -aG dialout "
           "$USER), then log in again.";
  case EBUSY:
  case EWOULDBLOCK:
    return device_path + " is in use by another program; close that program and try again.";
  case ENOTTY:
  case EINVAL:
    return device_path + " is not a serial port with modem-control lines.";
  case EIO:
    return "The serial device " + device_path + " does not answer (" + ErrnoText(negative_errno) +
           "): a built-in port without a UART, or an adapter that was unplugged.";
  default:
    return std::string("Can not ") + step + " " + device_path + ": " + ErrnoText(negative_errno) + ".";
  }
}

TSpiBus_COM::TSpiBus_COM(std::shared_ptr<IOsSeam> seam, std::string device_path)
    : seam_(SeamOrPosix(std::move(seam))), device_path_(std::move(device_path)) {}

TSpiBus_COM::~TSpiBus_COM() {
  ClosePort();
}

void TSpiBus_COM::Fail(int negative_errno, const char* step) {
  SetLastErrorText(SerialOpenErrorText(opened_path_, negative_errno, step));
  static_cast<void>(ReleaseHandle()); // the open failed already; its reason is the one to report
}

bool TSpiBus_COM::ReleaseHandle() {
  if (!fd_.Valid()) return true;
  bool ok = true;
  const int fd = fd_.Get();
  if (locked_ && seam_->Flock(fd, LOCK_UN) < 0) ok = false;
  locked_ = false;
  // The exclusive flag belongs to the tty, not to our descriptor: it would outlive our close while
  // another program holds the port open.
  if (exclusive_ && seam_->Ioctl(fd, TIOCNXCL, nullptr) < 0) ok = false;
  exclusive_ = false;
  if (fd_.Reset() < 0) ok = false;
  return ok;
}

HRESULT TSpiBus_COM::OpenPort(int32_t port_number) {
  ClosePort(); // a second open must not leak the first handle
  fd_.Reset();
  port_number_ = 0;
  SetLastErrorText({});
  dtr_ = rts_ = break_ = TLine::Unknown;

  opened_path_ = device_path_.empty() ? GetPortDevicePath("COM" + std::to_string(port_number)) : device_path_;
  if (opened_path_.empty()) {
    SetLastErrorText("COM" + std::to_string(port_number) + " is not a serial port number.");
    return E_FAIL;
  }
  // Not our controlling terminal; non-blocking so that a port waiting for carrier cannot hang us.
  const int fd = seam_->Open(opened_path_, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    Fail(fd, "open");
    return E_FAIL;
  }
  fd_ = TSeamFd(seam_.get(), fd);

  int result = seam_->Ioctl(fd, TIOCEXCL, nullptr);
  if (result < 0) {
    Fail(result, "get exclusive access to");
    return E_FAIL;
  }
  exclusive_ = true;
  result = seam_->Flock(fd, LOCK_EX | LOCK_NB);
  if (result < 0) {
    Fail(result, "lock");
    return E_FAIL;
  }
  locked_ = true;
  result = seam_->TcGetAttr(fd, saved_settings_);
  if (result < 0) {
    Fail(result, "read the line settings of");
    return E_FAIL;
  }
  result = seam_->Ioctl(fd, TIOCMGET, &saved_modem_lines_);
  if (result < 0) {
    Fail(result, "read the modem lines of");
    return E_FAIL;
  }
  // What is neither ours nor an input: the OUT1, OUT2 and loop bits, whose names the C library
  // does not give.
  other_outputs_ = saved_modem_lines_ & ~(TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_CAR | TIOCM_RNG |
                                          TIOCM_DSR | TIOCM_LE | TIOCM_ST | TIOCM_SR);
  result = ConfigureLine();
  if (result < 0) {
    // The settings may be half applied: put back what was found.
    const bool restored = seam_->TcSetAttr(fd, TCSANOW, saved_settings_) >= 0;
    Fail(result, "configure");
    if (!restored) SetLastErrorText(LastErrorText() + " Its previous line settings could not be restored.");
    return E_FAIL;
  }
  port_number_ = port_number;
  return S_OK;
}

int TSpiBus_COM::ConfigureLine() {
  termios settings = saved_settings_;
  cfmakeraw(&settings);                    // 8 data bits, no parity
  settings.c_cflag &= ~(CSTOPB | CRTSCTS); // one stop bit; RTS is ours, not the flow control's
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0) return -EINVAL;
  int result = seam_->TcSetAttr(fd_.Get(), TCSANOW, settings);
  if (result < 0) return result;
  result = seam_->TcFlush(fd_.Get(), TCIOFLUSH);
  if (result < 0) return result;
  // DTR and RTS low, no break: the lines' idle state, and the start of the change tracking.
  int lines = TIOCM_DTR | TIOCM_RTS;
  result = seam_->Ioctl(fd_.Get(), TIOCMBIC, &lines);
  if (result < 0) return result;
  dtr_ = rts_ = TLine::Off;
  result = seam_->Ioctl(fd_.Get(), TIOCCBRK, nullptr);
  if (result < 0) return result;
  break_ = TLine::Off;
  return 0;
}

void TSpiBus_COM::ClosePort() {
  if (port_number_ == 0) return;
  SetLinesIdle();
  port_number_ = 0;
  if (!fd_.Valid()) return;
  const int fd = fd_.Get();
  // Each step is tried even when one before failed: the port goes back as far as it can.
  bool ok = seam_->TcSetAttr(fd, TCSANOW, saved_settings_) >= 0;
  // DTR and RTS (and the OUT and loop bits) as they were found.
  ok = seam_->Ioctl(fd, TIOCMSET, &saved_modem_lines_) >= 0 && ok;
  ok = seam_->TcFlush(fd, TCIOFLUSH) >= 0 && ok;
  ok = ReleaseHandle() && ok;
  if (!ok) ReportLineFault();
  dtr_ = rts_ = break_ = TLine::Unknown;
}

HRESULT TSpiBus_COM::ProbeHardware() {
  if (!fd_.Valid() || port_number_ == 0) return SPI_E_NOPORT;
  return LoopbackTest() ? S_OK : SPI_E_NOHARDWARE;
}

void TSpiBus_COM::SetMosi(uint8_t level) {
  if (port_number_ == 0) return;
  SetDtr(Drive(level, soMosiInverted));
}

void TSpiBus_COM::SetSck(uint8_t level) {
  if (port_number_ == 0) return;
  SetRts(Drive(level, soSckInverted));
}

void TSpiBus_COM::SetReset(uint8_t level) {
  if (port_number_ == 0) return;
  SetBreak(Drive(level, soResetInverted));
}

bool TSpiBus_COM::GetMiso(uint8_t& level) {
  if (port_number_ == 0) return false;
  uint8_t value = 0;
  if (GetCts(value) != S_OK) {
    ReportLineFault();
    return false;
  }
  level = (Options & soMisoInverted) ? uint8_t(value ^ 1) : value;
  return true;
}

void TSpiBus_COM::SetLines(uint8_t mosi, uint8_t sck) {
  if (port_number_ == 0 || !fd_.Valid()) return;
  const bool dtr = Drive(mosi, soMosiInverted), rts = Drive(sck, soSckInverted);
  const TLine want_dtr = dtr ? TLine::On : TLine::Off, want_rts = rts ? TLine::On : TLine::Off;
  if (dtr_ == want_dtr && rts_ == want_rts) return;
  // One request sets both lines; it costs what a single change does.
  int lines = other_outputs_ | (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  if (seam_->Ioctl(fd_.Get(), TIOCMSET, &lines) < 0) {
    dtr_ = rts_ = TLine::Unknown;
    ReportLineFault();
    return;
  }
  dtr_ = want_dtr;
  rts_ = want_rts;
}

void TSpiBus_COM::SetModemBit(int bit, bool on, TLine& state) {
  if (!fd_.Valid()) return;
  const TLine wanted = on ? TLine::On : TLine::Off;
  if (state == wanted) return; // each change is a system call; an unchanged level needs none
  int lines = bit;
  if (seam_->Ioctl(fd_.Get(), on ? TIOCMBIS : TIOCMBIC, &lines) < 0) {
    state = TLine::Unknown;
    ReportLineFault();
    return;
  }
  state = wanted;
}

void TSpiBus_COM::SetDtr(bool on) {
  SetModemBit(TIOCM_DTR, on, dtr_);
}

void TSpiBus_COM::SetRts(bool on) {
  SetModemBit(TIOCM_RTS, on, rts_);
}

void TSpiBus_COM::SetBreak(bool on) {
  if (!fd_.Valid()) return;
  const TLine wanted = on ? TLine::On : TLine::Off;
  if (break_ == wanted) return;
  if (seam_->Ioctl(fd_.Get(), on ? TIOCSBRK : TIOCCBRK, nullptr) < 0) {
    break_ = TLine::Unknown;
    ReportLineFault();
    return;
  }
  break_ = wanted;
}

HRESULT TSpiBus_COM::GetModemBit(int bit, uint8_t& value) {
  if (!fd_.Valid()) return E_FAIL;
  int lines = 0;
  if (seam_->Ioctl(fd_.Get(), TIOCMGET, &lines) < 0) return E_FAIL;
  value = (lines & bit) ? 1 : 0;
  return S_OK;
}

HRESULT TSpiBus_COM::GetCts(uint8_t& value) {
  return GetModemBit(TIOCM_CTS, value);
}

HRESULT TSpiBus_COM::GetDsr(uint8_t& value) {
  return GetModemBit(TIOCM_DSR, value);
}

void TSpiBus_COM::SetLinesIdle() {
  SetSck(0);
  SetMosi(0);
  SetReset(0);
}

bool TSpiBus_COM::LoopbackTest() {
  uint8_t dsr = 0;
  bool passed = false;
  SetLinesIdle();
  WaitMs(100);
  SetRts(true);
  WaitMs(50);
  if (GetDsr(dsr) == S_OK && dsr == 1) {
    SetRts(false);
    WaitMs(50);
    if (GetDsr(dsr) == S_OK && dsr == 0) {
      SetRts(true);
      WaitMs(50);
      passed = GetDsr(dsr) == S_OK && dsr == 1;
    }
  }
  SetLinesIdle();
  return passed;
}
