#include "sim/uSpiBus_Sim.h"

#include <string>

TSpiBus_Sim::TSpiBus_Sim(std::unique_ptr<TSimAvrChip> chip) : chip_(std::move(chip)) {}

TSpiBus_Sim::~TSpiBus_Sim() {
  ClosePort();
}

HRESULT TSpiBus_Sim::OpenPort(int32_t port_number) {
  SetLastErrorText({});
  if (port_number <= 0) return SPI_E_NOPORT;
  // Exclusive like a real port: a second run on the same chip would lose one of the two writes.
  if (chip_ && chip_->LockState() != S_OK) {
    SetLastErrorText("SIM" + std::to_string(port_number) +
                     " is in use by another program; close that program and try again.");
    return E_FAIL;
  }
  open_ = true;
  port_number_ = port_number;
  // Idle lines: target running, clock low, MOSI resting high.
  SetReset(0);
  SetSck(0);
  SetMosi(1);
  return S_OK;
}

void TSpiBus_Sim::ClosePort() {
  if (!open_) return;
  SetReset(0);
  open_ = false;
  if (!chip_) return;
  // The state file is written now, not only when the chip dies, so that whoever closes the port
  // (the window's "Free", the end of a command-line run) leaves the memories on disk. Commands
  // have saved when they left programming mode, where a failure can still be reported.
  if (chip_->SaveState() != S_OK) SetLastErrorText(chip_->SaveErrorText());
  chip_->UnlockState();
}

HRESULT TSpiBus_Sim::SetProgMode(bool enable) {
  const HRESULT hr = TSpiBusBase::SetProgMode(enable);
  if (enable || !open_ || !chip_ || hr != S_OK) return hr;
  // The end of a command: what it programmed must be kept, or the command did not succeed.
  const HRESULT saved = chip_->SaveState();
  if (saved != S_OK) SetLastErrorText(chip_->SaveErrorText());
  return saved;
}

HRESULT TSpiBus_Sim::ProbeHardware() {
  return open_ ? S_OK : SPI_E_NOPORT;
}

void TSpiBus_Sim::SetMosi(uint8_t level) {
  if (!open_) return;
  ++lines_.mosi;
  if (chip_) chip_->SetMosi(Apply(level, soMosiInverted));
}

bool TSpiBus_Sim::GetMiso(uint8_t& level) {
  if (!open_) return false;
  ++lines_.miso;
  const uint8_t pin = chip_ ? chip_->Miso() : 1; // an open MISO line floats high
  level = Apply(pin, soMisoInverted);
  return true;
}

void TSpiBus_Sim::SetSck(uint8_t level) {
  if (!open_) return;
  ++lines_.sck;
  if (chip_) chip_->SetSck(Apply(level, soSckInverted));
}

void TSpiBus_Sim::SetReset(uint8_t level) {
  if (!open_) return;
  ++lines_.reset;
  if (chip_) chip_->SetReset(Apply(level, soResetInverted));
}
