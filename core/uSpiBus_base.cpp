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

void TSpiBusBase::SetLines(uint8_t mosi, uint8_t sck) {
  // A falling edge comes before the new data, a rising one after it: MOSI never moves under a
  // high clock, where the target samples it.
  if (!sck && seam_sck_ != 0) SetSck(0);
  if (seam_mosi_ != mosi) SetMosi(mosi);
  if (sck && seam_sck_ != 1) SetSck(1);
  seam_mosi_ = mosi;
  seam_sck_ = sck;
}

void TSpiBusBase::SampleInto(uint8_t& byte, uint8_t mask) {
  if (SampleMiso()) byte |= mask;
}

void TSpiBusBase::PhaseWait(uint32_t us) {
  WaitUs(us);
}

void TSpiBusBase::ClockBit(uint8_t bit, uint8_t* in, uint8_t mask) {
  const uint32_t d = SpiSpeedHalfPeriodUs(Speed);
  SetLines(bit, 0);
  PhaseWait(d);
  SetLines(bit, 1); // the target samples MOSI on this edge
  PhaseWait(d);
  // Half a period after the rising edge, before the falling one.
  if (in) SampleInto(*in, mask);
}

void TSpiBusBase::ClockByte(uint8_t out, uint8_t sample, uint8_t& in) {
  for (int index = 7; index >= 0; --index) {
    const uint8_t mask = uint8_t(1u << index);
    ClockBit((out >> index) & 1, (sample & mask) ? &in : nullptr, mask);
  }
}

void TSpiBusBase::EndClocking() {
  SetLines(1, 0);
  FlushLines();
}

HRESULT TSpiBusBase::Exchange(TSpiFrame* frames, size_t count) {
  if (count == 0) return line_fault_ ? SPI_E_NOPORT : S_OK;
  BeginClocking();
  size_t done = 0;
  for (; done < count && !line_fault_ && !Aborted(); ++done) {
    TSpiFrame& frame = frames[done];
    for (int k = 0; k < 4; ++k) {
      frame.In[k] = 0;
      ClockByte(frame.Out[k], uint8_t(frame.Sample >> (8 * (3 - k))), frame.In[k]);
    }
  }
  EndClocking();
  // Frames not clocked read as an undriven MISO at their sampled bits.
  for (size_t i = done; i < count; ++i)
    for (int k = 0; k < 4; ++k) frames[i].In[k] = uint8_t(frames[i].Sample >> (8 * (3 - k)));
  return line_fault_ ? SPI_E_NOPORT : S_OK;
}

HRESULT TSpiBusBase::WriteBit(uint8_t bit) {
  BeginClocking();
  ClockBit(bit ? 1 : 0, nullptr, 0);
  SetLines(bit ? 1 : 0, 0);
  FlushLines();
  return 0;
}

uint8_t TSpiBusBase::ReadBit() {
  BeginClocking();
  uint8_t level = 0;
  ClockBit(1, &level, 1);
  SetLines(1, 0);
  FlushLines();
  return level;
}

uint8_t TSpiBusBase::SampleMiso() {
  // A failed sample reads as 1 (an undriven MISO floats high) and is remembered as a line fault.
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
  BeginClocking();
  uint8_t ignored = 0;
  ClockByte(value, 0, ignored);
  EndClocking();
  return 0;
}

uint8_t TSpiBusBase::TransferByte(uint8_t value) {
  // Reads as an undriven line, which the echo check then takes for a silent chip.
  if (Aborted()) return 0xFF;
  BeginClocking();
  uint8_t result = 0;
  ClockByte(value, 0xFF, result);
  EndClocking();
  return result;
}

uint8_t TSpiBusBase::ReadByte() {
  if (Aborted()) return 0xFF; // what an undriven MISO gives
  BeginClocking();
  uint8_t result = 0;
  ClockByte(0xFF, 0xFF, result);
  EndClocking();
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
