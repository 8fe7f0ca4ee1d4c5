// pinlet-upload: the uploader command line of IDEs and build systems, on Pinlet's controller.
// Everything but the process set-up lives in uUploadOptions and uUploadRun, which the tests drive
// directly.
#include "cli/uCliSignals.h"
#include "cli/uUploadRun.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
  const std::string program = "pinlet-upload";
  const std::vector<std::string> args(argv + 1, argv + argc);
  const TUploadParse parse = ParseUploadCommandLine(args);
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
  return RunUpload(parse.Options, terminal, program);
}
