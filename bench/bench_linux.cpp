#include "bench_linux.h"
#include "bench_support.h"

#include "core/uAVR_at90.h"
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakeGpio.h"
#include "fakes/FakeSpidev.h"
#include "hw/uSpiBus_gpio.h"
#include "hw/uSpiBus_spidev.h"
#include "memimage/uAvrMemFile.h"
#include "sim/uSimChip.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Stated costs, not measurements: a GPIO character-device ioctl (set or get of a few lines) is a
// system call of a few microseconds on a Raspberry Pi class board; an SPI_IOC_MESSAGE adds the
// controller's set-up and completion to that, some tens of microseconds.
constexpr double kGpioCallUs = 2.0;
constexpr double kSpidevCallUs = 25.0;
constexpr const char* kSpidevPath = "/dev/spidev0.0";
constexpr const char* kGpioChip = "/dev/gpiochip0";

enum class TBackEnd { Gpio, Spidev };
enum class TJob { Write, Verify };

struct TLinuxRun {
  HRESULT status = E_FAIL;
  uint64_t calls = 0;   // GPIO calls or spidev ioctls during the job
  uint64_t bits = 0;    // bits clocked into the chip
  uint64_t samples = 0; // bits whose MISO level was read (GPIO) or that came back (spidev)
  uint64_t pages = 0;   // pages the chip programmed
  double seconds = 0;   // simulated time of the job
  double busy_s = 0;    // the chip's programming cycles in it
  bool exact = false;
};

// The SCK phase a back end gives at a level: spidev knows its clock; GPIO is bound by its calls
// when the level waits less than one.
double PhaseNs(TBackEnd back_end, uint8_t level) {
  if (back_end == TBackEnd::Spidev) {
    TSpiBus_SPIDEV probe(std::make_shared<TFakeSpidev>(), std::make_shared<TFakeGpio>(), kSpidevPath);
    return double(probe.SckPhaseNs(level));
  }
  return std::max(kGpioCallUs * 1000.0, double(SpiSpeedHalfPeriodUs(level)) * 1000.0);
}

// The fastest level whose SCK phase is at least 2 target clocks below 12 MHz, 3 at or above (the
// AVR datasheets' serial programming rule).
uint8_t FastestLevel(TBackEnd back_end, uint32_t clock_hz) {
  const double need_ns = (clock_hz >= 12000000 ? 3.0 : 2.0) * 1e9 / double(clock_hz);
  for (uint8_t level = 0; level < kSpiSpeedCount; ++level)
    if (PhaseNs(back_end, level) >= need_ns) return level;
  return kSpiSpeedCount - 1;
}

std::shared_ptr<IuCMemStream> Stream(const std::vector<uint8_t>& bytes) {
  auto stream = NewMetaMemory();
  for (uint8_t b : bytes) stream->PutByte(&b);
  stream->Rewind();
  return stream;
}

TLinuxRun Run(TBackEnd back_end, TJob job, const TAvrSigType& record, const std::string& db_path,
              uint8_t level, const std::vector<uint8_t>& bytes) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  auto chip = std::make_unique<TSimAvrChip>(record);
  if (job == TJob::Verify) std::copy(bytes.begin(), bytes.end(), chip->Flash().begin());
  auto gpio = std::make_shared<TFakeGpio>();
  TFakeGpioChip& lines = gpio->AddChip(kGpioChip);
  lines.chip = chip.get();
  lines.keep_events = false;
  lines.clock = clock.get();
  auto spi = std::make_shared<TFakeSpidev>();
  TFakeSpidevNode& node = spi->AddDevice(kSpidevPath);
  std::unique_ptr<TSpiBusBase> bus;
  if (back_end == TBackEnd::Gpio) {
    lines.wiring = {25, 11, 10, 9};
    lines.ns_per_call = uint64_t(kGpioCallUs * 1000);
    bus = CreateSpiBus<TSpiBus_GPIO>(1, gpio, kGpioChip);
  } else {
    lines.wiring.reset = 25;
    node.chip = chip.get();
    node.keep_log = false;
    node.clock = clock.get();
    node.ns_per_ioctl = uint64_t(kSpidevCallUs * 1000);
    bus = CreateSpiBus<TSpiBus_SPIDEV>(1, spi, gpio, kSpidevPath);
  }
  bus->Speed = level;

  TLinuxRun run;
  TmCAtgeneric isp(bus.get());
  isp.DatabasePath = db_path;
  std::string error_text;
  if ((run.status = isp.LoadDatabase(error_text)) != S_OK) return run;
  if ((run.status = isp.EnterProgMode()) != S_OK) return run;
  if (!isp.Identify(false)) return run;

  const uint64_t calls = back_end == TBackEnd::Gpio ? lines.sets + lines.gets : spi->Counts().ioctls;
  const uint64_t gets = lines.gets, bits = chip->Counters().bits, pages = chip->Counters().page_writes;
  const uint64_t start = clock->NowNs();
  const auto image = Stream(bytes);
  run.status = job == TJob::Write ? isp.WriteFlash(image) : isp.VerifyFlash(image);
  run.seconds = SecondsSince(*clock, start);
  run.calls = (back_end == TBackEnd::Gpio ? lines.sets + lines.gets : spi->Counts().ioctls) - calls;
  run.bits = chip->Counters().bits - bits;
  run.samples = lines.gets - gets;
  run.pages = chip->Counters().page_writes - pages;
  run.busy_s = ChipBusySeconds(*chip, run.pages, 0);
  run.exact = std::equal(bytes.begin(), bytes.end(), chip->Flash().begin());
  isp.LeaveProgMode();
  return run;
}

// The least the job can take on the back end: the instructions it needs (two page loads per word
// and a write per page; one read per byte to verify), every bit at the level's SCK phase, and on
// GPIO one call per edge and one per answer bit, plus the chip's programming cycles.
double FloorSeconds(TBackEnd back_end, TJob job, const TAvrSigType& record, uint8_t level, size_t size,
                    double busy_s) {
  const uint64_t page_bytes = uint64_t(record.PageSize.Flash);
  const uint64_t pages = (size + page_bytes - 1) / page_bytes;
  const uint64_t bits = job == TJob::Write ? pages * (page_bytes * 32 + 32) : uint64_t(size) * 32;
  const uint64_t samples = job == TJob::Write ? 0 : uint64_t(size) * 8;
  const double phase_s = PhaseNs(back_end, level) / 1e9;
  double seconds = double(bits) * 2 * phase_s;
  if (back_end == TBackEnd::Gpio) seconds += double(samples) * kGpioCallUs / 1e6;
  return seconds + busy_s;
}

} // namespace

bool PrintLinux(const TAvrSigType& record, const std::string& db_path, uint32_t clock_hz) {
  const size_t size = size_t(record.MemSize.Flash);
  const uint64_t page_bytes = uint64_t(record.PageSize.Flash);
  const std::vector<uint8_t> bytes = PseudoRandom(size, 0x2545F491);
  std::printf("\nLinux back ends on their models (GPIO chip, spidev node), %s at %.0f MHz, %zu-byte image,\n"
              "%llu-byte pages; %.0f us per GPIO call, %.0f us per SPI_IOC_MESSAGE (stated costs), SCK at\n"
              "the fastest level that clock allows\n",
              record.CpuName.c_str(), clock_hz / 1e6, size, (unsigned long long)page_bytes, kGpioCallUs,
              kSpidevCallUs);
  std::printf("%-7s %-10s %-7s %9s %10s %9s %10s %8s %8s %8s %6s\n", "back", "level", "job", "SCK kHz",
              "calls", "per page", "SPI bits", "time s", "busy s", "floor s", "ratio");
  bool all_ok = true;
  for (TBackEnd back_end : {TBackEnd::Gpio, TBackEnd::Spidev}) {
    const uint8_t level = FastestLevel(back_end, clock_hz);
    const char* name = back_end == TBackEnd::Gpio ? "gpio" : "spidev";
    for (TJob job : {TJob::Write, TJob::Verify}) {
      const TLinuxRun run = Run(back_end, job, record, db_path, level, bytes);
      const char* job_name = job == TJob::Write ? "write" : "verify";
      if (run.status != S_OK || !run.exact) {
        std::fprintf(stderr, "pinlet-bench: %s %s failed with 0x%08X%s\n", name, job_name,
                     uint32_t(run.status), run.exact ? "" : " (flash differs from the image)");
        all_ok = false;
        continue;
      }
      // A verify reads no pages; its "per page" is per page-sized block of the image.
      const double per_page = double(run.calls) / (double(size) / double(page_bytes));
      const double floor = FloorSeconds(back_end, job, record, level, size, run.busy_s);
      std::printf("%-7s %-10s %-7s %9.0f %10llu %9.1f %10llu %8.3f %8.3f %8.3f %6.2f\n", name,
                  SpiSpeedName(level), job_name, 1e6 / (2 * PhaseNs(back_end, level)),
                  (unsigned long long)run.calls, per_page, (unsigned long long)run.bits, run.seconds,
                  run.busy_s, floor, run.seconds / floor);
    }
  }
  std::printf(
      "\ncalls: GPIO set/get calls or spidev ioctls during the job (per page: per %llu bytes of image);\n"
      "SCK kHz: spidev's clock, GPIO's bound by one call per edge; time: simulated, every call at its\n"
      "stated cost and every bit at the SCK rate; floor: the bits the job needs at that rate (GPIO:\n"
      "plus a call per answer bit) and the chip's page cycles.\n",
      (unsigned long long)page_bytes);
  return all_ok;
}
