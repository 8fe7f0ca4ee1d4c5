// Which bytes an image holds because a file or a write defined them: kept through loads, copies
// and HEX saves, so that the transfers can leave the rest of a memory alone.
#include "memimage_test_util.h"

#include "tests/support/VectorMemStream.h"

namespace {

std::vector<uint8_t> Coverage(const std::shared_ptr<IuCMemStream>& image, int32_t start, int32_t count) {
  std::vector<uint8_t> covered;
  EXPECT_EQ(image->GetCoverage(start, count, covered), S_OK);
  return covered;
}

// Flags for count bytes: 1 within [from, to), else 0.
std::vector<uint8_t> Flags(size_t count, size_t from, size_t to) {
  std::vector<uint8_t> flags(count, 0);
  for (size_t i = from; i < to && i < count; ++i) flags[i] = 1;
  return flags;
}

// A bootloader-like image: 2 KB of data at 0x7800 of a 32 KB flash, nothing below it.
std::string BootloaderHex(const std::string& line_end) {
  std::string text;
  const auto data = Counting(0x800, 0x21);
  for (size_t at = 0; at < data.size(); at += 16)
    text += HexRecord(0, uint16_t(0x7800 + at), {data.begin() + long(at), data.begin() + long(at) + 16}) +
            line_end;
  return text + ":00000001FF" + line_end;
}

// The HEX text of an image copied into a HEX file and saved; empty when a step fails.
std::string SavedHex(const std::shared_ptr<IuCMemStream>& image) {
  auto hex = NewHexFile();
  auto out = NewMemoryIStream();
  if (image->CopyAllTo(Image(hex)) != S_OK || hex->SaveToStream(out) != S_OK) return {};
  return Text(out);
}

TEST(ImageCoverage, LoadsAndWritesRecordWhatTheyDefine) {
  // HEX: the records' bytes, not the gap between them nor anything past the image.
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromStream(
                TextStream(HexRecord(0, 2, {1, 2}) + "\n" + HexRecord(0, 6, {3}) + "\n" + ":00000001FF\n")),
            S_OK);
  EXPECT_EQ(Coverage(Image(hex), -1, 10), (std::vector<uint8_t>{0, 0, 0, 1, 1, 0, 0, 1, 0, 0}));
  std::vector<uint8_t> covered;
  EXPECT_EQ(Image(hex)->GetCoverage(0, -1, covered), E_INVALIDARG);

  // A new load replaces the coverage with the new file's.
  ASSERT_EQ(hex->LoadFromStream(TextStream(HexRecord(0, 0, {9}) + "\n:00000001FF\n")), S_OK);
  EXPECT_EQ(Coverage(Image(hex), 0, 8), Flags(8, 0, 1));

  // Raw files cover every byte they have.
  auto bin = NewBinFile();
  ASSERT_EQ(bin->LoadFromStream(NewMemoryIStream(Counting(5))), S_OK);
  EXPECT_EQ(Coverage(Image(bin), 0, 7), Flags(7, 0, 5));

  // PutByte and PutWord cover what they write, also beyond a gap they leave.
  auto meta = NewMetaMemory();
  const uint8_t byte = 0x5A;
  const uint16_t word = 0x1234;
  ASSERT_EQ(meta->PutByte(&byte), S_OK);
  ASSERT_EQ(meta->Seek(4, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(meta->PutWord(&word), S_OK);
  EXPECT_EQ(Coverage(meta, 0, 7), (std::vector<uint8_t>{1, 0, 0, 0, 1, 1, 0}));

  // An image that keeps no record counts every byte below its size.
  auto plain = std::make_shared<TVectorMemStream>(Counting(3));
  EXPECT_EQ(Coverage(plain, -1, 5), (std::vector<uint8_t>{0, 1, 1, 1, 0}));
}

TEST(ImageCoverage, CopiesKeepTheGapsWhereTheDestinationCanHoldThem) {
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromStream(TextStream(HexRecord(0, 4, {1, 2, 3}) + "\n:00000001FF\n")), S_OK);

  // Into an image of our own kind, at its position, gaps stay gaps and keep what was there.
  auto meta = NewMetaMemory();
  Fill(meta, std::vector<uint8_t>(12, 0x00));
  ASSERT_EQ(meta->Seek(2, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(Image(hex)->CopyAllTo(meta), S_OK);
  EXPECT_EQ(Bytes(meta), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 1, 2, 3, 0, 0, 0}));

  auto fresh = NewMetaMemory();
  ASSERT_EQ(Image(hex)->CopyAllTo(fresh), S_OK);
  EXPECT_EQ(Bytes(fresh), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}));
  EXPECT_EQ(Coverage(fresh, 0, 8), Flags(8, 4, 7));

  // An image into itself: the same bytes, the same coverage.
  ASSERT_EQ(Image(hex)->Rewind(), S_OK);
  ASSERT_EQ(Image(hex)->CopyAllTo(Image(hex)), S_OK);
  EXPECT_EQ(Coverage(Image(hex), 0, 8), Flags(8, 4, 7));

  // Any other image gets every byte.
  auto other = std::make_shared<TVectorMemStream>();
  ASSERT_EQ(Image(hex)->CopyAllTo(other), S_OK);
  EXPECT_EQ(other->bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}));
}

TEST(ImageCoverage, HexSavesOnlyCoveredBytesAndLoadsBackTheSame) {
  // A bootloader saved from the meta memory (through a copy, as the window saves) comes back as
  // the same records: no 30 KB of 0xFF below it.
  auto loaded = NewHexFile();
  ASSERT_EQ(loaded->LoadFromStream(TextStream(BootloaderHex("\n"))), S_OK);
  auto meta = NewMetaMemory();
  ASSERT_EQ(Image(loaded)->CopyAllTo(meta), S_OK);
  EXPECT_EQ(SavedHex(meta), BootloaderHex("\r\n"));

  // Records end where the coverage does and never leave their 16-byte row.
  auto sparse = NewMetaMemory();
  ASSERT_EQ(sparse->Seek(0x0E, STREAM_SEEK_SET, nullptr), S_OK);
  Fill(sparse, {1, 2, 3, 4, 5});
  ASSERT_EQ(sparse->Seek(0x2F, STREAM_SEEK_SET, nullptr), S_OK);
  Fill(sparse, {6});
  EXPECT_EQ(SavedHex(sparse), HexRecord(0, 0x0E, {1, 2}) + "\r\n" + HexRecord(0, 0x10, {3, 4, 5}) + "\r\n" +
                                  HexRecord(0, 0x2F, {6}) + "\r\n:00000001FF\r\n");

  // Data above 64 KiB after a gap that skips a whole segment: one extended address, for the
  // segment that holds data.
  auto high = NewMetaMemory();
  ASSERT_EQ(high->Seek(0x20010, STREAM_SEEK_SET, nullptr), S_OK);
  Fill(high, {0xAB});
  const std::string high_text = SavedHex(high);
  EXPECT_EQ(high_text, ":020000040002F8\r\n" + HexRecord(0, 0x10, {0xAB}) + "\r\n:00000001FF\r\n");
  auto back = NewHexFile();
  ASSERT_EQ(back->LoadFromStream(TextStream(high_text)), S_OK);
  EXPECT_EQ(Coverage(Image(back), 0x2000F, 3), Flags(3, 1, 2));
}

} // namespace
