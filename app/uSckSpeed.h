// Which SCK speed level a target's clock allows. A chip samples SCK with its own clock, so each
// SCK phase (high and low) must last 2 of its clock cycles below 12 MHz and 3 at 12 MHz and above
// (ATmega48A/PA/88A/PA/168A/PA/328/P datasheet 8271D, "Serial Downloading": SCK low and high
// "> 2 CPU clock cycles for fck < 12 MHz, 3 CPU clock cycles for fck >= 12 MHz"; ATtiny11/12
// datasheet Table 26: tSHSL, tSLSH min 2 tCLCL). No level's phase lies on such a bound for the
// clocks the fuses give, so "at least" and "more than" choose alike.
//
// The phase of a level is its wait (SpiSpeedHalfPeriodUs), or what the bus says it is
// (TSpiBusBase::SckPhaseNs) where its clock is its own: a USB bit-bang adapter or an SPI
// controller. On a bit-banged port the port operations around the wait make the real phase longer
// still, but no port promises how long an operation takes, so they are not counted there; sdFastest,
// whose phase on a port is the operations alone, is never the level a clock is said to suit there.
#pragma once
#include <cstdint>

class TSpiBusBase;

// "Auto" in the speed selectors: enter programming mode at the level of kAutoEntryHz, read the
// fuses, then use the fastest level the chip's clock allows where the fuses give the clock.
constexpr uint8_t kSpeedAuto = 7;
// A factory-fresh chip runs at 1 MHz (8 MHz internal RC divided by 8).
constexpr uint32_t kAutoEntryHz = 1'000'000;

// The least SCK phase, in ns, that a chip running at system_hz takes.
uint64_t MinSckPhaseNs(uint32_t system_hz);
// The phase of a level on the bus, in ns (bus null: a port whose operations are not counted).
uint64_t LevelPhaseNs(uint8_t level, const TSpiBusBase* bus = nullptr);
// Whether every phase of the level lasts as long as the chip's clock needs.
bool LevelSuitsClock(uint8_t level, uint32_t system_hz, const TSpiBusBase* bus = nullptr);
// The fastest level that suits the clock; the slowest level when none does.
uint8_t FastestLevelForClock(uint32_t system_hz, const TSpiBusBase* bus = nullptr);
// The lowest clock, in Hz, that the level suits (0 for a level no clock is said to suit).
uint32_t LowestClockForLevel(uint8_t level, const TSpiBusBase* bus = nullptr);
