#include "hw/uSpiBus_gpio.h"

#include "core/uWait.h"
#include "hw/uOsSeam.h"

#include <cerrno>

namespace {
constexpr const char* kSignalNames[] = {"RESET", "SCK", "MOSI", "MISO"};
constexpr uint8_t kInversionFlags[] = {soResetInverted, soSckInverted, soMosiInverted, soMisoInverted};
constexpr const char* kDefaultChip = "/dev/gpiochip0";
} // namespace

std::string GpioLineText(const TPinAssign& pin) {
  return pin.Pin >= 0 ? "line " + std::to_string(pin.Pin) : "line \"" + pin.Name + "\"";
}

int ResolveGpioLine(IGpioChip& chip, const std::string& chip_path, const TPinAssign& pin, unsigned& offset,
                    std::string& error) {
  if (pin.Pin >= 0) {
    if (unsigned(pin.Pin) >= chip.NumLines()) {
      error = chip_path + " has no line " + std::to_string(pin.Pin) + ": its lines are 0 to " +
              std::to_string(int(chip.NumLines()) - 1) + ".";
      return -EINVAL;
    }
    offset = unsigned(pin.Pin);
    return 0;
  }
  const int found = chip.FindLine(pin.Name);
  if (found < 0) {
    error = GpioRequestErrorText(chip_path, "\"" + pin.Name + "\"", found == -ENOENT ? -ENOENT : found, {});
    return found;
  }
  offset = unsigned(found);
  return 0;
}

TSpiBus_GPIO::TSpiBus_GPIO(std::shared_ptr<IGpioLib> lib, std::string chip_path, TPinMap pins)
    : lib_(GpioLibOrReal(std::move(lib))),
      chip_path_(GpioChipPath(chip_path.empty() ? kDefaultChip : chip_path)), pins_(std::move(pins)) {}

TSpiBus_GPIO::~TSpiBus_GPIO() {
  ClosePort();
}

bool TSpiBus_GPIO::Inverted(int signal) const {
  const TPinAssign* pins[] = {&pins_.Reset, &pins_.Sck, &pins_.Mosi, &pins_.Miso};
  // A buffer named in the pin map and the inversion flag each flip the line.
  return pins[signal]->Inverted != ((Options & kInversionFlags[signal]) != 0);
}

std::string TSpiBus_GPIO::LineText(int signal) const {
  const TPinAssign* pins[] = {&pins_.Reset, &pins_.Sck, &pins_.Mosi, &pins_.Miso};
  std::string text = std::string(kSignalNames[signal]) + " (line " + std::to_string(offsets_[signal]);
  if (pins[signal]->Pin < 0) text += " \"" + pins[signal]->Name + "\"";
  return text + ")";
}

int TSpiBus_GPIO::ResolveLines() {
  const TPinAssign* pins[] = {&pins_.Reset, &pins_.Sck, &pins_.Mosi, &pins_.Miso};
  for (int signal = 0; signal < kSignals; ++signal) {
    std::string error;
    const int result = ResolveGpioLine(*chip_, chip_path_, *pins[signal], offsets_[signal], error);
    if (result < 0) {
      SetLastErrorText(std::string(kSignalNames[signal]) + ": " + error);
      return result;
    }
  }
  // A number and a name can be the same line.
  for (int a = 0; a < kSignals; ++a)
    for (int b = a + 1; b < kSignals; ++b)
      if (offsets_[a] == offsets_[b]) {
        SetLastErrorText(std::string(kSignalNames[a]) + " and " + kSignalNames[b] + " are both line " +
                         std::to_string(offsets_[a]) + " of " + chip_path_ +
                         "; each signal needs a line of its own.");
        return -EINVAL;
      }
  return 0;
}

int TSpiBus_GPIO::RequestLines() {
  struct TStep {
    std::vector<int> signals;
    std::unique_ptr<IGpioLines>* lines;
  };
  // RESET released, SCK low, MOSI low: the levels the old adapters idle at.
  const int reset = ResetWire(0), sck = Wire(kSck, 0), mosi = Wire(kMosi, 0);
  for (const TStep& step :
       {TStep{{kReset}, &reset_}, TStep{{kSck, kMosi}, &clock_data_}, TStep{{kMiso}, &miso_}}) {
    std::vector<unsigned> offsets;
    for (int signal : step.signals) offsets.push_back(offsets_[signal]);
    int result = 0;
    if (step.lines == &miso_)
      result = chip_->RequestInputs(offsets, kGpioConsumer, *step.lines);
    else if (step.lines == &reset_)
      result = chip_->RequestOutputs(offsets, {reset}, kGpioConsumer, *step.lines);
    else
      result = chip_->RequestOutputs(offsets, {sck, mosi}, kGpioConsumer, *step.lines);
    if (result < 0) {
      // Name the line that is held, and its holder, where the chip tells.
      int culprit = step.signals.front();
      std::string consumer;
      for (int signal : step.signals) {
        consumer = chip_->LineConsumer(offsets_[signal]);
        if (!consumer.empty()) {
          culprit = signal;
          break;
        }
      }
      SetLastErrorText(
          std::string(kSignalNames[culprit]) + ": " +
          GpioRequestErrorText(chip_path_, "line " + std::to_string(offsets_[culprit]), result, consumer));
      return result;
    }
  }
  reset_wire_ = reset;
  sck_wire_ = sck;
  mosi_wire_ = mosi;
  return 0;
}

HRESULT TSpiBus_GPIO::OpenPort(int32_t port_number) {
  ClosePort(); // a second open must not leak the first lines
  SetLastErrorText({});
  ClearLineFault();
  int result = lib_->OpenChip(chip_path_, chip_);
  if (result < 0) {
    SetLastErrorText(GpioOpenErrorText(chip_path_, result));
    chip_.reset();
    return E_FAIL;
  }
  result = ResolveLines();
  if (result == 0) result = RequestLines();
  if (result < 0) {
    Teardown();
    return E_FAIL;
  }
  open_ = true;
  port_number_ = port_number;
  return S_OK;
}

void TSpiBus_GPIO::Teardown() {
  // Order matters: the target must be out of reset before its clock and data lines float.
  reset_.reset();
  clock_data_.reset();
  miso_.reset();
  chip_.reset();
  open_ = false;
  port_number_ = 0;
  sck_wire_ = mosi_wire_ = reset_wire_ = -1;
}

void TSpiBus_GPIO::ClosePort() {
  if (!chip_) return;
  bool ok = true;
  if (reset_) {
    const int wire = ResetWire(0);
    ok = reset_->SetValues({wire}) >= 0;
    reset_.reset();
  }
  if (clock_data_) ok = clock_data_->SetValues({Wire(kSck, 0), Wire(kMosi, 0)}) >= 0 && ok;
  Teardown();
  if (!ok) ReportLineFault();
}

HRESULT TSpiBus_GPIO::ProbeHardware() {
  return open_ ? S_OK : SPI_E_NOPORT;
}

void TSpiBus_GPIO::LineFailed(const char* what, int negative_errno) {
  ReportLineFault();
  SetLastErrorText(std::string("The GPIO chip ") + chip_path_ + " stopped answering while " + what + " (" +
                   ErrnoText(negative_errno) +
                   "): the chip or the board was removed, or another program took "
                   "the lines.");
}

bool TSpiBus_GPIO::PutClockData(int sck_wire, int mosi_wire) {
  if (!open_) return false;
  if (sck_wire == sck_wire_ && mosi_wire == mosi_wire_) return true;
  const int result = clock_data_->SetValues({sck_wire, mosi_wire});
  if (result < 0) {
    sck_wire_ = mosi_wire_ = -1;
    LineFailed("setting SCK and MOSI", result);
    return false;
  }
  sck_wire_ = sck_wire;
  mosi_wire_ = mosi_wire;
  return true;
}

bool TSpiBus_GPIO::PutReset(int wire) {
  if (!open_) return false;
  if (wire == reset_wire_) return true;
  const int result = reset_->SetValues({wire});
  if (result < 0) {
    reset_wire_ = -1;
    LineFailed("setting RESET", result);
    return false;
  }
  reset_wire_ = wire;
  return true;
}

bool TSpiBus_GPIO::ReadMiso(uint8_t& level) {
  if (!open_) return false;
  const int value = miso_->GetValue(0);
  if (value < 0) {
    LineFailed("reading MISO", value);
    return false;
  }
  level = uint8_t(value ^ (Inverted(kMiso) ? 1 : 0));
  return true;
}

void TSpiBus_GPIO::SetLines(uint8_t mosi, uint8_t sck) {
  // Both lines move in one call. On a falling edge MOSI changes with it; the target samples MOSI
  // only on the rising edge, where it has been stable for a phase.
  PutClockData(Wire(kSck, sck), Wire(kMosi, mosi));
}

void TSpiBus_GPIO::SampleInto(uint8_t& byte, uint8_t mask) {
  uint8_t level = 1; // a failed read is an undriven line, and a line fault
  if (!ReadMiso(level)) level = 1;
  if (level) byte |= mask;
}

void TSpiBus_GPIO::SetMosi(uint8_t level) {
  const int sck = sck_wire_ >= 0 ? sck_wire_ : Wire(kSck, 0);
  PutClockData(sck, Wire(kMosi, level));
}

void TSpiBus_GPIO::SetSck(uint8_t level) {
  const int mosi = mosi_wire_ >= 0 ? mosi_wire_ : Wire(kMosi, 0);
  PutClockData(Wire(kSck, level), mosi);
}

void TSpiBus_GPIO::SetReset(uint8_t level) {
  PutReset(ResetWire(level));
}

bool TSpiBus_GPIO::GetMiso(uint8_t& level) {
  return ReadMiso(level);
}

std::vector<TWireFinding> TSpiBus_GPIO::TestWires() {
  std::vector<TWireFinding> findings;
  if (!open_) {
    findings.push_back({"GPIO", TWireVerdict::Unseen, "The GPIO lines of " + chip_path_ + " are not open."});
    return findings;
  }
  ClearLineFault();
  // The target held in reset with SCK low: the pulses below clock in nothing it would execute.
  PutClockData(Wire(kSck, 0), Wire(kMosi, 0));
  PutReset(ResetWire(1));
  WaitMs(1);

  // RESET: its own level while held, then while released at the end.
  const int reset_held = reset_->GetValue(0);

  struct TTrace {
    bool own_follows = true, miso_follows = true, miso_inverse = true, read_failed = false;
    int own_seen = -1;
  };
  TTrace traces[kSignals];
  uint8_t miso_first = 0xFF;
  for (int signal : {kSck, kMosi}) {
    TTrace& trace = traces[signal];
    for (uint8_t level : {1, 0, 1, 0}) {
      const int wire = Wire(signal, level);
      const bool put =
          signal == kSck ? PutClockData(wire, Wire(kMosi, 0)) : PutClockData(Wire(kSck, 0), wire);
      WaitUs(50);
      const int own = clock_data_->GetValue(signal == kSck ? 0 : 1);
      const int miso = miso_->GetValue(0);
      if (!put || own < 0 || miso < 0) {
        trace.read_failed = true;
        break;
      }
      if (miso_first == 0xFF) miso_first = uint8_t(miso);
      trace.own_seen = own;
      if (own != wire) trace.own_follows = false;
      if (miso != wire) trace.miso_follows = false;
      if (miso == wire) trace.miso_inverse = false;
    }
  }
  PutClockData(Wire(kSck, 0), Wire(kMosi, 0));
  PutReset(ResetWire(0));
  WaitMs(1);
  const int reset_released = reset_->GetValue(0);

  // RESET.
  if (reset_held < 0 || reset_released < 0) {
    findings.push_back({"RESET", TWireVerdict::Unseen, LineText(kReset) + " could not be read back."});
  } else if (reset_held == ResetWire(1) && reset_released == ResetWire(0)) {
    findings.push_back({"RESET", TWireVerdict::Ok,
                        LineText(kReset) + " follows at the GPIO pin; a wire broken beyond it cannot be seen "
                                           "from here."});
  } else {
    findings.push_back({"RESET", TWireVerdict::Broken,
                        LineText(kReset) + " does not follow: it reads " + (reset_held ? "high" : "low") +
                            " however it is driven, so the pin is shorted to " +
                            (reset_held ? "the supply" : "ground") + " or to a line that drives it."});
  }
  // SCK and MOSI.
  int miso_partner = -1;
  bool miso_partner_inverted = false;
  for (int signal : {kSck, kMosi}) {
    const TTrace& trace = traces[signal];
    const char* wire = kSignalNames[signal];
    if (trace.read_failed) {
      findings.push_back(
          {wire, TWireVerdict::Unseen, LineText(signal) + " could not be driven or read back."});
      continue;
    }
    if (trace.miso_follows || trace.miso_inverse) {
      miso_partner = signal;
      miso_partner_inverted = trace.miso_inverse;
    }
    if (!trace.own_follows)
      findings.push_back({wire, TWireVerdict::Broken,
                          LineText(signal) + " does not follow: it stays " +
                              (trace.own_seen ? "high" : "low") + ", so the pin is shorted to " +
                              (trace.own_seen ? "the supply" : "ground") + " or to a line that drives it."});
    else if (trace.miso_follows || trace.miso_inverse)
      findings.push_back({wire, TWireVerdict::Shorted,
                          "MISO follows " + LineText(signal) + (trace.miso_inverse ? " inverted" : "") +
                              ": the two wires are shorted or swapped."});
    else
      findings.push_back({wire, TWireVerdict::Ok,
                          LineText(signal) +
                              " follows at the GPIO pin; a wire broken beyond it cannot be seen "
                              "from here."});
  }
  // MISO.
  if (traces[kSck].read_failed && traces[kMosi].read_failed)
    findings.push_back({"MISO", TWireVerdict::Unseen, LineText(kMiso) + " could not be read."});
  else if (miso_partner >= 0)
    findings.push_back({"MISO", TWireVerdict::Shorted,
                        LineText(kMiso) + " follows " + LineText(miso_partner) +
                            (miso_partner_inverted ? " inverted" : "") +
                            ": the two wires are shorted together or swapped."});
  else
    findings.push_back(
        {"MISO", TWireVerdict::Unseen,
         LineText(kMiso) + " reads " + (miso_first ? "high" : "low") +
             " and follows no output; only a chip in programming mode (its echo) shows whether "
             "it is connected."});
  return findings;
}
