// The simulated chip at line level: framing, instructions, flash and EEPROM, busy times, faults.
#include "core/uWait.h"
#include "sim/uSimChip.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

class SimChip : public testing::Test {
protected:
  void Open(const TAvrSigType& record, TSimChipOptions options = {}) {
    bus_ = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(record, options));
    line_ = std::make_unique<TSimLineDriver>(*bus_);
  }
  void OpenEnabled(const TAvrSigType& record, TSimChipOptions options = {}) {
    Open(record, options);
    line_->EnterReset();
    ASSERT_TRUE(line_->Enable());
  }
  TSimAvrChip& Chip() { return *bus_->Chip(); }
  void Advance(uint64_t ns) { clock_->Advance(ns); }

  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
  std::unique_ptr<TSpiBus_Sim> bus_;
  std::unique_ptr<TSimLineDriver> line_;
};

// ---- framing ----

TEST_F(SimChip, EnableEchoesAndInstructionsBeforeItAreIgnored) {
  Open(SimRecordMega328P());
  line_->EnterReset();
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x00), 0x00) << "no answer before Programming Enable";
  line_->Instruction(0xAC, 0xA0, 0x00, 0x00); // low fuse write
  line_->Instruction(0xAC, 0x80, 0x00, 0x00); // chip erase
  EXPECT_EQ(Chip().Counters().ignored_not_enabled, 3u);
  EXPECT_EQ(Chip().Counters().fuse_writes, 0u);
  EXPECT_EQ(Chip().Counters().chip_erases, 0u);
  EXPECT_EQ(Chip().Fuse(0), 0x62);

  EXPECT_EQ(line_->Instruction(0xAC, 0x53, 0x00, 0x00)[2], 0x53);
  EXPECT_TRUE(Chip().Enabled());
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x00), 0x1E);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x01), 0x95);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x06), 0x0F) << "index is taken modulo 4";
  // An enabled chip echoes the previous byte.
  const auto echo = line_->Instruction(0x4D, 0x12, 0x34, 0x00);
  EXPECT_EQ((std::array<uint8_t, 3>{echo[1], echo[2], echo[3]}), (std::array<uint8_t, 3>{0x4D, 0x12, 0x34}));
}

// The programmer's hunt (Programming Enable, one extra clock after a wrong echo) must end with the
// chip really enabled, never with a false echo from a chip still out of step, whatever the offset.
TEST_F(SimChip, ResynchronisesFromEveryBitOffset) {
  for (uint8_t third : {uint8_t(0x00), uint8_t(0xFF)}) {
    for (int offset = 0; offset < 32; ++offset) {
      SCOPED_TRACE(testing::Message() << "third byte " << int(third) << ", offset " << offset);
      Open(SimRecordMega328P());
      line_->EnterReset();
      line_->ExtraClocks(offset);
      int attempts = 0;
      bool echoed = false;
      while (attempts < 32 && !echoed) {
        ++attempts;
        echoed = line_->Instruction(0xAC, 0x53, third, 0x00)[2] == 0x53;
        if (!echoed) line_->ExtraClocks(1);
      }
      ASSERT_TRUE(echoed);
      EXPECT_EQ(attempts, offset == 0 ? 1 : 33 - offset);
      EXPECT_TRUE(Chip().Enabled());
      EXPECT_EQ(line_->Read(0x30, 0x00, 0x01), 0x95);
    }
  }
}

TEST_F(SimChip, ResetEdgeWithClockHighDoesNotArmAndReleasingResetLeaves) {
  Open(SimRecordMega328P());
  bus_->SetReset(0);
  bus_->SetSck(1);
  bus_->SetReset(1);
  bus_->SetSck(0);
  EXPECT_FALSE(line_->Enable());
  EXPECT_FALSE(Chip().InProgMode());
  line_->EnterReset(); // a new RESET pulse with SCK low
  EXPECT_TRUE(line_->Enable());

  line_->LeaveReset();
  EXPECT_FALSE(Chip().Enabled());
  EXPECT_FALSE(Chip().InProgMode());
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x00), 0xFF) << "a running chip does not drive MISO";
}

// ---- flash ----

TEST_F(SimChip, PageWriteCanOnlyClearBits) {
  OpenEnabled(SimRecordMega328P());
  std::vector<uint16_t> page(64, 0xF0F0);
  line_->WritePage(0x40, page.data(), 64);
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x40), 0xF0);
  std::fill(page.begin(), page.end(), uint16_t(0x3C0F));
  line_->WritePage(0x40, page.data(), 64);
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x40), 0x00);
  EXPECT_EQ(line_->Read(0x28, 0x00, 0x40), 0x30);
  line_->Instruction(0xAC, 0x80, 0x00, 0x00);
  Advance(Chip().EraseBusyNs());
  EXPECT_EQ(line_->Read(0x28, 0x00, 0x7F), 0xFF);
  EXPECT_EQ(Chip().Counters().chip_erases, 1u);
  EXPECT_EQ(Chip().Counters().page_writes, 2u);
}

TEST_F(SimChip, PageBufferIsIndexedByWordOffsetAndClearedAfterWrite) {
  OpenEnabled(SimRecordMega328P());
  // Loads carrying a full word address land at the offset within the page (64 words).
  line_->Instruction(0x40, 0x12, 0x45, 0xEF); // offset 0x05
  line_->Instruction(0x48, 0x12, 0x45, 0xBE);
  line_->Instruction(0x4C, 0x01, 0x07, 0x00); // page 0x100..0x13F: the offset bits are ignored
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(Chip().Flash()[(0x100 + 5) * 2], 0xEF);
  EXPECT_EQ(Chip().Flash()[(0x100 + 5) * 2 + 1], 0xBE);
  EXPECT_EQ(Chip().Flash()[0x107 * 2], 0xFF);
  // The buffer is all ones again: writing it to another page programs nothing.
  line_->Instruction(0x4C, 0x02, 0x00, 0x00);
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(Chip().Flash()[(0x200 + 5) * 2], 0xFF);
  EXPECT_EQ(Chip().Counters().page_writes, 2u);
}

TEST_F(SimChip, ExtendedAddressSelectsUpperFlash) {
  OpenEnabled(SimRecordMega2560());
  std::vector<uint16_t> page(128);
  for (int i = 0; i < 128; ++i) page[size_t(i)] = uint16_t(0x1000 + i);
  line_->Instruction(0x4D, 0x00, 0x01, 0x00);
  line_->WritePage(0x0080, page.data(), 128); // word 0x10080
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(line_->Read(0x28, 0x00, 0x81), 0x10);
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x81), 0x01);
  EXPECT_EQ(Chip().Flash()[0x10081 * 2], 0x01);
  line_->Instruction(0x4D, 0x00, 0x00, 0x00);
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x81), 0xFF) << "the same address in the low 64 K words is untouched";
}

// ---- busy ----

TEST_F(SimChip, WritesWhileBusyAreRejectedAndCounted) {
  OpenEnabled(SimRecordMega328P());
  std::vector<uint16_t> page(64, 0x0000);
  line_->WritePage(0x00, page.data(), 64);
  EXPECT_EQ(line_->Read(0xF0, 0x00, 0x00) & 1, 1) << "busy right after the page write";
  line_->WritePage(0x40, page.data(), 64);
  EXPECT_EQ(Chip().Counters().ignored_busy, 1u);
  EXPECT_EQ(Chip().Flash()[0x80], 0xFF);
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(line_->Read(0xF0, 0x00, 0x00) & 1, 0);
  line_->Instruction(0xAC, 0x80, 0x00, 0x00);
  Advance(Chip().EraseBusyNs() - 1000);
  line_->Instruction(0xAC, 0xA8, 0x00, 0xDE);
  EXPECT_EQ(Chip().Counters().ignored_busy, 2u) << "the erase is still running";
  EXPECT_EQ(Chip().Fuse(1), 0xD9);
  Advance(1000);
  line_->Instruction(0xAC, 0xA8, 0x00, 0xDE);
  EXPECT_EQ(Chip().Fuse(1), 0xDE);
  EXPECT_EQ(Chip().Counters().page_writes, 1u);
}

// ---- EEPROM ----

TEST_F(SimChip, EepromByteAndPageWrites) {
  OpenEnabled(SimRecordMega328P());
  line_->Instruction(0xC0, 0x01, 0x02, 0x00);
  EXPECT_EQ(line_->Read(0xA0, 0x01, 0x02), 0x00);
  line_->Instruction(0xC0, 0x01, 0x03, 0x11);
  EXPECT_EQ(Chip().Counters().ignored_busy, 1u);
  Advance(Chip().BusyNs(TAvrMemory::Eeprom));
  line_->Instruction(0xC0, 0x01, 0x02, 0xA5); // EEPROM cells are erased before they are written
  EXPECT_EQ(line_->Read(0xA0, 0x01, 0x02), 0xA5);
  Advance(Chip().BusyNs(TAvrMemory::Eeprom));
  // Page of 4 bytes: only the loaded bytes are written.
  line_->Instruction(0xC1, 0x00, 0x01, 0x22);
  line_->Instruction(0xC1, 0x00, 0x07, 0x44); // offset 3
  line_->Instruction(0xC2, 0x00, 0x11, 0x00); // page 0x10..0x13
  EXPECT_EQ(line_->Read(0xA0, 0x00, 0x10), 0xFF);
  EXPECT_EQ(line_->Read(0xA0, 0x00, 0x11), 0x22);
  EXPECT_EQ(line_->Read(0xA0, 0x00, 0x13), 0x44);
  EXPECT_EQ(Chip().Counters().eeprom_writes, 3u);
}

// ---- fuses and lock ----

TEST_F(SimChip, FuseAndLockDefaultsComeFromTheRecordAndWrites) {
  OpenEnabled(SimRecordMega328P());
  EXPECT_EQ(line_->Read(0x50, 0x00, 0x00), 0x62);
  EXPECT_EQ(line_->Read(0x58, 0x08, 0x00), 0xD9);
  EXPECT_EQ(line_->Read(0x50, 0x08, 0x00), 0xFF);
  EXPECT_EQ(line_->Read(0x58, 0x00, 0x00), 0xFF);
  EXPECT_EQ(line_->Read(0x38, 0x00, 0x00), SimCalibrationByte(SimRecordMega328P().Sig, 0));
  EXPECT_EQ(SimDefaultByte(TAvrFeatureByte{}), 0xFF) << "undescribed bits are unprogrammed";

  line_->Instruction(0xAC, 0xA0, 0x00, 0xFF);
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  line_->Instruction(0xAC, 0xA8, 0x00, 0xDA);
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  line_->Instruction(0xAC, 0xA4, 0x00, 0x05); // bits 7..3 are not used: they read as 1
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  EXPECT_EQ(line_->Read(0x50, 0x00, 0x00), 0xFF);
  EXPECT_EQ(line_->Read(0x58, 0x08, 0x00), 0xDA);
  EXPECT_EQ(line_->Read(0x50, 0x08, 0x00), 0xFD);
  line_->Instruction(0xAC, 0xE0, 0x00, 0xFC);
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  line_->Instruction(0xAC, 0xE0, 0x00, 0xFF); // lock bits cannot be unprogrammed by writing
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  EXPECT_EQ(line_->Read(0x58, 0x00, 0x00), 0xFC);
  EXPECT_EQ(Chip().Counters().fuse_writes, 3u);
  EXPECT_EQ(Chip().Counters().lock_writes, 2u);
  line_->Instruction(0xAC, 0x80, 0x00, 0x00);
  Advance(Chip().EraseBusyNs());
  EXPECT_EQ(line_->Read(0x58, 0x00, 0x00), 0xFF) << "chip erase clears the lock bits";
  EXPECT_EQ(line_->Read(0x58, 0x08, 0x00), 0xDA) << "but keeps the fuses";
}

TEST_F(SimChip, ProgrammedEesaveKeepsEepromThroughErase) {
  OpenEnabled(SimRecordMega328P());
  Chip().Eeprom()[7] = 0x42;
  Chip().Flash()[7] = 0x42;
  line_->Instruction(0xAC, 0xA8, 0x00, 0xD1); // EESAVE (bit 3) programmed
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  line_->Instruction(0xAC, 0x80, 0x00, 0x00);
  Advance(Chip().EraseBusyNs());
  EXPECT_EQ(Chip().Eeprom()[7], 0x42);
  EXPECT_EQ(Chip().Flash()[7], 0xFF);
  line_->Instruction(0xAC, 0xA8, 0x00, 0xD9);
  Advance(Chip().BusyNs(TAvrMemory::HighFuse));
  line_->Instruction(0xAC, 0x80, 0x00, 0x00);
  EXPECT_EQ(Chip().Eeprom()[7], 0xFF);
}

// ---- faults ----

TEST_F(SimChip, FaultsNoChipDeadChipAndWrongSignature) {
  const std::array<uint8_t, 4> high{0xFF, 0xFF, 0xFF, 0xFF};
  TSimChipOptions options;
  options.no_chip = true;
  Open(SimRecordMega328P(), options);
  line_->EnterReset();
  EXPECT_EQ(line_->Instruction(0xAC, 0x53, 0x00, 0x00), high);
  EXPECT_FALSE(Chip().Enabled());
  EXPECT_EQ(Chip().Counters().bytes, 0u);

  options = {};
  options.stop_after_bytes = 12; // enable and two reads
  OpenEnabled(SimRecordMega328P(), options);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x00), 0x1E);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x01), 0x95);
  EXPECT_TRUE(Chip().Dead());
  EXPECT_EQ(line_->Instruction(0x30, 0x00, 0x02, 0xFF), high);
  line_->EnterReset();
  EXPECT_FALSE(line_->Enable()) << "a dead chip stays dead through a reset";

  // Silent after a number of bits, in the middle of a byte: the rest of the byte and everything
  // after it reads as the resting level, high (pull-up) or stuck low.
  for (const uint8_t resting : {uint8_t(1), uint8_t(0)}) {
    options = {};
    options.resting_miso = resting;
    OpenEnabled(SimRecordMega328P(), options);
    const uint64_t bits = Chip().Counters().bits;
    EXPECT_EQ(bits, 32u) << "Programming Enable";
    Chip().GoSilentAfterBits(16 + 3); // the next instruction's third byte, three bits in
    const auto answer = line_->Instruction(0x30, 0x00, 0xA5, 0xFF);
    EXPECT_EQ(line_->Read(0x30, 0x00, 0x01), resting ? 0xFF : 0x00);
    EXPECT_TRUE(Chip().Dead());
    EXPECT_EQ(Chip().Counters().bits, bits + 16 + 3);
    EXPECT_EQ(answer[1], 0x30) << "still answering";
    // The third bit is sampled after the edge that ended the chip.
    EXPECT_EQ(answer[2] >> 6, 0x00) << "the first two bits of the echo of 00";
    EXPECT_EQ(answer[2] & 0x3F, resting ? 0x3F : 0x00);
    EXPECT_EQ(answer[3], resting ? 0xFF : 0x00);
  }
  options = {};
  options.stop_after_bits = 8;
  options.resting_miso = 0;
  Open(SimRecordMega328P(), options);
  line_->EnterReset();
  EXPECT_FALSE(line_->Enable());
  options.no_chip = true;
  options.stop_after_bits = -1;
  Open(SimRecordMega328P(), options);
  line_->EnterReset();
  EXPECT_EQ(line_->Instruction(0xAC, 0x53, 0x00, 0x00), (std::array<uint8_t, 4>{}));

  options = {};
  options.signature = TAvrSignature{0x1E, 0x93, 0x07, 0x00};
  OpenEnabled(SimRecordMega328P(), options);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x01), 0x93);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x02), 0x07);
}

} // namespace

// A record of impossible sizes must not have the simulation allocate them; such a chip answers
// nothing.
TEST_F(SimChip, ARecordOfImpossibleSizesGivesAChipWithoutMemoriesThatNeverAnswers) {
  TAvrSigType record = SimRecordMega328P();
  record.MemSize.Flash = 0x7FFFFFFF;
  record.MemSize.EEPROM = 0x7FFFFFFF;
  Open(record);
  EXPECT_TRUE(Chip().Flash().empty());
  EXPECT_TRUE(Chip().Eeprom().empty());
  line_->EnterReset();
  EXPECT_FALSE(line_->Enable());
  EXPECT_EQ(Chip().Counters().bits, 0u);
  EXPECT_EQ(line_->Read(0x30, 0x00, 0x00), 0xFF);
}
