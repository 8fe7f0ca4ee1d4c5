#include "core/uSpiBus_base.h"

#include "core/uWait.h"

namespace {
constexpr uint32_t kHalfPeriodUs[kSpiSpeedCount] = {0, 1, 3, 5, 10, 30, 100};
constexpr const char* kSpeedNames[kSpiSpeedCount] = {"sdFastest", "sdFaster", "sdFast",   "sdNormal",
                                                     "sdSlow",    "sdSlower", "sdSlowest"};
} // namespace

const char* SpiSpeedName(uint8_t speed) {
  return speed < kSpiSpeedCount ? kSpeedNames[speed] : nullptr;
}

uint32_t SpiSpeedHalfPeriodUs(uint8_t speed) {
  // An out-of-range level must never make the clock faster than the user asked for.
  return kHalfPeriodUs[speed < kSpiSpeedCount ? speed : kSpiSpeedCount - 1];
}

HRESULT TSpiBusBase::CheckHardware() {
  return ProbeHardware();
}

HRESULT TSpiBusBase::WriteBit(uint8_t bit) {
  const uint32_t d = SpiSpeedHalfPeriodUs(Speed);
  SetSck(0);
  SetMosi(bit);
  WaitUs(d);
  SetSck(1); // the target samples MOSI on this edge
  WaitUs(d);
  SetSck(0);
  return 0;
}

uint8_t TSpiBusBase::ReadBit() {
  const uint32_t d = SpiSpeedHalfPeriodUs(Speed);
  SetSck(0);
  WaitUs(d);
  SetSck(1);
  WaitUs(d);
  const uint8_t level = SampleMiso();
  SetSck(0);
  return level;
}

uint8_t TSpiBusBase::SampleMiso() {
  // Sampled half a period after the rising edge, before the falling one. A failed sample reads
  // as 1 (an undriven MISO floats high) and is remembered as a line fault.
  uint8_t level = 1;
  if (!GetMiso(level)) {
    level = 1;
    ReportLineFault();
  }
  return level ? 1 : 0;
}

bool TSpiBusBase::Aborted() {
  if (!abort_flag_ || *abort_flag_ == 0) return false;
  ReportLineFault();
  return true;
}

HRESULT TSpiBusBase::WriteByte(uint8_t value) {
  if (Aborted()) return 0;
  SetSck(0);
  for (int index = 7; index >= 0; --index) WriteBit((value >> index) & 1);
  SetMosi(1);
  return 0;
}

uint8_t TSpiBusBase::TransferByte(uint8_t value) {
  // Reads as an undriven line, which the echo check then takes for a silent chip.
  if (Aborted()) return 0xFF;
  const uint32_t d = SpiSpeedHalfPeriodUs(Speed);
  SetSck(0);
  uint8_t result = 0;
  for (int index = 7; index >= 0; --index) {
    SetSck(0);
    SetMosi((value >> index) & 1);
    WaitUs(d);
    SetSck(1);
    WaitUs(d);
    if (SampleMiso()) result |= uint8_t(1u << index);
    SetSck(0);
  }
  SetMosi(1);
  return result;
}

uint8_t TSpiBusBase::ReadByte() {
  if (Aborted()) return 0xFF; // what an undriven MISO gives
  SetSck(0);
  uint8_t result = 0;
  for (int index = 7; index >= 0; --index)
    if (ReadBit()) result |= uint8_t(1u << index);
  SetMosi(1);
  return result;
}

HRESULT TSpiBusBase::SetProgMode(bool enable) {
  if (!enable) {
    SetReset(0);
    return 0;
  }
  if (Aborted()) return 0; // no new reset sequence for a chip nobody will talk to
  SetSck(0);
  SetMosi(1);
  WaitMs(20);
  SetReset(0);
  WaitMs(ResetPulseTime);
  SetReset(1);
  WaitMs(ResetSettleTime);
  return 0;
}

HRESULT TSpiBusBase::GetErrorText(HRESULT code, std::string& text) {
  switch (code) {
  case SPI_E_NOPORT:
    text = "Can not open physical connection device (COM,LPT,..)!";
    return 0;
  case SPI_E_NOHARDWARE:
    text = "Can not find hardware device (serial/parallel dongle)!";
    return 0;
  default:
    return 1;
  }
}
