// pinlet-upload: the uploader command line of IDEs and build systems, on Pinlet's controller.
// Everything but the process set-up lives in uUploadOptions and uUploadRun, which the tests drive
// directly.
#include "cli/uCliMain.h"
#include "cli/uUploadOptions.h"
#include "cli/uUploadRun.h"

int main(int argc, char** argv) {
  return CliMain("pinlet-upload", argc, argv, ParseUploadCommandLine,
                 [](const TUploadOptions& options, const TCliTerminal& terminal, const std::string& program) {
                   return RunUpload(options, terminal, program);
                 });
}
