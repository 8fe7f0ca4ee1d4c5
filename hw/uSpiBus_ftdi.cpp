#include "hw/uSpiBus_ftdi.h"

#include <array>

TSpiBus_FTDI::TSpiBus_FTDI(std::shared_ptr<IFtdiLib> lib, std::string serial, TPinMap pins)
    : lib_(lib ? std::move(lib) : MakeLibFtdi()), serial_(std::move(serial)), pins_(std::move(pins)) {}

TSpiBus_FTDI::~TSpiBus_FTDI() {
  ClosePort();
}

uint32_t TSpiBus_FTDI::BytesPerPhase(uint32_t wait_us) {
  const uint64_t ns = uint64_t(wait_us) * 1000u;
  return ns <= kByteNs ? 1u : uint32_t((ns + kByteNs - 1) / kByteNs);
}

uint8_t TSpiBus_FTDI::PortByte(uint8_t mosi, uint8_t sck, uint8_t reset) const {
  // A pin's level is the logical level, inverted where a buffer on the adapter inverts it (the
  // wiring's "~") and where Options asks for it. RESET is active low at the target.
  auto level = [&](bool on, const TPinAssign& pin, uint8_t flag) {
    return (on != pin.Inverted) != ((Options & flag) != 0);
  };
  uint8_t byte = 0;
  if (level(mosi != 0, pins_.Mosi, soMosiInverted)) byte |= PinBit(pins_.Mosi);
  if (level(sck != 0, pins_.Sck, soSckInverted)) byte |= PinBit(pins_.Sck);
  if (level(reset == 0, pins_.Reset, soResetInverted)) byte |= PinBit(pins_.Reset);
  return byte;
}

uint8_t TSpiBus_FTDI::MisoLevel(uint8_t pins) const {
  const bool high = (pins & PinBit(pins_.Miso)) != 0;
  return (high != pins_.Miso.Inverted) != ((Options & soMisoInverted) != 0) ? 1 : 0;
}

HRESULT TSpiBus_FTDI::OpenPort(int32_t port_number) {
  ClosePort(); // a second open must not leak the first device
  SetLastErrorText({});
  info_ = {};
  dead_ = false;
  queue_.clear();
  samples_.clear();
  for (const TPinAssign* pin : {&pins_.Reset, &pins_.Sck, &pins_.Mosi, &pins_.Miso}) {
    if (pin->Pin < 0 || pin->Pin > 7) {
      SetLastErrorText("The FTDI wiring names a pin that is not a bit 0-7 of the bit-bang port.");
      return E_INVALIDARG;
    }
  }
  mask_ = uint8_t(PinBit(pins_.Reset) | PinBit(pins_.Sck) | PinBit(pins_.Mosi));

  // The first product whose device opens; the most telling failure (a permission, another
  // program holding it) is kept over "not found" for the report.
  int failure = kFtdiNotFound;
  std::string failure_text;
  const char* failure_chips = nullptr;
  for (const TFtdiProduct& product : kFtdiBitBangProducts) {
    std::unique_ptr<IFtdiDevice> device;
    std::string text;
    const int result = lib_->Open(kFtdiVendor, product.Product, serial_, device, text);
    if (result >= 0 && device) {
      device_ = std::move(device);
      info_.Vendor = kFtdiVendor;
      info_.Product = product.Product;
      info_.Serial = serial_;
      info_.Description = product.Chips;
      break;
    }
    if (result != kFtdiNotFound && failure == kFtdiNotFound) {
      failure = result;
      failure_text = text;
      failure_chips = product.Chips;
    }
  }
  if (!device_) {
    std::string what = "FTDI device";
    if (failure_chips) what += std::string(" (") + failure_chips + ")";
    if (!serial_.empty()) what += " with serial number " + serial_;
    SetLastErrorText(FtdiOpenErrorText(what, failure, failure_text));
    return E_FAIL;
  }
  // What the user knows the device by: its strings, as listed (the first device of the product
  // is the one opened where no serial number was given).
  std::vector<TFtdiListEntry> listed;
  std::string ignored;
  if (lib_->FindAll(kFtdiVendor, info_.Product, listed, ignored) > 0)
    for (const TFtdiListEntry& entry : listed)
      if (entry.StringsStatus >= 0 && (serial_.empty() || entry.Info.Serial == serial_)) {
        info_ = entry.Info;
        break;
      }
  mosi_ = 1;
  sck_ = 0;
  reset_ = 0;
  const HRESULT result = Configure();
  if (result != S_OK) {
    CloseDevice();
    return result;
  }
  port_number_ = port_number;
  return S_OK;
}

HRESULT TSpiBus_FTDI::Configure() {
  auto check = [&](int result, const char* step) {
    if (result >= 0) return true;
    SetLastErrorText("The FTDI device " + info_.Serial + " could not be set up for bit-bang mode (" + step +
                     "): " + device_->ErrorString() + ".");
    return false;
  };
  // First with every pin an input: the idle levels are latched before any pin is driven, so that
  // entering the mode cannot pulse RESET.
  if (!check(device_->SetBitmode(0x00, kFtdiBitmodeSyncBB), "set bit mode")) return E_FAIL;
  // After the mode: libftdi scales the rate for bit-bang mode only while it is on.
  if (!check(device_->SetBaudrate(kBaudRate), "set the bit-bang clock")) return E_FAIL;
  if (!check(device_->SetLatencyTimer(kLatencyMs), "set the latency timer")) return E_FAIL;
  if (!check(device_->SetReadChunksize(kChunkBytes), "set the read chunk size")) return E_FAIL;
  if (!check(device_->SetWriteChunksize(kChunkBytes), "set the write chunk size")) return E_FAIL;
  if (!check(device_->Purge(), "empty its buffers")) return E_FAIL;
  DriveNow();
  if (dead_) return E_FAIL;
  if (!check(device_->SetBitmode(mask_, kFtdiBitmodeSyncBB), "set the outputs")) return E_FAIL;
  DriveNow();
  return dead_ ? E_FAIL : S_OK;
}

void TSpiBus_FTDI::CloseDevice() {
  if (device_) static_cast<void>(device_->Close());
  device_.reset();
  queue_.clear();
  samples_.clear();
}

void TSpiBus_FTDI::ClosePort() {
  if (!device_) return;
  // Every step is tried even after a failure: the lines idle with the target running, the pins
  // back to their serial-port functions, the device handed back to the kernel's driver.
  samples_.clear();
  queue_.clear();
  mosi_ = 1;
  sck_ = 0;
  reset_ = 0;
  const std::vector<uint8_t> idle = {PortByte(mosi_, sck_, reset_)};
  std::vector<uint8_t> ignored;
  if (Exchange(idle, ignored) != int(idle.size())) ReportLineFault();
  if (device_->SetBitmode(0x00, kFtdiBitmodeReset) < 0) ReportLineFault();
  CloseDevice();
  port_number_ = 0;
}

HRESULT TSpiBus_FTDI::ProbeHardware() {
  if (!device_) return SPI_E_NOPORT;
  if (dead_) return SPI_E_NOHARDWARE;
  uint8_t pins = 0;
  const int result = device_->ReadPins(pins);
  if (result < 0) {
    Failed("reading its pins", result);
    return SPI_E_NOHARDWARE;
  }
  return S_OK;
}

void TSpiBus_FTDI::SetMosi(uint8_t level) {
  if (!device_) return;
  mosi_ = level ? 1 : 0;
  DriveNow();
}

void TSpiBus_FTDI::SetSck(uint8_t level) {
  if (!device_) return;
  sck_ = level ? 1 : 0;
  DriveNow();
}

void TSpiBus_FTDI::SetReset(uint8_t level) {
  if (!device_) return;
  reset_ = level ? 1 : 0;
  DriveNow();
}

bool TSpiBus_FTDI::GetMiso(uint8_t& level) {
  if (!device_ || dead_) return false;
  if (!queue_.empty() && !RunQueue()) return false;
  uint8_t pins = 0;
  const int result = device_->ReadPins(pins);
  if (result < 0) {
    Failed("reading MISO", result);
    return false;
  }
  level = MisoLevel(pins);
  return true;
}

void TSpiBus_FTDI::SetLines(uint8_t mosi, uint8_t sck) {
  if (!device_) return;
  mosi_ = mosi ? 1 : 0;
  sck_ = sck ? 1 : 0;
  // One byte per change, even an unchanged one: the byte is the phase's time.
  queue_.push_back(PortByte(mosi_, sck_, reset_));
}

void TSpiBus_FTDI::PhaseWait(uint32_t us) {
  if (!device_) return;
  // The byte SetLines queued lasts one tick; the rest of the phase repeats it.
  const uint8_t byte = PortByte(mosi_, sck_, reset_);
  for (uint32_t n = BytesPerPhase(us); n > 1; --n) queue_.push_back(byte);
}

void TSpiBus_FTDI::SampleInto(uint8_t& byte, uint8_t mask) {
  if (!device_) {
    byte |= mask; // what an undriven line reads
    ReportLineFault();
    return;
  }
  // The pins at the end of the phase just queued: they come back with the next byte written.
  samples_.push_back({&byte, mask, queue_.size()});
}

void TSpiBus_FTDI::FlushLines() {
  if (!queue_.empty() || !samples_.empty()) static_cast<void>(RunQueue());
}

void TSpiBus_FTDI::DriveNow() {
  if (!device_) return;
  queue_.push_back(PortByte(mosi_, sck_, reset_));
  static_cast<void>(RunQueue());
}

bool TSpiBus_FTDI::RunQueue(std::vector<uint8_t>* read_back) {
  // A sample of the last phase needs one byte more to come back; it holds the levels.
  for (const TSample& sample : samples_)
    if (sample.index >= queue_.size()) {
      queue_.push_back(PortByte(mosi_, sck_, reset_));
      break;
    }
  std::vector<uint8_t> in;
  bool ok = device_ && !dead_;
  if (ok) ok = Exchange(queue_, in) == int(queue_.size());
  for (const TSample& sample : samples_)
    if (!ok || MisoLevel(in[sample.index])) *sample.byte |= sample.mask; // a failed sample reads 1
  if (!ok) ReportLineFault();
  if (read_back) *read_back = std::move(in);
  queue_.clear();
  samples_.clear();
  return ok;
}

int TSpiBus_FTDI::Exchange(const std::vector<uint8_t>& out, std::vector<uint8_t>& in) {
  if (!device_) return -1;
  const int size = int(out.size());
  in.assign(out.size(), 0);
  if (size == 0) return 0;
  // The write and the read of its read-back run side by side: one round trip for the whole run,
  // and the chip's read FIFO is emptied while the write goes on.
  const int write = device_->WriteSubmit(out.data(), size);
  if (write < 0) {
    Failed("writing", write);
    return write;
  }
  const int read = device_->ReadSubmit(in.data(), size);
  const int written = device_->TransferDone(write);
  const int got = read < 0 ? read : device_->TransferDone(read);
  if (written != size) {
    Failed("writing", written);
    return written < 0 ? written : -1;
  }
  if (got != size) {
    Failed("reading back", got);
    return got < 0 ? got : -1;
  }
  return size;
}

void TSpiBus_FTDI::Failed(const char* step, int code) {
  if (!dead_) {
    std::string library = device_ ? device_->ErrorString() : std::string();
    SetLastErrorText(std::string("The FTDI adapter stopped answering while ") + step +
                     ": it was unplugged or lost its power (libftdi " + std::to_string(code) +
                     (library.empty() ? "" : ": " + library) + "). Plug it in again and reconnect.");
  }
  dead_ = true;
  ReportLineFault();
}

uint8_t TSpiBus_FTDI::PatternByte(bool reset, bool sck, bool mosi) const {
  return uint8_t((reset ? PinBit(pins_.Reset) : 0) | (sck ? PinBit(pins_.Sck) : 0) |
                 (mosi ? PinBit(pins_.Mosi) : 0));
}

bool TSpiBus_FTDI::ReadPattern(uint8_t byte, uint8_t& pins) {
  // The second byte's read-back shows the pins a whole tick after the first set them.
  queue_.assign(2, byte);
  std::vector<uint8_t> read_back;
  if (!RunQueue(&read_back)) return false;
  pins = read_back[1];
  return true;
}

std::string TSpiBus_FTDI::WireName(const char* signal, const TPinAssign& pin) const {
  return std::string(signal) + " (" + PinSignalName(TPinKind::Ftdi, pin.Pin) + ", bit " +
         std::to_string(pin.Pin) + (pin.Inverted ? ", inverted" : "") + ")";
}

std::vector<TWireFinding> TSpiBus_FTDI::TestWires() {
  std::vector<TWireFinding> findings;
  if (!device_ || dead_) {
    findings.push_back(
        {"adapter", TWireVerdict::Unseen, "The FTDI adapter is not open; nothing could be tested."});
    return findings;
  }
  // The target is held in reset, so that it drives none of the lines (an AVR in reset has its
  // pins as inputs) and ignores the clocks the test makes.
  reset_ = 1;
  sck_ = 0;
  mosi_ = 1;
  DriveNow();

  struct TOutput {
    const char* name;
    const TPinAssign* pin;
  };
  const std::array<TOutput, 3> outputs = {
      {{"RESET", &pins_.Reset}, {"SCK", &pins_.Sck}, {"MOSI", &pins_.Mosi}}};
  // Pin levels of the three outputs per pattern: all low, all high, each alone high, each alone
  // low. A stuck pin shows in the first two; two outputs that read alike whenever either is
  // driven against the other are shorted; MISO that reads what one output is driven to, in every
  // pattern, is shorted to it.
  std::vector<std::array<bool, 3>> patterns = {{false, false, false}, {true, true, true}};
  for (size_t i = 0; i < 3; ++i) {
    std::array<bool, 3> one{}, cold{true, true, true};
    one[i] = true;
    cold[i] = false;
    patterns.push_back(one);
    patterns.push_back(cold);
  }
  std::vector<uint8_t> read(patterns.size());
  bool ok = true;
  for (size_t p = 0; p < patterns.size() && ok; ++p)
    ok = ReadPattern(PatternByte(patterns[p][0], patterns[p][1], patterns[p][2]), read[p]);
  reset_ = 0;
  sck_ = 0;
  mosi_ = 1;
  if (ok) DriveNow(); // lines idle, the target runs again
  if (!ok) {
    findings.push_back({"adapter", TWireVerdict::Unseen, LastErrorText()});
    return findings;
  }
  auto level = [&](const TPinAssign& pin, size_t p) { return (read[p] & PinBit(pin)) != 0; };

  std::array<int, 3> stuck{-1, -1, -1}; // the level a stuck output reads
  for (size_t i = 0; i < 3; ++i) {
    const bool low = level(*outputs[i].pin, 0), high = level(*outputs[i].pin, 1);
    if (low && high) stuck[i] = 1;
    if (!low && !high) stuck[i] = 0;
    if (low && !high) stuck[i] = 2; // reads the opposite: nothing a wire does
  }
  std::array<int, 3> shorted_to{-1, -1, -1};
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = i + 1; j < 3; ++j) {
      if (stuck[i] >= 0 || stuck[j] >= 0) continue;
      const size_t one_i = 2 + 2 * i, one_j = 2 + 2 * j;
      if (level(*outputs[i].pin, one_i) == level(*outputs[j].pin, one_i) &&
          level(*outputs[i].pin, one_j) == level(*outputs[j].pin, one_j)) {
        if (shorted_to[i] < 0) shorted_to[i] = int(j);
        if (shorted_to[j] < 0) shorted_to[j] = int(i);
      }
    }
  for (size_t i = 0; i < 3; ++i) {
    const std::string name = WireName(outputs[i].name, *outputs[i].pin);
    TWireFinding finding{outputs[i].name, TWireVerdict::Ok, {}};
    if (stuck[i] == 1) {
      finding = {outputs[i].name, TWireVerdict::Broken,
                 name + " stays high when driven low: it is held up (a short to the supply, or something "
                        "driving it)."};
    } else if (stuck[i] == 0) {
      finding = {outputs[i].name, TWireVerdict::Broken,
                 name + " stays low when driven high: it is held down (a short to ground, or something "
                        "driving it)."};
    } else if (stuck[i] == 2) {
      finding = {outputs[i].name, TWireVerdict::Broken,
                 name + " reads the opposite of what it is driven to."};
    } else if (shorted_to[i] >= 0) {
      const size_t j = size_t(shorted_to[i]);
      finding = {outputs[i].name, TWireVerdict::Shorted,
                 name + " and " + WireName(outputs[j].name, *outputs[j].pin) +
                     " are shorted together: each reads what the other is driven to."};
    } else {
      finding.Text =
          name + " follows what it is driven to at the adapter (a break further along the cable shows only "
                 "with a chip).";
    }
    findings.push_back(finding);
  }

  // MISO against SCK and MOSI only while RESET is held: a chip answers on MISO once RESET is held
  // (and rests it when released), which would look like a short to RESET.
  const bool held = (PortByte(0, 0, 1) & PinBit(pins_.Reset)) != 0;
  const std::string miso = WireName("MISO", pins_.Miso);
  TWireFinding miso_finding{"MISO", TWireVerdict::Ok, {}};
  bool follows_reset = true;
  for (size_t p = 0; p < patterns.size(); ++p)
    follows_reset = follows_reset && level(pins_.Miso, p) == patterns[p][0];
  for (size_t i = 1; i < 3 && miso_finding.Verdict == TWireVerdict::Ok; ++i) {
    bool follows = true;
    for (size_t p = 0; p < patterns.size(); ++p)
      if (patterns[p][0] == held) follows = follows && level(pins_.Miso, p) == patterns[p][i];
    if (follows)
      miso_finding = {"MISO", TWireVerdict::Shorted,
                      miso + " follows " + WireName(outputs[i].name, *outputs[i].pin) +
                          ": the two are shorted together."};
  }
  if (miso_finding.Verdict == TWireVerdict::Ok) {
    miso_finding.Text = miso + " follows neither SCK nor MOSI";
    miso_finding.Text +=
        follows_reset ? "; it follows RESET, as a chip answering does (or a short to RESET would)." : ".";
  }
  findings.push_back(miso_finding);
  return findings;
}
