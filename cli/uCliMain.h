// What the main() of each command does around its run: parse the arguments, report a usage error,
// note which standard streams are terminals and install the signal handlers before any port is
// opened, so that no signal can end the run with the target in reset.
#pragma once
#include "cli/uCliRun.h"
#include "cli/uCliSignals.h"
#include "cli/uCommandLine.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

// parse(args) gives a result with Ok, Error and Options; run(options, terminal, program) the exit
// status.
template <class TParse, class TRun>
int CliMain(const std::string& program, int argc, char** argv, TParse parse, TRun run) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = parse(args);
  if (!parsed.Ok) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                 parsed.Error.c_str(), program.c_str());
    return kExitUsage;
  }
  TCliTerminal terminal;
  terminal.OutIsTerminal = isatty(STDOUT_FILENO) == 1;
  terminal.ErrIsTerminal = isatty(STDERR_FILENO) == 1;
  terminal.InIsTerminal = isatty(STDIN_FILENO) == 1;
  const TCliSignals signals;
  terminal.Interrupted = TCliSignals::Interrupted();
  terminal.Abort = TCliSignals::Abort();
  return run(parsed.Options, terminal, program);
}
