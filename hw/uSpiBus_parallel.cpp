#include "hw/uSpiBus_parallel.h"

#include "core/uWait.h"
#include "hw/uPortEnum.h"

TSpiBus_LPT::TSpiBus_LPT(std::shared_ptr<IOsSeam> seam, std::string device_path)
    : seam_(SeamOrPosix(std::move(seam))), device_path_(std::move(device_path)) {}

TSpiBus_LPT::~TSpiBus_LPT() {
  ClosePort();
}

HRESULT TSpiBus_LPT::OpenPort(int32_t port_number) {
  ClosePort(); // a second open must not leak the first claim
  port_number_ = 0;
  base_address_ = THwDirectInOut::kDefaultBase;
  data_shadow_ = status_shadow_ = control_shadow_ = 0;
  data_in_sync_ = false;
  Options = soResetInverted;
  SetLastErrorText({});
  opened_path_.clear();

  if (port_number < 1 || port_number > 3) {
    SetLastErrorText("LPT" + std::to_string(port_number) + " is not a parallel port number (1 to 3).");
    return E_INVALIDARG;
  }
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
  if (driver_->WritePort(base_address_ + 2, control_shadow_) != 0) ReportLineFault();
  SetAuxLines(true);
  return S_OK;
}

void TSpiBus_LPT::ClosePort() {
  if (port_number_ == 0) return;
  SetAuxLines(false);
  if (saved_control_valid_ && driver_ && driver_->WritePort(base_address_ + 2, saved_control_) != 0)
    ReportLineFault();
  saved_control_valid_ = false;
  port_number_ = 0;
  driver_.reset(); // releases the claim and closes the device
  data_in_sync_ = false;
}

HRESULT TSpiBus_LPT::ProbeHardware() {
  if (!driver_ || !driver_->IsOpen()) return SPI_E_NOPORT;
  return LoopbackTest() ? S_OK : SPI_E_NOHARDWARE;
}

void TSpiBus_LPT::SetMosi(uint8_t level) {
  if (port_number_ == 0) return;
  SetDataBit(kMosiBit, Drive(level, soMosiInverted));
}

void TSpiBus_LPT::SetSck(uint8_t level) {
  if (port_number_ == 0) return;
  SetDataBit(kSckBit, Drive(level, soSckInverted));
}

void TSpiBus_LPT::SetReset(uint8_t level) {
  if (port_number_ == 0) return;
  SetDataBit(kResetBit, Drive(level, soResetInverted));
}

bool TSpiBus_LPT::GetMiso(uint8_t& level) {
  if (port_number_ == 0) return false;
  uint8_t value = 0;
  if (ReadStatusBit(kMisoBit, value) != S_OK) {
    ReportLineFault();
    return false;
  }
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
  constexpr uint8_t kMosi = uint8_t(1u << kMosiBit), kSck = uint8_t(1u << kSckBit);
  SetDataBits(kMosi | kSck,
              uint8_t((Drive(mosi, soMosiInverted) ? kMosi : 0) | (Drive(sck, soSckInverted) ? kSck : 0)));
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
  if (active) {
    SetDataBit(kLoopBOut, true);
    SetDataBit(kResetBit, false); // holds the target in reset while the port is ours
    SetDataBit(2, false);
    SetDataBit(6, false);
    SetDataBit(3, false);
  } else {
    SetDataBit(3, true);
    SetDataBit(6, true);
    SetDataBit(kResetBit, true); // lets the target run
    SetDataBit(2, true);
  }
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
