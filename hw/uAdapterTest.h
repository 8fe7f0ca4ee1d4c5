// The wiring self-test a back end can run with no chip attached: it drives each of its outputs in
// turn, with the target held in reset, and reads back whatever the adapter lets it see (the
// loop-backs of the old cables, the pins' own levels on FTDI and GPIO, MISO). The controller adds
// the second half, with a chip: programming mode and its echo.
#pragma once
#include "hw/uPinMap.h"

#include <cstdint>
#include <string>
#include <vector>

enum class TWireVerdict : uint8_t {
  Ok,      // the wire did what it was told, as far as can be seen
  Broken,  // an output that does not follow, a loop-back that stays put
  Shorted, // a line that follows another one
  Unseen,  // this adapter cannot see the wire; nothing is claimed
};

struct TWireFinding {
  std::string Wire; // "RESET", "SCK", "MOSI", "MISO", "loop-back (pin 2 -> pin 12)"
  TWireVerdict Verdict = TWireVerdict::Unseen;
  std::string Text; // a plain sentence for the user: "SCK (TXD, bit 0) is stuck low."
};

class IAdapterSelfTest {
public:
  virtual ~IAdapterSelfTest() = default;
  // Needs the port open. Leaves the lines idle and the target released from reset.
  virtual std::vector<TWireFinding> TestWires() = 0;
  // How the back end numbers its pins, so that a wiring of its kind can be read and varied.
  virtual TPinKind WiringKind() const = 0;
};
