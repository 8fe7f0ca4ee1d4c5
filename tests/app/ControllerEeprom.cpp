// The EEPROM commands on the simulated chip: round trips through files, what a chip erase does to
// the EEPROM, refusals that write nothing, and the EEPROM image beside the flash image.
#include "tests/app/ControllerFixture.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr uint32_t kRed = 0x0000FF, kGreen = 0x008000, kBlue = 0xFF0000;

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ControllerEepromTest : public ControllerTest {
protected:
  // An EEPROM image saved as Intel HEX under an avr-gcc name, the way a build would give it.
  std::string SaveEep(const std::string& name, const std::vector<uint8_t>& bytes) {
    auto file = NewHexFile();
    auto image = QueryInterface<IuCMemStream>(file);
    for (uint8_t b : bytes) image->PutByte(&b);
    const std::string path = TempFile(name);
    EXPECT_EQ(file->SaveToFile(path), S_OK);
    return path;
  }
  bool Logged(const std::string& text) const {
    return std::any_of(log_.lines.begin(), log_.lines.end(),
                       [&](const TLogLine& line) { return line.text == text; });
  }
};

TEST_F(ControllerEepromTest, RoundTripOnPagedByteWiseAndClassicParts) {
  // Page mode where the serial programming instruction set lists Load/Write EEPROM Memory Page
  // (C1/C2; ATmega328P datasheet 8271H Table 28-19), with the EEPROM page of the datasheet's
  // page size table; byte mode (C0) where it lists only Write EEPROM Memory (ATmega8, the
  // AT90S parts).
  struct TCase {
    const char* chip;
    int32_t eeprom_bytes;
    int32_t page_bytes; // 1: written byte by byte
  };
  const TCase cases[] = {
      {"ATmega8", 512, 1}, {"ATmega328P", 1024, 4}, {"ATmega2560", 4096, 8},
      {"ATtiny13", 64, 4}, {"ATtiny85", 512, 4},    {"AT90S8515", 512, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.chip);
    Connect(c.chip);
    ASSERT_EQ(int32_t(Chip().Eeprom().size()), c.eeprom_bytes);
    const std::vector<uint8_t> flash_before = Chip().Flash();
    // A flash image loaded first stays: the EEPROM image has its own slot.
    LoadBytes(PatternBytes(40, 9));
    // Short of the end by 3 bytes, so that the last page is a partial one.
    const std::vector<uint8_t> image = PatternBytes(size_t(c.eeprom_bytes - 3), uint8_t(c.eeprom_bytes));
    ASSERT_EQ(controller_.LoadFile(SaveEep("data.eep", image), TImageMemory::Eeprom), TCommandResult::Done);
    EXPECT_EQ(MetaBytes(), PatternBytes(40, 9));
    EXPECT_TRUE(controller_.ControlState(TImageMemory::Eeprom).WriteFlash);

    log_.lines.clear();
    confirm_.questions.clear();
    EXPECT_EQ(controller_.WriteEeprom(), TCommandResult::Done);
    EXPECT_EQ(log_.lines.front(),
              (TLogLine{"Writing " + std::to_string(image.size()) + " bytes to the EEPROM...\r\n", kGreen}));
    EXPECT_EQ(confirm_.questions, (std::vector<std::string>{"Shall I really overwrite the EEPROM?"}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Chip().Eeprom().begin()));
    EXPECT_EQ(Chip().Eeprom().back(), 0xFF) << "beyond the image nothing was written";
    EXPECT_EQ(Chip().Counters().eeprom_writes,
              uint64_t((image.size() + size_t(c.page_bytes) - 1) / size_t(c.page_bytes)));
    // An EEPROM write erases nothing and leaves the flash alone.
    EXPECT_EQ(Chip().Counters().chip_erases, 0u);
    EXPECT_EQ(Chip().Counters().page_writes + Chip().Counters().flash_byte_writes, 0u);
    EXPECT_EQ(Chip().Flash(), flash_before);

    log_.lines.clear();
    EXPECT_EQ(controller_.VerifyEeprom(), TCommandResult::Done);
    EXPECT_TRUE(Logged("The EEPROM image and the EEPROM are equal.\r\n"));

    // Read back into the EEPROM slot and saved raw: the whole EEPROM, the flash image untouched.
    log_.lines.clear();
    EXPECT_EQ(controller_.ReadEeprom(), TCommandResult::Done);
    EXPECT_EQ(log_.lines.front(),
              (TLogLine{"Reading " + std::to_string(c.eeprom_bytes) + " bytes of EEPROM...\r\n", kGreen}));
    const std::string saved = TempFile("back.bin");
    EXPECT_EQ(controller_.SaveFile(saved, TImageMemory::Eeprom), TCommandResult::Done);
    EXPECT_EQ(FileBytes(saved), Chip().Eeprom());
    EXPECT_EQ(MetaBytes(), PatternBytes(40, 9));

    // A cell changed behind the programmer's back is found at its address.
    Chip().Eeprom()[5] ^= 0x01;
    ASSERT_EQ(controller_.LoadFile(TempFile("data.eep"), TImageMemory::Eeprom), TCommandResult::Done);
    log_.lines.clear();
    EXPECT_EQ(controller_.VerifyEeprom(), TCommandResult::Failed);
    EXPECT_NE(log_.lines.back().text.find("(at address 0x00000005)"), std::string::npos) << log_.lines.back();
    EXPECT_FALSE(Chip().InProgMode());
    controller_.Free();
  }
}

TEST_F(ControllerEepromTest, EraseAndFlashWriteSayWhetherTheEepromGoesBeforeTheyAsk) {
  const std::string erases = "The chip erase also erases the EEPROM (EESAVE is not programmed).\r\n";
  const std::string keeps = "The EEPROM is kept (EESAVE is programmed).\r\n";
  Connect("ATmega328P");
  Chip().Eeprom()[0] = 0x42;
  confirm_.answer = false;
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Declined);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"Check memory size of device to write...\r\n", kGreen}, {erases, kRed}}));
  confirm_.answer = true;
  log_.lines.clear();
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Done);
  EXPECT_TRUE(Logged(erases));
  EXPECT_EQ(Chip().Eeprom()[0], 0xFF);

  // EESAVE (high fuse bit 3) programmed: the erase keeps the EEPROM, and says so.
  Chip().SetFuses(0x62, 0xD1, 0xFF);
  Chip().Eeprom()[0] = 0x42;
  log_.lines.clear();
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Done);
  EXPECT_TRUE(Logged(keeps));
  EXPECT_FALSE(Logged(erases));
  EXPECT_EQ(Chip().Eeprom()[0], 0x42);

  // The flash write erases first on this chip, so it says the same before its question.
  LoadBytes(PatternBytes(100));
  confirm_.answer = false;
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Declined);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Writing 100 bytes...\r\n", kGreen}, {keeps, kBlue}}));
  Chip().SetFuses(0x62, 0xD9, 0xFF);
  log_.lines.clear();
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Declined);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Writing 100 bytes...\r\n", kGreen}, {erases, kRed}}));
  EXPECT_EQ(Chip().Counters().chip_erases, 2u);
  controller_.Free();

  // A part without an EESAVE fuse always loses its EEPROM.
  Connect("ATmega163");
  confirm_.answer = false;
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Declined);
  EXPECT_TRUE(Logged("The chip erase also erases the EEPROM (this chip has no EESAVE fuse).\r\n"));
}

TEST_F(ControllerEepromTest, ImagesTheChipCannotTakeAreRefusedBeforeAnythingIsWritten) {
  Connect("ATtiny13");
  const std::vector<uint8_t> before = Chip().Eeprom();
  EXPECT_EQ(controller_.WriteEeprom(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Load a file first!\r\n", kRed}}));
  ASSERT_EQ(controller_.LoadFile(SaveEep("big.eep", PatternBytes(65)), TImageMemory::Eeprom),
            TCommandResult::Done);
  for (auto command : {&TPinletController::WriteEeprom, &TPinletController::VerifyEeprom}) {
    log_.lines.clear();
    EXPECT_EQ((controller_.*command)(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines.back(), (TLogLine{"The EEPROM image (65 bytes) is bigger than the EEPROM of the "
                                           "ATtiny13/ATtiny13V/ATtiny13A (64 bytes)!\r\n",
                                           kRed}));
  }
  EXPECT_TRUE(confirm_.questions.empty());
  EXPECT_EQ(Chip().Counters().eeprom_writes, 0u);
  EXPECT_EQ(Chip().Eeprom(), before);
  EXPECT_FALSE(Chip().InProgMode());
  // An empty image has nothing to write.
  ASSERT_EQ(controller_.LoadFile(WriteTextFile("empty.bin", ""), TImageMemory::Eeprom), TCommandResult::Done);
  log_.lines.clear();
  EXPECT_EQ(controller_.WriteEeprom(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"The image is empty: there is nothing to write!\r\n", kRed}}));
  controller_.Free();

  // A chip without EEPROM says so, for reading too, and the EEPROM image it had stays.
  Connect("ATtiny11");
  ASSERT_EQ(controller_.LoadFile(SaveEep("one.eep", {1}), TImageMemory::Eeprom), TCommandResult::Done);
  for (auto command : {&TPinletController::ReadEeprom, &TPinletController::WriteEeprom}) {
    log_.lines.clear();
    EXPECT_EQ((controller_.*command)(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines.back(), (TLogLine{"The ATtiny11/ATtiny11L has no EEPROM!\r\n", kRed}));
  }
  int32_t kept = 0;
  controller_.Image(TImageMemory::Eeprom)->GetSize(&kept);
  EXPECT_EQ(kept, 1);
  EXPECT_TRUE(confirm_.questions.empty());
}

TEST_F(ControllerEepromTest, DumpShowsTheEepromImageByteWise) {
  LoadBytes({'a', 'b'});
  EXPECT_EQ(controller_.DumpMetaFile(TImageMemory::Eeprom), TCommandResult::Refused);
  EXPECT_FALSE(controller_.ControlState(TImageMemory::Eeprom).DumpMetaFile);
  std::vector<uint8_t> bytes = PatternBytes(16, 0x41);
  bytes.push_back(0x07);
  bytes.push_back('Z');
  ASSERT_EQ(controller_.LoadFile(SaveEep("d.eep", bytes), TImageMemory::Eeprom), TCommandResult::Done);
  log_.lines.clear();
  EXPECT_EQ(controller_.DumpMetaFile(TImageMemory::Eeprom), TCommandResult::Done);
  std::string text;
  for (const TLogLine& line : log_.lines) text += line.text;
  std::string row, column;
  for (uint8_t b : PatternBytes(16, 0x41)) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", b);
    row += hex;
    column += (b >= 32 && b <= 127) ? char(b) : '.';
  }
  // A last short row is finished like a full one.
  EXPECT_EQ(text, "0x0000:" + row + column + "\r\n0x0010:07 5A .Z\r\n");
  // The flash image is still the one dumped as words.
  log_.lines.clear();
  EXPECT_EQ(controller_.DumpMetaFile(), TCommandResult::Done);
  EXPECT_EQ(log_.lines.at(1), (TLogLine{"6261 ", 0}));
}

} // namespace
