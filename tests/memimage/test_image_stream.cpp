// The meta memory: positions, byte and word access, growth, copying, and its interfaces.
#include "memimage_test_util.h"

namespace {

int32_t Position(const std::shared_ptr<IuCMemStream>& image) {
  int32_t position = -1;
  EXPECT_EQ(image->GetPosition(&position), S_OK);
  return position;
}

int32_t Size(const std::shared_ptr<IuCMemStream>& image) {
  int32_t size = -1;
  EXPECT_EQ(image->GetSize(&size), S_OK);
  return size;
}

TEST(ImageStream, FreshImageIsEmptyAndNullArgumentsAreRefused) {
  auto image = NewMetaMemory();
  EXPECT_EQ(Size(image), 0);
  EXPECT_EQ(Position(image), 0);
  uint8_t b = 0x5A;
  EXPECT_EQ(image->GetByte(&b), S_FALSE);
  EXPECT_EQ(b, 0x5A);
  uint16_t w = 0x1234;
  EXPECT_EQ(image->GetWord(&w), S_FALSE);
  EXPECT_EQ(w, 0x1234);

  // Null arguments are refused without effect.
  Fill(image, {1, 2, 3});
  EXPECT_EQ(image->GetPosition(nullptr), E_INVALIDARG);
  EXPECT_EQ(image->GetSize(nullptr), E_INVALIDARG);
  EXPECT_EQ(image->GetByte(nullptr), E_INVALIDARG);
  EXPECT_EQ(image->GetWord(nullptr), E_INVALIDARG);
  EXPECT_EQ(image->PutWord(nullptr), E_INVALIDARG);
  EXPECT_EQ(image->CopyAllTo(nullptr), E_INVALIDARG);
  EXPECT_EQ(Size(image), 3);
  EXPECT_EQ(Position(image), 3);
}

TEST(ImageStream, SeekFromEachOriginAndRefusals) {
  auto image = NewMetaMemory();
  Fill(image, Counting(10));
  int32_t reached = -1;
  EXPECT_EQ(image->Seek(4, 0, &reached), S_OK);
  EXPECT_EQ(reached, 4);
  EXPECT_EQ(image->Seek(-1, 1, &reached), S_OK);
  EXPECT_EQ(reached, 3);
  EXPECT_EQ(image->Seek(-2, 2, nullptr), S_OK);
  EXPECT_EQ(Position(image), 8);
  // Beyond the end is allowed; the size does not change until something is written.
  EXPECT_EQ(image->Seek(5, 2, &reached), S_OK);
  EXPECT_EQ(reached, 15);
  EXPECT_EQ(Size(image), 10);

  // Unknown origin, a position before the start, and one past the 32-bit range move nothing.
  image->Seek(6, 0, nullptr);
  reached = 77;
  EXPECT_EQ(image->Seek(1, 3, &reached), E_FAIL);
  EXPECT_EQ(image->Seek(-7, 1, &reached), E_FAIL);
  EXPECT_EQ(image->Seek(INT32_MAX, 1, &reached), E_FAIL);
  EXPECT_EQ(reached, 77);
  EXPECT_EQ(Position(image), 6);
  EXPECT_EQ(image->Rewind(), S_OK);
  EXPECT_EQ(Position(image), 0);
}

TEST(ImageStream, WordsAreLowByteFirst) {
  auto image = NewMetaMemory();
  const uint16_t words[] = {0x940C, 0x0034, 0xFFFF};
  for (auto& w : words) ASSERT_EQ(image->PutWord(&w), S_OK);
  EXPECT_EQ(Bytes(image), (std::vector<uint8_t>{0x0C, 0x94, 0x34, 0x00, 0xFF, 0xFF}));
  image->Rewind();
  for (auto expected : words) {
    uint16_t w = 0;
    EXPECT_EQ(image->GetWord(&w), S_OK);
    EXPECT_EQ(w, expected);
  }

  // A short word takes the last byte and reads the missing half as erased.
  image = NewMetaMemory();
  Fill(image, {0x11, 0x22, 0x33});
  image->Seek(2, 0, nullptr);
  uint16_t w = 0;
  EXPECT_EQ(image->GetWord(&w), S_FALSE);
  EXPECT_EQ(w, 0xFF33);
  EXPECT_EQ(Position(image), 3);
}

TEST(ImageStream, WritingPastTheEndGrowsAndFillsTheGapWithErasedFlash) {
  auto image = NewMetaMemory();
  Fill(image, {1, 2});
  image->Seek(6, 0, nullptr);
  const uint8_t b = 0x42;
  EXPECT_EQ(image->PutByte(&b), S_OK);
  EXPECT_EQ(Size(image), 7);
  EXPECT_EQ(Position(image), 7);
  EXPECT_EQ(Bytes(image), (std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x42}));

  // Overwriting inside keeps the size.
  image->Seek(1, 0, nullptr);
  const uint16_t w = 0xBEEF;
  EXPECT_EQ(image->PutWord(&w), S_OK);
  EXPECT_EQ(Size(image), 7);
  EXPECT_EQ(Bytes(image), (std::vector<uint8_t>{1, 0xEF, 0xBE, 0xFF, 0xFF, 0xFF, 0x42}));
}

TEST(ImageStream, WritesBeyondTheSizeLimitStoreNothing) {
  auto image = NewMetaMemory();
  const uint8_t b = 1;
  ASSERT_EQ(image->Seek(kMaxImageSize - 1, 0, nullptr), S_OK);
  EXPECT_EQ(image->PutByte(&b), S_OK);
  EXPECT_EQ(Size(image), kMaxImageSize);
  const uint16_t w = 0;
  image->Seek(kMaxImageSize - 1, 0, nullptr);
  EXPECT_EQ(image->PutWord(&w), S_FALSE); // one byte would land past the limit
  ASSERT_EQ(image->Seek(INT32_MAX, 0, nullptr), S_OK);
  EXPECT_EQ(image->PutByte(&b), S_FALSE);
  EXPECT_EQ(Size(image), kMaxImageSize);
}

TEST(ImageStream, CopyAllToAppendsAtTheDestinationPositionAndKeepsTheSource) {
  auto source = NewMetaMemory();
  Fill(source, {0xA0, 0xA1, 0xA2});
  source->Seek(1, 0, nullptr);

  auto empty = NewMetaMemory();
  auto target = NewMetaMemory();
  Fill(target, {1, 2, 3, 4, 5});
  target->Seek(2, 0, nullptr);
  EXPECT_EQ(empty->CopyAllTo(target), S_OK);
  EXPECT_EQ(Size(target), 5);
  EXPECT_EQ(Position(target), 2);

  EXPECT_EQ(source->CopyAllTo(target), S_OK);
  EXPECT_EQ(Bytes(target), (std::vector<uint8_t>{1, 2, 0xA0, 0xA1, 0xA2}));
  EXPECT_EQ(Position(source), 1);

  // Into itself: the bytes present when the copy began are appended once.
  auto self = NewMetaMemory();
  Fill(self, Counting(100));
  EXPECT_EQ(self->CopyAllTo(self), S_OK);
  auto doubled = Counting(100);
  doubled.insert(doubled.end(), doubled.begin(), doubled.end());
  EXPECT_EQ(Bytes(self), doubled);
}

TEST(ImageStream, FileAndImageInterfacesReachEachOther) {
  for (auto file : {NewBinFile(), NewHexFile()}) {
    auto image = Image(file);
    ASSERT_TRUE(image);
    std::shared_ptr<IuCFile> back;
    EXPECT_EQ(QueryInterface<IuCFile>(image, back), S_OK);
    EXPECT_EQ(back, file);
  }
  EXPECT_TRUE(std::dynamic_pointer_cast<TuCBinFile>(NewMetaMemory())) << "a fresh meta memory is binary";
  // The image of a loaded file is the loaded content.
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromStream(TextStream(HexRecord(0, 0, {9, 8, 7}) + "\n:00000001FF\n")), S_OK);
  std::shared_ptr<IuCMemStream> loaded;
  ASSERT_EQ(QueryInterface<IuCMemStream>(hex, loaded), S_OK);
  EXPECT_EQ(Bytes(loaded), (std::vector<uint8_t>{9, 8, 7}));
}

TEST(ImageStream, TheExtensionChoosesTheKindInAnyLetterCase) {
  for (const char* name : {"a.ucm", "dir.x/A.BIN", "b.Bin"})
    EXPECT_TRUE(std::dynamic_pointer_cast<TuCBinFile>(NewFileForName(name))) << name;
  for (const char* name : {"a.hex", "A.HEX", "main.eep", "MAIN.EeP"})
    EXPECT_TRUE(std::dynamic_pointer_cast<TuCHexFile>(NewFileForName(name))) << name;
  // The period must begin the last name's extension; a leading one starts a hidden name.
  for (const char* name : {"a.s28", "noextension", "dir.hex/file", ".hex", "a.elf.txt", "a."})
    EXPECT_FALSE(NewFileForName(name)) << name;
}

} // namespace
