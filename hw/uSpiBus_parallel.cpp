#include "hw/uSpiBus_parallel.h"

#include "core/uWait.h"
#include "hw/uPortEnum.h"

namespace {

// DB25 data pins 2-9 are data register bits 0-7; -1 for any other pin.
int DataBitOfPin(int pin) {
  return pin >= 2 && pin <= 9 ? pin - 2 : -1;
}

// The control register bit of a DB25 output pin, -1 for a pin that is none; port_inverts: the
// port drives STROBE, AUTOFD and SELECTIN low when their bit is set (IEEE 1284 SPP registers).
int ControlBitOfPin(int pin, bool& port_inverts) {
  port_inverts = pin != 16;
  switch (pin) {
  case 1:
    return 0; // STROBE
  case 14:
    return 1; // AUTOFD
  case 16:
    return 2; // INIT
  case 17:
    return 3; // SELECTIN
  default:
    return -1;
  }
}

// The status register bit of a DB25 input pin, -1 for a pin that is none; port_inverts: the port
// hardware shows BUSY (pin 11) inverted.
int StatusBitOfPin(int pin, bool& port_inverts) {
  port_inverts = pin == 11;
  switch (pin) {
  case 10:
    return 6; // ACK
  case 11:
    return 7; // BUSY
  case 12:
    return 5; // PE
  case 13:
    return 4; // SELECT
  case 15:
    return 3; // ERROR
  default:
    return -1;
  }
}

std::string PinText(const TPinAssign& assign) {
  return "pin " + std::to_string(assign.Pin) + (assign.Inverted ? ", inverted" : "");
}

// How long a line of the port takes to settle before it is read back: the cable is a few wires and
// a buffer at most, so a millisecond is ample.
constexpr uint32_t kWireSettleMs = 1;

} // namespace

TSpiBus_LPT::TSpiBus_LPT(std::shared_ptr<IOsSeam> seam, std::string device_path, TPinMap pins)
    : seam_(SeamOrPosix(std::move(seam))), device_path_(std::move(device_path)), pins_(std::move(pins)),
      default_cable_(pins_ == DefaultPinMap(TPinKind::Parallel)) {}

TSpiBus_LPT::~TSpiBus_LPT() {
  ClosePort();
}

bool TSpiBus_LPT::MapPins() {
  uint8_t used_data = 0;
  control_outputs_ = 0;
  auto output = [&](const char* signal, const TPinAssign& assign, TOutput& line) {
    bool port_inverts = false;
    const int data_bit = assign.Name.empty() ? DataBitOfPin(assign.Pin) : -1;
    const int control_bit = assign.Name.empty() ? ControlBitOfPin(assign.Pin, port_inverts) : -1;
    if (data_bit < 0 && control_bit < 0) {
      SetLastErrorText(std::string("The wiring puts ") + signal + " on " +
                       (assign.Name.empty() ? "pin " + std::to_string(assign.Pin) : assign.Name) +
                       ", which the parallel port cannot drive: outputs are the data pins 2 to 9 and the "
                       "control pins 1, 14, 16 and 17.");
      return false;
    }
    const bool control = data_bit < 0;
    const uint8_t mask = uint8_t(1u << (control ? control_bit : data_bit));
    uint8_t& used = control ? control_outputs_ : used_data;
    if (used & mask) {
      SetLastErrorText(std::string("The wiring puts ") + signal + " on pin " + std::to_string(assign.Pin) +
                       ", which carries another signal already.");
      return false;
    }
    used |= mask;
    line = {mask, assign.Inverted != (control && port_inverts), control};
    return true;
  };
  if (!output("RESET", pins_.Reset, reset_) || !output("SCK", pins_.Sck, sck_) ||
      !output("MOSI", pins_.Mosi, mosi_))
    return false;
  buffers_.clear();
  power_.clear();
  for (const TPinAssign& buffer : pins_.Buffers) {
    TOutput line;
    if (!output("a buffer enable", buffer, line)) return false;
    buffers_.push_back(line);
  }
  for (const TPinAssign& power : pins_.Power) {
    TOutput line;
    if (!output("the target's power", power, line)) return false;
    power_.push_back(line);
  }
  bool port_inverts = false;
  const int miso = pins_.Miso.Name.empty() ? StatusBitOfPin(pins_.Miso.Pin, port_inverts) : -1;
  if (miso < 0) {
    SetLastErrorText(
        "The wiring puts MISO on pin " + std::to_string(pins_.Miso.Pin) +
        ", which the parallel port cannot read: inputs are the status pins 10, 11, 12, 13 and 15.");
    return false;
  }
  miso_bit_ = uint8_t(miso);
  miso_inverted_ = port_inverts != pins_.Miso.Inverted;
  return true;
}

HRESULT TSpiBus_LPT::OpenPort(int32_t port_number) {
  ClosePort(); // a second open must not leak the first claim
  port_number_ = 0;
  base_address_ = THwDirectInOut::kDefaultBase;
  data_shadow_ = status_shadow_ = control_shadow_ = 0;
  data_in_sync_ = control_in_sync_ = false;
  Options = soResetInverted;
  SetLastErrorText({});
  opened_path_.clear();

  if (port_number < 1 || port_number > 3) {
    SetLastErrorText("LPT" + std::to_string(port_number) + " is not a parallel port number (1 to 3).");
    return E_INVALIDARG;
  }
  if (!MapPins()) return E_INVALIDARG;
  opened_path_ = device_path_.empty() ? GetPortDevicePath("LPT" + std::to_string(port_number)) : device_path_;
  driver_ = std::make_unique<THwDirectInOut>(opened_path_, seam_, base_address_);
  static_cast<void>(driver_->Open()); // IsOpen below is the verdict; the text keeps the reason
  if (!driver_->IsOpen()) {
    SetLastErrorText(driver_->LastErrorText());
    driver_.reset();
    return E_FAIL;
  }
  port_number_ = port_number;
  // The control register is not ours to keep (its strobe, feed and select lines belong to whatever
  // uses the port after us), so it goes back as found when the port is closed.
  uint8_t control = 0;
  saved_control_valid_ = driver_->ReadPort(base_address_ + 2, control) == 0;
  saved_control_ = control;
  WriteData(data_shadow_);
  if (driver_->WritePort(base_address_ + 1, status_shadow_) != 0) ReportLineFault();
  // The wiring's control pins start from the register as found; the others are cleared as ever.
  WriteControl(uint8_t(saved_control_valid_ ? (saved_control_ & control_outputs_) : 0));
  SetAuxLines(true);
  return S_OK;
}

void TSpiBus_LPT::ClosePort() {
  if (port_number_ == 0) return;
  SetAuxLines(false);
  // Control pins of the wiring keep the levels that release the target; the rest go back as found.
  const uint8_t restored =
      uint8_t((saved_control_ & ~control_outputs_) | (control_shadow_ & control_outputs_));
  if (saved_control_valid_ && driver_ && driver_->WritePort(base_address_ + 2, restored) != 0)
    ReportLineFault();
  saved_control_valid_ = false;
  port_number_ = 0;
  driver_.reset(); // releases the claim and closes the device
  data_in_sync_ = control_in_sync_ = false;
}

HRESULT TSpiBus_LPT::ProbeHardware() {
  if (!driver_ || !driver_->IsOpen()) return SPI_E_NOPORT;
  // The loop-backs belong to the default cable. Another wiring may have its own signals on their
  // pins (a cable with RESET on pin 3 would see the target pulsed), and a cable without loop-backs
  // cannot be detected at all: it counts as present, and the chip's echo when programming mode
  // is entered still tells whether anything answers.
  if (!default_cable_) return S_OK;
  return LoopbackTest() ? S_OK : SPI_E_NOHARDWARE;
}

void TSpiBus_LPT::SetMosi(uint8_t level) {
  if (port_number_ == 0) return;
  TRegisterLevels levels;
  levels.Add(mosi_, Drive(level, soMosiInverted, mosi_));
  SetOutputs(levels);
}

void TSpiBus_LPT::SetSck(uint8_t level) {
  if (port_number_ == 0) return;
  TRegisterLevels levels;
  levels.Add(sck_, Drive(level, soSckInverted, sck_));
  SetOutputs(levels);
}

void TSpiBus_LPT::SetReset(uint8_t level) {
  if (port_number_ == 0) return;
  TRegisterLevels levels;
  levels.Add(reset_, Drive(level, soResetInverted, reset_));
  SetOutputs(levels);
}

bool TSpiBus_LPT::GetMiso(uint8_t& level) {
  if (port_number_ == 0) return false;
  uint8_t value = 0;
  if (ReadStatusBit(miso_bit_, value) != S_OK) {
    ReportLineFault();
    return false;
  }
  if (miso_inverted_) value ^= 1;
  if (Options & soMisoInverted) value ^= 1;
  level = value;
  return true;
}

void TSpiBus_LPT::WriteData(uint8_t value) {
  data_shadow_ = value;
  if (driver_->WritePort(base_address_, value) == 0) {
    data_in_sync_ = true;
  } else {
    data_in_sync_ = false;
    ReportLineFault();
  }
}

void TSpiBus_LPT::SetLines(uint8_t mosi, uint8_t sck) {
  if (port_number_ == 0) return;
  TRegisterLevels levels;
  levels.Add(mosi_, Drive(mosi, soMosiInverted, mosi_));
  levels.Add(sck_, Drive(sck, soSckInverted, sck_));
  SetOutputs(levels);
}

void TSpiBus_LPT::SetOutputs(const TRegisterLevels& levels) {
  if (levels.data_mask) SetDataBits(levels.data_mask, levels.data);
  if (!levels.control_mask || !driver_) return;
  const uint8_t value =
      uint8_t((control_shadow_ & ~levels.control_mask) | (levels.control & levels.control_mask));
  if (control_in_sync_ && value == control_shadow_) return;
  WriteControl(value);
}

void TSpiBus_LPT::WriteControl(uint8_t value) {
  control_shadow_ = value;
  control_in_sync_ = driver_->WritePort(base_address_ + 2, value) == 0;
  if (!control_in_sync_) ReportLineFault();
}

void TSpiBus_LPT::SetDataBit(uint8_t bit, bool on) {
  const uint8_t mask = uint8_t(1u << bit);
  SetDataBits(mask, on ? mask : 0);
}

void TSpiBus_LPT::SetDataBits(uint8_t mask, uint8_t levels) {
  if (!driver_) return;
  const uint8_t value = uint8_t((data_shadow_ & ~mask) | (levels & mask));
  // Every register write is a system call; a level the register already holds needs none.
  if (data_in_sync_ && value == data_shadow_) return;
  WriteData(value);
}

HRESULT TSpiBus_LPT::ReadStatusBit(uint8_t bit, uint8_t& value) {
  if (!driver_) return E_FAIL;
  uint8_t status = 0;
  const int32_t failed = driver_->ReadPort(base_address_ + 1, status);
  status_shadow_ = status;
  if (failed != 0) return E_FAIL;
  value = (status >> bit) & 1;
  return S_OK;
}

void TSpiBus_LPT::SetAuxLines(bool active) {
  if (default_cable_) {
    // The default cable: loop-back B's output high, RESET (bit 7) held and the auxiliary lines
    // (bits 2, 3, 6) low while the port is in use; after it the auxiliary lines high and RESET
    // released. One register write per line.
    if (active) {
      SetDataBit(kLoopBOut, true);
      SetDataBit(7, false);
      SetDataBit(2, false);
      SetDataBit(6, false);
      SetDataBit(3, false);
    } else {
      SetDataBit(3, true);
      SetDataBit(6, true);
      SetDataBit(7, !HoldResetAtClose); // RESET released unless asked to hold it
      SetDataBit(2, true);
    }
    return;
  }
  TRegisterLevels lines, buffers;
  if (active) {
    // The target powered and the lines where they belong (RESET held, SCK and MOSI low) before
    // the buffer lets the chip see them.
    for (const TOutput& power : power_) lines.Add(power, !power.inverted);
    lines.Add(reset_, Drive(1, soResetInverted, reset_));
    lines.Add(sck_, Drive(0, soSckInverted, sck_));
    lines.Add(mosi_, Drive(0, soMosiInverted, mosi_));
    for (const TOutput& buffer : buffers_) buffers.Add(buffer, buffer.inverted);
  } else {
    // RESET released while the buffer still passes it, then the buffer off: the target's lines
    // are its own again. Its power stays on, so that it runs what was written. A RESET to be held
    // keeps the buffer on, or the chip would not see it.
    lines.Add(reset_, Drive(HoldResetAtClose ? 1 : 0, soResetInverted, reset_));
    for (const TOutput& buffer : buffers_)
      buffers.Add(buffer, HoldResetAtClose ? buffer.inverted : !buffer.inverted);
  }
  SetOutputs(lines);
  SetOutputs(buffers);
}

bool TSpiBus_LPT::LoopbackTest() {
  bool a = false;
  bool b = false;
  uint8_t value = 0;

  SetDataBit(kLoopAOut, true);
  WaitMs(50);
  if (ReadStatusBit(kLoopAIn, value) == S_OK && value == 1) {
    SetDataBit(kLoopAOut, false);
    WaitMs(50);
    if (ReadStatusBit(kLoopAIn, value) == S_OK && value == 0) a = true;
  }

  // The port inverts BUSY: a low on data bit 1 reads back as 1.
  SetDataBit(kLoopBOut, false);
  WaitMs(50);
  if (ReadStatusBit(kLoopBIn, value) == S_OK && value == 1) {
    SetDataBit(kLoopBOut, true);
    WaitMs(50);
    if (ReadStatusBit(kLoopBIn, value) == S_OK && value == 0) b = true;
  }
  return a || b;
}

bool TSpiBus_LPT::LoopFollows(uint8_t out_bit, uint8_t in_bit, bool port_inverts) {
  for (const bool level : {true, false, true, false}) {
    SetDataBit(out_bit, level);
    WaitMs(kWireSettleMs);
    uint8_t value = 0;
    if (ReadStatusBit(in_bit, value) != S_OK || (value != 0) != (level != port_inverts)) return false;
  }
  return true;
}

std::vector<TWireFinding> TSpiBus_LPT::TestWires() {
  std::vector<TWireFinding> findings;
  if (port_number_ == 0 || !driver_) {
    findings.push_back({"port", TWireVerdict::Unseen, "The parallel port is not open: no wire was tested."});
    return findings;
  }
  QuietTargetForWireTest(*this, kWireSettleMs);
  if (default_cable_) {
    const bool a = LoopFollows(kLoopAOut, kLoopAIn, false);
    const bool b = LoopFollows(kLoopBOut, kLoopBIn, true);
    SetDataBit(kLoopBOut, true); // as the open left it
    auto loop = [&](bool ok, bool other_ok, const std::string& out, const std::string& in) {
      const std::string wire = "loop-back (" + out + " -> " + in + ")";
      const std::string where = "the loop-back from " + out + " to " + in;
      if (ok)
        findings.push_back({wire, TWireVerdict::Ok, "The cable answers on " + where + "."});
      else if (other_ok)
        findings.push_back({wire, TWireVerdict::Broken,
                            "No answer on " + where +
                                ", though the other loop-back answers: that wire in the "
                                "cable is broken."});
      else
        findings.push_back({wire, TWireVerdict::Broken,
                            "No answer on " + where +
                                ": the cable is not plugged in, or that wire in it is "
                                "broken."});
    };
    loop(a, b, "pin 2", "pin 12");
    loop(b, a, "pin 3", "pin 11");
  } else {
    findings.push_back(
        {"loop-back", TWireVerdict::Unseen,
         "This wiring has no loop-back, so whether the cable is plugged in shows only with a chip."});
  }
  const TWireNames names{"RESET (" + PinText(pins_.Reset) + ")", "SCK (" + PinText(pins_.Sck) + ")",
                         "MOSI (" + PinText(pins_.Mosi) + ")", "MISO (" + PinText(pins_.Miso) + ")"};
  for (TWireFinding& finding : TestMisoAgainstOutputs(*this, names, kWireSettleMs))
    findings.push_back(std::move(finding));
  IdleAfterWireTest(*this);
  return findings;
}

// ---------------------------------------------------------------------------------------------
// The self-test shared by the ports with fixed inputs and outputs

void QuietTargetForWireTest(TSpiBusBase& bus, uint32_t settle_ms) {
  // An AVR sets all its pins to inputs without pull-ups while RESET is active (AVR910 application
  // note "In-System Programming", 2.2 RESET), and enters serial programming only at a RESET edge
  // with SCK low (ATmega328P datasheet, "Serial Programming Algorithm": RESET and SCK set to 0,
  // or RESET given a positive pulse after SCK has been set to 0). So RESET goes active with SCK
  // high, and MISO is left to the cable.
  bus.SetMosi(0);
  bus.SetSck(1);
  bus.SetReset(0);
  WaitMs(settle_ms);
  bus.SetReset(1);
  WaitMs(settle_ms);
}

void IdleAfterWireTest(TSpiBusBase& bus) {
  bus.SetReset(0);
  bus.SetSck(0);
  bus.SetMosi(0);
}

std::vector<TWireFinding> TestMisoAgainstOutputs(TSpiBusBase& bus, const TWireNames& names,
                                                 uint32_t settle_ms) {
  struct TLine {
    const char* wire;
    const std::string& name;
    void (TSpiBusBase::*set)(uint8_t);
    uint8_t rest; // where the test leaves it: RESET held, SCK high
  };
  // RESET last, so that its edges come with SCK high.
  const TLine lines[] = {{"MOSI", names.Mosi, &TSpiBusBase::SetMosi, 0},
                         {"SCK", names.Sck, &TSpiBusBase::SetSck, 1},
                         {"RESET", names.Reset, &TSpiBusBase::SetReset, 1}};
  std::vector<TWireFinding> findings;
  std::string followed; // the outputs MISO follows
  int lows = 0, samples = 0;
  for (const TLine& line : lines) {
    uint8_t seen[4] = {};
    bool read = true;
    for (int i = 0; i < 4; ++i) {
      (bus.*line.set)(uint8_t(i & 1));
      WaitMs(settle_ms);
      read = bus.GetMiso(seen[i]) && read;
    }
    (bus.*line.set)(line.rest);
    if (!read)
      return {{"MISO", TWireVerdict::Broken, names.Miso + " could not be read: the port stopped answering."}};
    const bool follows = seen[0] == 0 && seen[1] == 1 && seen[2] == 0 && seen[3] == 1;
    const bool inverse = seen[0] == 1 && seen[1] == 0 && seen[2] == 1 && seen[3] == 0;
    if (line.set == &TSpiBusBase::SetReset && (follows || inverse)) {
      // MISO that changes with RESET is what a chip looks like that drives MISO while it is held
      // in reset (or runs a program that drives it between the pulses), as much as RESET and MISO
      // touching: nothing is claimed, and its samples say nothing about MISO at rest.
      findings.push_back({line.wire, TWireVerdict::Unseen,
                          names.Miso + " changes with " + line.name +
                              ": a chip that drives MISO in reset, or RESET and MISO touching."});
      continue;
    }
    for (uint8_t level : seen) lows += level == 0 ? 1 : 0;
    samples += 4;
    if (follows || inverse) {
      findings.push_back({line.wire, TWireVerdict::Shorted,
                          line.name + " and " + names.Miso + " look shorted: MISO follows " + line.wire +
                              (inverse ? " inverted" : "") + "."});
      followed += (followed.empty() ? "" : " and ") + std::string(line.wire);
    } else {
      findings.push_back(
          {line.wire, TWireVerdict::Unseen,
           line.name + " does not reach MISO; whether it reaches the chip shows only with a chip."});
    }
  }
  if (!followed.empty())
    findings.push_back(
        {"MISO", TWireVerdict::Shorted,
         names.Miso + " follows " + followed + ": the wires touch, or one is connected to the other's pin."});
  else if (lows == samples)
    findings.push_back({"MISO", TWireVerdict::Broken,
                        names.Miso + " stays low while the target is held in reset: it is shorted to ground "
                                     "or held low on the target board, or the chip drives it because SCK "
                                     "does not reach it."});
  else if (lows == 0)
    findings.push_back({"MISO", TWireVerdict::Unseen,
                        names.Miso +
                            " rests high and follows no output; whether it reaches the chip shows only "
                            "with a chip."});
  else
    findings.push_back({"MISO", TWireVerdict::Broken,
                        names.Miso + " changes on its own: a loose wire, or an input left open."});
  return findings;
}
