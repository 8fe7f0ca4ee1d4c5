// The simulated chip per part: busy times, how the end of a write is found (RDY/BSY or value
// polling), byte-mode flash, and the old parts' fuse and lock formats, each checked against the
// instruction formats of the part's datasheet.
#include "core/uWait.h"
#include "sim/uSimChip.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"

#include <array>
#include <gtest/gtest.h>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// A part as the shipped database describes it.
TAvrSigType Shipped(const char* name) {
  return SimDatabaseRecord(PINLET_SOURCE_DIR "/resources/CpuSignatures.xml", name);
}

class SimChipParts : public testing::Test {
protected:
  void OpenEnabled(const TAvrSigType& record) {
    bus_ = CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(record));
    line_ = std::make_unique<TSimLineDriver>(*bus_);
    line_->EnterReset();
    ASSERT_TRUE(line_->Enable());
  }
  TSimAvrChip& Chip() { return *bus_->Chip(); }
  void Advance(uint64_t ns) { clock_->Advance(ns); }
  // The answer of an instruction the chip does not know: the byte before the fourth comes back.
  uint8_t Echo(uint8_t b0, uint8_t b1) { return line_->Instruction(b0, b1, 0x5A, 0x00)[3]; }

  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped_{clock_};
  std::unique_ptr<TSpiBus_Sim> bus_;
  std::unique_ptr<TSimLineDriver> line_;
};

// ATmega48/88/168/328P: t_WD_FLASH and t_WD_FUSE 4.5 ms, t_WD_EEPROM 3.6 ms, t_WD_ERASE 9 ms; the
// chip reports ready on F0 after its share of them, and drops a write sent before.
TEST_F(SimChipParts, RdyBsyPartIsReadyInsideTheDatasheetTimeAndDropsWritesUntilThen) {
  OpenEnabled(SimRecordMega328P());
  using TOp = std::array<uint8_t, 4>;
  const std::vector<std::tuple<const char*, uint32_t, std::vector<TOp>>> cycles = {
      {"flash page", 4'500, {{0x40, 0x00, 0x00, 0x34}, {0x4C, 0x00, 0x40, 0x00}}},
      {"EEPROM byte", 3'600, {{0xC0, 0x00, 0x10, 0x42}}},
      {"EEPROM page", 3'600, {{0xC1, 0x00, 0x01, 0x43}, {0xC2, 0x00, 0x20, 0x00}}},
      {"low fuse", 4'500, {{0xAC, 0xA0, 0x00, 0xE2}}},
      {"lock", 4'500, {{0xAC, 0xE0, 0x00, 0xFE}}},
      {"chip erase", 9'000, {{0xAC, 0x80, 0x00, 0x00}}},
  };
  for (const auto& [what, datasheet_us, ops] : cycles) {
    SCOPED_TRACE(what);
    const uint64_t busy = SimBusyNs(datasheet_us);
    EXPECT_EQ(busy, uint64_t(datasheet_us) * 800);
    const uint64_t dropped = Chip().Counters().ignored_busy;
    for (const TOp& op : ops) line_->Instruction(op[0], op[1], op[2], op[3]);
    EXPECT_EQ(line_->Read(0xF0, 0x00, 0x00), 0xFF);
    Advance(busy - 1);
    EXPECT_EQ(line_->Read(0xF0, 0x00, 0x00) & 1, 1);
    line_->Instruction(0xAC, 0xA8, 0x00, 0xDA); // a write too early: not executed
    EXPECT_EQ(Chip().Counters().ignored_busy, dropped + 1);
    EXPECT_EQ(Chip().Fuse(1), 0xD9);
    Advance(1);
    EXPECT_EQ(line_->Read(0xF0, 0x00, 0x00), 0xFE);
  }
  EXPECT_EQ(line_->Read(0x50, 0x00, 0x00), 0xE2);
  EXPECT_EQ(Chip().Counters().unknown, 0u);
}

// ATmega163 (no RDY/BSY): a page being written reads 0xFF anywhere in it (Data Polling Flash), an
// EEPROM byte likewise, for 80 % of t_WD_FLASH 16 ms and t_WD_EEPROM 4 ms; F0, C1 and C2 are
// instructions it does not have.
TEST_F(SimChipParts, ValuePolledPagedPartAnswersFFWhileItsPageOrByteIsWritten) {
  OpenEnabled(Shipped("ATmega163"));
  EXPECT_EQ(Echo(0xF0, 0x00), 0x5A);
  Chip().Flash()[0x80 * 2] = 0x00; // the next page's first byte
  const std::vector<uint16_t> words(64, 0x1234);
  line_->WritePage(0x40, words.data(), 64);
  const uint64_t busy = SimBusyNs(16'000);
  EXPECT_EQ(Chip().BusyNs(TAvrMemory::Flash), busy);
  Advance(busy - 1);
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x41), 0xFF);
  EXPECT_EQ(line_->Read(0x28, 0x00, 0x7F), 0xFF);
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x80), 0x00) << "outside the page";
  line_->Instruction(0x4C, 0x00, 0x80, 0x00);
  EXPECT_EQ(Chip().Counters().ignored_busy, 1u);
  Advance(1);
  EXPECT_EQ(line_->Read(0x20, 0x00, 0x41), 0x34);
  EXPECT_EQ(line_->Read(0x28, 0x00, 0x7F), 0x12);

  line_->Instruction(0xC0, 0x01, 0x05, 0x42);
  Advance(SimBusyNs(4'000) - 1);
  EXPECT_EQ(line_->Read(0xA0, 0x01, 0x05), 0xFF);
  Advance(1);
  EXPECT_EQ(line_->Read(0xA0, 0x01, 0x05), 0x42);
  line_->Instruction(0xC1, 0x00, 0x00, 0x00);
  line_->Instruction(0xC2, 0x00, 0x00, 0x00);
  EXPECT_EQ(Chip().Eeprom()[0], 0xFF);
  EXPECT_EQ(Chip().Counters().unknown, 3u);
}

// AT90S4414/8515: flash written byte by byte (40/48 at the word address), each byte reading 0x7F
// while it is programmed (Data Polling Flash); no lock or fuse read, no pages, no RDY/BSY; the
// lock write 111x x21x leaves the x bits undecoded.
TEST_F(SimChipParts, ClassicPartWritesBytesThatRead7FWhileBusy) {
  OpenEnabled(Shipped("AT90S8515"));
  line_->Instruction(0x40, 0x01, 0x10, 0x55);
  EXPECT_EQ(line_->Read(0x20, 0x01, 0x10), 0x7F);
  EXPECT_EQ(line_->Read(0x28, 0x01, 0x10), 0xFF) << "the other byte of the word is not being written";
  line_->Instruction(0x48, 0x01, 0x10, 0x66);
  EXPECT_EQ(Chip().Counters().ignored_busy, 1u);
  Advance(Chip().BusyNs(TAvrMemory::Flash));
  EXPECT_EQ(line_->Read(0x20, 0x01, 0x10), 0x55);
  EXPECT_EQ(Chip().Counters().flash_byte_writes, 1u);

  line_->Instruction(0xC0, 0x01, 0x20, 0x33);
  EXPECT_EQ(line_->Read(0xA0, 0x01, 0x20), Chip().Memories()[TAvrMemory::Eeprom].BusyValues[0]);
  Advance(Chip().BusyNs(TAvrMemory::Eeprom));
  EXPECT_EQ(line_->Read(0xA0, 0x01, 0x20), 0x33);

  for (const uint8_t op : {0xF0, 0x4C, 0xC1, 0xC2, 0x50, 0x58}) EXPECT_EQ(Echo(op, 0x00), 0x5A) << int(op);
  EXPECT_EQ(Chip().Counters().unknown, 6u);
  line_->Instruction(0xAC, 0xE5, 0x00, 0x00); // 1110 0101: LB1 programmed, LB2 not
  EXPECT_EQ(Chip().Lock(), 0xFD);
}

// Each old layout, written and read with the instructions of its datasheet's serial programming
// instruction set ("x" bits of the second byte varied); the chip keeps the bytes in the database's
// bit numbering.
TEST_F(SimChipParts, OldPartsFuseAndLockLayouts) {
  struct TStep {
    std::array<uint8_t, 4> write;
    uint8_t read_b0, read_b1, expected;
  };
  const std::array<uint8_t, 4> erase{0xAC, 0x80, 0x00, 0x00};
  const std::vector<std::pair<const char*, std::vector<TStep>>> layouts = {
      // Table 43: 58 reads LB1 b7, LB2 b6, SPIEN b5, FSTRT b0; AC 1011 111F; lock AC 1111 1211.
      {"AT90S8535",
       {{{0xAC, 0xBE, 0, 0}, 0x58, 0, 0xDE}, {{0xAC, 0xF9, 0, 0}, 0x58, 0, 0x1E}, {erase, 0x58, 0, 0xDE}}},
      // The same read (RCEN in b0) and no fuse write.
      {"ATtiny22", {{{0xAC, 0xFD, 0, 0}, 0x58, 0, 0x5F}, {{0xAC, 0xBE, 0, 0}, 0x58, 0, 0x5F}}},
      // Table 35: 50 xx87 6543, AC 1017 6543 (SPIEN stays), lock 58 xxxx x21x.
      {"AT90S4433",
       {{{0xAC, 0xB9, 0, 0}, 0x50, 0, 0xD9},
        {{0xAC, 0xA0, 0, 0}, 0x50, 0, 0xC0},
        {{0xAC, 0xFB, 0, 0}, 0x58, 0, 0xFB}}},
      // Table 48: 50 xDCB 1987, AC A0 xx 1D1B 1987 (SPIEN stays).
      {"ATmega161", {{{0xAC, 0xA0, 0, 0x00}, 0x50, 0, 0x88}, {{0xAC, 0xA0, 0, 0xFF}, 0x50, 0, 0xDF}}},
      // Table 60: 50 CBxx A987 (the record's SPIEN in b5 is not read), 58 08 xxxx 1FED, lock 58 00.
      {"ATmega163",
       {{{0xAC, 0xA0, 0, 0x3E}, 0x50, 0, 0x3E},
        {{0xAC, 0xA8, 0, 0xF9}, 0x58, 0x08, 0xF9},
        {{0xAC, 0xE0, 0, 0xFC}, 0x58, 0, 0xFC},
        {erase, 0x58, 0x08, 0xF9}}},
      // ATtiny11/12 Table 25: 50 A987 6543, AC 101x xxxx xx A987 6543.
      {"ATtiny12", {{{0xAC, 0xBF, 0, 0x7E}, 0x50, 0, 0x7E}, {{0xAC, 0xF9, 0, 0}, 0x58, 0, 0xF9}}},
      // Table 44: 50 xx5x 6143, AC 1011 6143.
      {"ATmega103", {{{0xAC, 0xB5, 0, 0}, 0x50, 0, 0xD5}, {{0xAC, 0xF9, 0, 0}, 0x58, 0, 0xF9}}},
  };
  for (const auto& [name, steps] : layouts) {
    SCOPED_TRACE(name);
    OpenEnabled(Shipped(name));
    Chip().SetFuses(0xDF, 0xFF, 0xFF); // SPIEN (bit 5) programmed: bits no write reaches are known
    for (const TStep& step : steps) {
      line_->Instruction(step.write[0], step.write[1], step.write[2], step.write[3]);
      Advance(100'000'000);
      EXPECT_EQ(line_->Read(step.read_b0, step.read_b1, 0x00), step.expected)
          << std::hex << "after AC " << int(step.write[1]) << " .. " << int(step.write[3]);
    }
    EXPECT_EQ(Chip().Counters().ignored_busy, 0u);
  }
  // The ATmega103 keeps EESAVE in its only fuse byte: programmed, the EEPROM survives an erase.
  Chip().Eeprom()[9] = 0x42;
  line_->Instruction(0xAC, 0xB7, 0x00, 0x00);
  Advance(100'000'000);
  line_->Instruction(0xAC, 0x80, 0x00, 0x00);
  EXPECT_EQ(Chip().Eeprom()[9], 0x42);
}

} // namespace
