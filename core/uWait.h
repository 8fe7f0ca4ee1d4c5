// Wait primitives. Every delay of the programmer goes through WaitMs/WaitUs, and they go through
// one replaceable clock: the product uses the monotonic counter, tests and the simulated chip can
// install a virtual clock so that a 256 KB write costs no real page waits.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

class IWaitClock {
public:
  virtual ~IWaitClock() = default;
  virtual uint64_t NowNs() = 0;             // monotonic time in nanoseconds
  virtual void BusyWaitUs(uint32_t us) = 0; // spin; called with us > 0
  virtual void SleepMs(uint32_t ms) = 0;    // give the processor to the system; ms > 30
};

// 0 returns at once; up to 30 ms busy-waits through WaitUs; longer sleeps.
void WaitMs(uint32_t ms);
// 0 returns at once (without reading the clock); otherwise busy-waits.
void WaitUs(uint32_t us);

IWaitClock& WaitClock();
// Installs a clock; nullptr restores the monotonic one. Returns the previous clock (null when it
// was the monotonic one).
std::shared_ptr<IWaitClock> SetWaitClock(std::shared_ptr<IWaitClock> clock);

// Installs a clock for the lifetime of the object (tests, the benchmark).
class TScopedWaitClock {
public:
  explicit TScopedWaitClock(std::shared_ptr<IWaitClock> clock) : previous_(SetWaitClock(std::move(clock))) {}
  ~TScopedWaitClock() { SetWaitClock(previous_); }
  TScopedWaitClock(const TScopedWaitClock&) = delete;
  TScopedWaitClock& operator=(const TScopedWaitClock&) = delete;

private:
  std::shared_ptr<IWaitClock> previous_;
};

// Time that passes only when somebody waits. Counts what was waited, so tests can see the waits.
class TVirtualClock : public IWaitClock {
public:
  uint64_t NowNs() override { return now_ns; }
  void BusyWaitUs(uint32_t us) override {
    now_ns += uint64_t(us) * 1000;
    busy_us += us;
    ++busy_calls;
    if (on_wait) on_wait(false, us);
  }
  void SleepMs(uint32_t ms) override {
    now_ns += uint64_t(ms) * 1000000;
    slept_ms += ms;
    ++sleep_calls;
    if (on_wait) on_wait(true, ms);
  }
  void Advance(uint64_t ns) { now_ns += ns; }

  uint64_t now_ns = 0;
  uint64_t busy_us = 0, slept_ms = 0, busy_calls = 0, sleep_calls = 0;
  // Observer: (sleep?, amount in µs for busy waits or ms for sleeps).
  std::function<void(bool, uint32_t)> on_wait;
};

// The product's clock: CLOCK_MONOTONIC, counter test at start-up, calibrated fallback loop.
class TMonotonicClock : public IWaitClock {
public:
  TMonotonicClock();
  uint64_t NowNs() override;
  void BusyWaitUs(uint32_t us) override;
  void SleepMs(uint32_t ms) override;

  bool CounterUsable() const { return usable_; }
  int64_t CounterFrequency() const { return frequency_; }
  // Fallback loop calibration, computed on first use.
  uint32_t LoopsPerMs();

private:
  bool usable_ = false;
  int64_t frequency_ = 0;
  uint32_t loops_per_ms_ = 0;
};

// The start-up counter test: the counter is trusted when, in up to 50 tries, two back-to-back
// readings differ by less than 8 µs worth of ticks.
bool TestCounter(const std::function<int64_t()>& read_counter, int64_t frequency);
