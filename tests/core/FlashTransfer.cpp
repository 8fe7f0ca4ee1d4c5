// Whole-flash write, read and verify against the byte-level fake target.
#include "tests/core/IspFixture.h"

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// The figure of a rate text ("6400 byte/sec\r\n").
long RateOf(const std::string& text) {
  return std::stol(text);
}

// A word pattern that differs between the 64 K-word banks and between pages of a bank.
uint16_t PatternWord(uint32_t i) {
  return uint16_t((i * 0x9E37u) ^ ((i >> 16) * 0x5A5Au) ^ (i >> 7));
}

// `bytes` bytes of the pattern, low byte of each word first.
std::shared_ptr<TVectorMemStream> Image(size_t bytes) {
  auto image = std::make_shared<TVectorMemStream>();
  for (size_t k = 0; k < bytes; ++k)
    image->bytes.push_back(uint8_t(PatternWord(uint32_t(k / 2)) >> (k % 2 * 8)));
  return image;
}

class FlashTransfer : public IspFixture {
protected:
  // ATmega8-like: 8 KB flash, 64-byte pages.
  void MakeMega8(int32_t erase = -1) {
    MakeChip(4096, 32);
    AddRecord("ATmega8", actATmega8, 8192, 64, erase);
  }
};

TEST_F(FlashTransfer, FullImageWritesEveryPageOnceWithProgressPerPage) {
  MakeMega8();
  auto sink = AttachSink();
  auto image = Image(8192);
  IdentifyAndClear();
  chip->busy_polls = 2; // each page write keeps the chip busy for two polls
  int32_t error_at = 0;
  EXPECT_EQ(isp->WriteFlash(image, &error_at), S_OK);
  EXPECT_EQ(error_at, -1);
  EXPECT_EQ(chip->With(0x40).size(), 4096u);
  EXPECT_EQ(chip->With(0x48).size(), 4096u);
  const auto writes = chip->With(0x4C);
  ASSERT_EQ(writes.size(), 128u);
  for (uint32_t p = 0; p < 128; ++p) {
    const uint32_t last = p * 32 + 31;
    EXPECT_EQ(Hex(writes[p]), Hex({0x4C, uint8_t(last >> 8), uint8_t(last), 0xAA}));
  }
  for (uint32_t i = 0; i < 4096; ++i)
    ASSERT_EQ(chip->flash[i], image->bytes[2 * i] | image->bytes[2 * i + 1] << 8) << i;

  EXPECT_EQ(sink->status_texts.size(), 128u);
  ASSERT_EQ(sink->progress.size(), 130u); // reset, one per page, reset
  EXPECT_EQ(sink->progress[1], 0);        // 62 * 100 / 8192
  EXPECT_EQ(sink->progress[128], 99);     // 8190 * 100 / 8192
  EXPECT_EQ(sink->progress.back(), 0);
  ASSERT_EQ(sink->messages.size(), 2u);
  EXPECT_EQ(sink->messages[0], std::make_pair(std::string("Writing flash...\r\n"), clLogGreen));
  // The chip is polled until it is ready, and nothing else is sent meanwhile; a fixed 10 ms per
  // page would have given 6400 byte/sec.
  EXPECT_EQ(chip->With(0xF0).size(), 3u * 128);
  EXPECT_EQ(chip->sent_while_busy, 0u);
  EXPECT_EQ(sink->messages[1].second, clLogGreen);
  EXPECT_GT(RateOf(sink->messages[1].first), 4 * 6400);
  EXPECT_GT(RateOf(sink->status_texts[0]), 4 * 6200);
}

TEST_F(FlashTransfer, ShortImagesEndWithAClosingPageWrite) {
  MakeMega8();
  auto sink = AttachSink();
  IdentifyAndClear();
  EXPECT_EQ(isp->WriteFlash(Image(100)), S_OK);
  // Whole pages are loaded, the words past the image as 0xFF: the buffer may hold older words.
  EXPECT_EQ(chip->With(0x40).size(), 64u);
  // Page addresses below 0x100 words echo as 00, as a line stuck low would: a read with a telling
  // echo proves after each such page that the chip still answers.
  const Strings sent = Sent();
  EXPECT_EQ(Strings(sent.end() - 3, sent.end()), (Strings{"4C 00 31 AA", "F0 00 00 FF", "30 08 00 FF"}));
  EXPECT_EQ(chip->With(0x4C).size(), 2u);
  EXPECT_EQ(Hex(chip->With(0x4C)[0]), "4C 00 1F AA");
  // No fixed page waits (those gave 5000 byte/sec).
  EXPECT_GT(RateOf(sink->messages.back().first), 4 * 5000);

  // An odd-sized image writes its whole words, then reports where the image ran out.
  chip->instructions.clear();
  int32_t error_at = 0;
  EXPECT_EQ(isp->WriteFlash(Image(7), &error_at), ISP_E_IMAGEREAD);
  EXPECT_EQ(error_at, 7);
  EXPECT_EQ(chip->With(0x40).size(), 32u);
  EXPECT_EQ(chip->With(0x4C).size(), 1u);
  EXPECT_EQ(Hex(chip->With(0x4C)[0]), "4C 00 02 AA");

  // An empty image writes nothing but still reports.
  chip->instructions.clear();
  sink->messages.clear();
  EXPECT_EQ(isp->WriteFlash(Image(0), &error_at), S_OK);
  EXPECT_EQ(error_at, -1);
  EXPECT_TRUE(chip->instructions.empty());
  EXPECT_EQ(sink->messages, (std::vector<std::pair<std::string, uint32_t>>{
                                {"Writing flash...\r\n", clLogGreen}, {"0 byte/sec\r\n", clLogGreen}}));
}

TEST_F(FlashTransfer, OnlyCoveredBytesAreWrittenAndVerified) {
  MakeMega8(); // no erase: what the chip held shows where nothing was written
  auto sink = AttachSink();
  IdentifyAndClear();
  std::fill(chip->flash.begin(), chip->flash.end(), uint16_t(0xFFFF));
  // Bytes outside the coverage hold 0x00 in the image, which would show if they were written.
  auto image = std::make_shared<TVectorMemStream>(std::vector<uint8_t>(8192, 0x00));
  image->coverage.assign(8192, 0);
  auto cover = [&](size_t from, size_t to, bool pattern) {
    for (size_t b = from; b < to; ++b) {
      image->coverage[b] = 1;
      image->bytes[b] = pattern ? uint8_t(PatternWord(uint32_t(b / 2)) >> (b % 2 * 8)) : 0xFF;
    }
  };
  cover(0x10, 0x30, true);        // page 0, words 8..23
  cover(10 * 64, 11 * 64, false); // page 10: erased values only, nothing to program
  cover(20 * 64, 21 * 64, true);  // page 20 whole
  cover(8191, 8192, true);        // the high byte of the last word
  for (uint32_t i : {0u, 7u, 24u, 31u}) chip->flash[i] = 0xA5A5; // left alone though in a written page
  chip->flash[4095] = 0xFF5A;

  int32_t error_at = 0;
  ASSERT_EQ(isp->WriteFlash(image, &error_at), S_OK);
  EXPECT_EQ(error_at, -1);
  ASSERT_EQ(chip->With(0x4C).size(), 3u);
  EXPECT_EQ(Hex(chip->With(0x4C)[0]), "4C 00 17 AA");
  EXPECT_EQ(Hex(chip->With(0x4C)[2]), "4C 0F FF AA");
  EXPECT_EQ(chip->With(0x40).size(), 3u * 32) << "the three pages that program, each whole";
  std::vector<uint16_t> expected(4096, 0xFFFF);
  for (uint32_t i : {0u, 7u, 24u, 31u}) expected[i] = 0xA5A5;
  for (uint32_t i = 8; i < 24; ++i) expected[i] = PatternWord(i);
  for (uint32_t i = 20 * 32; i < 21 * 32; ++i) expected[i] = PatternWord(i);
  expected[4095] = uint16_t((PatternWord(4095) & 0xFF00) | 0x5A);
  EXPECT_TRUE(chip->flash == expected);
  // Progress over the four pages holding covered bytes, one report per page written.
  EXPECT_EQ(sink->status_texts.size(), 3u);
  EXPECT_EQ(sink->progress.back(), 0);

  // Verify reads the covered words alone and ignores every byte outside the coverage.
  chip->instructions.clear();
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), S_OK);
  EXPECT_EQ(chip->With(0x28).size(), 16u + 32 + 32 + 1);
  chip->flash[4095] = 0x0000;
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), ISP_E_MISMATCH);
  EXPECT_EQ(error_at, 8190);
  chip->flash[4095] = uint16_t(PatternWord(4095) | 0x00FF);
  chip->flash[20 * 32 + 5] ^= 0x0100;
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), ISP_E_MISMATCH);
  EXPECT_EQ(error_at, 2 * (20 * 32 + 5));

  // An image that covers nothing but erased values programs nothing, yet proves the chip is there.
  chip->instructions.clear();
  auto erased = std::make_shared<TVectorMemStream>(std::vector<uint8_t>(4096, 0xFF));
  EXPECT_EQ(isp->WriteFlash(erased), S_OK);
  EXPECT_EQ(Sent(), Strings{"30 08 00 FF"});
}

TEST_F(FlashTransfer, PreconditionsFailInOrderWithoutTrafficOrMessages) {
  MakeMega8();
  auto sink = AttachSink();
  int32_t error_at = 0;
  // Identification may read the signature; nothing else may reach the chip.
  auto check = [&](HRESULT status, HRESULT expected) {
    EXPECT_EQ(status, expected);
    EXPECT_EQ(error_at, -1);
    EXPECT_EQ(chip->With(0x30).size(), chip->instructions.size());
    EXPECT_TRUE(sink->calls.empty());
    chip->instructions.clear();
  };

  chip->signature = {0x1E, 0x11, 0x11, 0x00}; // in no record
  check(isp->WriteFlash(Image(2), &error_at), ISP_E_UNIDENTIFIED);
  check(isp->ReadFlash(Image(0), &error_at), ISP_E_UNIDENTIFIED);
  check(isp->VerifyFlash(Image(2), &error_at), ISP_E_UNIDENTIFIED);
  chip->signature = {0x1E, 0x93, 0x07, 0x00};
  IdentifyAndClear();

  TAvrSigType& record = SignatureTable.back();
  // A missing page size cannot pace the page writes; impossible ones (zero, odd, no power of two,
  // larger than the flash) are refused by every transfer before anything is erased or sent.
  record.PageSize.Flash = -1;
  check(isp->WriteFlash(Image(2), &error_at), ISP_E_NOSIZES);
  record.EraseBeforeFlash = 1;
  for (int32_t page : {0, 7, 96, 16384}) {
    SCOPED_TRACE(page);
    record.PageSize.Flash = page;
    check(isp->WriteFlash(Image(2), &error_at), ISP_E_BADSIZES);
    check(isp->ReadFlash(Image(0), &error_at), ISP_E_BADSIZES);
    check(isp->VerifyFlash(Image(2), &error_at), ISP_E_BADSIZES);
  }
  record.PageSize.Flash = 64;
  for (int32_t flash : {0x7FFFFFFF, 8192 + 32}) {
    record.MemSize.Flash = flash;
    check(isp->WriteFlash(Image(2), &error_at), ISP_E_BADSIZES);
    check(isp->ReadFlash(Image(0), &error_at), ISP_E_BADSIZES);
  }
  EXPECT_TRUE(chip->With(0xAC).empty()) << "nothing erased";
  record.EraseBeforeFlash = -1;
  record.MemSize.Flash = -1;
  check(isp->WriteFlash(Image(2), &error_at), ISP_E_NOSIZES);
  check(isp->ReadFlash(Image(0), &error_at), ISP_E_NOSIZES);
  check(isp->VerifyFlash(Image(2), &error_at), ISP_E_NOSIZES);
  record.MemSize.Flash = 8192;

  auto unreadable = Image(2);
  unreadable->fail_get_size = true;
  check(isp->WriteFlash(unreadable, &error_at), ISP_E_IMAGEREAD);
  check(isp->VerifyFlash(unreadable, &error_at), ISP_E_IMAGEREAD);

  check(isp->WriteFlash(Image(8194), &error_at), ISP_E_TOOBIG);
  // Verifying an image larger than the flash would compare words the chip does not have.
  check(isp->VerifyFlash(Image(8194), &error_at), ISP_E_TOOBIG);

  EXPECT_EQ(isp->WriteFlash(Image(8192), &error_at), S_OK) << "exactly the flash size is accepted";
}

TEST_F(FlashTransfer, EraseBeforeWriteWithAndWithoutSink) {
  MakeMega8(1);
  EXPECT_EQ(isp->WriteFlash(nullptr), E_INVALIDARG);
  IdentifyAndClear();
  std::fill(chip->flash.begin(), chip->flash.end(), uint16_t(0x0000));
  EXPECT_EQ(isp->WriteFlash(Image(4)), S_OK);
  EXPECT_EQ(Sent().front(), "AC 80 00 00");
  EXPECT_EQ(chip->flash[2], 0xFFFF) << "erased beyond the image";
  // Without a sink, reading and verifying work too.
  EXPECT_EQ(isp->ReadFlash(std::make_shared<TVectorMemStream>()), S_OK);
  EXPECT_EQ(isp->VerifyFlash(Image(4)), S_OK);

  auto sink = AttachSink();
  chip->instructions.clear();
  EXPECT_EQ(isp->WriteFlash(Image(4)), S_OK);
  ASSERT_GE(sink->messages.size(), 2u);
  EXPECT_EQ(sink->messages[0].first, "Erasing flash...\r\n");
  EXPECT_EQ(sink->messages[1].first, "Writing flash...\r\n");
}

TEST_F(FlashTransfer, ReadCopiesTheFlashAndReportsEveryPage) {
  MakeMega8();
  for (uint32_t i = 0; i < 4096; ++i) chip->flash[i] = PatternWord(i);
  auto sink = AttachSink();
  IdentifyAndClear();
  auto image = std::make_shared<TVectorMemStream>();
  int32_t error_at = 0;
  EXPECT_EQ(isp->ReadFlash(image, &error_at), S_OK);
  EXPECT_EQ(error_at, -1);
  EXPECT_EQ(image->bytes, Image(2 * 4096)->bytes);
  EXPECT_EQ(sink->status_texts.size(), 4096u / 32);
  EXPECT_EQ(sink->progress[1], 0);    // i = 31
  EXPECT_EQ(sink->progress[128], 99); // i = 4095
  // No wait happens at the fastest speed: a transfer within one tick counts as 1 ms.
  EXPECT_EQ(sink->messages.front().first, "Reading flash...\r\n");
  EXPECT_EQ(sink->messages.back().first, "8192000 byte/sec\r\n");
  EXPECT_EQ(sink->progress.back(), 0);

  auto full = std::make_shared<TVectorMemStream>();
  full->fail_put_at = 0x40;
  EXPECT_EQ(isp->ReadFlash(full, &error_at), ISP_E_IMAGEWRITE);
  EXPECT_EQ(error_at, 0x40);
}

TEST_F(FlashTransfer, VerifyStopsAtTheFirstDifferingWord) {
  MakeMega8();
  for (uint32_t i = 0; i < 4096; ++i) chip->flash[i] = PatternWord(i);
  auto sink = AttachSink();
  auto image = Image(2 * 300);
  image->bytes.push_back(0x55); // a trailing odd byte is not compared
  int32_t error_at = 0;
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), S_OK);
  EXPECT_EQ(error_at, -1);
  EXPECT_EQ(sink->messages.front().first, "Verifying flash...\r\n");

  image->bytes[0x101] ^= 0x01;
  chip->instructions.clear();
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), ISP_E_MISMATCH);
  EXPECT_EQ(error_at, 0x100);
  EXPECT_EQ(chip->With(0x28).size(), 0xA0u) << "stops at the page holding the differing word";
}

TEST_F(FlashTransfer, FailingIdleCancelsAfterTheCurrentPageOrRow) {
  MakeMega8();
  auto sink = AttachSink();
  IdentifyAndClear();
  sink->fail_idle_at = 3; // the start message's Idle, page 0, then page 1
  int32_t error_at = 0;
  EXPECT_EQ(isp->WriteFlash(Image(8192), &error_at), sink->idle_failure);
  EXPECT_EQ(error_at, 126);
  EXPECT_EQ(chip->With(0x4C).size(), 2u);
  EXPECT_EQ(chip->With(0x40).size(), 64u);
  EXPECT_GT(RateOf(sink->messages.back().first), 4 * 6400); // not 128 bytes in two fixed 10 ms
  EXPECT_EQ(sink->progress.back(), 0);

  sink->idles = 0;
  sink->fail_idle_at = 2; // after the first page
  auto image = std::make_shared<TVectorMemStream>();
  EXPECT_EQ(isp->ReadFlash(image, &error_at), sink->idle_failure);
  EXPECT_EQ(error_at, 62);
  EXPECT_EQ(image->bytes.size(), 64u);
  sink->idles = 0;
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), sink->idle_failure);
  EXPECT_EQ(error_at, 62);
}

TEST_F(FlashTransfer, PagesAbove8KBAreNotFolded) {
  // 32 KB, 128-byte pages (ATmega32).
  MakeChip(0x4000, 64);
  chip->signature = {0x1E, 0x95, 0x02, 0x00};
  AddRecord("ATmega32", actATmega32, 32768, 128);
  IdentifyAndClear();
  EXPECT_EQ(isp->LoadPageWord(0x3FC5, 0x1234), S_OK);
  EXPECT_EQ(isp->WritePage(0x3FC5), S_OK);
  EXPECT_EQ(Sent(), (Strings{"40 00 05 34", "48 00 05 12", "4C 3F C5 AA", "F0 00 00 FF"}));

  auto image = Image(2 * 0x4000);
  std::fill(chip->flash.begin(), chip->flash.end(), uint16_t(0xFFFF));
  EXPECT_EQ(isp->WriteFlash(image), S_OK);
  for (uint32_t i = 0; i < 0x4000; ++i) ASSERT_EQ(chip->flash[i], PatternWord(i)) << i;
  EXPECT_TRUE(chip->With(0x4D).empty()) << "no extended address on a chip of 16 K words";
  int32_t error_at = 0;
  EXPECT_EQ(isp->VerifyFlash(image, &error_at), S_OK);
}

TEST_F(FlashTransfer, FlashBeyond64KWordsSelectsTheExtendedAddress) {
  // 256 KB, 256-byte pages (ATmega2560).
  MakeChip(0x20000, 128);
  chip->signature = {0x1E, 0x98, 0x01, 0x00};
  AddRecord("ATmega2560", actATmega2560, 262144, 256);
  ASSERT_EQ(isp->EnterProgMode(), 0);
  IdentifyAndClear();
  chip->flash[0x1ABCD] = 0x4242;
  chip->flash[0x0ABCD] = 0x1111;
  uint16_t word = 0;
  EXPECT_EQ(isp->ReadProgramWord(0x1ABCD, word), S_OK);
  EXPECT_EQ(word, 0x4242);
  EXPECT_EQ(isp->ReadProgramWord(0x1ABCD, word), S_OK); // the bank is selected once
  EXPECT_EQ(isp->ReadProgramWord(0x0ABCD, word), S_OK);
  EXPECT_EQ(word, 0x1111);
  EXPECT_EQ(isp->LoadPageWord(0x1FFFF, 0xA55A), S_OK);
  EXPECT_EQ(isp->WritePage(0x1FFFF), S_OK);
  EXPECT_EQ(chip->flash[0x1FFFF], 0xA55A);
  EXPECT_EQ(Sent(), (Strings{"4D 00 01 00", "28 AB CD FF", "20 AB CD FF", "28 AB CD FF", "20 AB CD FF",
                             "4D 00 00 00", "28 AB CD FF", "20 AB CD FF", "40 00 7F 5A", "48 00 7F A5",
                             "4D 00 01 00", "4C FF FF AA", "F0 00 00 FF"}));

  // Programming mode resets the chip's extended byte, so it is sent again afterwards.
  ASSERT_EQ(isp->EnterProgMode(), 0);
  chip->instructions.clear();
  EXPECT_EQ(isp->ReadProgramWord(0x1ABCD, word), S_OK);
  EXPECT_EQ(word, 0x4242);
  EXPECT_EQ(Sent().front(), "4D 00 01 00");

  // The whole flash round trip: every page lands in its own place.
  chip->record = false;
  auto image = Image(2 * 0x20000);
  std::fill(chip->flash.begin(), chip->flash.end(), uint16_t(0xFFFF));
  ASSERT_EQ(isp->EnterProgMode(), 0);
  chip->instructions.clear();
  EXPECT_EQ(isp->WriteFlash(image), S_OK);
  EXPECT_EQ(chip->With(0x4D).size(), 1u) << "once, on entering the upper bank";
  for (uint32_t i = 0; i < 0x20000; ++i) ASSERT_EQ(chip->flash[i], PatternWord(i)) << i;
  auto read = std::make_shared<TVectorMemStream>();
  EXPECT_EQ(isp->ReadFlash(read), S_OK);
  EXPECT_EQ(read->bytes, image->bytes);
}

TEST_F(FlashTransfer, LineFaultEndsTheTransferAtItsAddress) {
  MakeMega8();
  for (uint32_t i = 0; i < 4096; ++i) chip->flash[i] = PatternWord(i);
  IdentifyAndClear();
  // The port dies during the read of word 0x40.
  chip->on_instruction = [&](const TIspBytes& b) {
    if (b[0] == 0x28 && b[1] == 0x00 && b[2] == 0x40) chip->miso_fails = true;
  };
  auto image = std::make_shared<TVectorMemStream>();
  int32_t error_at = 0;
  EXPECT_EQ(isp->ReadFlash(image, &error_at), ISP_E_FLASHREAD);
  EXPECT_EQ(error_at, 0x80);
  EXPECT_EQ(image->bytes.size(), 0x80u) << "no resting-level word reached the image";

  chip->miso_fails = false;
  chip->on_instruction = [&](const TIspBytes& b) {
    if (b[0] == 0x28 && b[2] == 0x30) chip->miso_fails = true;
  };
  // A page is read as one piece: the failure is at its start.
  EXPECT_EQ(isp->VerifyFlash(Image(2 * 100), &error_at), ISP_E_FLASHREAD);
  EXPECT_EQ(error_at, 0x40);

  // Writing sends no read; the fault comes from driving the lines.
  chip->miso_fails = false;
  chip->on_instruction = [&](const TIspBytes& b) {
    // The port dies while the first word of the second page is loaded.
    if (b[0] == 0x40 && chip->With(0x4C).size() == 1) chip->drive_fails = true;
  };
  EXPECT_EQ(isp->WriteFlash(Image(200), &error_at), ISP_E_FLASHWRITE);
  EXPECT_EQ(error_at, 64);

  chip->drive_fails = false;
  chip->on_instruction = [&](const TIspBytes& b) {
    if (b[0] == 0x4C) chip->drive_fails = true; // the page write after word 31 fails
  };
  EXPECT_EQ(isp->WriteFlash(Image(200), &error_at), ISP_E_FLASHWRITE);
  EXPECT_EQ(error_at, 62);
}

} // namespace

namespace {

// A chip that stops answering fails the page it falls silent in, whether every echo is checked
// (free samples) or only the page's last.
TEST_F(FlashTransfer, ASilentChipFailsThePageItFallsSilentIn) {
  for (const bool free : {true, false}) {
    SCOPED_TRACE(free ? "samples free" : "samples cost a port operation");
    MakeMega8();
    chip->samples_free = free;
    for (uint32_t i = 0; i < 4096; ++i) chip->flash[i] = PatternWord(i);
    IdentifyAndClear();
    // Silent from the read of word 0x123 on (its high byte 0x01 echoes unlike a resting line).
    chip->on_instruction = [&](const TIspBytes& b) {
      if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x22) chip->responds = false;
    };
    auto image = std::make_shared<TVectorMemStream>();
    int32_t error_at = 0;
    EXPECT_EQ(isp->ReadFlash(image, &error_at), ISP_E_FLASHREAD);
    EXPECT_EQ(isp->LastFault(), ISP_E_NOANSWER);
    EXPECT_EQ(error_at, 2 * 0x120);

    // Writing: the page write that ends the page checks, and the loads too where that is free;
    // a failed load is reported at the page's start, a failed page write at its last word.
    chip->responds = true;
    chip->on_instruction = [&](const TIspBytes& b) {
      if (b[0] == 0x48 && b[1] == 0x00 && b[2] == 0x05 && chip->With(0x4C).size() == 9)
        chip->responds = false;
    };
    EXPECT_EQ(isp->WriteFlash(Image(8192), &error_at), ISP_E_FLASHWRITE);
    EXPECT_EQ(isp->LastFault(), ISP_E_NOANSWER);
    EXPECT_EQ(error_at, free ? 2 * (9 * 32) : 2 * (9 * 32 + 31));
  }
}

} // namespace
