// pinlet: the command-line front end. Everything but the process set-up lives in uCommandLine and
// uCliRun, which the tests drive directly.
#include "cli/uCliRun.h"
#include "cli/uCliSignals.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
  const std::string program = "pinlet";
  const std::vector<std::string> args(argv + 1, argv + argc);
  const TCliParse parse = ParseCommandLine(args);
  if (!parse.Ok) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                 parse.Error.c_str(), program.c_str());
    return kExitUsage;
  }

  TCliTerminal terminal;
  terminal.OutIsTerminal = isatty(STDOUT_FILENO) == 1;
  terminal.ErrIsTerminal = isatty(STDERR_FILENO) == 1;
  terminal.InIsTerminal = isatty(STDIN_FILENO) == 1;
  // Installed before any port is opened, so that no signal can end the run with the target in reset.
  const TCliSignals signals;
  terminal.Interrupted = TCliSignals::Interrupted();
  terminal.Abort = TCliSignals::Abort();
  return RunCli(parse.Options, terminal, program);
}
