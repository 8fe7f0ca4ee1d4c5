// pinlet: the command-line front end. Everything but the process set-up lives in uCommandLine and
// uCliRun, which the tests drive directly.
#include "cli/uCliRun.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The first Ctrl-C lets a transfer stop cleanly (programming mode left, port closed); a second
// one ends the program at once.
extern "C" void OnInterrupt(int) {
  g_interrupted = 1;
  std::signal(SIGINT, SIG_DFL);
}

} // namespace

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
  terminal.Interrupted = &g_interrupted;
  std::signal(SIGINT, OnInterrupt);
  return RunCli(parse.Options, terminal, program);
}
