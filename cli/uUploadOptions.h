// `pinlet-upload`: the uploader command line that IDEs and build systems already speak
// (-p PART -c PROGRAMMER -P PORT -U memory:op:file[:format] ...), parsed into options that the
// run (cli/uUploadRun.h) carries out on the controller. Kept apart from main() so that parsing,
// the id tables and configuration files are tested without a process.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A programmer id and what Pinlet does with it: the kind of port it is on and its wiring in
// Pinlet's --pins form ("reset=3,sck=5,mosi=2,miso=11"; "" = the kind's default wiring).
struct TUploadProgrammer {
  std::string Id;          // "dapa"
  std::string Description; // "Direct AVR Parallel Access cable"
  std::string Kind;        // "par", "serbb", "ft245r", "linuxgpio", "linuxspi", "sim"
  std::string Pins;        // --pins text
  std::string DefaultPort; // used when -P is not given: "/dev/parport0", "usb", "SIM1", ...
  std::string Source;      // where the wiring comes from (a schematic, a configuration file)
};

enum class TUploadMemory : uint8_t {
  Flash,
  Eeprom,
  LowFuse,
  HighFuse,
  ExtFuse,
  Fuse,
  Lock,
  Signature,
  Calibration
};
enum class TUploadOp : uint8_t { Read, Write, Verify };
// i Intel HEX, s Motorola SREC, r raw, e ELF, m immediate, a auto-detect, h/d/o/b hex, decimal,
// octal, binary text (reads of small memories; also accepted for writes as text values).
enum class TUploadFormat : uint8_t { Auto, IntelHex, Srec, Raw, Elf, Immediate, Hex, Decimal, Octal, Binary };

struct TUploadAction {
  TUploadMemory Memory = TUploadMemory::Flash;
  TUploadOp Op = TUploadOp::Write;
  std::string File; // a file name, "-" for standard output/input, or the values of format m
  TUploadFormat Format = TUploadFormat::Auto;
  std::string Text; // the -U argument as given, for messages
};

struct TUploadOptions {
  std::string Part;                     // -p as given
  std::string Programmer;               // -c as given
  std::vector<std::string> ConfigFiles; // -C in order; a "+FILE" adds to the files before it
  bool ConfigReplaces = false;          // the first -C had no "+": the built-in table is not searched first
  std::string Port;                     // -P; empty = the programmer's default port
  std::optional<std::string> Baud;      // -b, accepted and ignored
  std::optional<std::string> BitClock;  // -B as given: µs per SCK period or a frequency ("125kHz")
  bool Erase = false;                   // -e
  bool NoAutoErase = false;             // -D
  bool NoVerify = false;                // -V
  bool Force = false;                   // -F
  int Quiet = 0;                        // -q count
  int Verbose = 0;                      // -v count
  std::optional<bool> ExitReset;        // -E reset: true (RESET released at exit) / noreset: false (held)
  std::vector<std::string> Extended;    // -x options
  bool DryRun = false;                  // -n
  bool AllowLockout = false;            // --allow-lockout
  std::string DatabasePath;             // --db
  bool Help = false;                    // -h, --help, -?
  bool ListProgrammers = false;         // -c ?
  bool ListParts = false;               // -p ?
  std::vector<TUploadAction> Actions;
};

struct TUploadParse {
  bool Ok = false;
  std::string Error; // for the user, without a line end
  TUploadOptions Options;
};

TUploadParse ParseUploadCommandLine(const std::vector<std::string>& args);
// One -U argument: "flash:w:fw.hex:i", "lfuse:w:0xFF:m", "flash:w:C:\path.hex" (a file name may
// contain colons: the memory and op come first, a format letter last).
bool ParseUploadAction(const std::string& text, TUploadAction& action, std::string& error);
// The options, the programmer ids and the part ids of the device database found in the usual
// places: the text of --help.
std::string UploadUsageText(const std::string& program_name);
// The same with the part ids of chip_names (database names; an empty list says none was found).
std::string UploadUsageText(const std::string& program_name, const std::vector<std::string>& chip_names);
