#include "tests/support/RecordingBus.h"

#include <algorithm>

std::string ToString(const TLineEvent& event) {
  static const char* const kNames[] = {"MOSI", "SCK", "RESET", "MISO", "busy(us)", "sleep(ms)"};
  return std::string(kNames[event.kind]) + "=" + std::to_string(event.value);
}

TRecordingBus::~TRecordingBus() {
  if (clock_) clock_->on_wait = nullptr; // the observer must not outlive the log
  ClosePort();
}

HRESULT TRecordingBus::OpenPort(int32_t port_number) {
  if (port_number != openable_port_) return -2; // as a failed open() would report ENOENT
  open_ = true;
  // Idle state: reset released, clock low, MOSI high.
  reset = 0;
  sck = 0;
  mosi = 1;
  return S_OK;
}

void TRecordingBus::ClosePort() {
  if (!open_) return;
  SetReset(0);
  open_ = false;
}

bool TRecordingBus::CanDrive() {
  if (open_ && drive_fails) ReportLineFault();
  return open_ && !drive_fails;
}

HRESULT TRecordingBus::ProbeHardware() {
  if (!open_) return SPI_E_NOPORT;
  return adapter_present ? S_OK : SPI_E_NOHARDWARE;
}

void TRecordingBus::SetMosi(uint8_t level) {
  if (!CanDrive()) return;
  mosi = level ? 1 : 0;
  Record(TLineEvent::Mosi, mosi);
}

bool TRecordingBus::GetMiso(uint8_t& level) {
  if (!open_ || miso_fails) return false;
  level = MisoLevel();
  Record(TLineEvent::Miso, level);
  return true;
}

void TRecordingBus::SetSck(uint8_t level) {
  if (!CanDrive()) return;
  const uint8_t previous = sck;
  sck = level ? 1 : 0;
  Record(TLineEvent::Sck, sck);
  OnSckChanged(previous, sck);
}

void TRecordingBus::SetReset(uint8_t level) {
  if (!CanDrive()) return;
  reset = level ? 1 : 0;
  Record(TLineEvent::Reset, reset);
  OnResetChanged(reset);
}

uint8_t TRecordingBus::MisoLevel() {
  if (miso_script.empty()) return miso_rest;
  const uint8_t level = miso_script.front();
  miso_script.pop_front();
  return level;
}

void TRecordingBus::AttachClock(TVirtualClock& clock) {
  clock_ = &clock;
  clock.on_wait = [this](bool sleep, uint32_t amount) {
    Record(sleep ? TLineEvent::Sleep : TLineEvent::BusyWait, amount);
  };
}

std::vector<uint8_t> TRecordingBus::MosiAtRisingEdges(uint8_t mosi_before) const {
  std::vector<uint8_t> levels;
  uint8_t level = mosi_before, clock = 0;
  for (const TLineEvent& e : log) {
    if (e.kind == TLineEvent::Mosi) level = uint8_t(e.value);
    if (e.kind == TLineEvent::Sck) {
      if (!clock && e.value) levels.push_back(level);
      clock = uint8_t(e.value);
    }
  }
  return levels;
}

size_t TRecordingBus::Count(TLineEvent::Kind kind) const {
  return size_t(
      std::count_if(log.begin(), log.end(), [kind](const TLineEvent& e) { return e.kind == kind; }));
}
