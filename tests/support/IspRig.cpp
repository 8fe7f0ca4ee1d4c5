#include "tests/support/IspRig.h"

#include "tests/support/VectorMemStream.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  return bytes;
}

TPinMap ParsePins(TPinKind kind, const char* text) {
  TPinMap map;
  std::string error;
  EXPECT_TRUE(ParsePinMap(text, kind, map, error)) << error;
  return map;
}

TPageFrames PageFrames(const std::vector<uint8_t>& page) {
  TPageFrames frames;
  for (size_t word = 0; word < page.size() / 2; ++word) {
    const uint8_t w = uint8_t(word);
    frames.load.push_back(SpiFrame(0x40, 0x00, w, page[2 * w]));
    frames.load.push_back(SpiFrame(0x48, 0x00, w, page[2 * w + 1]));
    frames.read.push_back(SpiFrame(0x20, 0x00, w, 0xFF, kIspAnswerSample));
    frames.read.push_back(SpiFrame(0x28, 0x00, w, 0xFF, kIspAnswerSample));
  }
  return frames;
}

void CheckWriteVerify(TmCAtgeneric& isp, TSimAvrChip& chip, const std::vector<uint8_t>& data, size_t flip_at,
                      uint8_t flip_mask, int32_t mismatch_at, bool read_back) {
  auto image = std::make_shared<TVectorMemStream>(data);
  int32_t error_at = 0;
  ASSERT_EQ(isp.WriteFlash(image, &error_at), S_OK) << "stopped at " << error_at;
  ASSERT_TRUE(std::equal(data.begin(), data.end(), chip.Flash().begin()));
  EXPECT_EQ(isp.VerifyFlash(image, &error_at), S_OK);
  if (read_back) {
    auto read = std::make_shared<TVectorMemStream>();
    ASSERT_EQ(isp.ReadFlash(read), S_OK);
    EXPECT_EQ(read->bytes, chip.Flash());
  }
  chip.Flash()[flip_at] ^= flip_mask;
  EXPECT_EQ(isp.VerifyFlash(image, &error_at), ISP_E_MISMATCH);
  EXPECT_EQ(error_at, mismatch_at);
}

void ExpectWriteBreaksOff(TmCAtgeneric& isp, size_t size, uint32_t seed) {
  auto image = std::make_shared<TVectorMemStream>(Pattern(size, seed));
  int32_t error_at = -1;
  EXPECT_EQ(isp.WriteFlash(image, &error_at), ISP_E_FLASHWRITE);
  EXPECT_GT(error_at, 0);
  EXPECT_LT(error_at, int32_t(size));
}
