// Helpers for tests that run the pinlet-upload binary the way IDEs and build systems run it, and
// check what it wrote with readers of their own, so that a fault the binary shares with its own
// readers cannot hide.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TProcess {
  int status = -1;    // exit status; -1 when it did not exit normally
  std::string output; // standard output and error, interleaved as written
};

// Runs args (args[0] the program's path) as an IDE does: no shell, cwd as the working directory,
// standard input from /dev/null, XDG_STATE_HOME pointing at state_home (the simulated chips'
// state files).
TProcess RunArgs(const std::vector<std::string>& args, const std::string& state_home, const std::string& cwd);

// Intel HEX: data (00), end (01), extended segment (02) and linear (04) address records, checksums
// checked; start address records ignored. False with error for a record that is not right.
bool ReadIntelHex(const std::string& text, std::map<uint32_t, uint8_t>& bytes, std::string& error);

// The whole content of a file; "" when it cannot be read.
std::string ReadText(const std::string& path);
