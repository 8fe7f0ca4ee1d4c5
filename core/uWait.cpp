#include "core/uWait.h"

#include <ctime>

namespace {

int64_t ReadMonotonicNs() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::shared_ptr<IWaitClock>& InstalledClock() {
  static std::shared_ptr<IWaitClock> clock;
  return clock;
}

TMonotonicClock& ProductClock() {
  static TMonotonicClock clock;
  return clock;
}

// Keeps the optimiser from removing the fallback loop.
volatile uint32_t g_sink = 0;

void SpinLoops(uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) g_sink = g_sink + 1;
}

} // namespace

bool TestCounter(const std::function<int64_t()>& read_counter, int64_t frequency) {
  if (frequency <= 0) return false;
  const auto threshold = static_cast<int64_t>(double(8 * frequency) / 1000000.0);
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int64_t first = read_counter();
    const int64_t second = read_counter();
    if (first >= 0 && second >= 0 && second - first < threshold) return true;
  }
  return false;
}

TMonotonicClock::TMonotonicClock() {
  timespec res{};
  if (clock_getres(CLOCK_MONOTONIC, &res) == 0 && res.tv_sec == 0 && res.tv_nsec > 0) {
    frequency_ = 1000000000; // nanosecond ticks
    usable_ = TestCounter(ReadMonotonicNs, frequency_);
  }
}

uint64_t TMonotonicClock::NowNs() {
  const int64_t now = ReadMonotonicNs();
  return now < 0 ? 0 : uint64_t(now);
}

uint32_t TMonotonicClock::LoopsPerMs() {
  if (loops_per_ms_ == 0) {
    // Time a block of iterations with the coarse clock and scale; good enough for a fallback that
    // only runs when the monotonic counter is unusable.
    constexpr uint64_t kProbe = 2000000;
    timespec a{}, b{};
    clock_gettime(CLOCK_REALTIME, &a);
    SpinLoops(kProbe);
    clock_gettime(CLOCK_REALTIME, &b);
    const double ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
    const double per_ms = ms > 0 ? kProbe / ms : kProbe;
    loops_per_ms_ = per_ms < 1 ? 1 : per_ms > 4e9 ? 4000000000u : static_cast<uint32_t>(per_ms);
  }
  return loops_per_ms_;
}

void TMonotonicClock::BusyWaitUs(uint32_t us) {
  if (us == 0) return;
  if (usable_) {
    const int64_t start = ReadMonotonicNs();
    const auto ticks = static_cast<int64_t>(double(us) * double(frequency_) / 1000000.0);
    while (ReadMonotonicNs() - start < ticks) {
    }
    return;
  }
  SpinLoops(static_cast<uint64_t>(double(us) * LoopsPerMs() / 1000.0));
}

void TMonotonicClock::SleepMs(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) != 0) req = rem; // resume after signals
}

IWaitClock& WaitClock() {
  auto& installed = InstalledClock();
  if (installed) return *installed;
  return ProductClock();
}

std::shared_ptr<IWaitClock> SetWaitClock(std::shared_ptr<IWaitClock> clock) {
  auto previous = std::move(InstalledClock());
  InstalledClock() = std::move(clock);
  return previous;
}

void WaitUs(uint32_t us) {
  if (us == 0) return;
  WaitClock().BusyWaitUs(us);
}

void WaitMs(uint32_t ms) {
  if (ms == 0) return;
  if (ms <= 30) {
    WaitUs(ms * 1000);
    return;
  }
  WaitClock().SleepMs(ms);
}
