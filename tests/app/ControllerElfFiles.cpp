// ELF and SREC files through the controller on the simulated ATmega328P: an avr-gcc executable is
// written to the flash and to the EEPROM and reads back as avr-objcopy extracts it; a file built for
// another chip is refused before anything is written; SREC files write and save like HEX files.
#include "tests/app/ControllerFixture.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>

namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  char buffer[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

constexpr uint32_t kRed = 0x0000FF;

#ifdef PINLET_EXAMPLE_ELF
const std::string kExampleDir = std::filesystem::path(PINLET_EXAMPLE_ELF).parent_path().string();

// The bytes of a HEX file (avr-objcopy's extract of the example), read with the HEX reader.
std::vector<uint8_t> HexBytes(const std::string& path) {
  auto hex = NewHexFile();
  EXPECT_EQ(hex->LoadFromFile(path), S_OK) << hex->LastErrorText();
  auto image = QueryInterface<IuCMemStream>(hex);
  int32_t size = 0;
  image->GetSize(&size);
  image->Rewind();
  std::vector<uint8_t> bytes(size_t(size), 0);
  for (auto& b : bytes) image->GetByte(&b);
  return bytes;
}

TEST_F(ControllerTest, ElfWritesFlashAndEepromAndReadsBackEqual) {
  Connect("ATmega328P");
  const std::vector<uint8_t> flash = HexBytes(kExampleDir + "/settings_m328p.hex");
  const std::vector<uint8_t> eeprom = HexBytes(kExampleDir + "/settings_m328p.eep");
  ASSERT_FALSE(flash.empty());
  ASSERT_FALSE(eeprom.empty());

  ASSERT_EQ(controller_.LoadFile(PINLET_EXAMPLE_ELF), TCommandResult::Done);
  EXPECT_EQ(MetaBytes(), flash);
  EXPECT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), Chip().Flash().begin()));
  EXPECT_EQ(Chip().Flash()[flash.size()], 0xFF);

  // The EEPROM part of the same file, into its own slot: the flash image stays.
  ASSERT_EQ(controller_.LoadFile(PINLET_EXAMPLE_ELF, TImageMemory::Eeprom), TCommandResult::Done);
  EXPECT_EQ(controller_.Write(TImageMemory::Eeprom, true), TCommandResult::Done);
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), Chip().Eeprom().begin()));
  EXPECT_EQ(MetaBytes(), flash);

  // Read back and saved as SREC, both load back equal.
  ASSERT_EQ(controller_.ReadFlash(), TCommandResult::Done);
  const std::string srec = TempFile("back.srec");
  ASSERT_EQ(controller_.SaveFile(srec), TCommandResult::Done);
  ASSERT_EQ(controller_.LoadFile(srec), TCommandResult::Done);
  const std::vector<uint8_t> back = MetaBytes();
  ASSERT_EQ(back.size(), Chip().Flash().size());
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), back.begin()));
  ASSERT_EQ(controller_.LoadFile(PINLET_EXAMPLE_ELF), TCommandResult::Done);
  EXPECT_EQ(controller_.Verify(TImageMemory::Flash), TCommandResult::Done);

  // An ELF image cannot be saved as ELF; the check before a read says so already.
  EXPECT_FALSE(controller_.CheckSaveTarget(TempFile("out.elf")).Ok);
  EXPECT_EQ(controller_.SaveFile(TempFile("out.elf")), TCommandResult::Failed);
  EXPECT_FALSE(std::filesystem::exists(TempFile("out.elf")));
  EXPECT_TRUE(LogHas(
      {TempFile("out.elf") + ": ELF files are read, not written; save as .hex, .srec or .bin\r\n", kRed}));
}

TEST_F(ControllerTest, ElfForAnotherChipIsRefusedBeforeAnythingIsWritten) {
  Connect("ATmega328P");
  Chip().Flash()[0] = 0x12;
  Chip().Eeprom()[0] = 0x34;
  const uint64_t erases = Chip().Counters().chip_erases;
  for (const TImageMemory memory : {TImageMemory::Flash, TImageMemory::Eeprom}) {
    SCOPED_TRACE(ImageMemoryName(memory));
    ASSERT_EQ(controller_.LoadFile(PINLET_EXAMPLE_ELF_M168, memory), TCommandResult::Done);
    log_.lines.clear();
    confirm_.questions.clear();
    EXPECT_EQ(controller_.Write(memory, true), TCommandResult::Failed);
    EXPECT_TRUE(LogHas(
        {std::string(PINLET_EXAMPLE_ELF_M168) + ": built for ATmega168, this chip is an ATmega328P\r\n",
         kRed}));
    EXPECT_TRUE(confirm_.questions.empty()) << "refused before any question";
  }
  EXPECT_EQ(Chip().Flash()[0], 0x12);
  EXPECT_EQ(Chip().Eeprom()[0], 0x34);
  EXPECT_EQ(Chip().Counters().chip_erases, erases);
  EXPECT_EQ(Chip().Counters().page_writes + Chip().Counters().eeprom_writes, 0u);

  // An image from another file in the slot no longer carries the ELF's signature.
  LoadBytes({1, 2, 3, 4});
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Done);
  EXPECT_EQ(Chip().Flash()[0], 1);
}
#endif

TEST_F(ControllerTest, SrecFilesWriteAndVerify) {
  Connect("ATmega328P");
  // A bootloader-like image at the top of the flash with a gap below: only its bytes are written.
  const std::vector<uint8_t> boot = PatternBytes(256, 9);
  std::string text = "S00600004844521B\n";
  for (size_t row = 0; row < boot.size(); row += 16) {
    const uint32_t address = 0x7E00 + uint32_t(row);
    uint8_t sum = uint8_t(19 + (address >> 8) + (address & 0xFF));
    text += Format("S113%04X", unsigned(address));
    for (size_t i = 0; i < 16; ++i) {
      text += Format("%02X", unsigned(boot[row + i]));
      sum = uint8_t(sum + boot[row + i]);
    }
    text += Format("%02X\n", unsigned(uint8_t(~sum)));
  }
  text += "S5030010EC\nS9030000FC\n";
  const std::string path = WriteTextFile("boot.s19", text);
  ASSERT_EQ(controller_.LoadFile(path), TCommandResult::Done);
  Chip().Flash()[0] = 0x00; // the chip erase clears it; the write leaves the gap erased
  EXPECT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
  EXPECT_TRUE(std::equal(boot.begin(), boot.end(), Chip().Flash().begin() + 0x7E00));
  EXPECT_EQ(Chip().Flash()[0], 0xFF);
  // A damaged record names its line in the log.
  text[30] = text[30] == '0' ? '1' : '0';
  ASSERT_EQ(controller_.LoadFile(WriteTextFile("bad.mot", text)), TCommandResult::Failed);
  EXPECT_NE(log_.lines.back().text.find("bad.mot: line 2: bad checksum"), std::string::npos)
      << log_.lines.back();
}

} // namespace
