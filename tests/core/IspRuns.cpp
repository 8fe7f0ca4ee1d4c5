// Runs of instructions exchanged at once, and the RDY/BSY polls built on them, against the
// byte-level fake target.
#include "tests/core/IspFixture.h"

#include <vector>

namespace {

class IspRuns : public IspFixture {
protected:
  void SetUp() override {
    IspFixture::SetUp();
    MakeChip(4096, 32);
    AddRecord("part", actATmega168, 8192, 64);
    IdentifyAndClear();
  }
  // The chip stops answering once it has decoded this many more instructions.
  void GoSilentAfter(int count) {
    chip->on_instruction = [this, count, seen = 0](const TIspBytes&) mutable {
      if (++seen == count) chip->responds = false;
    };
  }
};

TEST_F(IspRuns, ARunChecksTheFlaggedEchoesAfterIt) {
  // Gone after the third: the unflagged frames pass, the first flagged one after it fails.
  std::vector<TSpiFrame> run(6, SpiFrame(0x30, 0x08, 0x00, 0xFF, kIspAnswerSample));
  run[1].Sample |= kIspEchoSample;
  run[4].Sample |= kIspEchoSample;
  GoSilentAfter(3);
  size_t failed_at = 0;
  EXPECT_EQ(isp->Instructions(run, &failed_at), ISP_E_NOANSWER);
  EXPECT_EQ(failed_at, 4u);
  EXPECT_EQ(isp->LastFault(), ISP_E_NOANSWER);

  // Where samples are free every frame is checked.
  chip->responds = true;
  chip->samples_free = true;
  run.assign(6, SpiFrame(0x30, 0x08, 0x00, 0xFF, kIspAnswerSample));
  GoSilentAfter(2);
  EXPECT_EQ(isp->Instructions(run, &failed_at), ISP_E_NOANSWER);
  EXPECT_EQ(failed_at, 2u);
}

TEST_F(IspRuns, PollsCheckTheEchoOnceThenSampleOnlyTheBusyBit) {
  chip->record = true;
  chip->busy_polls = 5;
  ASSERT_EQ(isp->WriteConfigByte(TAvrMemory::LowFuse, 0xE2), S_OK);
  EXPECT_EQ(chip->With(0xF0).size(), 6u);
  // The write's echo, the first poll's echo and answer, one busy bit for each later poll.
  EXPECT_EQ(chip->Count(TLineEvent::Miso), 8u + 16 + 5);
  chip->record = false;

  // Gone while busy: its floating MISO reads busy until the limit, and the checked poll says why.
  chip->busy_polls = 1u << 30;
  GoSilentAfter(4);
  EXPECT_EQ(isp->WriteConfigByte(TAvrMemory::LowFuse, 0xE2), ISP_E_NOANSWER);
  EXPECT_EQ(isp->LastFault(), ISP_E_NOANSWER);
}

} // namespace
