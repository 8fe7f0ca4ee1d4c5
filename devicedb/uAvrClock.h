// What clock a chip runs from, as its low fuse byte selects it: the clock-source tables of the
// datasheets ("Device Clocking Options Select") held as data per family of parts, so that the fuse
// editor can explain a change before it is written and an SCK speed can be chosen that the chip's
// clock allows. Families are matched by the record's name, not by its CPU type: newer parts share
// the CPU type of an older one for their lock and fuse reads while their clock tables differ.
#pragma once
#include "devicedb/uAVR_base.h"

#include <cstdint>
#include <string>

enum class TAvrClockKind : uint8_t {
  Unknown,             // the family's table is not held here, or the record lacks the CKSEL bits
  Reserved,            // a CKSEL value the datasheet reserves: the chip's behaviour is not defined
  InternalRc,          // calibrated internal RC oscillator (or a PLL fed by it), Hz gives it
  InternalSlow,        // the 128 kHz internal (watchdog) oscillator
  ExternalClock,       // a clock signal driven into XTAL1/CLKI
  Crystal,             // a crystal or ceramic resonator on XTAL1/XTAL2
  LowFrequencyCrystal, // a 32.768 kHz watch crystal
  ExternalRc,          // an RC network on XTAL1
};

struct TAvrClock {
  TAvrClockKind Kind = TAvrClockKind::Unknown;
  // The source's nominal frequency before CKDIV8 (internal sources and the watch crystal); 0 when
  // the part on the board decides it.
  uint32_t SourceHz = 0;
  bool HasCkdiv8 = false; // the record names a CKDIV8 bit in its low fuse byte
  bool DividedBy8 = false;
  const char* Source = ""; // the datasheet table, or "" for an unknown family
  const char* Detail = ""; // the datasheet's name of the option ("high-frequency PLL clock")

  // The system clock, when the fuses alone decide it; 0 when the board's part does.
  uint32_t SystemHz() const { return DividedBy8 ? SourceHz / 8 : SourceHz; }
  // Whether the chip needs something on the board (a crystal, a clock, an RC network) to run.
  bool NeedsExternalPart() const {
    return Kind == TAvrClockKind::ExternalClock || Kind == TAvrClockKind::Crystal ||
           Kind == TAvrClockKind::LowFrequencyCrystal || Kind == TAvrClockKind::ExternalRc;
  }
};

// The clock that a raw low fuse byte (0 = programmed) selects on the record's chip. Kind Unknown
// when the family is not in the tables or the record does not name its CKSEL bits.
TAvrClock DescribeClock(const TAvrSigType& record, uint8_t low_fuse_raw);
// Whether the family's clock table is known (DescribeClock gives no Unknown kind for it).
bool ClockFamilyKnown(const TAvrSigType& record);
// The low fuse bits that select the clock and its start-up (CKSEL*, SUT*, CKDIV8, CKOPT, PLLCK,
// RCEN, FSTRT, as the record names them).
uint8_t ClockSelectBits(const TAvrSigType& record);
// "calibrated internal RC oscillator, 8 MHz" and the like, for messages.
std::string DescribeClockText(const TAvrClock& clock);
