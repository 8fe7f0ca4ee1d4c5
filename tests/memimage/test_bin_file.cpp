// The binary memory file, and the atomic save path both file kinds share.
#include "memimage_test_util.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
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
  EXPECT_EQ(bin->LastErrorText(), dir / "missing.ucm" + ": " + std::strerror(ENOENT));
  EXPECT_EQ(bin->LoadFromFile(dir.Path().string()), E_UNEXPECTED);
  EXPECT_EQ(bin->LastErrorText(), dir.Path().string() + ": " + std::strerror(EISDIR));
  EXPECT_EQ(bin->SaveToFile(dir / "no/such/folder.ucm"), E_UNEXPECTED);
  EXPECT_EQ(bin->SaveToFile(""), E_UNEXPECTED);
  EXPECT_EQ(bin->LastErrorText(), "No file name given");
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
  EXPECT_EQ(bin->LastErrorText(), name + ": larger than the largest image (16 MiB)");
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
  ScratchDir dir;
  const std::string target = dir / "keep.hex";
  WriteFile(target, "old content");
  std::string why;
  const HRESULT hr = SaveFileAtomically(
      target,
      [](TFileStream& file) {
        file.Write("new", 3);
        return E_FAIL; // as a writer does that runs out of data half-way
      },
      &why);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(why, target + ": writing failed");
  const auto kept = ReadFile(target);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "old content");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"keep.hex"});
}

// Sets a file size limit for its lifetime, so that writing past it fails with EFBIG; unlike a full
// disk or a read-only folder this also works for root.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN); // the write reports EFBIG instead of killing us
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  bool Ok() const { return ok_; }

private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
  bool ok_ = false;
};

TEST(SaveFailures, AWriteErrorOfTheSystemIsNamedAndTheOldFileStays) {
  ScratchDir dir;
  for (auto file : {NewBinFile(), NewHexFile()}) {
    const std::string target = dir / "big.bin";
    WriteFile(target, "old content");
    Fill(Image(file), Counting(5000));
    HRESULT hr;
    {
      FileSizeLimit limit(1000);
      ASSERT_TRUE(limit.Ok());
      hr = file->SaveToFile(target);
    }
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(file->LastErrorText(), target + ": writing failed: " + std::strerror(EFBIG));
    const auto kept = ReadFile(target);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "old content");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"big.bin"});
    // Without the limit the same save goes through.
    EXPECT_EQ(file->SaveToFile(target), S_OK);
    EXPECT_EQ(file->LastErrorText(), "");
  }
}

bool IsFifo(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

std::string LinkText(const std::string& path) {
  char text[256] = {};
  const ssize_t n = ::readlink(path.c_str(), text, sizeof text - 1);
  return n < 0 ? std::string() : std::string(text, size_t(n));
}

TEST(SaveTargets, AnythingButARegularFileIsRefusedAndLeftAsItWas) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.hex").c_str(), 0644), 0);
  ASSERT_EQ(::mkdir((dir / "folder.hex").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("pipe.hex", (dir / "link.hex").c_str()), 0);
  ASSERT_EQ(::symlink("link.hex", (dir / "chain.ucm").c_str()), 0); // a link to the link
  const std::string fifo_reason = ": is a FIFO, not a regular file";
  const std::pair<std::string, std::string> refused[] = {
      {dir / "pipe.hex", dir / "pipe.hex" + fifo_reason},
      {dir / "folder.hex", dir / "folder.hex" + ": is a folder, not a regular file"},
      {dir / "link.hex", dir / "link.hex" + " (-> " + dir / "pipe.hex" + ")" + fifo_reason},
      {dir / "chain.ucm", dir / "chain.ucm" + " (-> " + dir / "pipe.hex" + ")" + fifo_reason},
  };
  for (const auto& [name, reason] : refused) {
    std::string why;
    EXPECT_EQ(CheckSaveTarget(name, why), E_UNEXPECTED) << name;
    EXPECT_EQ(why, reason);
    for (auto file : {NewBinFile(), NewHexFile()}) {
      Fill(Image(file), {1, 2, 3});
      EXPECT_EQ(file->SaveToFile(name), E_UNEXPECTED) << name;
      EXPECT_EQ(file->LastErrorText(), reason);
    }
  }
  EXPECT_TRUE(IsFifo(dir / "pipe.hex"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "folder.hex"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "folder.hex"));
  EXPECT_EQ(LinkText(dir / "link.hex"), "pipe.hex");
  EXPECT_EQ(LinkText(dir / "chain.ucm"), "link.hex");
  auto names = dir.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"chain.ucm", "folder.hex", "link.hex", "pipe.hex"}));
}

TEST(SaveTargets, MissingFoldersAreRefusedAndAskingChangesNothing) {
  ScratchDir dir;
  std::string why;
  const std::string missing = dir / "no/such/x.hex";
  EXPECT_EQ(CheckSaveTarget(missing, why), E_UNEXPECTED);
  EXPECT_EQ(why, missing + ": cannot save in folder " + dir / "no/such" + ": " + std::strerror(ENOENT));
  WriteFile(dir / "plain", "");
  EXPECT_EQ(CheckSaveTarget(dir / "plain/x.hex", why), E_UNEXPECTED);
  EXPECT_EQ(why, dir / "plain/x.hex" + ": " + std::strerror(ENOTDIR));
  EXPECT_EQ(CheckSaveTarget("", why), E_UNEXPECTED);
  // Asking changes nothing, also where the answer is yes.
  EXPECT_EQ(CheckSaveTarget(dir / "new.hex", why), S_OK);
  EXPECT_EQ(why, "");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"plain"});
}

TEST(SaveTargets, UnwritableFoldersAndProtectedFilesAreRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  ScratchDir dir;
  ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0755), 0);
  WriteFile(dir / "ro/keep.ucm", "old");
  ASSERT_EQ(::chmod((dir / "ro").c_str(), 0555), 0);
  WriteFile(dir / "protected.ucm", "old");
  ASSERT_EQ(::chmod((dir / "protected.ucm").c_str(), 0444), 0);
  auto bin = NewBinFile();
  Fill(Image(bin), {9});
  EXPECT_EQ(bin->SaveToFile(dir / "ro/keep.ucm"), E_UNEXPECTED);
  EXPECT_EQ(bin->LastErrorText(),
            dir / "ro/keep.ucm" + ": cannot save in folder " + dir / "ro" + ": " + std::strerror(EACCES));
  EXPECT_EQ(bin->SaveToFile(dir / "protected.ucm"), E_UNEXPECTED);
  EXPECT_EQ(bin->LastErrorText(), dir / "protected.ucm" + ": " + std::strerror(EACCES));
  for (const char* name : {"ro/keep.ucm", "protected.ucm"}) {
    const auto kept = ReadFile(dir / name);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "old") << name;
  }
  std::vector<std::string> inside;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "ro"))
    inside.push_back(entry.path().filename());
  EXPECT_EQ(inside, std::vector<std::string>{"keep.ucm"});
}

TEST(SaveTargets, LinksAreFollowedAndTheModeIsKeptOrTakenFromTheUmask) {
  ScratchDir dir;
  const std::string real = dir / "real.hex";
  WriteFile(real, "x");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("real.hex", (dir / "link.hex").c_str()), 0);
  // A link to a file yet to be made: the file is made where the link points.
  ASSERT_EQ(::symlink((real + ".new").c_str(), (dir / "dangling.hex").c_str()), 0);

  auto hex = NewHexFile();
  Fill(Image(hex), {7});
  ASSERT_EQ(hex->SaveToFile(dir / "link.hex"), S_OK);
  EXPECT_EQ(LinkText(dir / "link.hex"), "real.hex");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  const auto text = ReadFile(real);
  EXPECT_EQ(std::string(text.begin(), text.end()), ":0100000007F8\r\n:00000001FF\r\n");

  const mode_t old_umask = ::umask(027);
  const HRESULT made = hex->SaveToFile(dir / "dangling.hex");
  const HRESULT fresh = hex->SaveToFile(dir / "fresh.hex");
  ::umask(old_umask);
  ASSERT_EQ(made, S_OK);
  ASSERT_EQ(fresh, S_OK);
  EXPECT_EQ(LinkText(dir / "dangling.hex"), real + ".new");
  for (const std::string& name : {real + ".new", dir / "fresh.hex"}) {
    ASSERT_EQ(::lstat(name.c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << name; // 0666 less the umask
    EXPECT_EQ(ReadFile(name), text) << name;
  }
  auto names = dir.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"dangling.hex", "fresh.hex", "link.hex", "real.hex", "real.hex.new"}));
}

} // namespace
