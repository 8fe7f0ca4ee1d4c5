// A model of GPIO chips behind the GPIO library seam (hw/uGpioLib.h), for tests of the GPIO and
// spidev back ends without a board. Each chip has named lines, some held by other consumers, and
// a simulated AVR wired to some of its lines:
//  - RESET is the AVR's active-low pin: a line driven low holds the chip in reset; a line not
//    driven by anyone reads high (the AVR's pull-up on RESET).
//  - SCK and MOSI go to the chip as driven; MISO reads the chip's MISO, high when no chip drives it.
//  - An inverting buffer per wire, a line stuck at a level (shorted to ground or the supply), and
//    MISO shorted to another line can be modelled.
// Faults: a missing chip (ENOENT), open refused (EACCES), lines busy, and every line call after a
// number of calls failing (ENODEV: the chip was removed).
#pragma once
#include "hw/uGpioLib.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TSimAvrChip;
class TVirtualClock;

struct TFakeGpioLine {
  std::string name;
  std::string consumer; // who holds it; "" when free
  bool output = false;  // requested as an output
  int value = 0;        // the level last driven
  int stuck = -1;       // 0 or 1: the pin is held at that level whatever drives it
};

// Where the simulated chip's pins are; -1 for a pin not on this GPIO chip.
struct TFakeGpioWiring {
  int reset = -1, sck = -1, mosi = -1, miso = -1;
  bool invert_reset = false, invert_sck = false, invert_mosi = false, invert_miso = false;
  int miso_follows = -1; // a short: MISO reads this line instead of the chip
};

struct TFakeGpioChip {
  std::string name, label;
  std::vector<TFakeGpioLine> lines;
  int open_errno = 0;            // opening fails with this errno
  int64_t fail_after_calls = -1; // line calls after this many fail with fail_errno
  int fail_errno = ENODEV;
  TSimAvrChip* chip = nullptr;
  TFakeGpioWiring wiring;
  bool keep_events = true;
  // Time per line call, on the clock when one is set (the benchmark's cost per call).
  TVirtualClock* clock = nullptr;
  uint64_t ns_per_call = 0;

  // State and counts.
  int open_handles = 0;
  uint64_t calls = 0; // set, get and request calls
  uint64_t sets = 0, gets = 0, requests = 0, releases = 0;
  // "request 25=1", "set 11=0 10=1", "get 9", "release 25", ...; with the chip's reset state.
  std::vector<std::string> events;

  int Level(unsigned offset) const; // the pin's level as the wires have it
  bool Failing() const { return fail_after_calls >= 0 && int64_t(calls) > fail_after_calls; }
  // Index of the first event starting with prefix at or after from; -1 when none.
  int Find(const std::string& prefix, size_t from = 0) const;
  bool Held(unsigned offset) const { return offset < lines.size() && !lines[offset].consumer.empty(); }
  // Drives the simulated chip from the lines (reset first, data before clock).
  void DriveChip();
  void Record(const std::string& event) {
    if (keep_events) events.push_back(event);
  }
};

class TFakeGpio : public IGpioLib {
public:
  // A chip of num_lines lines named "GPIO0", "GPIO1", ... (names can be changed afterwards).
  TFakeGpioChip& AddChip(const std::string& path, unsigned num_lines = 54);
  TFakeGpioChip& Chip(const std::string& path) { return chips_.at(path); }
  int OpenHandles() const;    // chips still open, over all chips
  int RequestedLines() const; // lines held by "pinlet", over all chips

  int OpenChip(const std::string& path, std::unique_ptr<IGpioChip>& chip) override;

private:
  std::map<std::string, TFakeGpioChip> chips_;
};
