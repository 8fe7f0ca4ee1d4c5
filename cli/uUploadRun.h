// Runs a parsed `pinlet-upload` command line on the controller: the lists it can print, the
// programmer and part it names, and its -U actions in order within one programming session (one
// reset, one entry into programming mode), with the texts, protections and exit statuses of `pinlet`
// (0 done, 1 failed, 2 usage, 128 + a signal's number). The log goes to the terminal's standard
// error, as uploaders do, so that values read to "-" are alone on standard output.
#pragma once
#include "app/uController.h"
#include "cli/uCliRun.h"
#include "cli/uUploadOptions.h"

#include <cstdint>
#include <optional>
#include <string>

// bus_factory replaces how port names become buses (tests put modelled ports behind them).
int RunUpload(const TUploadOptions& options, const TCliTerminal& terminal, const std::string& program_name,
              const TPinletController::TBusFactory& bus_factory = {});

// The speed level for a -B text (µs per SCK period, "125kHz", "1MHz", "2000Hz"): the fastest level
// whose SCK period is at least as long as asked, the slowest when even that is faster; the level
// without a wait of its own is never chosen, as its speed is only the port's. Empty for a text
// that is no period or frequency.
std::optional<uint8_t> SpeedLevelForBitClock(const std::string& text, bool* slower_than_slowest = nullptr);
// The port name Pinlet opens for a programmer and a -P text (empty: the programmer's default port).
std::string UploadPortName(const TUploadProgrammer& programmer, const std::string& port);
// The values of format m and of text files: numbers separated by commas or white space, each
// 0x.. hex, 0b.. binary, 0.. octal or decimal, 0..255. False with error for anything else.
bool ParseUploadValues(const std::string& text, std::vector<uint8_t>& values, std::string& error);
