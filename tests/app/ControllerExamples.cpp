// The shipped example firmware, each written into a simulated chip of its type, read back and
// verified: the whole path a user takes, from the HEX file to the flash and back.
#include "tests/app/ControllerFixture.h"

#include <filesystem>

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

} // namespace
