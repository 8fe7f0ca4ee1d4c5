// The example firmware built by examples/build.sh: loading each HEX file must give what
// avr-objcopy makes of it, and what we save must read back the same in srec_cat.
#include "memimage_test_util.h"

#include <cstdlib>

namespace {

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

struct Firmware {
  const char* name;
  size_t min_size, max_size;
};

class ExampleFirmware : public testing::TestWithParam<Firmware> {
protected:
  std::string Source() const {
    return std::string(PINLET_SOURCE_DIR) + "/examples/" + GetParam().name + ".hex";
  }
  ScratchDir dir_;
};

TEST_P(ExampleFirmware, LoadsToTheSizeOfItsProgram) {
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromFile(Source()), S_OK) << Source();
  const auto bytes = Bytes(Image(hex));
  EXPECT_GE(bytes.size(), GetParam().min_size);
  EXPECT_LE(bytes.size(), GetParam().max_size);
  // Every AVR program starts with a jump into its start-up code: rjmp on small parts
  // (0xCxxx), jmp on large ones (0x940C).
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_TRUE((bytes[1] & 0xF0) == 0xC0 || (bytes[0] == 0x0C && bytes[1] == 0x94));
}

TEST_P(ExampleFirmware, ImageMatchesAvrObjcopy) {
  if (!HaveTool("avr-objcopy")) GTEST_SKIP() << "avr-objcopy not installed";
  const std::string reference = dir_ / "reference.bin";
  ASSERT_TRUE(
      RunQuietly("avr-objcopy -I ihex -O binary --gap-fill 0xFF '" + Source() + "' '" + reference + "'"));
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromFile(Source()), S_OK);
  EXPECT_TRUE(Bytes(Image(hex)) == ReadFile(reference));

  // Saved as a binary memory file, the image is that same file.
  auto bin = NewBinFile();
  ASSERT_EQ(Image(hex)->CopyAllTo(Image(bin)), S_OK);
  ASSERT_EQ(bin->SaveToFile(dir_ / "ours.ucm"), S_OK);
  EXPECT_TRUE(ReadFile(dir_ / "ours.ucm") == ReadFile(reference));
}

TEST_P(ExampleFirmware, SavedHexReadsTheSameInSrecCat) {
  if (!HaveTool("srec_cat") || !HaveTool("srec_cmp")) GTEST_SKIP() << "srecord not installed";
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromFile(Source()), S_OK);
  const std::string ours = dir_ / "ours.hex";
  ASSERT_EQ(hex->SaveToFile(ours), S_OK);
  // The examples have no gaps, so the data must be identical record for record in content.
  EXPECT_TRUE(RunQuietly("srec_cmp '" + Source() + "' -Intel '" + ours + "' -Intel"));
  ASSERT_TRUE(RunQuietly("srec_cat '" + ours + "' -Intel -o '" + (dir_ / "srec.bin") + "' -Binary"));
  EXPECT_TRUE(ReadFile(dir_ / "srec.bin") == Bytes(Image(hex)));

  // Only images above 64 KiB need extended addresses.
  const auto text = ReadFile(ours);
  const bool extended = std::string(text.begin(), text.end()).find(":02000004") != std::string::npos;
  EXPECT_EQ(extended, Bytes(Image(hex)).size() > 0x10000);
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleFirmware,
                         testing::Values(Firmware{"blink_m8", 2, 1024}, Firmware{"synth_m328p", 20000, 30720},
                                         Firmware{"primes_m2560", 0x10001, 256 * 1024}),
                         [](const testing::TestParamInfo<Firmware>& info) {
                           return std::string(info.param.name);
                         });

} // namespace
