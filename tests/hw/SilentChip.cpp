// A chip that stops answering in the middle of a transfer (a cable pulled, the target's power
// gone): MISO then rests high or sticks low. On every back end (the simulated bus, whose samples
// are free, and the parallel and serial ports, where the chip's echo is checked once per page)
// the transfer must end with an error near the place where the chip fell silent, never complete.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakePortDevice.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/VectorMemStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

namespace {

enum class TBackEnd { Sim, Parallel, Serial };
enum class TOp { Read, Write, Verify };

const char* Name(TBackEnd b) {
  return b == TBackEnd::Sim ? "sim" : b == TBackEnd::Parallel ? "lpt" : "com";
}
const char* Name(TOp op) {
  return op == TOp::Read ? "read" : op == TOp::Write ? "write" : "verify";
}

// Tells which word of the transfer the image is handling, so that the chip's bit count can be
// tied to the words.
class TWatchedStream : public TVectorMemStream {
public:
  using TVectorMemStream::TVectorMemStream;
  HRESULT GetWord(uint16_t* value) override {
    if (on_word) on_word(position / 2);
    return TVectorMemStream::GetWord(value);
  }
  HRESULT PutWord(const uint16_t* value) override {
    if (on_word) on_word(position / 2);
    return TVectorMemStream::PutWord(value);
  }
  std::function<void(int32_t word)> on_word;
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 37 + 11 + (i >> 7));
  return bytes;
}

constexpr size_t kImageBytes = 2048; // words 0..1023: below and above word address 0x100
constexpr int32_t kPageWords = 64;   // of the ATmega328P record: every transfer moves whole pages

// One chip on one back end, in programming mode and identified, ready for a transfer.
class Rig {
public:
  Rig(TBackEnd back_end, TOp op, uint8_t resting) {
    const TAvrSigType record = SimRecordMega328P();
    // Reading covers the same words as the other two: the database's record is cut to the image.
    SignatureTable = {record};
    SignatureTable[0].MemSize.Flash = int32_t(kImageBytes);
    TSimChipOptions options;
    options.resting_miso = resting;
    auto chip = std::make_unique<TSimAvrChip>(record, options);
    this->chip = chip.get();
    if (back_end == TBackEnd::Sim) {
      bus = CreateSpiBus<TSpiBus_Sim>(1, std::move(chip));
    } else {
      RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
      owned_chip_ = std::move(chip); // declared before the bus: closing the port drives its pins
      TFakeNode& node = back_end == TBackEnd::Parallel ? fake->AddParallel("/dev/parport0")
                                                       : fake->AddSerial("/dev/ttyUSB0");
      node.chip = this->chip;
      node.keep_events = false;
      if (back_end == TBackEnd::Parallel)
        bus = CreateSpiBus<TSpiBus_LPT>(1, fake);
      else
        bus = CreateSpiBus<TSpiBus_COM>(1, fake, "/dev/ttyUSB0");
    }
    bus->Speed = sdFastest;
    image = std::make_shared<TWatchedStream>(op == TOp::Read ? std::vector<uint8_t>{} : Pattern(kImageBytes));
    if (op != TOp::Write) {
      const std::vector<uint8_t> data = Pattern(kImageBytes);
      std::copy(data.begin(), data.end(), this->chip->Flash().begin());
    }
    isp = std::make_unique<TmCAtgeneric>(bus.get());
    EXPECT_EQ(isp->EnterProgMode(), S_OK);
    EXPECT_TRUE(isp->Identify(false));
  }
  ~Rig() {
    isp.reset();
    bus.reset();
    SignatureTable.clear();
  }

  HRESULT Run(TOp op, int32_t& error_at) {
    switch (op) {
    case TOp::Read:
      return isp->ReadFlash(image, &error_at);
    case TOp::Write:
      return isp->WriteFlash(image, &error_at);
    case TOp::Verify:
      return isp->VerifyFlash(image, &error_at);
    }
    return E_FAIL;
  }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  std::unique_ptr<TSimAvrChip> owned_chip_;
  TSimAvrChip* chip = nullptr;
  std::unique_ptr<TSpiBusBase> bus;
  std::unique_ptr<TmCAtgeneric> isp;
  std::shared_ptr<TWatchedStream> image;
};

class SilentChip : public testing::TestWithParam<std::tuple<TBackEnd, TOp, uint8_t>> {};

TEST_P(SilentChip, EndsTheTransferWithAnErrorNearWhereTheChipFellSilent) {
  const auto [back_end, op, resting] = GetParam();
  const int32_t words = int32_t(kImageBytes / 2);

  // A healthy run ties the chip's bit count to the words: the count when the image handles word k
  // (reading and verifying: after its reads; writing: before its loads).
  std::vector<uint64_t> bits_at(size_t(words), 0);
  uint64_t total_bits = 0;
  {
    Rig rig(back_end, op, resting);
    const uint64_t start = rig.chip->Counters().bits;
    rig.image->on_word = [&](int32_t k) {
      if (k < words) bits_at[size_t(k)] = rig.chip->Counters().bits - start;
    };
    int32_t error_at = 0;
    ASSERT_EQ(rig.Run(op, error_at), S_OK);
    total_bits = rig.chip->Counters().bits - start;
  }

  // The last data bit: after the last word's reads, or its two loads and the page write. Past it
  // only the final proof that the chip still answers.
  const uint64_t data_end = bits_at[size_t(words) - 1] + (op == TOp::Write ? 96 : 0);

  // Silent in the lower words (their reads echo 00), above them, in the last instruction's echo,
  // in its last byte (an answer, or the byte that starts the page write), and in the final proof.
  for (const uint64_t silent_after :
       {bits_at[37] + 20, bits_at[300] + 3, bits_at[700] + 45, data_end - 12, data_end - 4, data_end + 12}) {
    SCOPED_TRACE("silent after bit " + std::to_string(silent_after) + " of " + std::to_string(total_bits));
    // The word in progress when the chip fell silent.
    int32_t silent_word = 0;
    if (op == TOp::Write) {
      while (silent_word + 1 < words && bits_at[size_t(silent_word) + 1] < silent_after) ++silent_word;
    } else {
      while (silent_word + 1 < words && bits_at[size_t(silent_word)] < silent_after) ++silent_word;
    }

    Rig rig(back_end, op, resting);
    rig.chip->GoSilentAfterBits(silent_after);
    int32_t error_at = -1;
    const HRESULT status = rig.Run(op, error_at);
    EXPECT_TRUE(rig.chip->Dead());
    EXPECT_EQ(status, op == TOp::Write ? ISP_E_FLASHWRITE : ISP_E_FLASHREAD);
    EXPECT_EQ(rig.isp->LastFault(), ISP_E_NOANSWER);
    ASSERT_GE(error_at, 0);
    EXPECT_EQ(error_at % 2, 0);

    // Transfers move whole pages: the error lies in the page the chip fell silent in (at the end
    // of the one before when it fell silent in that page's proof, or in the next when during the
    // last answer of a page whose proof comes after it).
    const int32_t reported = error_at / 2;
    const int32_t block = kPageWords;
    const int32_t block_end = std::min(words - 1, ((silent_word + 1) / block + 1) * block - 1);
    EXPECT_GE(reported, silent_word / block * block - 1);
    EXPECT_LE(reported, block_end) << "silent in word " << silent_word;

    if (op == TOp::Read) {
      // Words read before the block that went wrong are the flash's.
      const size_t good = size_t(std::max(0, (reported / block) * block - block)) * 2;
      ASSERT_GE(rig.image->bytes.size(), good);
      EXPECT_TRUE(std::equal(rig.image->bytes.begin(), rig.image->bytes.begin() + long(good),
                             rig.chip->Flash().begin()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BackEnds, SilentChip,
                         testing::Combine(testing::Values(TBackEnd::Sim, TBackEnd::Parallel,
                                                          TBackEnd::Serial),
                                          testing::Values(TOp::Read, TOp::Write, TOp::Verify),
                                          testing::Values(uint8_t(1), uint8_t(0))),
                         [](const testing::TestParamInfo<std::tuple<TBackEnd, TOp, uint8_t>>& info) {
                           return std::string(Name(std::get<0>(info.param))) + "_" +
                                  Name(std::get<1>(info.param)) +
                                  (std::get<2>(info.param) ? "_floating_high" : "_stuck_low");
                         });

// Without a chip the device reads fail too, whichever level the line rests at.
TEST(SilentChipDeviceReads, SignatureAndCalibrationOfAnAbsentChipFailOnEveryBackEnd) {
  for (const TBackEnd back_end : {TBackEnd::Sim, TBackEnd::Parallel, TBackEnd::Serial}) {
    for (const uint8_t resting : {uint8_t(1), uint8_t(0)}) {
      SCOPED_TRACE(std::string(Name(back_end)) + (resting ? " floating high" : " stuck low"));
      Rig rig(back_end, TOp::Read, resting);
      rig.chip->GoSilentAfterBits(0);
      TAvrSignature sig;
      uint8_t calibration = 0;
      if (resting == 1) {
        // The echo of 00 comes back as FF at once.
        EXPECT_EQ(rig.isp->ReadSignature(sig), 1);
        EXPECT_EQ(rig.isp->ReadCalibrationByte(0, calibration), ISP_E_NOANSWER);
      }
      // Each command starts with Programming Enable; after one that went unanswered, even an echo
      // that happens to match (00 on a line stuck low) is no answer.
      EXPECT_EQ(rig.isp->EnterProgMode(), 1);
      EXPECT_EQ(rig.isp->ReadSignature(sig), 1);
      EXPECT_EQ(rig.isp->ReadCalibrationByte(0, calibration), ISP_E_NOANSWER);
      EXPECT_EQ(rig.isp->LastFault(), ISP_E_NOANSWER);
      EXPECT_FALSE(rig.isp->Identify(true));
    }
  }
}

} // namespace
