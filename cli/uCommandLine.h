// The `pinlet` command line: what the user asked for, parsed into options, and the exit statuses.
// Kept apart from main() so that parsing and the mapping of results to exit statuses are tested
// without starting a process.
#pragma once
#include "app/uController.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TCliCommand {
  None,
  Ports,
  AdapterTest,
  Signature,
  Calibration,
  Locks,
  Fuses,
  Erase,
  Read,
  Write,
  Verify,
  Dump
};

struct TCliOptions {
  TCliCommand Command = TCliCommand::None;
  std::string File;                          // read, write, verify, dump
  TImageMemory Memory = TImageMemory::Flash; // --memory: read, write, verify, dump
  std::string Port = "SIM1";                 // SIM1.., COM1, LPT1, "NAME=..." or a device path
  uint8_t Speed = kSpeedAuto;
  bool Yes = false;
  bool NoVerify = false;
  bool Debug = false;
  bool Help = false;
  bool Version = false;
  std::string DatabasePath; // --db; empty = the usual places
  std::string SimChip;      // --sim-chip; empty = the port's own chip
  std::string Pins;         // --pins; empty = the adapter's default wiring
  // fuses/locks --set: what to write (parsed; bit names are resolved against the chip).
  bool SetConfig = false;
  TConfigRequest ConfigRequest;
  bool AllowLockout = false; // --allow-lockout: settings that end ISP on the chip are written too
};

struct TCliParse {
  bool Ok = false;
  std::string Error; // for the user, without a line end
  TCliOptions Options;
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // the command reported an error, or the user declined
constexpr int kExitUsage = 2;
constexpr int kExitNoChip = 3; // adapter-test: the wires look fine, but no chip answered

// args excludes the program name.
TCliParse ParseCommandLine(const std::vector<std::string>& args);
// "0".."6" or a level name ("sdNormal", any case).
std::optional<uint8_t> ParseSpeed(const std::string& text);
int ExitStatusFor(TCommandResult result);
std::string UsageText(const std::string& program_name);
