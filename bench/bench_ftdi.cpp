#include "bench_ftdi.h"
#include "bench_support.h"

#include "app/uController.h"
#include "app/uSckSpeed.h"
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakeFtdi.h"
#include "hw/uSpiBus_ftdi.h"
#include "sim/uSimChip.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

// The clock the figures are quoted for: a 16 MHz ATmega328P on a crystal.
constexpr uint32_t kTargetHz = 16'000'000;

struct TFtdiFigures {
  uint64_t round_trips = 0, bytes = 0;
  double seconds = 0;
};

// One FT232R with a fresh chip on its pins, and a clock for both.
struct TFtdiRig {
  explicit TFtdiRig(const TAvrSigType& record) : chip(record) {
    fake->clock = clock;
    TFakeFtdiDevice& device = fake->AddDevice({kFtdiVendor, 0x6001, "BENCH01", "FT232R USB UART", "FTDI"});
    device.chip = &chip;
  }
  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::shared_ptr<TFakeFtdi> fake = std::make_shared<TFakeFtdi>();
  TSimAvrChip chip; // declared before any bus: closing the port still drives its pins

  TFtdiFigures Since(uint64_t start_ns) const {
    return {fake->Counts().round_trips, fake->Counts().bytes_written, SecondsSince(*clock, start_ns)};
  }
};

// A page loaded and written, and a page read, through the ISP layer on the bus.
bool PagesThroughIsp(const TAvrSigType& record, const std::string& db_path, uint8_t level,
                     TFtdiFigures& write, TFtdiFigures& read) {
  TFtdiRig rig(record);
  auto bus = CreateSpiBus<TSpiBus_FTDI>(1, rig.fake, std::string{}, DefaultPinMap(TPinKind::Ftdi));
  bus->Speed = level;
  TmCAtgeneric isp(bus.get());
  isp.DatabasePath = db_path;
  std::string error_text;
  if (isp.LoadDatabase(error_text) != S_OK || isp.EnterProgMode() != S_OK || !isp.Identify(false))
    return false;
  const uint32_t page_words = uint32_t(record.PageSize.Flash) / 2;
  const std::vector<uint8_t> data = PseudoRandom(page_words * 2, 77);
  rig.fake->ResetCounts();
  uint64_t start = rig.clock->NowNs();
  std::vector<TSpiFrame> frames;
  for (uint32_t w = 0; w < page_words; ++w) {
    frames.push_back(SpiFrame(0x40, uint8_t(w >> 8), uint8_t(w), data[2 * w]));
    frames.push_back(SpiFrame(0x48, uint8_t(w >> 8), uint8_t(w), data[2 * w + 1]));
  }
  if (isp.Instructions(frames) != S_OK || isp.WritePage(0) != S_OK) return false;
  write = rig.Since(start);
  rig.fake->ResetCounts();
  start = rig.clock->NowNs();
  frames.clear();
  for (uint32_t w = 0; w < page_words; ++w) {
    frames.push_back(SpiFrame(0x28, uint8_t(w >> 8), uint8_t(w), 0xFF, kIspAnswerSample));
    frames.push_back(SpiFrame(0x20, uint8_t(w >> 8), uint8_t(w), 0xFF, kIspAnswerSample));
  }
  if (isp.Instructions(frames) != S_OK) return false;
  read = rig.Since(start);
  for (uint32_t w = 0; w < page_words; ++w)
    if (frames[2 * w].In[3] != data[2 * w + 1] || frames[2 * w + 1].In[3] != data[2 * w]) return false;
  return true;
}

struct TFtdiJob {
  bool ok = false;
  std::string log;
  TFtdiFigures write, verify;
  uint64_t page_writes = 0, erases = 0;
  bool exact = false;
};

// The command line's work as two commands on one connection: write, then verify.
TFtdiJob RunJob(const TAvrSigType& record, const std::string& db_path, const std::string& file,
                const std::vector<uint8_t>& image, uint8_t level) {
  TFtdiRig rig(record);
  TFtdiJob job;
  TLogCapture log;
  TAlwaysYes yes;
  {
    TPinletController controller(log, yes);
    controller.DatabasePath = db_path;
    controller.BusFactory = [&](const std::string&, const std::string&,
                                std::string&) -> std::unique_ptr<TSpiBusBase> {
      return CreateSpiBus<TSpiBus_FTDI>(1, rig.fake, std::string{}, DefaultPinMap(TPinKind::Ftdi));
    };
    bool ok = controller.LoadFile(file) == TCommandResult::Done;
    ok = ok && controller.Init("ftdi", level, false) == TCommandResult::Done;
    rig.fake->ResetCounts();
    uint64_t start = rig.clock->NowNs();
    ok = ok && controller.Write(TImageMemory::Flash) == TCommandResult::Done;
    job.write = rig.Since(start);
    job.exact = std::equal(image.begin(), image.end(), rig.chip.Flash().begin());
    rig.fake->ResetCounts();
    start = rig.clock->NowNs();
    ok = ok && controller.Verify(TImageMemory::Flash) == TCommandResult::Done;
    job.verify = rig.Since(start);
    job.ok = ok;
  }
  job.log = log.Text();
  job.page_writes = rig.chip.Counters().page_writes;
  job.erases = rig.chip.Counters().chip_erases;
  return job;
}

} // namespace

bool PrintFtdi(const TAvrSigType& record, const std::string& db_path) {
  const TSpiBus_FTDI probe(std::make_shared<TFakeFtdi>());
  const uint8_t level = FastestLevelForClock(kTargetHz, &probe);
  const double phase_ns = double(probe.SckPhaseNs(level));
  const double round_trip_ms = double(TFakeFtdi().round_trip_ns) / 1e6;
  std::printf(
      "\nFTDI synchronous bit-bang (modelled FT232R, %.0f ms per USB round trip, %u ns per bit-bang byte)\n"
      "on a %.0f MHz %s: %s, SCK phase %.0f ns (the chip needs %llu ns)\n",
      round_trip_ms, unsigned(TSpiBus_FTDI::kByteNs), kTargetHz / 1e6, record.CpuName.c_str(),
      SpiSpeedName(level), phase_ns, static_cast<unsigned long long>(MinSckPhaseNs(kTargetHz)));

  TFtdiFigures page_write, page_read;
  if (!PagesThroughIsp(record, db_path, level, page_write, page_read)) {
    std::fprintf(stderr, "pinlet-bench: the FTDI page transfers failed\n");
    return false;
  }
  std::printf("  one %d-byte page: load+write %llu round trips %.2f ms; read %llu round trips %.2f ms\n",
              record.PageSize.Flash, (unsigned long long)page_write.round_trips, page_write.seconds * 1e3,
              (unsigned long long)page_read.round_trips, page_read.seconds * 1e3);

  const std::vector<uint8_t> image = PseudoRandom(size_t(record.MemSize.Flash), 0x2545F491);
  const std::string dir = MakeTempDir();
  const std::string file = dir + "/flash.hex";
  if (dir.empty() || !WriteHex(file, TBenchImage{"flash", 0, image})) {
    std::fprintf(stderr, "pinlet-bench: cannot write %s\n", file.c_str());
    return false;
  }
  const TFtdiJob job = RunJob(record, db_path, file, image, level);
  std::filesystem::remove_all(dir);
  if (!job.ok || !job.exact) {
    std::fprintf(stderr, "pinlet-bench: FTDI write/verify failed%s:\n%s", job.ok ? " (flash differs)" : "",
                 job.log.c_str());
    return false;
  }

  // The floor: every instruction the job needs clocked at the level's SCK period, nothing else on
  // the wires, and the chip's programming cycles (as the floor of the port jobs).
  const TSimAvrChip chip(record);
  const uint64_t pages = uint64_t(record.MemSize.Flash / record.PageSize.Flash);
  const uint64_t write_bits = pages * (uint64_t(record.PageSize.Flash / 2) * 2 * 32 + 32) + 32;
  const uint64_t verify_bits = uint64_t(record.MemSize.Flash) * 32;
  const double period_s = 2 * phase_ns / 1e9;
  const double busy_s = ChipBusySeconds(chip, job.page_writes, job.erases);
  const double write_floor = double(write_bits) * period_s + busy_s;
  const double verify_floor = double(verify_bits) * period_s;
  std::printf("%-14s %11s %12s %10s %10s %9s %7s\n", "", "round trips", "bytes out", "per page", "time s",
              "floor s", "ratio");
  auto row = [&](const char* name, const TFtdiFigures& f, double floor) {
    std::printf("%-14s %11llu %12llu %10.2f %10.3f %9.3f %7.2f\n", name, (unsigned long long)f.round_trips,
                (unsigned long long)f.bytes, double(f.round_trips) / double(pages), f.seconds, floor,
                floor > 0 ? f.seconds / floor : 0.0);
  };
  const std::string size = std::to_string(record.MemSize.Flash / 1024) + " KB ";
  row((size + "write").c_str(), job.write, write_floor);
  row((size + "verify").c_str(), job.verify, verify_floor);
  TFtdiFigures both{job.write.round_trips + job.verify.round_trips, job.write.bytes + job.verify.bytes,
                    job.write.seconds + job.verify.seconds};
  row("write+verify", both, write_floor + verify_floor);
  std::printf("time: each command from its start to its end (entering programming mode, the erase and the\n"
              "polls included) at %.0f ms per USB request plus the bit-bang bytes; floor: the instructions'\n"
              "bits at the SCK period (%.0f ns) plus the chip's %llu page writes and erase (%.3f s).\n",
              round_trip_ms, 2 * phase_ns, (unsigned long long)job.page_writes, busy_s);
  return true;
}
