// Runs one parsed `pinlet` command through the controller and turns its outcome into an exit
// status. The terminal is passed in, so tests run commands against files instead of a terminal.
#pragma once
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
  // Set by the SIGINT handler; a running transfer then stops after its current page.
  const volatile std::sig_atomic_t* Interrupted = nullptr;
};

int RunCli(const TCliOptions& options, const TCliTerminal& terminal, const std::string& program_name);
