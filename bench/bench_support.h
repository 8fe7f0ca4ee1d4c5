// What the benchmark's reports share: the controller's log and confirmation for whole commands,
// images and the HEX files they are loaded from, and the figures taken from the simulated time and
// the simulated chip.
#pragma once
#include "app/uController.h"

#include <cstdint>
#include <string>
#include <vector>

class IWaitClock;
class TSimAvrChip;

// Collects what the controller logs, for the message of a failed job.
class TLogCapture final : public ILogSink {
public:
  void LogStatus(const std::string& text, uint32_t) override { text_ += text; }
  const std::string& Text() const { return text_; }

private:
  std::string text_;
};

// Answers every question yes, as a user who runs the command means it.
class TAlwaysYes final : public IConfirm {
public:
  bool AskYesNo(const std::string&) override { return true; }
};

// xorshift bytes from a seed: every bit pattern occurs, no page is blank by accident.
std::vector<uint8_t> PseudoRandom(size_t size, uint32_t seed);

// A firmware image: where it lies in the flash and what it holds.
struct TBenchImage {
  const char* name;
  uint32_t start;
  std::vector<uint8_t> bytes;
};

// Intel HEX with 16-byte records, and extended linear addresses where the image crosses 64 KB.
bool WriteHex(const std::string& path, const TBenchImage& image);

// A fresh directory under the system's temporary one; empty when it cannot be made.
std::string MakeTempDir();

// Simulated seconds from start_ns to now.
double SecondsSince(IWaitClock& clock, uint64_t start_ns);

// The chip's own programming cycles: its page writes and erases at the chip's busy times.
double ChipBusySeconds(const TSimAvrChip& chip, uint64_t page_writes, uint64_t erases);
