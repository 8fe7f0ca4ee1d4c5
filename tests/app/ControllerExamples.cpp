// The shipped example firmware, each written into a simulated chip of its type, read back and
// verified: the whole path a user takes, from the HEX file to the flash and back.
#include "tests/app/ControllerFixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

TEST_F(ControllerTest, ShippedExamplesAreWrittenReadBackAndVerified) {
  for (const auto& [file, chip] :
       {std::pair{"blink_m8.hex", "ATmega8"}, std::pair{"synth_m328p.hex", "ATmega328P"},
        std::pair{"primes_m2560.hex", "ATmega2560"}}) {
    SCOPED_TRACE(chip);
    const std::string path = std::string(PINLET_SOURCE_DIR "/examples/") + file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not there";
    Connect(chip);
    ASSERT_EQ(controller_.LoadFile(path), TCommandResult::Done);
    const std::vector<uint8_t> image = MetaBytes();
    ASSERT_FALSE(image.empty());
    ASSERT_EQ(controller_.WriteFlash(), TCommandResult::Done);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Chip().Flash().begin()));

    ASSERT_EQ(controller_.ReadFlash(), TCommandResult::Done);
    const std::vector<uint8_t> read_back = MetaBytes();
    ASSERT_EQ(read_back.size(), Chip().Flash().size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), read_back.begin()));
    // Past the image the flash was erased before writing.
    EXPECT_TRUE(std::all_of(read_back.begin() + std::ptrdiff_t(image.size()), read_back.end(),
                            [](uint8_t b) { return b == 0xFF; }));

    // Saved and loaded again, the read-back image still verifies against the chip.
    const std::string saved = TempFile("readback.hex");
    ASSERT_EQ(controller_.SaveFile(saved), TCommandResult::Done);
    ASSERT_EQ(controller_.LoadFile(path), TCommandResult::Done);
    log_.lines.clear();
    EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
    EXPECT_TRUE(LogHas({"Meta stream and flash is equal.\r\n", 0xFF0000}));
    ASSERT_EQ(controller_.LoadFile(saved), TCommandResult::Done);
    EXPECT_EQ(MetaBytes(), read_back);
    EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
    ASSERT_EQ(controller_.Free(), TCommandResult::Done);
  }
}

// A HEX record of 16 bytes at address, each byte its address's low byte plus seed.
std::string HexRow(uint16_t address, uint8_t seed) {
  char text[64];
  int n = std::snprintf(text, sizeof text, ":10%04X00", address);
  uint8_t sum = uint8_t(0x10 + (address >> 8) + address);
  for (int i = 0; i < 16; ++i) {
    const uint8_t b = uint8_t(address + i + seed);
    n += std::snprintf(text + n, sizeof text - size_t(n), "%02X", b);
    sum = uint8_t(sum + b);
  }
  std::snprintf(text + n, sizeof text - size_t(n), "%02X\n", uint8_t(-sum));
  return text;
}

TEST_F(ControllerTest, AnImageWithAGapWritesItsPagesAloneAndVerifiesOnlyWhatItHolds) {
  Connect("ATmega328P");
  // 512 bytes at the start, 512 bytes at 16 KB, nothing between: four pages each.
  std::string hex;
  for (uint16_t a = 0; a < 0x200; a += 16) hex += HexRow(a, 1);
  for (uint16_t a = 0x4000; a < 0x4200; a += 16) hex += HexRow(a, 7);
  hex += ":00000001FF\n";
  const std::string path = TempFile("gap.hex");
  { std::ofstream(path) << hex; }
  ASSERT_EQ(controller_.LoadFile(path), TCommandResult::Done);
  const uint64_t pages_before = Chip().Counters().page_writes;
  ASSERT_EQ(controller_.Write(TImageMemory::Flash, true), TCommandResult::Done);
  EXPECT_EQ(Chip().Counters().page_writes - pages_before, 8u);
  EXPECT_EQ(Chip().Counters().ignored_busy, 0u);
  const std::vector<uint8_t>& flash = Chip().Flash();
  for (uint32_t a = 0; a < flash.size(); ++a) {
    const bool first = a < 0x200, second = a >= 0x4000 && a < 0x4200;
    const uint8_t want = first ? uint8_t(a + 1) : second ? uint8_t(a + 7) : 0xFF;
    ASSERT_EQ(flash[a], want) << "at " << a;
  }

  // The gap is not the file's: what the chip holds there is not compared. A byte the file holds is.
  Chip().Flash()[0x2000] = 0x00;
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
  Chip().Flash()[0x4101] ^= 0x01;
  log_.lines.clear();
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Failed);
  EXPECT_TRUE(std::any_of(log_.lines.begin(), log_.lines.end(), [](const auto& line) {
    return line.text.find("(at address 0x00004100)") != std::string::npos;
  }));
}

} // namespace
