// The binary memory file, and the atomic save path both file kinds share.
#include "memimage_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(BinFile, FileIsTheImageByteForByte) {
  ScratchDir dir;
  for (size_t size : {size_t{0}, size_t{5}, size_t{4097}, size_t{0x10003}}) {
    auto bin = NewBinFile();
    Fill(Image(bin), Counting(size, 3));
    const std::string name = dir / ("image" + std::to_string(size) + ".ucm");
    ASSERT_EQ(bin->SaveToFile(name), S_OK);
    EXPECT_EQ(ReadFile(name), Counting(size, 3));

    auto again = NewBinFile();
    Fill(Image(again), Counting(7)); // replaced, not merged
    EXPECT_EQ(again->LoadFromFile(name), S_OK);
    EXPECT_EQ(Bytes(Image(again)), Counting(size, 3));
  }
}

TEST(BinFile, LoadKeepsThePositionUnlessItLiesBeyondTheNewEnd) {
  ScratchDir dir;
  WriteFile(dir / "five.ucm", "ABCDE");
  auto bin = NewBinFile();
  auto image = Image(bin);
  image->Seek(3, 0, nullptr);
  ASSERT_EQ(bin->LoadFromFile(dir / "five.ucm"), S_OK);
  int32_t position = -1;
  image->GetPosition(&position);
  EXPECT_EQ(position, 3);
  image->Seek(100, 0, nullptr);
  ASSERT_EQ(bin->LoadFromFile(dir / "five.ucm"), S_OK);
  image->GetPosition(&position);
  EXPECT_EQ(position, 5);
}

TEST(BinFile, StreamsAreReadWholeAndWrittenAtTheirPosition) {
  auto source = NewMemoryIStream(Counting(20));
  source->Seek(11, STREAM_SEEK_SET, nullptr);
  auto bin = NewBinFile();
  EXPECT_EQ(bin->LoadFromStream(source), S_OK);
  EXPECT_EQ(Bytes(Image(bin)), Counting(20));
  EXPECT_EQ(bin->LoadFromStream(nullptr), E_INVALIDARG);

  // Saving writes at the destination's position and keeps the image's.
  bin = NewBinFile();
  Fill(Image(bin), {0xA, 0xB, 0xC});
  Image(bin)->Seek(1, 0, nullptr);
  auto destination = NewMemoryIStream(std::vector<uint8_t>(12, 0));
  destination->Seek(10, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(bin->SaveToStream(destination), S_OK);
  auto expected = std::vector<uint8_t>(10, 0);
  expected.insert(expected.end(), {0xA, 0xB, 0xC});
  EXPECT_EQ(ReadAllFromIStream(destination), expected);
  int32_t position = -1;
  Image(bin)->GetPosition(&position);
  EXPECT_EQ(position, 1);
  EXPECT_EQ(bin->SaveToStream(nullptr), E_INVALIDARG);
}

TEST(BinFile, FilesThatCannotBeOpenedLeaveTheImageUnchanged) {
  ScratchDir dir;
  auto bin = NewBinFile();
  Fill(Image(bin), {1, 2, 3});
  EXPECT_EQ(bin->LoadFromFile(dir / "missing.ucm"), E_UNEXPECTED);
  EXPECT_EQ(bin->LoadFromFile(dir.Path().string()), E_UNEXPECTED);
  EXPECT_EQ(bin->SaveToFile(dir / "no/such/folder.ucm"), E_UNEXPECTED);
  EXPECT_EQ(bin->SaveToFile(""), E_UNEXPECTED);
  EXPECT_EQ(Bytes(Image(bin)), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(BinFile, OversizedFilesAreRefusedAndTheImageKept) {
  ScratchDir dir;
  const std::string name = dir / "huge.ucm";
  {
    auto big = TFileStream::Open(name, TFileStream::TMode::fmCreate);
    ASSERT_TRUE(big);
    ASSERT_TRUE(big->SetSize(int64_t{kMaxImageSize} + 1)); // sparse: costs no disk space
  }
  auto bin = NewBinFile();
  Fill(Image(bin), {4});
  EXPECT_EQ(bin->LoadFromFile(name), E_OUTOFMEMORY);
  auto stream = OpenFileIStream(name, TFileStream::TMode::fmOpenRead);
  ASSERT_TRUE(stream);
  EXPECT_EQ(bin->LoadFromStream(stream), E_OUTOFMEMORY);
  EXPECT_EQ(Bytes(Image(bin)), (std::vector<uint8_t>{4}));
}

// A stream that takes only part of what it is given, like a full disk.
class ShortWriteStream final : public IStream {
public:
  HRESULT Read(void*, uint32_t, uint32_t* done) override { return *done = 0, S_OK; }
  HRESULT Write(const void*, uint32_t count, uint32_t* done) override {
    *done = count / 2;
    return STG_E_WRITEFAULT;
  }
  HRESULT Seek(int64_t, uint32_t, uint64_t* p) override { return p ? (*p = 0, S_OK) : S_OK; }
  HRESULT SetSize(uint64_t) override { return E_FAIL; }
};

TEST(SaveFailures, ShortWritesToAStreamAreReported) {
  for (auto file : {NewBinFile(), NewHexFile()}) {
    Fill(Image(file), Counting(40));
    EXPECT_EQ(file->SaveToStream(std::make_shared<ShortWriteStream>()), E_FAIL);
  }
}

TEST(SaveFailures, AFailedSaveKeepsThePreviousFileAndLeavesNoTemporary) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  ScratchDir dir; // a failed write (to /dev/full) neither replaces the target nor leaves the temporary
  const std::string target = dir / "keep.hex";
  WriteFile(target, "old content");
  const HRESULT hr = SaveFileAtomically(target, [](TFileStream& file) {
    auto full = TFileStream::Open("/dev/full", TFileStream::TMode::fmOpenReadWrite);
    if (!full) return E_UNEXPECTED;
    const char text[] = "new content";
    file.Write(text, 5);
    return full->Write(text, sizeof text) == sizeof text ? S_OK : E_FAIL;
  });
  EXPECT_EQ(hr, E_FAIL);
  const auto kept = ReadFile(target);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "old content");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"keep.hex"});
}

TEST(SaveFailures, ReplacingKeepsPermissionsAndFollowsSymbolicLinks) {
  ScratchDir dir;
  const std::string real = dir / "real.hex";
  WriteFile(real, "x");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("real.hex", (dir / "link.hex").c_str()), 0);

  auto hex = NewHexFile();
  Fill(Image(hex), {7});
  ASSERT_EQ(hex->SaveToFile(dir / "link.hex"), S_OK);
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "link.hex").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  const auto text = ReadFile(real);
  EXPECT_EQ(std::string(text.begin(), text.end()), ":0100000007F8\r\n:00000001FF\r\n");
  auto names = dir.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"link.hex", "real.hex"}));
}

} // namespace
