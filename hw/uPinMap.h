// Wiring is configuration: which pin of an adapter carries RESET, SCK, MOSI and MISO, and which of
// them a buffer on the adapter inverts. Each kind of adapter numbers its pins its own way:
//
//   parallel  DB25 pin numbers: outputs on the data pins 2-9 (D0-D7) or the control pins 1
//             (STROBE), 14 (AUTOFD), 16 (INIT), 17 (SELECTIN); MISO on a status pin (10 ACK,
//             11 BUSY, 12 PE, 13 SELECT, 15 ERROR)
//   serial    DB9 pin numbers or signal names: outputs TXD (3, as break), DTR (4), RTS (7); MISO on
//             an input: DCD (1), DSR (6), CTS (8), RI (9)
//   ftdi      bit numbers 0-7 of the chip's bit-bang port, or the FT232R signal names TXD, RXD,
//             RTS, CTS, DTR, DSR, DCD, RI (bits 0 to 7)
//   gpio      line offsets of the GPIO chip, or line names
//   spi       RESET only (a line offset or name of /dev/gpiochip0, or "CHIP:LINE" for another
//             chip); the SPI controller owns the other three
//
// The text form is "reset=N,sck=N,mosi=N,miso=N" with any subset of the keys (the others keep the
// adapter's default wiring) and "~" before a value for an inverted line. "sdo"/"sdi" are accepted
// for "mosi"/"miso". "buff=N" (repeatable, parallel only) names a pin that enables the adapter's
// buffer: it is held low while Pinlet uses the port ("~N": held high). "vcc=N" (repeatable,
// parallel only) names a pin that powers the target: it is driven high from the open of the port
// on ("~N": low), and left so at its close, so that the target runs on.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class TPinKind : uint8_t { Parallel, Serial, Ftdi, Gpio, Spi };

// "parallel", "serial", "ftdi", "gpio", "spi".
const char* PinKindName(TPinKind kind);

struct TPinAssign {
  int Pin = -1;     // pin or line number; -1 when given by Name only (GPIO line names)
  std::string Name; // a GPIO line name or "CHIP:LINE"; empty when Pin says it all
  bool Inverted = false;
  bool operator==(const TPinAssign&) const = default;
};

struct TPinMap {
  TPinAssign Reset, Sck, Mosi, Miso;
  std::vector<TPinAssign> Buffers; // parallel: buffer-enable outputs
  std::vector<TPinAssign> Power;   // parallel: outputs that power the target
  bool operator==(const TPinMap&) const = default;
};

// The wiring each kind of adapter has unless told otherwise (docs/ports.md shows them as tables).
TPinMap DefaultPinMap(TPinKind kind);

// Parses text over the kind's default wiring. Checks what the kind can do: that each pin exists,
// that the outputs are pins the adapter can drive and MISO one it can read, and that no pin is used
// twice. False with error saying why ("sck=12: pin 12 of the parallel port is an input").
bool ParsePinMap(std::string_view text, TPinKind kind, TPinMap& map, std::string& error);

// "reset=9 sck=6 mosi=7 miso=10" with the kind's signal names where it has them
// ("reset=DTR(4) sck=TXD(0) ...") and "~" for inverted lines; for the log and adapter-test.
std::string DescribePinMap(const TPinMap& map, TPinKind kind);

// The signal name of an FTDI bit (0 -> "TXD") or a serial DB9 pin (4 -> "DTR"); "" when none.
std::string PinSignalName(TPinKind kind, int pin);
