// The IStream adapters: TIStream over our own streams (with a base offset), and TIStreamAdater
// over any IStream.
#include "memimage_test_util.h"

namespace {

std::unique_ptr<TMemoryStream> Memory(const std::vector<uint8_t>& content) {
  auto memory = std::make_unique<TMemoryStream>();
  memory->Data() = content;
  return memory;
}

TEST(TIStream, SeekIsRelativeToTheBaseOffset) {
  auto memory = Memory(Counting(30));
  TIStream stream(*memory, 10);
  uint64_t position = 0;
  EXPECT_EQ(stream.Seek(5, STREAM_SEEK_SET, &position), S_OK);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(memory->Position(), 15);
  EXPECT_EQ(stream.Seek(2, STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position, 7u);
  EXPECT_EQ(stream.Seek(-4, STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position, 16u);
  uint8_t b = 0;
  uint32_t done = 0;
  EXPECT_EQ(stream.Read(&b, 1, &done), S_OK);
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(b, Counting(30)[26]);

  EXPECT_EQ(stream.Seek(0, 3, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream.Seek(-100, STREAM_SEEK_CUR, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(memory->Position(), 27);
}

TEST(TIStream, SetSizeCountsFromTheBaseOffset) {
  auto memory = Memory(Counting(30));
  TIStream stream(*memory, 10);
  EXPECT_EQ(stream.SetSize(5), S_OK);
  EXPECT_EQ(memory->Data().size(), 15u);
  // A memory stream has a limit; a size beyond it cannot be reached.
  TMemoryStream small(0, 8);
  TIStream limited(small);
  EXPECT_EQ(limited.SetSize(9), E_FAIL);
}

TEST(TIStreamAdater, PassesReadWriteAndSeekThrough) {
  auto stream = NewMemoryIStream(Counting(10));
  TIStreamAdater adapter(stream);
  EXPECT_EQ(adapter.Size(), 10);
  EXPECT_EQ(adapter.Seek(-3, TSeekOrigin::soEnd), 7);
  uint8_t bytes[5] = {};
  EXPECT_EQ(adapter.Read(bytes, 5), 3u);
  EXPECT_EQ(bytes[0], Counting(10)[7]);
  EXPECT_EQ(adapter.Write("xy", 2), 2u);
  EXPECT_EQ(adapter.Position(), 12);
  EXPECT_EQ(adapter.Size(), 12);
  EXPECT_EQ(adapter.Position(), 12) << "Size leaves the position alone";

  TIStreamAdater none(nullptr);
  EXPECT_EQ(none.Read(bytes, 5), 0u);
  EXPECT_EQ(none.Write(bytes, 5), 0u);
  EXPECT_EQ(none.Seek(4, TSeekOrigin::soBeginning), 0);
}

TEST(TFileStream, ReadsThroughItsCacheAndSeesItsOwnWrites) {
  ScratchDir dir;
  const auto content = Counting(200000);
  WriteFile(dir / "data", std::string(content.begin(), content.end()));
  auto file = TFileStream::Open(dir / "data", TFileStream::TMode::fmOpenReadWrite);
  ASSERT_TRUE(file);
  std::vector<uint8_t> read(content.size());
  size_t got = 0;
  for (uint8_t b; file->Read(&b, 1) == 1;) read[got++] = b; // byte by byte, across cache refills
  EXPECT_EQ(got, content.size());
  EXPECT_EQ(read, content);
  file->Seek(70000, TSeekOrigin::soBeginning);
  EXPECT_EQ(file->Write("\x01\x02", 2), 2u);
  file->Seek(69999, TSeekOrigin::soBeginning);
  uint8_t three[3] = {};
  EXPECT_EQ(file->Read(three, 3), 3u);
  EXPECT_EQ(three[1], 1);
  EXPECT_EQ(three[2], 2);
  EXPECT_FALSE(file->Failed());
  EXPECT_TRUE(file->Close());
  EXPECT_FALSE(TFileStream::Open(dir / "absent", TFileStream::TMode::fmOpenRead));
}

} // namespace
