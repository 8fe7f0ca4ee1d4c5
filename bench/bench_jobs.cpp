#include "bench_jobs.h"
#include "bench_support.h"

#include "app/uController.h"
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakePortDevice.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSimChip.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

// What one ppdev or TIOCM ioctl costs on a PC, roughly; the figure the times below are quoted at.
constexpr double kPortOpUs = 1.0;

struct TJobRun {
  bool ok = false;
  std::string log;
  TOsSeamCounts ops; // calls through the seam, from the first command to the last
  uint64_t spi_bits = 0;
  uint64_t page_writes = 0;
  uint64_t erases = 0;
  double seconds = 0;   // simulated: the programmer's waits plus the cost of each port operation
  double connect_s = 0; // the adapter's loop-back test when the port is opened
  double busy_s = 0;    // the chip's own programming cycles
  bool image_exact = false;
};

enum class TJobKind { WriteVerify, WriteOnly };

// One command line's work: load the file, connect, write (and verify), on a fresh chip behind a
// modelled parallel or serial cable. Each ioctl advances the clock by op_us.
TJobRun RunJob(const TAvrSigType& record, const std::string& db_path, bool parallel, const std::string& file,
               const TBenchImage& image, TJobKind kind, double op_us) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  auto fake = std::make_shared<TFakePortDevice>();
  const std::string device = parallel ? "/dev/parport0" : "/dev/ttyS0";
  TFakeNode& node = parallel ? fake->AddParallel(device) : fake->AddSerial(device);
  // Declared before the controller: closing the port still drives the chip's pins.
  auto chip = std::make_unique<TSimAvrChip>(record);
  node.chip = chip.get();
  node.keep_events = false;
  const uint64_t op_ns = uint64_t(op_us * 1000.0);
  node.after_ioctl = [&](uint64_t) { clock->Advance(op_ns); };

  TJobRun run;
  TLogCapture log;
  TAlwaysYes yes;
  {
    TPinletController controller(log, yes);
    controller.DatabasePath = db_path;
    controller.BusFactory = [&](const std::string&, const std::string&,
                                std::string&) -> std::unique_ptr<TSpiBusBase> {
      if (parallel) return CreateSpiBus<TSpiBus_LPT>(1, fake, device);
      return CreateSpiBus<TSpiBus_COM>(1, fake, device);
    };
    bool ok = controller.LoadFile(file) == TCommandResult::Done;
    const uint64_t connect_start = clock->NowNs();
    ok = ok && controller.Init(parallel ? "LPT1" : "COM1", 0, false) == TCommandResult::Done;
    run.connect_s = SecondsSince(*clock, connect_start);

    fake->ResetCounts();
    const uint64_t bits_before = chip->Counters().bits;
    const uint64_t start = clock->NowNs();
    ok = ok && controller.Write(TImageMemory::Flash, kind == TJobKind::WriteVerify) == TCommandResult::Done;
    run.seconds = SecondsSince(*clock, start);
    run.ops = fake->Counts();
    run.spi_bits = chip->Counters().bits - bits_before;
    run.ok = ok;
  }
  run.log = log.Text();
  run.page_writes = chip->Counters().page_writes;
  run.erases = chip->Counters().chip_erases;
  run.busy_s = ChipBusySeconds(*chip, run.page_writes, run.erases);
  run.image_exact = std::equal(image.bytes.begin(), image.bytes.end(), chip->Flash().begin() + image.start);
  return run;
}

// The least a job can cost: every instruction it needs clocked with two port writes per bit and one
// read per bit whose answer is used, nothing else on the wires, and the chip's programming cycles.
struct TFloor {
  double seconds = 0;
  uint64_t ops = 0;
};

TFloor FloorOf(const TAvrSigType& record, const TSimAvrChip& chip, const TBenchImage& image, TJobKind kind,
               double op_us) {
  const uint32_t page_bytes = uint32_t(record.PageSize.Flash);
  uint64_t pages = 0;
  for (size_t offset = 0; offset < image.bytes.size();) {
    const size_t page_end = ((image.start + offset) / page_bytes + 1) * page_bytes - image.start;
    const size_t end = std::min(page_end, image.bytes.size());
    bool blank = true;
    for (size_t i = offset; i < end; ++i) blank = blank && image.bytes[i] == 0xFF;
    if (!blank) ++pages;
    offset = end;
  }
  // Two Load Program Memory Page instructions per word, one Write Page per page, the erase.
  uint64_t bits = pages * (uint64_t(page_bytes / 2) * 2 * 32 + 32) + 32;
  uint64_t samples = 0;
  if (kind == TJobKind::WriteVerify) {
    bits += uint64_t(image.bytes.size()) * 32; // one read instruction per byte
    samples += uint64_t(image.bytes.size()) * 8;
  }
  TFloor floor;
  floor.ops = 2 * bits + samples;
  floor.seconds = double(floor.ops) * op_us / 1e6 + ChipBusySeconds(chip, pages, 1);
  return floor;
}

} // namespace

bool PrintJobs(const TAvrSigType& record, const std::string& db_path) {
  const uint32_t flash = uint32_t(record.MemSize.Flash);
  const uint32_t full = flash * 3 / 4; // a firmware that fills most of the flash, not all of it
  const uint32_t boot = std::min<uint32_t>(2048, flash / 4);
  const std::vector<TBenchImage> images = {
      {"firmware", 0, PseudoRandom(full, 0x12345678)},
      {"bootloader", flash - boot, PseudoRandom(boot, 0x9E3779B9)},
  };
  const std::string dir = MakeTempDir();
  if (dir.empty()) {
    std::fprintf(stderr, "pinlet-bench: cannot make a temporary directory\n");
    return false;
  }
  std::vector<std::string> files;
  for (const TBenchImage& image : images) {
    files.push_back(dir + "/" + image.name + ".hex");
    if (!WriteHex(files.back(), image)) {
      std::fprintf(stderr, "pinlet-bench: cannot write %s\n", files.back().c_str());
      return false;
    }
  }

  std::printf("\nCommands as a user runs them (load the HEX file, connect, write and verify at sdFastest),\n"
              "through the controller and the real back ends on the port model; %.0f us per port operation\n",
              kPortOpUs);
  for (size_t i = 0; i < images.size(); ++i)
    std::printf("  %-10s %6zu bytes at 0x%05X\n", images[i].name, images[i].bytes.size(), images[i].start);
  std::printf("%-4s %-10s %-12s %10s %10s %8s %9s %8s %8s %7s %7s\n", "port", "image", "job", "port ops",
              "SPI bits", "ops/bit", "time s", "busy s", "floor s", "ratio", "pages");
  bool all_ok = true;
  for (const bool parallel : {true, false}) {
    for (size_t i = 0; i < images.size(); ++i) {
      for (const TJobKind kind : {TJobKind::WriteVerify, TJobKind::WriteOnly}) {
        // Write only is quoted with free port operations: what is left is waiting.
        const double op_us = kind == TJobKind::WriteOnly ? 0.0 : kPortOpUs;
        const TJobRun run = RunJob(record, db_path, parallel, files[i], images[i], kind, op_us);
        const TSimAvrChip chip(record);
        const TFloor floor = FloorOf(record, chip, images[i], kind, op_us);
        const char* port = parallel ? "LPT" : "COM";
        const char* job = kind == TJobKind::WriteVerify ? "write+verify" : "write, ops 0";
        if (!run.ok || !run.image_exact) {
          std::fprintf(stderr, "pinlet-bench: %s %s %s failed%s:\n%s", port, images[i].name, job,
                       run.ok ? " (flash differs from the image)" : "", run.log.c_str());
          all_ok = false;
          continue;
        }
        std::printf("%-4s %-10s %-12s %10llu %10llu %8.2f %9.3f %8.3f %8.3f %7.2f %7llu\n", port,
                    images[i].name, job, (unsigned long long)run.ops.Total(),
                    (unsigned long long)run.spi_bits,
                    run.spi_bits ? double(run.ops.Total()) / double(run.spi_bits) : 0.0, run.seconds,
                    run.busy_s, floor.seconds, floor.seconds > 0 ? run.seconds / floor.seconds : 0.0,
                    (unsigned long long)run.page_writes);
      }
    }
  }
  std::printf("\ntime: from the write's start to the verify's end (connecting, with its loop-back test, not\n"
              "included); busy: the chip's programming cycles; floor: two port writes per bit of the\n"
              "instructions the job needs, one read per answer bit used, plus the chip's cycles (the\n"
              "'ops 0' rows: the cycles alone); pages: page writes the chip did.\n");
  std::filesystem::remove_all(dir);
  return all_ok;
}
