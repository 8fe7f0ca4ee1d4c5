#include "memimage/uAvrMemFile.h"

#include "memimage/uElfFile.h"
#include "memimage/uFileSupport.h"
#include "memimage/uSrecFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A HEX line holds at most this many characters without its CR and LF.
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The byte of the digit pair at line[at], or -1 if the pair is missing or not hexadecimal.
int HexPair(const std::string& line, size_t at) {
  if (at + 2 > line.size()) return -1;
  const int high = HexDigit(line[at]), low = HexDigit(line[at + 1]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

std::string TooLargeText() {
  return Printf("larger than the largest image (%d MiB)", kMaxImageSize >> 20);
}

void AppendPair(std::string& text, uint8_t value) {
  text.push_back(kHexDigits[value >> 4]);
  text.push_back(kHexDigits[value & 15]);
}

std::string Record(uint8_t count, uint16_t address, uint8_t type, const uint8_t* data) {
  std::string line = ":";
  uint8_t sum = static_cast<uint8_t>(count + (address >> 8) + (address & 0xFF) + type);
  AppendPair(line, count);
  AppendPair(line, static_cast<uint8_t>(address >> 8));
  AppendPair(line, static_cast<uint8_t>(address));
  AppendPair(line, type);
  for (int i = 0; i < count; ++i) {
    AppendPair(line, data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  AppendPair(line, static_cast<uint8_t>(-sum));
  line += "\r\n";
  return line;
}

} // namespace

// ---- IuCMemStream ----

HRESULT IuCMemStream::GetCoverage(int32_t start, int32_t count, std::vector<uint8_t>& covered) {
  int32_t size = 0;
  if (count < 0) return E_INVALIDARG;
  if (const HRESULT hr = GetSize(&size); hr != S_OK) return hr;
  return Guarded([&] {
    covered.assign(static_cast<size_t>(count), 0);
    for (int32_t i = 0; i < count; ++i)
      covered[size_t(i)] = int64_t(start) + i >= 0 && int64_t(start) + i < size ? 1 : 0;
    return S_OK;
  });
}

// ---- TuCStream ----

TuCStream::TuCStream() : buffer_(std::make_unique<TMemoryStream>(kImageFill, kMaxImageSize)) {}

HRESULT TuCStream::Rewind() {
  buffer_->Seek(0, TSeekOrigin::soBeginning);
  return S_OK;
}

HRESULT TuCStream::Seek(int32_t offset, uint32_t origin, int32_t* new_position) {
  if (origin > 2) return E_FAIL;
  int64_t from = 0;
  if (origin == 1) from = buffer_->Position();
  if (origin == 2) from = static_cast<int64_t>(buffer_->Data().size());
  // A position before the start, or one that the 32-bit position cannot hold, is refused.
  const int64_t target = from + offset;
  if (target < 0 || target > INT32_MAX) return E_FAIL;
  buffer_->Seek(target, TSeekOrigin::soBeginning);
  if (new_position) *new_position = static_cast<int32_t>(target);
  return S_OK;
}

HRESULT TuCStream::GetPosition(int32_t* position) {
  if (!position) return E_INVALIDARG;
  *position = static_cast<int32_t>(buffer_->Position());
  return S_OK;
}

HRESULT TuCStream::GetSize(int32_t* size) {
  if (!size) return E_INVALIDARG;
  *size = static_cast<int32_t>(buffer_->Data().size());
  return S_OK;
}

HRESULT TuCStream::GetByte(uint8_t* value) {
  if (!value) return E_INVALIDARG;
  return buffer_->Read(value, 1) == 1 ? S_OK : S_FALSE;
}

HRESULT TuCStream::GetWord(uint16_t* value) {
  if (!value) return E_INVALIDARG;
  // A missing high byte reads as erased flash, like any byte no write covered.
  uint8_t bytes[2] = {kImageFill, kImageFill};
  const size_t got = buffer_->Read(bytes, 2);
  if (got > 0) *value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
  return got == 2 ? S_OK : S_FALSE;
}

HRESULT TuCStream::PutByte(const uint8_t* value) {
  if (!value) return E_INVALIDARG;
  return Guarded([&] {
    const int64_t at = buffer_->Position();
    if (buffer_->Write(value, 1) != 1) return S_FALSE;
    MarkCovered(at, 1);
    return S_OK;
  });
}

HRESULT TuCStream::PutWord(const uint16_t* value) {
  if (!value) return E_INVALIDARG;
  const uint8_t bytes[2] = {static_cast<uint8_t>(*value), static_cast<uint8_t>(*value >> 8)};
  return Guarded([&] {
    const int64_t at = buffer_->Position();
    if (buffer_->Write(bytes, 2) != 2) return S_FALSE;
    MarkCovered(at, 2);
    return S_OK;
  });
}

void TuCStream::MarkCovered(int64_t start, size_t count) {
  const size_t end = static_cast<size_t>(start) + count;
  if (covered_.size() < end) covered_.resize(end, 0);
  std::fill(covered_.begin() + start, covered_.begin() + static_cast<int64_t>(end), 1);
}

HRESULT TuCStream::GetCoverage(int32_t start, int32_t count, std::vector<uint8_t>& covered) {
  if (count < 0) return E_INVALIDARG;
  return Guarded([&] {
    covered.assign(static_cast<size_t>(count), 0);
    for (int32_t i = 0; i < count; ++i) {
      const int64_t at = int64_t(start) + i;
      if (at >= 0 && at < int64_t(covered_.size())) covered[size_t(i)] = covered_[size_t(at)];
    }
    return S_OK;
  });
}

HRESULT TuCStream::PutCovered(const std::vector<uint8_t>& data, const std::vector<uint8_t>& cover) {
  for (size_t i = 0; i < data.size(); ++i) {
    if (cover[i]) {
      if (const HRESULT hr = PutByte(&data[i]); hr != S_OK) return hr;
    } else if (Seek(1, STREAM_SEEK_CUR, nullptr) != S_OK) {
      return E_FAIL;
    }
  }
  return S_OK;
}

HRESULT TuCStream::CopyAllTo(const std::shared_ptr<IuCMemStream>& destination) {
  if (!destination) return E_INVALIDARG;
  return Guarded([&]() -> HRESULT {
    // Copies first: the destination may be this image, whose buffer then moves while it grows.
    const std::vector<uint8_t> data = buffer_->Data();
    std::vector<uint8_t> cover = covered_;
    cover.resize(data.size(), 0);
    // Our own kind keeps the gaps as gaps; any other image gets every byte, as it cannot record
    // which ones were defined.
    if (auto* image = dynamic_cast<TuCStream*>(destination.get())) return image->PutCovered(data, cover);
    for (const uint8_t& value : data) destination->PutByte(&value);
    return S_OK;
  });
}

// ---- factories ----

std::shared_ptr<IuCMemStream> NewMetaMemory() {
  return std::make_shared<TuCBinFile>();
}
std::shared_ptr<IuCFile> NewBinFile() {
  return std::make_shared<TuCBinFile>();
}
std::shared_ptr<IuCFile> NewHexFile() {
  return std::make_shared<TuCHexFile>();
}

std::shared_ptr<IuCFile> NewFileForName(const std::string& file_name) {
  return NewFileForName(file_name, TImagePart::Flash);
}

std::shared_ptr<IuCFile> NewFileForName(const std::string& file_name, TImagePart part) {
  std::string extension = std::filesystem::path(file_name).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  if (extension == ".ucm" || extension == ".bin") return NewBinFile();
  if (extension == ".hex" || extension == ".eep") return NewHexFile();
  if (extension == ".srec" || extension == ".s19" || extension == ".mot") return NewSrecFile();
  if (extension == ".elf") return NewElfFile(part);
  return nullptr;
}

// ---- saving through a temporary file ----

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

const char* FileKindName(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// The file a save to a name creates or replaces.
struct TSaveTarget {
  std::string path; // symbolic links followed
  bool exists = false;
  struct stat st {};
};

// How the user should read a name: the given one, and where a link led if it led elsewhere.
std::string ShownName(const std::string& file_name, const TSaveTarget& target) {
  return target.path == file_name ? file_name : file_name + " (-> " + target.path + ")";
}

// Follows symbolic links from file_name and checks that what they lead to may be saved: a regular
// file that we may write, or a new name in a folder that we may create files in.
HRESULT ResolveSaveTarget(const std::string& file_name, TSaveTarget& target, std::string& error_text) {
  if (file_name.empty()) {
    error_text = "No file name given";
    return E_UNEXPECTED;
  }
  target = TSaveTarget{};
  target.path = file_name;
  // The system gives up on link chains at 40 too.
  for (int hops = 0;; ++hops) {
    if (::lstat(target.path.c_str(), &target.st) != 0) {
      if (errno != ENOENT) {
        error_text = ShownName(file_name, target) + ": " + SystemReason(errno);
        return E_UNEXPECTED;
      }
      break; // a new file (or a link to one yet to be made): the folder decides
    }
    if (!S_ISLNK(target.st.st_mode)) {
      target.exists = true;
      break;
    }
    if (hops == 40) {
      error_text = file_name + ": " + SystemReason(ELOOP);
      return E_UNEXPECTED;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(target.path.c_str(), link.data(), link.size());
    if (n < 0 || size_t(n) >= link.size()) {
      error_text = ShownName(file_name, target) + ": " + SystemReason(n < 0 ? errno : ENAMETOOLONG);
      return E_UNEXPECTED;
    }
    link.resize(size_t(n));
    target.path = link.front() == '/' ? link : FolderOf(target.path) + "/" + link;
  }

  if (target.exists) {
    // Renaming over a FIFO, a device or a folder would not write to it but remove it.
    if (!S_ISREG(target.st.st_mode)) {
      error_text =
          ShownName(file_name, target) + ": is " + FileKindName(target.st.st_mode) + ", not a regular file";
      return E_UNEXPECTED;
    }
    // Replacing by rename would get past a file's own write protection; honour it instead.
    if (::access(target.path.c_str(), W_OK) != 0) {
      error_text = ShownName(file_name, target) + ": " + SystemReason(errno);
      return E_UNEXPECTED;
    }
  }
  const std::string folder = FolderOf(target.path);
  struct stat folder_st {};
  int error = 0;
  if (::stat(folder.c_str(), &folder_st) != 0)
    error = errno;
  else if (!S_ISDIR(folder_st.st_mode))
    error = ENOTDIR;
  else if (::access(folder.c_str(), W_OK | X_OK) != 0)
    error = errno;
  if (error != 0) {
    error_text =
        ShownName(file_name, target) + ": cannot save in folder " + folder + ": " + SystemReason(error);
    return E_UNEXPECTED;
  }
  return S_OK;
}

} // namespace

HRESULT CheckSaveTarget(const std::string& file_name, std::string& error_text) {
  return Guarded([&] {
    error_text.clear();
    TSaveTarget target;
    return ResolveSaveTarget(file_name, target, error_text);
  });
}

HRESULT SaveFileAtomically(const std::string& file_name, const std::function<HRESULT(TFileStream&)>& write,
                           std::string* error_text) {
  std::string unused;
  std::string& why = error_text ? *error_text : unused;
  why.clear();
  const HRESULT result = Guarded([&]() -> HRESULT {
    TSaveTarget target;
    if (const HRESULT hr = ResolveSaveTarget(file_name, target, why); hr != S_OK) return hr;
    const std::string shown = ShownName(file_name, target);
    const std::string folder = FolderOf(target.path);
    const size_t slash = target.path.rfind('/');
    const std::string base = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
    const std::string prefix = folder + "/." + base.substr(0, 200) + ".";

    // Created with 0666 so that the umask applies as for any new file; O_EXCL keeps us off files
    // that someone else put there.
    std::random_device entropy;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      temp = prefix + std::to_string(::getpid()) + "-" + std::to_string(entropy() & 0xFFFFFF) + ".tmp";
      do fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      while (fd < 0 && errno == EINTR);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      why = shown + ": cannot create a temporary file in " + folder + ": " + SystemReason(errno);
      return E_UNEXPECTED;
    }

    TFileStream file(fd);
    // Clean-up after a failure is best effort: the failure itself is what gets reported.
    auto fail = [&](HRESULT hr, const std::string& reason) {
      file.Close();
      ::unlink(temp.c_str());
      why = shown + ": " + reason;
      return hr;
    };
    if (target.exists) {
      // A replaced file keeps its owner where we may give it (as root), and its permissions;
      // chown first, because it clears the set-id bits.
      if (::fchown(fd, target.st.st_uid, target.st.st_gid) != 0) { /* not ours to give: keep ours */
      }
      if (::fchmod(fd, target.st.st_mode & 07777) != 0)
        return fail(E_FAIL, "cannot keep the file's permissions: " + SystemReason(errno));
    }
    HRESULT hr = Guarded([&] { return write(file); }); // so that nothing thrown leaves the temporary
    if (hr == S_OK && file.Failed()) hr = E_FAIL;
    if (hr != S_OK) {
      if (file.Failed()) return fail(hr, "writing failed: " + SystemReason(file.Error()));
      return fail(hr, hr == E_OUTOFMEMORY ? "out of memory" : "writing failed");
    }
    if (!file.Sync()) return fail(E_FAIL, "writing to disk failed: " + SystemReason(errno));
    if (!file.Close()) return fail(E_FAIL, "writing to disk failed: " + SystemReason(errno));
    // The target may have changed while we wrote; a FIFO or folder put there now is still refused.
    struct stat now {};
    if (::lstat(target.path.c_str(), &now) == 0 && !S_ISREG(now.st_mode))
      return fail(E_UNEXPECTED, std::string("is ") + FileKindName(now.st_mode) + ", not a regular file");
    if (::rename(temp.c_str(), target.path.c_str()) != 0)
      return fail(E_UNEXPECTED, "cannot replace the file: " + SystemReason(errno));
    // Make the rename itself durable. The new file is already in place, so a folder that cannot
    // be synced does not turn the save into a failure.
    int dir;
    do dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (dir < 0 && errno == EINTR);
    if (dir >= 0) {
      if (::fsync(dir) != 0) { /* see above: not a failure of the save */
      }
      ::close(dir);
    }
    return S_OK;
  });
  if (result != S_OK && why.empty()) why = file_name + ": " + FailureText(result);
  return result;
}

// ---- TuCBinFile ----

HRESULT TuCBinFile::Assign(std::vector<uint8_t>&& content) {
  Buffer().Data() = std::move(content);
  CoverAll();
  const auto size = static_cast<int64_t>(Buffer().Data().size());
  if (Buffer().Position() > size) Buffer().Seek(size, TSeekOrigin::soBeginning);
  return S_OK;
}

HRESULT TuCBinFile::LoadFromFile(const std::string& file_name) {
  last_error_.clear();
  const HRESULT hr = Guarded([&]() -> HRESULT {
    auto file = TFileStream::Open(file_name, TFileStream::TMode::fmOpenRead);
    if (!file) {
      last_error_ = file_name + ": " + SystemReason(errno);
      return E_UNEXPECTED;
    }
    // Read to the end rather than trusting the reported size, which pipes and devices lack. The
    // image changes only once the whole file is in.
    std::vector<uint8_t> content;
    uint8_t chunk[64 * 1024];
    for (size_t got; (got = file->Read(chunk, sizeof chunk)) > 0;) {
      if (content.size() + got > static_cast<size_t>(kMaxImageSize)) {
        last_error_ = file_name + ": " + TooLargeText();
        return E_OUTOFMEMORY;
      }
      content.insert(content.end(), chunk, chunk + got);
    }
    if (file->Failed()) {
      last_error_ = file_name + ": " + SystemReason(file->Error());
      return E_FAIL;
    }
    return Assign(std::move(content));
  });
  if (hr != S_OK && last_error_.empty()) last_error_ = file_name + ": " + FailureText(hr);
  return hr;
}

HRESULT TuCBinFile::LoadFromStream(const std::shared_ptr<IStream>& source) {
  last_error_.clear();
  if (!source) return E_INVALIDARG;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    TIStreamAdater in(source);
    if (in.Seek(0, TSeekOrigin::soBeginning) != 0) return E_FAIL;
    const int64_t size = in.Size();
    if (size < 0) return E_FAIL;
    if (size > kMaxImageSize) {
      last_error_ = TooLargeText();
      return E_OUTOFMEMORY;
    }
    std::vector<uint8_t> content(static_cast<size_t>(size));
    if (in.Read(content.data(), content.size()) != content.size()) {
      last_error_ = "the stream ended before its reported size";
      return E_FAIL;
    }
    return Assign(std::move(content));
  });
  if (hr != S_OK && last_error_.empty()) last_error_ = FailureText(hr);
  return hr;
}

HRESULT TuCBinFile::SaveToFile(const std::string& file_name) {
  return SaveFileAtomically(
      file_name,
      [&](TFileStream& file) {
        const auto& data = Buffer().Data();
        return file.Write(data.data(), data.size()) == data.size() ? S_OK : E_FAIL;
      },
      &last_error_);
}

HRESULT TuCBinFile::SaveToStream(const std::shared_ptr<IStream>& destination) {
  last_error_.clear();
  if (!destination) return E_INVALIDARG;
  const HRESULT hr = Guarded([&] {
    TIStreamAdater out(destination);
    const auto& data = Buffer().Data();
    return out.Write(data.data(), data.size()) == data.size() ? S_OK : E_FAIL;
  });
  if (hr != S_OK) last_error_ = hr == E_FAIL ? "the stream took fewer bytes than offered" : FailureText(hr);
  return hr;
}

// ---- TuCRecordFile, TuCHexFile ----

HRESULT TuCRecordFile::LoadFromFile(const std::string& file_name) {
  return LoadFromNamedFile(file_name, last_error_,
                           [this](const std::shared_ptr<IStream>& source) { return LoadFromStream(source); });
}

HRESULT TuCRecordFile::LoadFromStream(const std::shared_ptr<IStream>& source) {
  last_error_.clear();
  if (!source) return E_INVALIDARG;
  std::string detail;
  const HRESULT hr = Guarded([&] {
    TIStreamAdater in(source);
    Buffer().SetSize(0);
    ClearCoverage();
    Buffer().Seek(0, TSeekOrigin::soBeginning);
    return ReadRecords(in, detail);
  });
  if (hr != S_OK) last_error_ = detail.empty() ? FailureText(hr) : detail;
  return hr;
}

HRESULT TuCHexFile::ReadRecords(TStream& source, std::string& detail) {
  std::string line;
  line.reserve(kMaxRecordLine);
  uint8_t data[255];
  uint64_t base = 0; // from the last extended segment or linear address record
  for (size_t number = 1;; ++number) {
    HRESULT hr = ReadTextLine(source, line);
    if (hr == E_UNEXPECTED) {
      detail = number == 1 ? "the file is empty; it needs an end record (:00000001FF)"
                           : Printf("no end record (:00000001FF) after line %zu", number - 1);
      return hr;
    }
    // From here on every failure is about this line.
    auto failure = [&](HRESULT code, const std::string& what) {
      detail = Printf("line %zu: ", number) + what;
      return code;
    };
    if (hr != S_OK) return failure(hr, Printf("longer than %zu characters", kMaxRecordLine));
    if (line.empty()) return failure(HEX_E_NOCOLON, "empty line; a record begins with ':'");
    if (line[0] != ':')
      return failure(HEX_E_NOCOLON, "does not begin with ':' but with " + CharName(line[0]));
    // The byte of the digit pair at line[at]; what is wrong with the line when there is none.
    std::string why;
    auto pair = [&](size_t at) -> int {
      if (at + 2 > line.size()) {
        why = Printf("record too short (%zu characters)", line.size());
        return -1;
      }
      for (size_t i = at; i < at + 2; ++i)
        if (HexDigit(line[i]) < 0) {
          why = CharName(line[i]) + Printf(" at column %zu is not a hex digit", i + 1);
          return -1;
        }
      return HexPair(line, at);
    };
    int count, high, low, type;
    if ((count = pair(1)) < 0 || (high = pair(3)) < 0 || (low = pair(5)) < 0 || (type = pair(7)) < 0)
      return failure(HEX_E_LENGTH, why);
    if (type == 1) return S_OK;
    if (type != 0 && type != 2 && type != 4) continue; // start addresses and unknown types: no data

    if (const size_t needed = 2 * static_cast<size_t>(count) + 11; line.size() != needed)
      return failure(HEX_E_LENGTH,
                     Printf("record too %s: %zu characters where byte count 0x%02X needs %zu",
                            line.size() < needed ? "short" : "long", line.size(), unsigned(count), needed));
    uint8_t sum = static_cast<uint8_t>(count + high + low + type);
    for (int i = 0; i < count; ++i) {
      const int value = pair(9 + 2 * static_cast<size_t>(i));
      if (value < 0) return failure(HEX_E_LENGTH, why);
      data[i] = static_cast<uint8_t>(value);
      sum = static_cast<uint8_t>(sum + value);
    }
    const int checksum = pair(9 + 2 * static_cast<size_t>(count));
    if (checksum < 0) return failure(HEX_E_LENGTH, why);
    if (static_cast<uint8_t>(-sum) != checksum)
      return failure(HEX_E_CHECKSUM, Printf("bad checksum 0x%02X, the record's bytes need 0x%02X",
                                            unsigned(checksum), unsigned(static_cast<uint8_t>(-sum))));

    if (type != 0) {
      if (count != 2)
        return failure(HEX_E_LENGTH, Printf("an extended address record holds 2 bytes, not %d", count));
      const uint64_t value = static_cast<uint64_t>(data[0]) << 8 | data[1];
      base = type == 2 ? value << 4 : value << 16;
      continue;
    }
    const uint64_t address = base + (static_cast<uint64_t>(high) << 8 | static_cast<uint64_t>(low));
    if (address + static_cast<uint64_t>(count) > static_cast<uint64_t>(kMaxImageSize))
      return failure(HEX_E_ADDRESS, Printf("data at 0x%llX lies beyond the largest image (%d MiB)",
                                           static_cast<unsigned long long>(address), kMaxImageSize >> 20));
    Buffer().Seek(static_cast<int64_t>(address), TSeekOrigin::soBeginning);
    if (Buffer().Write(data, static_cast<size_t>(count)) != static_cast<size_t>(count))
      return failure(E_OUTOFMEMORY, "out of memory");
    MarkCovered(static_cast<int64_t>(address), static_cast<size_t>(count));
  }
}

HRESULT TuCRecordFile::SaveToFile(const std::string& file_name) {
  return SaveFileAtomically(
      file_name,
      [&](TFileStream& file) {
        // Written to the file directly rather than through an IStream: the adapter would add
        // nothing but a second place for a write failure to hide.
        return WriteRecords(file);
      },
      &last_error_);
}

HRESULT TuCRecordFile::SaveToStream(const std::shared_ptr<IStream>& destination) {
  last_error_.clear();
  if (!destination) return E_INVALIDARG;
  const HRESULT hr = Guarded([&] {
    TIStreamAdater out(destination);
    return WriteRecords(out);
  });
  if (hr != S_OK) last_error_ = hr == E_FAIL ? "the stream took fewer bytes than offered" : FailureText(hr);
  return hr;
}

HRESULT TuCHexFile::WriteRecords(TStream& destination) {
  const auto& data = Buffer().Data();
  const size_t size = data.size();
  auto put = [&](const std::string& line) {
    return destination.Write(line.data(), line.size()) == line.size();
  };
  // Only the bytes a file or a write defined become records, so that an image with gaps (a
  // bootloader at the top of the flash) loads back as the same bytes with the same gaps. Records
  // stay within their 16-byte row: a whole image gives one record per row, and none straddles a
  // 64 KiB boundary, so each segment needs its extended linear address once, before its first
  // record.
  bool ok = true, any = false;
  size_t segment = 0;
  for (size_t row = 0; ok && row < size; row += 16) {
    const size_t row_end = std::min(row + 16, size);
    for (size_t at = row; ok && at < row_end;) {
      if (!IsCovered(at)) {
        ++at;
        continue;
      }
      size_t end = at;
      while (end < row_end && IsCovered(end)) ++end;
      if (at >> 16 != segment) {
        segment = at >> 16;
        const uint8_t high[2] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
        ok = put(Record(2, 0, 4, high));
      }
      ok = ok && put(Record(static_cast<uint8_t>(end - at), static_cast<uint16_t>(at), 0, data.data() + at));
      any = true;
      at = end;
    }
  }
  // An image without data still gets one (empty) data record before the end record.
  if (ok && !any) ok = put(Record(0, 0, 0, nullptr));
  if (ok) ok = put(Record(0, 0, 1, nullptr));
  Buffer().Seek(static_cast<int64_t>(size), TSeekOrigin::soBeginning);
  return ok ? S_OK : E_FAIL;
}
