#include "app/uSckSpeed.h"

#include "core/uSpiBus_base.h"

#include <algorithm>

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

uint64_t LevelPhaseNs(uint8_t level, const TSpiBusBase* bus) {
  if (bus)
    if (const uint32_t own = bus->SckPhaseNs(level); own != 0) return own;
  return uint64_t(SpiSpeedHalfPeriodUs(level)) * 1000u;
}

bool LevelSuitsClock(uint8_t level, uint32_t system_hz, const TSpiBusBase* bus) {
  const uint64_t phase_ns = LevelPhaseNs(level, bus);
  // phase >= cycles / f, kept in integers; a level without a wait is never said to suit.
  return system_hz != 0 && phase_ns != 0 &&
         phase_ns * system_hz >= uint64_t(CyclesPerPhase(system_hz)) * 1'000'000'000u;
}

uint8_t FastestLevelForClock(uint32_t system_hz, const TSpiBusBase* bus) {
  for (uint8_t level = 0; level < kSpiSpeedCount; ++level)
    if (LevelSuitsClock(level, system_hz, bus)) return level;
  return kSpiSpeedCount - 1;
}

uint32_t LowestClockForLevel(uint8_t level, const TSpiBusBase* bus) {
  const uint64_t phase_ns = LevelPhaseNs(level, bus);
  if (phase_ns == 0) return 0;
  // Two cycles per phase below 12 MHz; a phase short enough to be taken above that needs three.
  const uint64_t two = (2'000'000'000u + phase_ns - 1) / phase_ns;
  if (two < kThreeCycleHz) return uint32_t(two);
  return uint32_t(std::max<uint64_t>((3'000'000'000u + phase_ns - 1) / phase_ns, kThreeCycleHz));
}
