#include "app/uSckSpeed.h"

#include "core/uSpiBus_base.h"

namespace {
constexpr uint32_t kThreeCycleHz = 12'000'000;

uint32_t CyclesPerPhase(uint32_t system_hz) {
  return system_hz >= kThreeCycleHz ? 3 : 2;
}
} // namespace

uint64_t MinSckPhaseNs(uint32_t system_hz) {
  if (system_hz == 0) return UINT64_MAX;
  return uint64_t(CyclesPerPhase(system_hz)) * 1'000'000'000u / system_hz;
}

bool LevelSuitsClock(uint8_t level, uint32_t system_hz) {
  const uint64_t phase_ns = uint64_t(SpiSpeedHalfPeriodUs(level)) * 1000u;
  // phase >= cycles / f, kept in integers; a level without a wait is never said to suit.
  return system_hz != 0 && phase_ns != 0 &&
         phase_ns * system_hz >= uint64_t(CyclesPerPhase(system_hz)) * 1'000'000'000u;
}

uint8_t FastestLevelForClock(uint32_t system_hz) {
  for (uint8_t level = 0; level < kSpiSpeedCount; ++level)
    if (LevelSuitsClock(level, system_hz)) return level;
  return kSpiSpeedCount - 1;
}

uint32_t LowestClockForLevel(uint8_t level) {
  const uint64_t phase_ns = uint64_t(SpiSpeedHalfPeriodUs(level)) * 1000u;
  // Every level with a wait has a phase of a microsecond or more: its lowest clock lies below
  // 12 MHz, where two cycles must fit.
  return phase_ns == 0 ? 0 : uint32_t((2'000'000'000u + phase_ns - 1) / phase_ns);
}
