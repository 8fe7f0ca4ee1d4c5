// pinlet: the command-line front end. Everything but the process set-up lives in uCommandLine and
// uCliRun, which the tests drive directly.
#include "cli/uCliMain.h"

int main(int argc, char** argv) {
  return CliMain("pinlet", argc, argv, ParseCommandLine,
                 [](const TCliOptions& options, const TCliTerminal& terminal, const std::string& program) {
                   return RunCli(options, terminal, program);
                 });
}
