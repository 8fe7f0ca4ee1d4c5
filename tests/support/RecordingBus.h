// A test bus back end: logs every line operation (and, with a virtual clock, every wait) in order and
// plays MISO from a script. Derived fakes hook the line changes to model a target.
#pragma once
#include "core/uSpiBus_base.h"
#include "core/uWait.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct TLineEvent {
  enum Kind { Mosi, Sck, Reset, Miso, BusyWait, Sleep };
  Kind kind;
  uint32_t value; // line level; for waits µs (BusyWait) or ms (Sleep)
  friend bool operator==(const TLineEvent&, const TLineEvent&) = default;
};
std::string ToString(const TLineEvent& event);

class TRecordingBus : public TSpiBusBase {
public:
  // Only this port number opens; any other leaves the bus constructed with its port closed.
  explicit TRecordingBus(int32_t openable_port = 1) : openable_port_(openable_port) {}
  ~TRecordingBus() override;

  HRESULT OpenPort(int32_t port_number) override;
  void ClosePort() override;
  HRESULT ProbeHardware() override;
  void SetMosi(uint8_t level) final;
  bool GetMiso(uint8_t& level) final;
  void SetSck(uint8_t level) final;
  void SetReset(uint8_t level) final;

  // Waits observed on the clock land in the log between the line operations.
  void AttachClock(TVirtualClock& clock);

  bool PortOpen() const { return open_; }
  bool adapter_present = true;     // ProbeHardware's loop-back result
  bool record = true;              // off for long transfers that need no line log
  bool miso_fails = false;         // GetMiso reports failure (a port that went away)
  bool drive_fails = false;        // driving a line fails; reported as a line fault
  std::deque<uint8_t> miso_script; // levels for the next samples; miso_rest when exhausted
  uint8_t miso_rest = 1;
  std::vector<TLineEvent> log;

  // Current logical levels.
  uint8_t mosi = 0, sck = 0, reset = 0;

  // MOSI levels at each rising edge of SCK in the log; mosi_before is the level before its first entry
  // (the idle level after OpenPort).
  std::vector<uint8_t> MosiAtRisingEdges(uint8_t mosi_before = 1) const;
  size_t Count(TLineEvent::Kind kind) const;

protected:
  // Hooks for derived fakes; called after the level has been recorded.
  virtual void OnSckChanged(uint8_t previous, uint8_t level) { (void)previous, (void)level; }
  virtual void OnResetChanged(uint8_t level) { (void)level; }
  // The level a sample reads; the default plays the script.
  virtual uint8_t MisoLevel();

private:
  bool CanDrive(); // port open and driving works; a failure is reported as a line fault
  void Record(TLineEvent::Kind kind, uint32_t value) {
    if (record) log.push_back({kind, value});
  }
  int32_t openable_port_;
  TVirtualClock* clock_ = nullptr;
  bool open_ = false;
};
