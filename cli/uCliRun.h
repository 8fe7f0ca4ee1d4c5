// Runs one parsed `pinlet` command through the controller and turns its outcome into an exit
// status. The terminal is passed in, so tests run commands against files instead of a terminal.
#pragma once
#include "app/uController.h"
#include "cli/uCommandLine.h"

#include <csignal>
#include <cstdio>
#include <string>

struct TCliTerminal {
  std::FILE* Out = stdout;    // the log
  std::FILE* Err = stderr;    // usage errors and the progress bar
  std::FILE* In = stdin;      // answers to the questions
  bool OutIsTerminal = false; // colours
  bool ErrIsTerminal = false; // progress bar
  bool InIsTerminal = false;  // questions can be asked
  // The signal flags (TCliSignals): the number of the first signal, which stops a running transfer
  // after its current page, answers a question No and ends the run with 128 + that number; and
  // the flag that stops the bus at its next instruction. Null: no signals are watched.
  const volatile std::sig_atomic_t* Interrupted = nullptr;
  const volatile std::sig_atomic_t* Abort = nullptr;
};

// bus_factory replaces how port names become buses (tests put modelled ports behind them).
int RunCli(const TCliOptions& options, const TCliTerminal& terminal, const std::string& program_name,
           const TPinletController::TBusFactory& bus_factory = {});
