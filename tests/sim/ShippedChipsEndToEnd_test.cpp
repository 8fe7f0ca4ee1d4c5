// Every memory of a range of shipped chips, through the ISP layer and the simulated chip on its
// lines: modern parts that poll RDY/BSY, paged parts that value-poll or wait, classic parts written
// byte by byte. The records are the shipped database's, so its facts are what is tested.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAvrMemories.h"
#include "devicedb/uXmlDB.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/VectorMemStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

namespace {

const char* const kShippedDb = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = uint8_t(random());
  return bytes;
}

int FindFeatureBit(const TAvrFeatureByte& features, const std::string& name) {
  for (int k = 0; k < 8; ++k)
    if (features[size_t(k)].Bit == k && features[size_t(k)].Name == name) return k;
  return -1;
}

// The bits a test may change freely: described, writable, and none that ends ISP.
uint8_t HarmlessBit(const TAvrSigType& record, const TAvrMemoryDesc& memory) {
  const TAvrFeatureByte* features = MemoryFeatures(record, memory.Kind);
  for (int k = 0; k < 8 && features; ++k) {
    const std::string& name = (*features)[size_t(k)].Name;
    if ((memory.DescribedBits & memory.WritableBits & memory.ReadableBits) >> k & 1 && name != "SPIEN" &&
        name != "RSTDISBL" && name != "DWEN")
      return uint8_t(1u << k);
  }
  return 0;
}

class ShippedChip : public testing::TestWithParam<const char*> {
protected:
  void SetUp() override {
    saved_ = SignatureTable;
    std::string error;
    ASSERT_EQ(LoadSignatureDB(kShippedDb, error), S_OK) << error;
    for (const TAvrSigType& r : SignatureTable)
      if (r.CpuName.rfind(GetParam(), 0) == 0) record_ = r;
    ASSERT_FALSE(record_.CpuName.empty()) << GetParam();
    bus_ = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(record_));
    bus_->Speed = sdFastest;
    isp_ = std::make_unique<TmCAtgeneric>(bus_.get());
    ASSERT_EQ(isp_->EnterProgMode(), 0);
    ASSERT_TRUE(isp_->Identify(true));
  }
  void TearDown() override { SignatureTable = saved_; }
  TSimAvrChip& Chip() { return *bus_->Chip(); }

  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
  std::vector<TAvrSigType> saved_;
  TAvrSigType record_;
  std::unique_ptr<TSpiBus_Sim> bus_;
  std::unique_ptr<TmCAtgeneric> isp_;
};

TEST_P(ShippedChip, FlashEepromFusesAndLockRoundTripWithoutAnInstructionWhileBusy) {
  const TAvrChipMemories& chip = isp_->Memories();
  const size_t flash = std::min<size_t>(size_t(record_.MemSize.Flash), 1536);
  auto image = std::make_shared<TVectorMemStream>(RandomBytes(flash, 7));
  int32_t error_at = 0;
  ASSERT_EQ(isp_->WriteFlash(image, &error_at), S_OK) << error_at;
  ASSERT_EQ(isp_->VerifyFlash(image, &error_at), S_OK) << error_at;
  EXPECT_GT(Chip().Counters().page_writes + Chip().Counters().flash_byte_writes, 0u);

  if (chip[TAvrMemory::Eeprom].Present) {
    auto eeprom = std::make_shared<TVectorMemStream>(RandomBytes(size_t(record_.MemSize.EEPROM), 11));
    ASSERT_EQ(isp_->WriteEeprom(eeprom, &error_at), S_OK) << error_at;
    ASSERT_EQ(isp_->VerifyEeprom(eeprom, &error_at), S_OK) << error_at;
    auto read = std::make_shared<TVectorMemStream>();
    ASSERT_EQ(isp_->ReadEeprom(read, &error_at), S_OK);
    EXPECT_EQ(read->bytes, eeprom->bytes);
    EXPECT_EQ(std::vector<uint8_t>(Chip().Eeprom()), eeprom->bytes);
    // One more byte than the chip has is refused before anything is written.
    const uint64_t writes = Chip().Counters().eeprom_writes;
    eeprom->bytes.push_back(0);
    EXPECT_EQ(isp_->WriteEeprom(eeprom, &error_at), ISP_E_TOOBIG);
    EXPECT_EQ(Chip().Counters().eeprom_writes, writes);
  }

  for (TAvrMemory kind : {TAvrMemory::LowFuse, TAvrMemory::HighFuse, TAvrMemory::ExtFuse}) {
    const TAvrMemoryDesc& fuse = chip[kind];
    const uint8_t bit = HarmlessBit(record_, fuse);
    if (!bit) continue;
    SCOPED_TRACE(AvrMemoryName(kind));
    uint8_t before = 0, after = 0;
    ASSERT_EQ(isp_->ReadConfigByte(kind, before), S_OK);
    ASSERT_EQ(isp_->WriteConfigByte(kind, uint8_t(before ^ bit)), S_OK);
    ASSERT_EQ(isp_->ReadConfigByte(kind, after), S_OK);
    EXPECT_EQ(after & fuse.ReadableBits, (before ^ bit) & fuse.ReadableBits);
  }

  const TAvrMemoryDesc& lock = chip[TAvrMemory::Lock];
  ASSERT_TRUE(lock.Write.Present) << "every ISP part can lock itself";
  const int lb1 = FindFeatureBit(record_.Locks.Low, "LB1");
  ASSERT_GE(lb1, 0);
  const uint64_t lock_writes = Chip().Counters().lock_writes;
  ASSERT_EQ(isp_->WriteConfigByte(TAvrMemory::Lock, uint8_t(~(1u << lb1))), S_OK);
  EXPECT_EQ(Chip().Counters().lock_writes, lock_writes + 1);
  if (lock.Readable()) {
    uint8_t locked = 0;
    ASSERT_EQ(isp_->ReadLockBits(locked), S_OK);
    EXPECT_EQ(locked, 1u << lb1);
  } else {
    uint8_t locked = 0;
    EXPECT_EQ(isp_->ReadLockBits(locked), ISP_E_NOTSUPPORTED);
  }
  // The erase clears the lock bits, and the EEPROM exactly when the ISP layer says it will (the
  // ATmega103 leaves the factory with EESAVE programmed).
  const bool clears = isp_->EraseClearsEeprom();
  ASSERT_EQ(isp_->ChipErase(), S_OK);
  EXPECT_EQ(Chip().Lock(), 0xFF);
  if (chip[TAvrMemory::Eeprom].Present) {
    EXPECT_EQ(std::count(Chip().Eeprom().begin(), Chip().Eeprom().end(), 0xFF) == record_.MemSize.EEPROM,
              clears);
  }

  EXPECT_EQ(Chip().Counters().ignored_busy, 0u) << "an instruction reached the chip while it was busy";
  EXPECT_EQ(Chip().Counters().unknown, 0u) << "an instruction the part does not have";
}

// Modern parts (RDY/BSY), the value-polled and timed paged parts, the classic byte-wise parts.
INSTANTIATE_TEST_SUITE_P(Parts, ShippedChip,
                         testing::Values("ATmega8", "ATmega328P", "ATmega2560", "ATtiny13", "ATtiny85",
                                         "ATmega163", "ATmega103", "AT90S4433", "AT90S8515", "AT90S8535",
                                         "ATtiny12"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST(ChipWaits, PollingWaitsFarLessThanTheFixedPageWaitsOnAModernPart) {
  std::vector<TAvrSigType> saved = SignatureTable;
  std::string error;
  ASSERT_EQ(LoadSignatureDB(kShippedDb, error), S_OK) << error;
  const TAvrSigType* record = GetCpuInfo({0x1E, 0x95, 0x0F, 0x00}); // ATmega328P
  ASSERT_NE(record, nullptr);
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  auto bus = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(*record));
  bus->Speed = sdFastest;
  TmCAtgeneric isp(bus.get());
  ASSERT_EQ(isp.EnterProgMode(), 0);
  auto image = std::make_shared<TVectorMemStream>(RandomBytes(32768, 3));
  ASSERT_EQ(isp.WriteFlash(image), S_OK);
  // 256 pages of at most 4.5 ms and a 9 ms erase: the simulated chip takes 80 % of those; a
  // programmer that polls waits little more, one that never asks waits 10 ms a page.
  const double waited_ms = double(isp.WaitedNs()) / 1e6;
  EXPECT_LT(waited_ms, 256 * 4.5 + 9.0);
  EXPECT_GT(waited_ms, 0.8 * (256 * 4.5 + 9.0));
  EXPECT_EQ(bus->Chip()->Counters().ignored_busy, 0u);
  SignatureTable = saved;
}

} // namespace
