// pinlet-bench: what a whole-flash transfer costs, on a simulated ATmega328P with a full image.
//
//  - Line operations per flash byte (MOSI, SCK, MISO, RESET changes and samples): on real ports
//    each is one system call, so this is what bounds the fastest speed level.
//  - For every speed level, the transfer rate in simulated time: the clock is virtual, so only the
//    waits the programmer makes (clock half-periods, page waits, reset and erase waits) pass time;
//    the port accesses themselves cost nothing there. Beside it, the wall-clock time this process
//    needed to run the transfer on the simulation (CPU cost of bus, ISP layer and simulated chip).
//  - Port operations (system calls: ioctl, open, termios, ...) per SPI bit and per flash byte
//    through the real parallel and serial back ends, on a model of the adapter's wires with the
//    simulated chip behind it.
//
// Usage: pinlet-bench [--db FILE] [--chip NAME] [--speeds 0,3,6]
#include "bench_ftdi.h"
#include "bench_jobs.h"
#include "bench_linux.h"
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"
#include "fakes/FakePortDevice.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "memimage/uAvrMemFile.h"
#include "sim/uSimPorts.h"
#include "sim/uSpiBus_Sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The speed level the command line starts with.
constexpr uint8_t kDefaultBenchSpeed = 3;

enum class TOp { Write, Read, Verify, EepromWrite, EepromRead };
const char* OpName(TOp op) {
  switch (op) {
  case TOp::Write:
    return "write";
  case TOp::Read:
    return "read";
  case TOp::Verify:
    return "verify";
  case TOp::EepromWrite:
    return "eeprom write";
  case TOp::EepromRead:
    return "eeprom read";
  }
  return "?";
}

// Sorts the virtual waits: the waits for the chip's programming cycles (polling included) are
// what the ISP layer counts as waiting for the chip; the rest are SCK half-periods and resets.
struct TWaitTally {
  uint64_t chip_us = 0; // waiting for the chip to finish page writes and the erase
  uint64_t rest_us = 0; // SCK half-periods and the reset sequence
};

struct TRun {
  HRESULT status = S_OK;
  TSimLineCounters lines;
  double virtual_s = 0, wall_s = 0;
  TWaitTally waits;
  uint64_t page_writes = 0;
};

std::shared_ptr<IuCMemStream> MakeImage(size_t size) {
  auto image = NewMetaMemory();
  uint32_t x = 0x12345678; // xorshift: every bit pattern occurs, nothing compresses into a shortcut
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const uint8_t byte = uint8_t(x);
    image->PutByte(&byte);
  }
  return image;
}

// Read and verify find the image already in the flash, as after a write.
void PreloadFlash(TOp op, TSimAvrChip& chip, const std::shared_ptr<IuCMemStream>& image) {
  if (op == TOp::Write) return;
  int32_t size = 0;
  image->GetSize(&size);
  image->Rewind();
  for (int32_t i = 0; i < size; ++i) image->GetByte(&chip.Flash()[size_t(i)]);
}

// Loads the database and brings the chip into programming mode, identified: the state a transfer
// starts from.
HRESULT PrepareIsp(TmCAtgeneric& isp, const std::string& db_path) {
  isp.DatabasePath = db_path;
  std::string error_text;
  const HRESULT loaded = isp.LoadDatabase(error_text);
  if (loaded != S_OK) return loaded;
  isp.EnterProgMode();
  isp.Identify(false);
  return S_OK;
}

HRESULT Transfer(TmCAtgeneric& isp, TOp op, const std::shared_ptr<IuCMemStream>& image) {
  switch (op) {
  case TOp::Write:
    return isp.WriteFlash(image);
  case TOp::Read:
    return isp.ReadFlash(NewMetaMemory());
  case TOp::Verify:
    return isp.VerifyFlash(image);
  case TOp::EepromWrite:
    return isp.WriteEeprom(image);
  case TOp::EepromRead:
    return isp.ReadEeprom(NewMetaMemory());
  }
  return E_FAIL;
}

TRun RunTransfer(const TAvrSigType& record, const std::string& db_path, uint8_t speed, TOp op,
                 const std::shared_ptr<IuCMemStream>& image) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(record));
  bus->Speed = speed;
  TSimAvrChip& chip = *bus->Chip();
  if (op == TOp::Write || op == TOp::Read || op == TOp::Verify) PreloadFlash(op, chip, image);

  TmCAtgeneric isp(bus.get());
  TRun run;
  if ((run.status = PrepareIsp(isp, db_path)) != S_OK) return run;

  const uint64_t waited_before = isp.WaitedNs();
  bus->ResetLineCounters();
  const uint64_t start_ns = clock->NowNs();
  const auto wall_start = std::chrono::steady_clock::now();

  run.status = Transfer(isp, op, image);

  run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  run.virtual_s = double(clock->NowNs() - start_ns) / 1e9;
  run.lines = bus->LineCounters();
  run.page_writes = chip.Counters().page_writes;
  // Polls clock SCK too; their half-periods count as waiting for the chip.
  run.waits.chip_us = (isp.WaitedNs() - waited_before) / 1000;
  const uint64_t total_us = (clock->NowNs() - start_ns) / 1000;
  run.waits.rest_us = total_us > run.waits.chip_us ? total_us - run.waits.chip_us : 0;
  isp.LeaveProgMode();
  return run;
}

// Counts the line operations the bus asks of its back end. The back ends skip the system call of
// a level the port already holds; without that shortcut every one of these would be a call.
template <class TBus> class TLineCounting final : public TBus {
public:
  using TBus::TBus;
  void SetMosi(uint8_t level) override { ++requests, TBus::SetMosi(level); }
  bool GetMiso(uint8_t& level) override { return ++requests, TBus::GetMiso(level); }
  void SetSck(uint8_t level) override { ++requests, TBus::SetSck(level); }
  void SetReset(uint8_t level) override { ++requests, TBus::SetReset(level); }
  // MOSI and SCK set together in one request.
  void SetLines(uint8_t mosi, uint8_t sck) override { ++requests, TBus::SetLines(mosi, sck); }

  uint64_t requests = 0;
};

struct TPortRun {
  HRESULT status = S_OK;
  TOsSeamCounts ops;          // calls through the seam during the transfer
  uint64_t line_requests = 0; // line operations the bus asked for
  uint64_t spi_bits = 0;      // bits clocked into the chip

  // Each line operation one call, the rest (opens, termios) as counted.
  uint64_t WithoutSkip() const { return ops.Total() - ops.ioctls + line_requests; }
};

// One transfer through a real back end, its port a modelled device with the chip on the adapter's
// wires. The clock is virtual: the port calls are what is counted, not time.
template <class TBus>
TPortRun RunPortTransfer(const TAvrSigType& record, const std::string& db_path, const std::string& device,
                         bool parallel, TOp op, const std::shared_ptr<IuCMemStream>& image) {
  TScopedWaitClock scoped(std::make_shared<TVirtualClock>());
  auto fake = std::make_shared<TFakePortDevice>();
  TFakeNode& node = parallel ? fake->AddParallel(device) : fake->AddSerial(device);
  // Declared before the bus: closing the port still drives the chip's pins.
  auto chip = std::make_unique<TSimAvrChip>(record);
  node.chip = chip.get();
  node.keep_events = false;
  auto bus = CreateSpiBus<TLineCounting<TBus>>(1, fake, device);
  bus->Speed = sdFastest; // the waits are virtual, the calls do not depend on the level
  PreloadFlash(op, *chip, image);

  TmCAtgeneric isp(bus.get());
  TPortRun run;
  if ((run.status = PrepareIsp(isp, db_path)) != S_OK) return run;

  fake->ResetCounts();
  bus->requests = 0;
  const uint64_t bytes_before = chip->Counters().bytes;
  run.status = Transfer(isp, op, image);
  run.ops = fake->Counts();
  run.line_requests = bus->requests;
  run.spi_bits = (chip->Counters().bytes - bytes_before) * 8;
  isp.LeaveProgMode();
  return run;
}

bool PrintPortOperations(const TAvrSigType& record, const std::string& db_path,
                         const std::shared_ptr<IuCMemStream>& image, size_t flash) {
  std::printf("\nPort operations through the real back ends (system calls through the OS seam; the\n"
              "adapter's wires modelled, the simulated chip on them)\n");
  std::printf("%-8s %-8s %10s %11s %8s %9s %9s %11s %11s\n", "back end", "transfer", "SPI bits", "port ops",
              "ioctls", "per bit", "per byte", "no skip/bit", "no skip/B");
  for (const bool parallel : {true, false}) {
    for (TOp op : {TOp::Write, TOp::Read, TOp::Verify}) {
      const TPortRun run =
          parallel ? RunPortTransfer<TSpiBus_LPT>(record, db_path, "/dev/parport0", true, op, image)
                   : RunPortTransfer<TSpiBus_COM>(record, db_path, "/dev/ttyUSB0", false, op, image);
      const char* name = parallel ? "LPT" : "COM";
      if (run.status != S_OK || run.spi_bits == 0) {
        std::fprintf(stderr, "pinlet-bench: %s %s failed with 0x%08X\n", name, OpName(op),
                     uint32_t(run.status));
        return false;
      }
      const double bits = double(run.spi_bits), bytes = double(flash);
      std::printf("%-8s %-8s %10llu %11llu %8llu %9.2f %9.1f %11.2f %11.1f\n", name, OpName(op),
                  (unsigned long long)run.spi_bits, (unsigned long long)run.ops.Total(),
                  (unsigned long long)run.ops.ioctls, double(run.ops.Total()) / bits,
                  double(run.ops.Total()) / bytes, double(run.WithoutSkip()) / bits,
                  double(run.WithoutSkip()) / bytes);
    }
  }
  std::printf(
      "\nper bit: port ops per SPI bit clocked into the chip; per byte: per flash byte of the image;\n"
      "no skip: the same if every line operation were a call (no skipping of unchanged levels).\n");
  return true;
}

void Usage() {
  std::fputs("Usage: pinlet-bench [--db FILE] [--chip NAME] [--speeds LIST]\n"
             "  --db FILE      device database (default: the usual CpuSignatures.xml lookup)\n"
             "  --chip NAME    simulated chip (default ATmega328P)\n"
             "  --speeds LIST  speed levels to measure, comma-separated (default 0,1,2,3,4,5,6)\n",
             stderr);
}

} // namespace

// What waiting for the chip costs a whole-flash write, against the fixed 10 ms per page and 30 ms
// per erase that a programmer which never asks the chip has to wait; and the EEPROM's rates.
bool PrintChipWaits(const TAvrSigType& record, const std::string& db_path,
                    const std::shared_ptr<IuCMemStream>& image, size_t flash) {
  const TRun run = RunTransfer(record, db_path, 0, TOp::Write, image);
  if (run.status != S_OK) {
    std::fprintf(stderr, "pinlet-bench: write failed with 0x%08X\n", uint32_t(run.status));
    return false;
  }
  const double pages = double(flash) / double(record.PageSize.Flash);
  const double fixed_s = pages * 0.010 + (record.EraseBeforeFlash == 1 ? 0.030 : 0.0);
  const double chip_s = double(run.waits.chip_us) / 1e6;
  std::printf("\nWaiting for the chip, %zu-byte write (%.0f pages%s)\n", flash, pages,
              record.EraseBeforeFlash == 1 ? " and the erase" : "");
  std::printf("  polled (RDY/BSY, simulated chip at 80%% of the datasheet times): %.3f s\n", chip_s);
  std::printf("  fixed 10 ms per page, 30 ms per erase:                           %.3f s (%.2fx)\n", fixed_s,
              chip_s > 0 ? fixed_s / chip_s : 0.0);

  const size_t eeprom = size_t(std::max(record.MemSize.EEPROM, 0));
  if (eeprom == 0) return true;
  const auto eeprom_image = MakeImage(eeprom);
  std::printf("\nEEPROM, %zu bytes (simulated time)\n", eeprom);
  for (uint8_t speed : {uint8_t(0), kDefaultBenchSpeed}) {
    for (TOp op : {TOp::EepromWrite, TOp::EepromRead}) {
      const TRun e = RunTransfer(record, db_path, speed, op, eeprom_image);
      if (e.status != S_OK) {
        std::fprintf(stderr, "pinlet-bench: %s failed with 0x%08X\n", OpName(op), uint32_t(e.status));
        return false;
      }
      char rate[24] = "unbounded"; // no wait at all: set by the port accesses alone
      if (e.virtual_s > 0) std::snprintf(rate, sizeof rate, "%.0f", double(eeprom) / e.virtual_s);
      std::printf("  %-10s %-12s %8.3f s %10s byte/s (chip %.3f s)\n", SpiSpeedName(speed), OpName(op),
                  e.virtual_s, rate, double(e.waits.chip_us) / 1e6);
    }
  }
  return true;
}

int main(int argc, char** argv) {
  std::string db_path, chip_name = "ATmega328P";
  std::vector<uint8_t> speeds = {0, 1, 2, 3, 4, 5, 6};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--db" || arg == "--chip" || arg == "--speeds") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--db") db_path = value;
      if (arg == "--chip") chip_name = value;
      if (arg == "--speeds") {
        speeds.clear();
        for (char c : value)
          if (c >= '0' && c <= '6') speeds.push_back(uint8_t(c - '0'));
      }
    } else {
      Usage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  std::string error_text;
  const HRESULT loaded =
      db_path.empty() ? LoadDefaultSignatureDB(error_text) : LoadSignatureDB(db_path, error_text);
  if (loaded != S_OK) {
    std::fprintf(stderr, "pinlet-bench: cannot load the device database: %s\n", error_text.c_str());
    return 1;
  }
  const TAvrSigType* found = FindSimChipRecord(SignatureTable, chip_name);
  if (!found || found->MemSize.Flash <= 0 || found->PageSize.Flash <= 0) {
    std::fprintf(stderr, "pinlet-bench: no paged chip named %s in the database\n", chip_name.c_str());
    return 1;
  }
  // The ISP layer reloads the database for every transfer, which invalidates the table's records.
  const TAvrSigType record = *found;
  const size_t flash = size_t(record.MemSize.Flash);
  const auto image = MakeImage(flash);

  std::printf("pinlet-bench: simulated %s, %zu-byte image, %d-byte pages\n\n", record.CpuName.c_str(), flash,
              record.PageSize.Flash);

  // Line operations do not depend on the speed level; count them once at the fastest.
  std::printf("Line operations per flash byte\n");
  std::printf("%-8s %12s %10s %8s %8s %8s %8s\n", "transfer", "line ops", "per byte", "MOSI", "SCK", "MISO",
              "RESET");
  for (TOp op : {TOp::Write, TOp::Read, TOp::Verify}) {
    const TRun run = RunTransfer(record, db_path, 0, op, image);
    if (run.status != S_OK) {
      std::fprintf(stderr, "pinlet-bench: %s failed with 0x%08X\n", OpName(op), uint32_t(run.status));
      return 1;
    }
    const double per = 1.0 / double(flash);
    std::printf("%-8s %12llu %10.1f %8.1f %8.1f %8.1f %8.3f\n", OpName(op),
                (unsigned long long)run.lines.Total(), double(run.lines.Total()) * per,
                double(run.lines.mosi) * per, double(run.lines.sck) * per, double(run.lines.miso) * per,
                double(run.lines.reset) * per);
  }

  std::printf("\nRates per speed level (simulated time: only the programmer's waits pass time;\n"
              "CPU: wall-clock time of this process running the transfer on the simulation)\n");
  std::printf("%-10s %-8s %5s %10s %12s %9s %9s %8s %12s\n", "speed", "transfer", "half", "sim s", "sim B/s",
              "chip s", "rest s", "CPU s", "CPU B/s");
  for (uint8_t speed : speeds) {
    for (TOp op : {TOp::Write, TOp::Read, TOp::Verify}) {
      const TRun run = RunTransfer(record, db_path, speed, op, image);
      if (run.status != S_OK) {
        std::fprintf(stderr, "pinlet-bench: %s at %s failed with 0x%08X\n", OpName(op), SpiSpeedName(speed),
                     uint32_t(run.status));
        return 1;
      }
      char half[16];
      std::snprintf(half, sizeof half, "%uus", SpiSpeedHalfPeriodUs(speed));
      // Without any wait (a read at sdFastest) no simulated time passes: the rate is unbounded
      // there and set by the port accesses alone on real hardware.
      char sim_rate[24] = "unbounded";
      if (run.virtual_s > 0) std::snprintf(sim_rate, sizeof sim_rate, "%.0f", double(flash) / run.virtual_s);
      std::printf("%-10s %-8s %5s %10.3f %12s %9.3f %9.3f %8.3f %12.0f\n", SpiSpeedName(speed), OpName(op),
                  half, run.virtual_s, sim_rate, double(run.waits.chip_us) / 1e6,
                  double(run.waits.rest_us) / 1e6, run.wall_s, double(flash) / run.wall_s);
    }
  }
  std::printf("\nchip s: waiting for the chip's page writes and erase (polled; %u pages);\n"
              "rest s: SCK half-periods and the reset sequence the erase repeats.\n",
              unsigned(flash / size_t(record.PageSize.Flash)));
  if (!PrintChipWaits(record, db_path, image, flash)) return 1;
  if (!PrintPortOperations(record, db_path, image, flash)) return 1;
  if (!PrintJobs(record, db_path)) return 1;
  if (!PrintLinux(record, db_path)) return 1;
  if (!PrintFtdi(record, db_path)) return 1;
  return 0;
}
