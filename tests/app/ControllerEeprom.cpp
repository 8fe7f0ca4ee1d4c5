// The EEPROM commands on the simulated chip: round trips through files, what a chip erase does to
// the EEPROM, and refusals that write nothing.
#include "tests/app/ControllerFixture.h"

#include <iterator>

namespace {

constexpr uint32_t kRed = 0x0000FF, kGreen = 0x008000, kBlue = 0xFF0000;

TEST_F(ControllerTest, EepromRoundTripOnPagedByteWiseAndClassicParts) {
  // Pages (C1/C2) where the serial programming instruction set lists them (ATmega328P datasheet
  // 8271H, Table 28-19), of the datasheet's EEPROM page size; bytes (C0) where it lists only
  // Write EEPROM Memory (ATmega8, AT90S8515).
  for (const auto& [chip, eeprom, page] : {std::tuple{"ATmega8", 512, 1},
                                           {"ATmega328P", 1024, 4},
                                           {"ATmega2560", 4096, 8},
                                           {"ATtiny13", 64, 4},
                                           {"ATtiny85", 512, 4},
                                           {"AT90S8515", 512, 1}}) {
    SCOPED_TRACE(chip);
    Connect(chip);
    // 3 bytes short of the end: the last page is a partial one.
    const std::vector<uint8_t> image = PatternBytes(size_t(eeprom - 3), uint8_t(page));
    const std::string bin = TempFile("data.bin");
    std::ofstream(bin, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), eeprom - 3);
    ASSERT_EQ(controller_.LoadFile(bin, TImageMemory::Eeprom), TCommandResult::Done);
    EXPECT_EQ(controller_.WriteEeprom(), TCommandResult::Done);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Chip().Eeprom().begin()));
    EXPECT_EQ(Chip().Eeprom().back(), 0xFF) << "nothing beyond the image is written";
    EXPECT_EQ(Chip().Counters().eeprom_writes, uint64_t((eeprom - 3 + page - 1) / page));
    EXPECT_EQ(Chip().Counters().chip_erases + Chip().Counters().page_writes, 0u);
    EXPECT_EQ(controller_.VerifyEeprom(), TCommandResult::Done);
    EXPECT_TRUE(LogHas({"The EEPROM image and the EEPROM are equal.\r\n", kBlue}));
    ASSERT_EQ(controller_.ReadEeprom(), TCommandResult::Done);
    const std::string eep = TempFile("back.eep");
    ASSERT_EQ(controller_.SaveFile(eep, TImageMemory::Eeprom), TCommandResult::Done);
    Chip().Eeprom()[5] ^= 1;
    ASSERT_EQ(controller_.LoadFile(eep, TImageMemory::Eeprom), TCommandResult::Done);
    EXPECT_EQ(controller_.VerifyEeprom(), TCommandResult::Failed);
    EXPECT_NE(log_.lines.back().text.find("(at address 0x00000005)"), std::string::npos) << log_.lines.back();
    controller_.Free();
  }
}

TEST_F(ControllerTest, EraseAndFlashWriteSayWhetherTheEepromGoesBeforeTheyAsk) {
  const TLogLine erases{"The chip erase also erases the EEPROM (EESAVE is not programmed).\r\n", kRed};
  const TLogLine keeps{"The EEPROM is kept (EESAVE is programmed).\r\n", kBlue};
  Connect("ATmega328P");
  for (const bool eesave : {false, true}) {
    Chip().SetFuses(0x62, eesave ? 0xD1 : 0xD9, 0xFF); // EESAVE: high fuse bit 3
    Chip().Eeprom()[0] = 0x42;
    log_.lines.clear();
    EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Done);
    EXPECT_EQ(log_.lines.at(1), eesave ? keeps : erases);
    EXPECT_EQ(Chip().Eeprom()[0], eesave ? 0x42 : 0xFF);
    // The flash write erases first on this chip, so it says the same before its question.
    LoadBytes({1, 2});
    confirm_.answer = false;
    EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Declined);
    EXPECT_EQ(log_.lines,
              (std::vector<TLogLine>{{"Writing 2 bytes...\r\n", kGreen}, eesave ? keeps : erases}));
    confirm_.answer = true;
  }
  controller_.Free();
  Connect("ATmega163");
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Done);
  EXPECT_TRUE(LogHas({"The chip erase also erases the EEPROM (this chip has no EESAVE fuse).\r\n", kRed}));
}

TEST_F(ControllerTest, EepromImagesTheChipCannotTakeAreRefusedBeforeAnythingIsWritten) {
  Connect("ATtiny13");
  LoadBytes(PatternBytes(65));
  const std::vector<uint8_t> before = Chip().Eeprom();
  ASSERT_EQ(controller_.LoadFile(TempFile("image.ucm"), TImageMemory::Eeprom), TCommandResult::Done);
  for (auto command : {&TPinletController::WriteEeprom, &TPinletController::VerifyEeprom}) {
    EXPECT_EQ((controller_.*command)(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines.back(), (TLogLine{"The EEPROM image (65 bytes) is bigger than the EEPROM of the "
                                           "ATtiny13/ATtiny13V/ATtiny13A (64 bytes)!\r\n",
                                           kRed}));
  }
  EXPECT_TRUE(confirm_.questions.empty());
  EXPECT_EQ(Chip().Counters().eeprom_writes, 0u);
  EXPECT_EQ(Chip().Eeprom(), before);
  controller_.Free();
  Connect("ATtiny11");
  EXPECT_EQ(controller_.ReadEeprom(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines.back(), (TLogLine{"The ATtiny11/ATtiny11L has no EEPROM!\r\n", kRed}));
}

} // namespace
