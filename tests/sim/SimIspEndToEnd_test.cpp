// The ISP layer over the simulated bus: from programming mode to a verified full image, with the
// chip decoding the lines the bus base really drives.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/VectorMemStream.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace {

std::vector<uint8_t> RandomImage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = uint8_t(random());
  return bytes;
}

class SimIspEndToEnd : public testing::TestWithParam<TAvrSigType (*)()> {
protected:
  void SetUp() override {
    record_ = GetParam()();
    saved_table_ = SignatureTable;
    SignatureTable = {SimRecordClassic2313(), record_};
  }
  void TearDown() override { SignatureTable = saved_table_; }
  std::unique_ptr<TSpiBus_Sim> Open(TSimChipOptions options = {}) {
    auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(record_, options));
    bus->Speed = sdFastest; // the virtual clock needs no bit delays; page and erase waits still count
    return bus;
  }

  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
  TAvrSigType record_;
  std::vector<TAvrSigType> saved_table_;
};

TEST_P(SimIspEndToEnd, WritesReadsAndVerifiesAFullImage) {
  auto bus = Open();
  TSimAvrChip& chip = *bus->Chip();
  TmCAtgeneric isp(bus.get());
  ASSERT_EQ(isp.EnterProgMode(), 0);
  ASSERT_TRUE(isp.Identify(true));
  EXPECT_EQ(isp.CpuInfo->CpuName, record_.CpuName);

  uint32_t fuses = 0;
  ASSERT_EQ(isp.ReadFuseBits(fuses), 0);
  EXPECT_EQ(fuses, 0x00269Du) << "defaults low 0x62, high 0xD9, ext 0xFF, delivered inverted";
  uint8_t lock = 0xAA;
  ASSERT_EQ(isp.ReadLockBits(lock), 0);
  EXPECT_EQ(lock, 0);
  uint8_t calibration = 0;
  ASSERT_EQ(isp.ReadCalibrationByte(0, calibration), 0);
  EXPECT_EQ(calibration, SimCalibrationByte(record_.Sig, 0));

  const size_t flash = size_t(record_.MemSize.Flash);
  const auto image = std::make_shared<TVectorMemStream>(RandomImage(flash, uint32_t(flash)));
  chip.Flash().assign(flash, 0x00); // something a missing erase would leave visible
  int32_t error_at = 0;
  ASSERT_EQ(isp.WriteFlash(image, &error_at), 0);
  EXPECT_EQ(error_at, -1);
  EXPECT_EQ(chip.Counters().chip_erases, 1u);
  EXPECT_EQ(chip.Counters().page_writes, flash / size_t(record_.PageSize.Flash));
  EXPECT_EQ(chip.Counters().ignored_busy, 0u);
  EXPECT_EQ(chip.Counters().unknown, 0u);
  EXPECT_TRUE(chip.Flash() == image->bytes);

  const auto readback = std::make_shared<TVectorMemStream>();
  ASSERT_EQ(isp.ReadFlash(readback, &error_at), 0);
  EXPECT_TRUE(readback->bytes == image->bytes);
  ASSERT_EQ(isp.VerifyFlash(image, &error_at), 0);

  ASSERT_EQ(isp.LeaveProgMode(), 0);
  EXPECT_FALSE(chip.InProgMode());
  EXPECT_EQ(chip.Counters().ignored_busy, 0u);
}

TEST_P(SimIspEndToEnd, VerifyInALaterRunSeesTheWrittenChip) {
  TScratchDir dir;
  TSimChipOptions options;
  options.persist = true;
  options.state_dir = dir.Path();
  const auto image = std::make_shared<TVectorMemStream>(RandomImage(3000, 7));
  {
    auto bus = Open(options);
    TmCAtgeneric isp(bus.get());
    ASSERT_EQ(isp.EnterProgMode(), 0);
    ASSERT_EQ(isp.WriteFlash(image), 0);
    isp.LeaveProgMode();
  }
  auto bus = Open(options);
  EXPECT_EQ(bus->Chip()->StateLoad(), TSimStateLoad::Loaded);
  TmCAtgeneric isp(bus.get());
  ASSERT_EQ(isp.EnterProgMode(), 0);
  int32_t error_at = 0;
  EXPECT_EQ(isp.VerifyFlash(image, &error_at), 0);
  image->bytes[2999] ^= 0x01;
  EXPECT_EQ(isp.VerifyFlash(image, &error_at), ISP_E_MISMATCH);
  EXPECT_EQ(error_at, 2998);
}

INSTANTIATE_TEST_SUITE_P(Chips, SimIspEndToEnd, testing::Values(&SimRecordMega328P, &SimRecordMega2560),
                         [](const testing::TestParamInfo<TAvrSigType (*)()>& info) {
                           return info.param == &SimRecordMega328P ? "ATmega328P" : "ATmega2560";
                         });

// Faults as the ISP layer meets them.
class SimIspFaults : public testing::Test {
protected:
  void SetUp() override {
    saved_table_ = SignatureTable;
    SignatureTable = {SimRecordMega328P()};
  }
  void TearDown() override { SignatureTable = saved_table_; }
  std::unique_ptr<TSpiBus_Sim> Open(TSimChipOptions options) {
    auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P(), options));
    bus->Speed = sdFastest;
    return bus;
  }

  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
  std::vector<TAvrSigType> saved_table_;
};

TEST_F(SimIspFaults, ChipDyingMidTransferFailsTheWriteAndTheVerify) {
  TSimChipOptions options;
  options.stop_after_bytes = 4 * 1000;
  auto bus = Open(options);
  TmCAtgeneric isp(bus.get());
  ASSERT_EQ(isp.EnterProgMode(), 0);
  const auto image = std::make_shared<TVectorMemStream>(RandomImage(2048, 3));
  int32_t error_at = -1;
  EXPECT_EQ(isp.WriteFlash(image, &error_at), ISP_E_FLASHWRITE);
  EXPECT_TRUE(bus->Chip()->Dead());
  // About 1000 instructions: the erase, the signature, the polls for the ends of the erase and of
  // the pages, and some 400 words of page loads.
  EXPECT_GT(error_at, 700);
  EXPECT_LT(error_at, 1100);
  EXPECT_EQ(isp.LastFault(), ISP_E_NOANSWER);
  // The flash is not called different from the image: the chip is gone.
  EXPECT_EQ(isp.VerifyFlash(image, &error_at), ISP_E_FLASHREAD);
  EXPECT_EQ(error_at, 0);
}

// Value polling through the ISP layer, on a paged part (ATmega163) and a classic byte-wise one
// (AT90S8515): the writes end when the cells read back, well before the datasheet maxima would,
// and no write reaches the chip while it is busy.
class SimIspValuePolling : public testing::TestWithParam<const char*> {
protected:
  void SetUp() override {
    record_ = SimDatabaseRecord(PINLET_SOURCE_DIR "/resources/CpuSignatures.xml", GetParam());
    saved_table_ = SignatureTable;
    SignatureTable = {record_};
  }
  void TearDown() override { SignatureTable = saved_table_; }

  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
  TAvrSigType record_;
  std::vector<TAvrSigType> saved_table_;
};

TEST_P(SimIspValuePolling, WritesEndWhenTheCellsReadBack) {
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(record_));
  bus->Speed = sdFastest;
  const TSimAvrChip& chip = *bus->Chip();
  const TAvrChipMemories& memories = chip.Memories();
  TmCAtgeneric isp(bus.get());
  ASSERT_EQ(isp.EnterProgMode(), 0);
  ASSERT_EQ(isp.WriteFlash(std::make_shared<TVectorMemStream>(RandomImage(1024, 11))), 0);
  ASSERT_EQ(isp.WriteEeprom(std::make_shared<TVectorMemStream>(RandomImage(256, 12))), 0);
  // The chip takes 80 % of each maximum; polling ends soon after it.
  const uint64_t flash_writes = chip.Counters().page_writes + chip.Counters().flash_byte_writes;
  const uint64_t maxima = flash_writes * memories[TAvrMemory::Flash].MaxWriteUs + memories.EraseUs +
                          chip.Counters().eeprom_writes * memories[TAvrMemory::Eeprom].MaxWriteUs;
  EXPECT_LT(isp.WaitedNs(), maxima * 1000 * 9 / 10);
  EXPECT_EQ(chip.Counters().ignored_busy, 0u);
}

INSTANTIATE_TEST_SUITE_P(Parts, SimIspValuePolling, testing::Values("ATmega163", "AT90S8515"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

} // namespace
