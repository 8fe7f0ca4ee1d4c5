// The whole programming path through the real port back ends: ISP layer -> bus -> ppdev or tty
// requests -> modelled adapter wires -> simulated chip. What a user with an adapter on a real
// port would see, without the hardware.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSimChip.h"
#include "tests/support/FakePortDevice.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/VectorMemStream.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

TAvrSigType RecordMega8() {
  TAvrSigType r;
  r.CpuName = "ATmega8";
  r.CpuType = actATmega8;
  r.Sig = {0x1E, 0x93, 0x07, 0x00};
  r.EraseBeforeFlash = 1;
  r.MemSize = {8192, 512};
  r.PageSize = {64, 4};
  r.PageNo = {128, 128};
  return r;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  return bytes;
}

enum class TPort { Parallel, Serial };

struct Case {
  const char* name;
  TPort port;
  TAvrSigType (*record)();
  size_t image_bytes;
};

// Names the case in gtest output instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// One adapter on one port, a chip on its lines, the tables holding the chip's record.
class Rig {
public:
  Rig(TPort port, const TAvrSigType& record)
      : chip_record(record),
        node(port == TPort::Parallel ? fake->AddParallel("/dev/parport0") : fake->AddSerial("/dev/ttyUSB0")) {
    RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
    SignatureTable = {record};
    chip = std::make_unique<TSimAvrChip>(record);
    node.chip = chip.get();
    node.keep_events = false;
    if (port == TPort::Parallel)
      bus = CreateSpiBus<TSpiBus_LPT>(1, fake);
    else
      bus = CreateSpiBus<TSpiBus_COM>(1, fake, "/dev/ttyUSB0");
    bus->Speed = sdFastest;
    isp = std::make_unique<TmCAtgeneric>(bus.get());
  }
  ~Rig() {
    isp.reset();
    bus.reset();
    SignatureTable.clear();
  }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TAvrSigType chip_record;
  TFakeNode& node;
  std::unique_ptr<TSimAvrChip> chip;
  std::unique_ptr<TSpiBusBase> bus;
  std::unique_ptr<TmCAtgeneric> isp;
};

class ProgrammingThroughPort : public ::testing::TestWithParam<Case> {};

TEST_P(ProgrammingThroughPort, SignatureWriteVerifyReadErase) {
  const Case& c = GetParam();
  Rig rig(c.port, c.record());
  ASSERT_EQ(rig.bus->CheckHardware(), S_OK);
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);

  TAvrSignature sig;
  ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
  EXPECT_EQ(sig, rig.chip_record.Sig);

  const std::vector<uint8_t> data = Pattern(c.image_bytes, 7);
  auto image = std::make_shared<TVectorMemStream>(data);
  int32_t error_at = 0;
  ASSERT_EQ(rig.isp->WriteFlash(image, &error_at), S_OK) << "stopped at " << error_at;
  ASSERT_TRUE(std::equal(data.begin(), data.end(), rig.chip->Flash().begin()));
  EXPECT_EQ(rig.isp->VerifyFlash(image, &error_at), S_OK);

  // A cell that differs must be found where it is: the read path is as real as the write path.
  rig.chip->Flash()[data.size() / 2] ^= 0x10;
  EXPECT_EQ(rig.isp->VerifyFlash(image, &error_at), ISP_E_MISMATCH);
  EXPECT_EQ(error_at, int32_t(data.size() / 2) & ~1);

  ASSERT_EQ(rig.isp->ChipErase(), S_OK);
  EXPECT_TRUE(
      std::all_of(rig.chip->Flash().begin(), rig.chip->Flash().end(), [](uint8_t b) { return b == 0xFF; }));
  uint16_t word = 0;
  ASSERT_EQ(rig.isp->ReadProgramWord(0, word), S_OK);
  EXPECT_EQ(word, 0xFFFF);

  rig.isp->LeaveProgMode();
  EXPECT_FALSE(rig.chip->InProgMode());
  EXPECT_FALSE(rig.bus->LineFault());
}

INSTANTIATE_TEST_SUITE_P(Chips, ProgrammingThroughPort,
                         ::testing::Values(Case{"Lpt_ATmega8", TPort::Parallel, RecordMega8, 8192},
                                           Case{"Com_ATmega8", TPort::Serial, RecordMega8, 8192},
                                           Case{"Lpt_ATmega328P", TPort::Parallel, SimRecordMega328P, 4096},
                                           Case{"Com_ATmega328P", TPort::Serial, SimRecordMega328P, 4096},
                                           Case{"Lpt_ATmega2560", TPort::Parallel, SimRecordMega2560, 2048},
                                           Case{"Com_ATmega2560", TPort::Serial, SimRecordMega2560, 2048}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProgrammingThroughPortExtras, WholeFlashReadMatchesTheChip) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    Rig rig(port, RecordMega8());
    const std::vector<uint8_t> data = Pattern(8192, 3);
    std::copy(data.begin(), data.end(), rig.chip->Flash().begin());
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    auto image = std::make_shared<TVectorMemStream>();
    ASSERT_EQ(rig.isp->ReadFlash(image), S_OK);
    EXPECT_EQ(image->bytes, data);
  }
}

TEST(ProgrammingThroughPortExtras, HighFlashOfALargeChipIsReachedThroughTheExtendedAddress) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    Rig rig(port, SimRecordMega2560());
    const uint32_t word_address = 0x1F000; // bank 1
    rig.chip->Flash()[2 * word_address] = 0x34;
    rig.chip->Flash()[2 * word_address + 1] = 0x12;
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    uint16_t word = 0;
    ASSERT_EQ(rig.isp->ReadProgramWord(word_address, word), S_OK);
    EXPECT_EQ(word, 0x1234);
    ASSERT_EQ(rig.isp->ReadProgramWord(0, word), S_OK);
    EXPECT_EQ(word, 0xFFFF) << "going back to bank 0 must reselect it";
  }
}

TEST(ProgrammingThroughPortExtras, NoChipOnTheAdapterEndsTheSynchronisation) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    Rig rig(port, RecordMega8());
    rig.node.chip = nullptr;
    EXPECT_EQ(rig.bus->CheckHardware(), S_OK) << "the adapter is there";
    EXPECT_EQ(rig.isp->EnterProgMode(), 1);
    TAvrSignature sig;
    EXPECT_EQ(rig.isp->ReadSignature(sig), S_OK);
    EXPECT_EQ(sig.byte1, 0xFF) << "an undriven MISO reads as ones";
  }
}

TEST(ProgrammingThroughPortExtras, AdapterPulledMidWriteStopsWithAnAddress) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    Rig rig(port, RecordMega8());
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    rig.node.eio_after_ioctls = int64_t(rig.node.ioctls) + 20000;
    auto image = std::make_shared<TVectorMemStream>(Pattern(8192, 5));
    int32_t error_at = -1;
    EXPECT_EQ(rig.isp->WriteFlash(image, &error_at), ISP_E_FLASHWRITE);
    EXPECT_GT(error_at, 0);
    EXPECT_LT(error_at, 8192);
    rig.isp.reset();
    rig.bus.reset();
    EXPECT_EQ(rig.fake->OpenDescriptors(), 0) << "the port is given back even when it is gone";
  }
}

// Port operations (system calls through the seam) per SPI bit and per flash byte, at the fastest
// speed. The numbers go to the test log for the benchmark notes; the bounds catch a regression
// that would, say, read the port back after every write.
TEST(ProgrammingThroughPortExtras, PortOperationsPerBitAndPerFlashByte) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    Rig rig(port, RecordMega8());
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    const char* name = port == TPort::Parallel ? "lpt" : "com";
    auto image = std::make_shared<TVectorMemStream>(Pattern(8192, 11));

    const uint64_t bytes_before_write = rig.chip->Counters().bytes;
    rig.fake->ResetCounts();
    ASSERT_EQ(rig.isp->WriteFlash(image), S_OK);
    const double write_ops = double(rig.fake->Counts().Total());
    const double write_bits = double(rig.chip->Counters().bytes - bytes_before_write) * 8;

    const uint64_t bytes_before_read = rig.chip->Counters().bytes;
    rig.fake->ResetCounts();
    auto read = std::make_shared<TVectorMemStream>();
    ASSERT_EQ(rig.isp->ReadFlash(read), S_OK);
    const double read_ops = double(rig.fake->Counts().Total());
    const double read_bits = double(rig.chip->Counters().bytes - bytes_before_read) * 8;

    const double write_per_bit = write_ops / write_bits, read_per_bit = read_ops / read_bits;
    std::printf("[ %s ] port ops: write %.2f/bit %.1f/flash byte; read %.2f/bit %.1f/flash byte\n", name,
                write_per_bit, write_ops / 8192, read_per_bit, read_ops / 8192);
    ::testing::Test::RecordProperty(std::string(name) + "_write_ops_per_byte", int(write_ops / 8192));
    ::testing::Test::RecordProperty(std::string(name) + "_read_ops_per_byte", int(read_ops / 8192));
    EXPECT_LE(write_per_bit, 3.0);
    EXPECT_LE(read_per_bit, 3.0);
  }
}

} // namespace
