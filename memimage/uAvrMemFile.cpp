#include "memimage/uAvrMemFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Interface methods are a layer boundary: nothing thrown below may pass them.
template <class F> HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// A HEX line holds at most this many characters without its CR and LF.
constexpr size_t kMaxHexLine = 1023;
constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of the digit pair at line[at], or -1 if the pair is missing or not hexadecimal.
int HexPair(const std::string& line, size_t at) {
  if (at + 2 > line.size()) return -1;
  const int high = HexDigit(line[at]), low = HexDigit(line[at + 1]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

void AppendPair(std::string& text, uint8_t value) {
  text.push_back(kHexDigits[value >> 4]);
  text.push_back(kHexDigits[value & 15]);
}

// One line without CR and LF. S_OK for a line (also a last one that the input ends without a
// LF), E_UNEXPECTED when the input is exhausted, HEX_E_LENGTH for an over-long line.
HRESULT ReadHexLine(TStream& source, std::string& line) {
  line.clear();
  for (;;) {
    char c = 0;
    if (source.Read(&c, 1) != 1) return line.empty() ? E_UNEXPECTED : S_OK;
    if (c == '\n') return S_OK;
    if (c == '\r') continue;
    if (line.size() == kMaxHexLine) return HEX_E_LENGTH;
    line.push_back(c);
  }
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
  return Guarded([&] { return buffer_->Write(value, 1) == 1 ? S_OK : S_FALSE; });
}

HRESULT TuCStream::PutWord(const uint16_t* value) {
  if (!value) return E_INVALIDARG;
  const uint8_t bytes[2] = {static_cast<uint8_t>(*value), static_cast<uint8_t>(*value >> 8)};
  return Guarded([&] { return buffer_->Write(bytes, 2) == 2 ? S_OK : S_FALSE; });
}

HRESULT TuCStream::CopyAllTo(const std::shared_ptr<IuCMemStream>& destination) {
  if (!destination) return E_INVALIDARG;
  // Index by index with a copy of each byte: the destination may be this image, whose buffer then
  // moves while it grows.
  const size_t size = buffer_->Data().size();
  for (size_t i = 0; i < size; ++i) {
    const uint8_t value = buffer_->Data()[i];
    destination->PutByte(&value);
  }
  return S_OK;
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

// ---- saving through a temporary file ----

HRESULT SaveFileAtomically(const std::string& file_name, const std::function<HRESULT(TFileStream&)>& write) {
  return Guarded([&]() -> HRESULT {
    if (file_name.empty()) return E_UNEXPECTED;
    // Through a symbolic link we replace the file it names, not the link.
    std::string target = file_name;
    struct stat st {};
    const bool exists = ::stat(file_name.c_str(), &st) == 0;
    if (exists) {
      // Replacing by rename would get past a file's own write protection; honour it instead.
      if (S_ISDIR(st.st_mode) || ::access(file_name.c_str(), W_OK) != 0) return E_UNEXPECTED;
      if (char* real = ::realpath(file_name.c_str(), nullptr)) {
        target = real;
        std::free(real);
      }
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string prefix = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                               "." + base.substr(0, 200) + ".";

    // Created with 0666 so that the umask applies as for any new file; O_EXCL keeps us off files
    // that someone else put there.
    std::random_device entropy;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      temp = prefix + std::to_string(::getpid()) + "-" + std::to_string(entropy() & 0xFFFFFF) + ".tmp";
      do fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      while (fd < 0 && errno == EINTR);
      if (fd < 0 && errno != EEXIST) return E_UNEXPECTED;
    }
    if (fd < 0) return E_UNEXPECTED;

    TFileStream file(fd);
    // Clean-up after a failure is best effort: the failure itself is what gets reported.
    auto fail = [&](HRESULT hr) {
      file.Close();
      ::unlink(temp.c_str());
      return hr;
    };
    // A replaced file keeps its permissions.
    if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) return fail(E_FAIL);
    HRESULT hr = Guarded([&] { return write(file); }); // so that nothing thrown leaves the temporary
    if (hr == S_OK && file.Failed()) hr = E_FAIL;
    if (hr != S_OK) return fail(hr);
    if (!file.Sync()) return fail(E_FAIL);
    if (!file.Close()) return fail(E_FAIL);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      ::unlink(temp.c_str());
      return E_UNEXPECTED;
    }
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
}

// ---- TuCBinFile ----

HRESULT TuCBinFile::Assign(std::vector<uint8_t>&& content) {
  Buffer().Data() = std::move(content);
  const auto size = static_cast<int64_t>(Buffer().Data().size());
  if (Buffer().Position() > size) Buffer().Seek(size, TSeekOrigin::soBeginning);
  return S_OK;
}

HRESULT TuCBinFile::LoadFromFile(const std::string& file_name) {
  return Guarded([&]() -> HRESULT {
    auto file = TFileStream::Open(file_name, TFileStream::TMode::fmOpenRead);
    if (!file) return E_UNEXPECTED;
    // Read to the end rather than trusting the reported size, which pipes and devices lack. The
    // image changes only once the whole file is in.
    std::vector<uint8_t> content;
    uint8_t chunk[64 * 1024];
    for (size_t got; (got = file->Read(chunk, sizeof chunk)) > 0;) {
      if (content.size() + got > static_cast<size_t>(kMaxImageSize)) return E_OUTOFMEMORY;
      content.insert(content.end(), chunk, chunk + got);
    }
    if (file->Failed()) return E_FAIL;
    return Assign(std::move(content));
  });
}

HRESULT TuCBinFile::LoadFromStream(const std::shared_ptr<IStream>& source) {
  if (!source) return E_INVALIDARG;
  return Guarded([&]() -> HRESULT {
    TIStreamAdater in(source);
    if (in.Seek(0, TSeekOrigin::soBeginning) != 0) return E_FAIL;
    const int64_t size = in.Size();
    if (size < 0) return E_FAIL;
    if (size > kMaxImageSize) return E_OUTOFMEMORY;
    std::vector<uint8_t> content(static_cast<size_t>(size));
    if (in.Read(content.data(), content.size()) != content.size()) return E_FAIL;
    return Assign(std::move(content));
  });
}

HRESULT TuCBinFile::SaveToFile(const std::string& file_name) {
  return SaveFileAtomically(file_name, [&](TFileStream& file) {
    const auto& data = Buffer().Data();
    return file.Write(data.data(), data.size()) == data.size() ? S_OK : E_FAIL;
  });
}

HRESULT TuCBinFile::SaveToStream(const std::shared_ptr<IStream>& destination) {
  if (!destination) return E_INVALIDARG;
  return Guarded([&] {
    TIStreamAdater out(destination);
    const auto& data = Buffer().Data();
    return out.Write(data.data(), data.size()) == data.size() ? S_OK : E_FAIL;
  });
}

// ---- TuCHexFile ----

HRESULT TuCHexFile::LoadFromFile(const std::string& file_name) {
  return Guarded([&]() -> HRESULT {
    auto file = TFileStream::Open(file_name, TFileStream::TMode::fmOpenRead);
    if (!file) return E_UNEXPECTED;
    return LoadFromStream(std::make_shared<TIStream>(*file, 0));
  });
}

HRESULT TuCHexFile::LoadFromStream(const std::shared_ptr<IStream>& source) {
  if (!source) return E_INVALIDARG;
  return Guarded([&] {
    TIStreamAdater in(source);
    Buffer().SetSize(0);
    Buffer().Seek(0, TSeekOrigin::soBeginning);
    return ReadRecords(in);
  });
}

HRESULT TuCHexFile::ReadRecords(TStream& source) {
  std::string line;
  line.reserve(kMaxHexLine);
  uint8_t data[255];
  uint64_t base = 0; // from the last extended segment or linear address record
  for (;;) {
    HRESULT hr = ReadHexLine(source, line);
    if (hr != S_OK) return hr;
    if (line.empty() || line[0] != ':') return HEX_E_NOCOLON;
    const int count = HexPair(line, 1), high = HexPair(line, 3), low = HexPair(line, 5),
              type = HexPair(line, 7);
    if (count < 0 || high < 0 || low < 0 || type < 0) return HEX_E_LENGTH;
    if (type == 1) return S_OK;
    if (type != 0 && type != 2 && type != 4) continue; // start addresses and unknown types: no data

    if (line.size() != 2 * static_cast<size_t>(count) + 11) return HEX_E_LENGTH;
    uint8_t sum = static_cast<uint8_t>(count + high + low + type);
    for (int i = 0; i < count; ++i) {
      const int value = HexPair(line, 9 + 2 * static_cast<size_t>(i));
      if (value < 0) return HEX_E_LENGTH;
      data[i] = static_cast<uint8_t>(value);
      sum = static_cast<uint8_t>(sum + value);
    }
    const int checksum = HexPair(line, 9 + 2 * static_cast<size_t>(count));
    if (checksum < 0) return HEX_E_LENGTH;
    if (static_cast<uint8_t>(-sum) != checksum) return HEX_E_CHECKSUM;

    if (type != 0) {
      if (count != 2) return HEX_E_LENGTH;
      const uint64_t value = static_cast<uint64_t>(data[0]) << 8 | data[1];
      base = type == 2 ? value << 4 : value << 16;
      continue;
    }
    const uint64_t address = base + (static_cast<uint64_t>(high) << 8 | static_cast<uint64_t>(low));
    if (address + static_cast<uint64_t>(count) > static_cast<uint64_t>(kMaxImageSize)) return HEX_E_ADDRESS;
    Buffer().Seek(static_cast<int64_t>(address), TSeekOrigin::soBeginning);
    if (Buffer().Write(data, static_cast<size_t>(count)) != static_cast<size_t>(count)) return E_OUTOFMEMORY;
  }
}

HRESULT TuCHexFile::SaveToFile(const std::string& file_name) {
  return SaveFileAtomically(file_name, [&](TFileStream& file) {
    // Written to the file directly rather than through an IStream: the adapter would add nothing
    // but a second place for a write failure to hide.
    return WriteRecords(file);
  });
}

HRESULT TuCHexFile::SaveToStream(const std::shared_ptr<IStream>& destination) {
  if (!destination) return E_INVALIDARG;
  return Guarded([&] {
    TIStreamAdater out(destination);
    return WriteRecords(out);
  });
}

HRESULT TuCHexFile::WriteRecords(TStream& destination) {
  const auto& data = Buffer().Data();
  const size_t size = data.size();
  auto put = [&](const std::string& line) {
    return destination.Write(line.data(), line.size()) == line.size();
  };
  size_t position = 0;
  HRESULT hr = S_OK;
  for (;;) {
    const size_t n = std::min<size_t>(16, size - position);
    // Records never straddle a 64 KiB boundary (16 divides it), so each segment above the first
    // needs its extended linear address just once, before its first record.
    if (position > 0 && position % 0x10000 == 0) {
      const uint8_t segment[2] = {static_cast<uint8_t>(position >> 24), static_cast<uint8_t>(position >> 16)};
      if (!put(Record(2, 0, 4, segment))) hr = E_FAIL;
    }
    if (hr == S_OK &&
        !put(Record(static_cast<uint8_t>(n), static_cast<uint16_t>(position), 0, data.data() + position)))
      hr = E_FAIL;
    position += n;
    if (hr != S_OK || n < 16 || position == size) break;
  }
  if (hr == S_OK && !put(Record(0, 0, 1, nullptr))) hr = E_FAIL;
  Buffer().Seek(static_cast<int64_t>(position), TSeekOrigin::soBeginning);
  return hr;
}
