#include "memimage/uStreamClass.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// IStream methods are a layer boundary: nothing thrown below may pass them.
template <class F> HRESULT Guarded(HRESULT on_other_failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return on_other_failure;
  }
}

constexpr size_t kFileCacheSize = 64 * 1024;

// The position a seek leads to, or -1 when it would lie before the start or overflow. end gives
// the stream's size and is asked only when seeking from the end (a file asks the system, which
// may fail: -1).
template <class End> int64_t SeekTarget(int64_t position, int64_t offset, TSeekOrigin origin, End&& end) {
  int64_t from = 0;
  switch (origin) {
  case TSeekOrigin::soBeginning:
    from = 0;
    break;
  case TSeekOrigin::soCurrent:
    from = position;
    break;
  case TSeekOrigin::soEnd:
    if ((from = end()) < 0) return -1;
    break;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(from, offset, &target) || target < 0) return -1;
  return target;
}

} // namespace

int64_t TStream::Size() {
  const int64_t position = Position();
  if (position < 0) return -1;
  const int64_t end = Seek(0, TSeekOrigin::soEnd);
  if (Seek(position, TSeekOrigin::soBeginning) != position) return -1;
  return end;
}

// ---- TMemoryStream ----

size_t TMemoryStream::Read(void* buffer, size_t count) {
  const auto size = static_cast<int64_t>(data_.size());
  if (position_ < 0 || position_ >= size || count == 0) return 0;
  const size_t n = std::min(count, static_cast<size_t>(size - position_));
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += static_cast<int64_t>(n);
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (position_ < 0 || count == 0) return 0;
  if (count > static_cast<size_t>(max_size_) || position_ > max_size_ - static_cast<int64_t>(count)) return 0;
  const int64_t end = position_ + static_cast<int64_t>(count);
  if (end > static_cast<int64_t>(data_.size())) data_.resize(static_cast<size_t>(end), fill_);
  std::memcpy(data_.data() + position_, buffer, count);
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t target =
      SeekTarget(position_, offset, origin, [this] { return static_cast<int64_t>(data_.size()); });
  if (target >= 0) position_ = target;
  return target;
}

bool TMemoryStream::SetSize(int64_t size) {
  if (size < 0 || size > max_size_) return false;
  data_.resize(static_cast<size_t>(size), fill_);
  return true;
}

// ---- TFileStream ----

std::unique_ptr<TFileStream> TFileStream::Open(const std::string& file_name, TMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
  case TMode::fmOpenRead:
    flags |= O_RDONLY;
    break;
  case TMode::fmCreate:
    flags |= O_RDWR | O_CREAT | O_TRUNC;
    break;
  case TMode::fmOpenReadWrite:
    flags |= O_RDWR;
    break;
  }
  int fd;
  do fd = ::open(file_name.c_str(), flags, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int saved = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  return std::make_unique<TFileStream>(fd);
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_); // an unreported close; callers that care use Close()
}

size_t TFileStream::Read(void* buffer, size_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count && fd_ >= 0 && position_ >= 0) {
    const int64_t cache_end = cache_offset_ + static_cast<int64_t>(cache_.size());
    if (position_ >= cache_offset_ && position_ < cache_end) {
      const size_t n = std::min(count - done, static_cast<size_t>(cache_end - position_));
      std::memcpy(out + done, cache_.data() + (position_ - cache_offset_), n);
      done += n;
      position_ += static_cast<int64_t>(n);
      continue;
    }
    cache_.resize(kFileCacheSize);
    ssize_t got;
    do got = ::pread(fd_, cache_.data(), cache_.size(), position_);
    while (got < 0 && errno == EINTR);
    if (got < 0) Fail(errno);
    cache_.resize(got > 0 ? static_cast<size_t>(got) : 0);
    cache_offset_ = position_;
    if (got <= 0) break;
  }
  return done;
}

size_t TFileStream::Write(const void* buffer, size_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  cache_.clear();
  size_t done = 0;
  while (done < count && fd_ >= 0 && position_ >= 0) {
    const ssize_t put = ::pwrite(fd_, in + done, count - done, position_);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      Fail(put < 0 ? errno : EIO);
      break;
    }
    done += static_cast<size_t>(put);
    position_ += put;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t target = SeekTarget(position_, offset, origin, [this]() -> int64_t {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
  });
  if (target >= 0) position_ = target;
  return target;
}

bool TFileStream::SetSize(int64_t size) {
  cache_.clear();
  if (fd_ < 0 || size < 0) return false;
  int rc;
  do rc = ::ftruncate(fd_, size);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool TFileStream::Sync() {
  if (fd_ < 0) return false;
  int rc;
  do rc = ::fsync(fd_);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool TFileStream::Close() {
  if (fd_ < 0) return true;
  const int fd = fd_;
  fd_ = -1;
  cache_.clear();
  // No retry on EINTR: on Linux the descriptor is gone whatever close reports.
  return ::close(fd) == 0;
}

// ---- TIStream ----

HRESULT TIStream::Read(void* buffer, uint32_t count, uint32_t* done) {
  if (done) *done = 0;
  if (!buffer && count > 0) return STG_E_INVALIDPOINTER;
  return Guarded(E_FAIL, [&] {
    const size_t n = stream_->Read(buffer, count);
    if (done) *done = static_cast<uint32_t>(n);
    return S_OK;
  });
}

HRESULT TIStream::Write(const void* buffer, uint32_t count, uint32_t* done) {
  if (done) *done = 0;
  if (!buffer && count > 0) return STG_E_INVALIDPOINTER;
  return Guarded(STG_E_WRITEFAULT, [&] {
    const size_t n = stream_->Write(buffer, count);
    if (done) *done = static_cast<uint32_t>(n);
    return n == count ? S_OK : STG_E_WRITEFAULT;
  });
}

HRESULT TIStream::Seek(int64_t move, uint32_t origin, uint64_t* new_position) {
  if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
  return Guarded(STG_E_INVALIDPOINTER, [&] {
    // Only a move from the beginning is relative to BaseOffset; the wrapped stream's own
    // current position and end already include it.
    int64_t target = move;
    TSeekOrigin from = TSeekOrigin::soBeginning;
    if (origin == STREAM_SEEK_SET) {
      if (__builtin_add_overflow(move, base_offset_, &target)) return STG_E_INVALIDPOINTER;
    } else {
      from = origin == STREAM_SEEK_CUR ? TSeekOrigin::soCurrent : TSeekOrigin::soEnd;
    }
    const int64_t reached = stream_->Seek(target, from);
    if (reached < 0) return STG_E_INVALIDPOINTER;
    if (new_position) *new_position = static_cast<uint64_t>(reached - base_offset_);
    return S_OK;
  });
}

HRESULT TIStream::SetSize(uint64_t new_size) {
  return Guarded(E_UNEXPECTED, [&] {
    int64_t wanted = 0;
    if (new_size > static_cast<uint64_t>(INT64_MAX) ||
        __builtin_add_overflow(static_cast<int64_t>(new_size), base_offset_, &wanted))
      return E_FAIL;
    stream_->SetSize(wanted);
    return stream_->Size() == wanted ? S_OK : E_FAIL;
  });
}

// ---- TIStreamAdater ----

size_t TIStreamAdater::Read(void* buffer, size_t count) {
  if (!stream_) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const auto want = static_cast<uint32_t>(std::min<size_t>(count - done, UINT32_MAX));
    uint32_t got = 0;
    if (Failed(stream_->Read(out + done, want, &got)) || got == 0) break;
    done += got;
  }
  return done;
}

size_t TIStreamAdater::Write(const void* buffer, size_t count) {
  if (!stream_) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const auto want = static_cast<uint32_t>(std::min<size_t>(count - done, UINT32_MAX));
    uint32_t put = 0;
    const HRESULT hr = stream_->Write(in + done, want, &put);
    done += put;
    if (Failed(hr) || put == 0) break;
  }
  return done;
}

int64_t TIStreamAdater::Seek(int64_t offset, TSeekOrigin origin) {
  if (!stream_) return 0;
  uint32_t how = STREAM_SEEK_SET;
  if (origin == TSeekOrigin::soCurrent) how = STREAM_SEEK_CUR;
  if (origin == TSeekOrigin::soEnd) how = STREAM_SEEK_END;
  uint64_t reached = 0;
  if (Failed(stream_->Seek(offset, how, &reached)) || reached > static_cast<uint64_t>(INT64_MAX)) return -1;
  return static_cast<int64_t>(reached);
}

bool TIStreamAdater::SetSize(int64_t size) {
  return stream_ && size >= 0 && stream_->SetSize(static_cast<uint64_t>(size)) == S_OK;
}

// ---- helpers ----

std::shared_ptr<IStream> NewMemoryIStream(std::vector<uint8_t> content) {
  auto memory = std::make_unique<TMemoryStream>();
  memory->Data() = std::move(content);
  return std::make_shared<TIStream>(std::move(memory));
}

std::shared_ptr<IStream> OpenFileIStream(const std::string& file_name, TFileStream::TMode mode) {
  auto file = TFileStream::Open(file_name, mode);
  if (!file) return nullptr;
  return std::make_shared<TIStream>(std::move(file));
}

std::vector<uint8_t> ReadAllFromIStream(const std::shared_ptr<IStream>& stream) {
  std::vector<uint8_t> all;
  if (!stream || Failed(stream->Seek(0, STREAM_SEEK_SET, nullptr))) return all;
  uint8_t chunk[4096];
  uint32_t got = 0;
  while (Succeeded(stream->Read(chunk, sizeof chunk, &got)) && got > 0)
    all.insert(all.end(), chunk, chunk + got);
  return all;
}
