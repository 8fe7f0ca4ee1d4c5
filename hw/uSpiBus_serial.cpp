#include "hw/uSpiBus_serial.h"

#include "core/uWait.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h" // the self-test steps both ports share

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

namespace {

// The modem-status bit of a DB9 input pin; 0 for a pin that is none.
int ModemFlagOfPin(int pin) {
  switch (pin) {
  case 8:
    return TIOCM_CTS;
  case 6:
    return TIOCM_DSR;
  case 1:
    return TIOCM_CAR;
  case 9:
    return TIOCM_RNG;
  default:
    return 0;
  }
}

// "RTS, pin 7" for the self-test's texts.
std::string PinText(const TPinAssign& assign) {
  const std::string signal = PinSignalName(TPinKind::Serial, assign.Pin);
  return (signal.empty() ? "" : signal + ", ") + "pin " + std::to_string(assign.Pin) +
         (assign.Inverted ? ", inverted" : "");
}

// How long a modem line takes from its change to a status read that shows it. A USB adapter
// reports its modem status in packets of its own, some milliseconds apart; the loop-back test has
// always given it 50 ms.
constexpr uint32_t kWireSettleMs = 50;

} // namespace

TSpiBus_COM::TSpiBus_COM(std::shared_ptr<IOsSeam> seam, std::string device_path, TPinMap pins)
    : seam_(SeamOrPosix(std::move(seam))), device_path_(std::move(device_path)), pins_(std::move(pins)),
      default_cable_(pins_ == DefaultPinMap(TPinKind::Serial)) {}

bool TSpiBus_COM::MapPins() {
  bool used[kOutCount] = {};
  auto output = [&](const char* signal, const TPinAssign& assign, TOutput& line) {
    const int pin = assign.Name.empty() ? assign.Pin : -1;
    const TOut out = pin == 3 ? kTxd : pin == 4 ? kDtr : pin == 7 ? kRts : kOutCount;
    if (out == kOutCount) {
      SetLastErrorText(std::string("The wiring puts ") + signal + " on " +
                       (assign.Name.empty() ? "pin " + std::to_string(assign.Pin) : assign.Name) +
                       ", which a serial port cannot drive: outputs are TXD (3), DTR (4) and RTS (7).");
      return false;
    }
    if (used[out]) {
      SetLastErrorText(std::string("The wiring puts ") + signal + " on pin " + std::to_string(pin) +
                       ", which carries another signal already.");
      return false;
    }
    used[out] = true;
    line = {out, assign.Inverted};
    return true;
  };
  if (!output("RESET", pins_.Reset, reset_) || !output("SCK", pins_.Sck, sck_) ||
      !output("MOSI", pins_.Mosi, mosi_))
    return false;
  if (!pins_.Buffers.empty()) {
    SetLastErrorText("The wiring names buffer-enable pins, which serial cables do not have.");
    return false;
  }
  miso_flag_ = pins_.Miso.Name.empty() ? ModemFlagOfPin(pins_.Miso.Pin) : 0;
  if (miso_flag_ == 0) {
    SetLastErrorText("The wiring puts MISO on pin " + std::to_string(pins_.Miso.Pin) +
                     ", which a serial port cannot read: inputs are DCD (1), DSR (6), CTS (8) and RI (9).");
    return false;
  }
  miso_inverted_ = pins_.Miso.Inverted;
  return true;
}

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
  for (TLine& state : state_) state = TLine::Unknown;
  if (!MapPins()) return E_INVALIDARG;

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
  // The configuration left every output off; a cable that inverts a line wants it on to be idle.
  SetLinesIdle();
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
  state_[kDtr] = state_[kRts] = TLine::Off;
  result = seam_->Ioctl(fd_.Get(), TIOCCBRK, nullptr);
  if (result < 0) return result;
  state_[kTxd] = TLine::Off;
  return 0;
}

void TSpiBus_COM::ClosePort() {
  if (port_number_ == 0) return;
  SetLinesIdle();
  port_number_ = 0;
  if (!fd_.Valid()) return;
  const int fd = fd_.Get();
  // Each step is tried even when one before failed: the port goes back as far as it can.
  termios settings = saved_settings_;
  // A cable that releases RESET with an asserted DTR or RTS would see the target held in reset
  // by the hang-up at the last close: such a port keeps its lines instead.
  if (reset_.line != kTxd && Drive(0, soResetInverted, reset_)) settings.c_cflag &= ~tcflag_t(HUPCL);
  bool ok = seam_->TcSetAttr(fd, TCSANOW, settings) >= 0;
  // DTR and RTS (and the OUT and loop bits) as they were found, except a RESET on one of them:
  // the level found there could hold the target in reset, and the target must run after us.
  int lines = saved_modem_lines_;
  if (reset_.line != kTxd) {
    const int bit = reset_.line == kDtr ? TIOCM_DTR : TIOCM_RTS;
    lines = Drive(0, soResetInverted, reset_) ? lines | bit : lines & ~bit;
  }
  ok = seam_->Ioctl(fd, TIOCMSET, &lines) >= 0 && ok;
  ok = seam_->TcFlush(fd, TCIOFLUSH) >= 0 && ok;
  ok = ReleaseHandle() && ok;
  if (!ok) ReportLineFault();
  for (TLine& state : state_) state = TLine::Unknown;
}

HRESULT TSpiBus_COM::ProbeHardware() {
  if (!fd_.Valid() || port_number_ == 0) return SPI_E_NOPORT;
  // The RTS -> DSR loop-back belongs to the default cable. Another wiring may use RTS or DSR for
  // a signal of its own, and a cable without the loop-back cannot be detected at all: it counts
  // as present, and the chip's echo when programming mode is entered still tells whether
  // anything answers.
  if (!default_cable_) return S_OK;
  return LoopbackTest() ? S_OK : SPI_E_NOHARDWARE;
}

void TSpiBus_COM::SetMosi(uint8_t level) {
  if (port_number_ == 0) return;
  SetOut(mosi_.line, Drive(level, soMosiInverted, mosi_));
}

void TSpiBus_COM::SetSck(uint8_t level) {
  if (port_number_ == 0) return;
  SetOut(sck_.line, Drive(level, soSckInverted, sck_));
}

void TSpiBus_COM::SetReset(uint8_t level) {
  if (port_number_ == 0) return;
  SetOut(reset_.line, Drive(level, soResetInverted, reset_));
}

bool TSpiBus_COM::GetMiso(uint8_t& level) {
  if (port_number_ == 0) return false;
  uint8_t value = 0;
  if (GetModemBit(miso_flag_, value) != S_OK) {
    ReportLineFault();
    return false;
  }
  if (miso_inverted_) value ^= 1;
  level = (Options & soMisoInverted) ? uint8_t(value ^ 1) : value;
  return true;
}

void TSpiBus_COM::SetLines(uint8_t mosi, uint8_t sck) {
  if (port_number_ == 0 || !fd_.Valid()) return;
  const bool mosi_on = Drive(mosi, soMosiInverted, mosi_), sck_on = Drive(sck, soSckInverted, sck_);
  if (mosi_.line == kTxd || sck_.line == kTxd) {
    // The break state is no modem line: one request per line that changes, MOSI settled before a
    // rising edge and moved only after a falling one.
    if (sck_on) {
      SetOut(mosi_.line, mosi_on);
      SetOut(sck_.line, sck_on);
    } else {
      SetOut(sck_.line, sck_on);
      SetOut(mosi_.line, mosi_on);
    }
    return;
  }
  const TLine want_mosi = mosi_on ? TLine::On : TLine::Off, want_sck = sck_on ? TLine::On : TLine::Off;
  if (state_[mosi_.line] == want_mosi && state_[sck_.line] == want_sck) return;
  // One request sets both lines; it costs what a single change does. With MOSI and SCK on DTR
  // and RTS, RESET is on TXD and not touched by it.
  const int mosi_bit = mosi_.line == kDtr ? TIOCM_DTR : TIOCM_RTS;
  const int sck_bit = sck_.line == kDtr ? TIOCM_DTR : TIOCM_RTS;
  int lines = other_outputs_ | (mosi_on ? mosi_bit : 0) | (sck_on ? sck_bit : 0);
  if (seam_->Ioctl(fd_.Get(), TIOCMSET, &lines) < 0) {
    state_[mosi_.line] = state_[sck_.line] = TLine::Unknown;
    ReportLineFault();
    return;
  }
  state_[mosi_.line] = want_mosi;
  state_[sck_.line] = want_sck;
}

void TSpiBus_COM::SetOut(TOut line, bool on) {
  if (!fd_.Valid()) return;
  if (line != kTxd) {
    SetModemBit(line == kDtr ? TIOCM_DTR : TIOCM_RTS, on, state_[line]);
    return;
  }
  TLine& state = state_[kTxd];
  const TLine wanted = on ? TLine::On : TLine::Off;
  if (state == wanted) return;
  if (seam_->Ioctl(fd_.Get(), on ? TIOCSBRK : TIOCCBRK, nullptr) < 0) {
    state = TLine::Unknown;
    ReportLineFault();
    return;
  }
  state = wanted;
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

HRESULT TSpiBus_COM::GetModemBit(int bit, uint8_t& value) {
  if (!fd_.Valid()) return E_FAIL;
  int lines = 0;
  if (seam_->Ioctl(fd_.Get(), TIOCMGET, &lines) < 0) return E_FAIL;
  value = (lines & bit) ? 1 : 0;
  return S_OK;
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

std::vector<TWireFinding> TSpiBus_COM::TestWires() {
  std::vector<TWireFinding> findings;
  if (port_number_ == 0 || !fd_.Valid()) {
    findings.push_back({"port", TWireVerdict::Unseen, "The serial port is not open: no wire was tested."});
    return findings;
  }
  QuietTargetForWireTest(*this, kWireSettleMs);
  if (default_cable_) {
    // RTS is SCK on this cable: with RESET held and the edge behind us, its pulses start nothing.
    bool follows = true;
    for (const bool level : {false, true, false, true}) {
      SetRts(level);
      WaitMs(kWireSettleMs);
      uint8_t dsr = 0;
      follows = follows && GetDsr(dsr) == S_OK && (dsr != 0) == level;
    }
    SetSck(1);
    if (follows)
      findings.push_back({"loop-back (RTS -> DSR)", TWireVerdict::Ok,
                          "The adapter answers on the loop-back from RTS to DSR."});
    else
      findings.push_back(
          {"loop-back (RTS -> DSR)", TWireVerdict::Broken,
           "No answer on the loop-back from RTS to DSR: the adapter is not plugged in, or that "
           "wire in it is broken."});
  } else {
    findings.push_back(
        {"loop-back", TWireVerdict::Unseen,
         "This wiring has no loop-back, so whether the adapter is plugged in shows only with a chip."});
  }
  const TWireNames names{"RESET (" + PinText(pins_.Reset) + ")", "SCK (" + PinText(pins_.Sck) + ")",
                         "MOSI (" + PinText(pins_.Mosi) + ")", "MISO (" + PinText(pins_.Miso) + ")"};
  for (TWireFinding& finding : TestMisoAgainstOutputs(*this, names, kWireSettleMs))
    findings.push_back(std::move(finding));
  IdleAfterWireTest(*this);
  return findings;
}
