// A minimal byte-stream interface of our own (the part of the classic IStream that the image files
// use), the plain streams behind it (memory and file), and the two adapters that connect image
// files to it: TIStream shows a TStream as an IStream, TIStreamAdater shows an IStream as a TStream.
#pragma once
#include "base/uUnknown.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009u);
constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001Du);

enum : uint32_t { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

class IStream : public virtual IUnknownBase {
public:
  virtual HRESULT Read(void* buffer, uint32_t count, uint32_t* done) = 0;
  virtual HRESULT Write(const void* buffer, uint32_t count, uint32_t* done) = 0;
  virtual HRESULT Seek(int64_t move, uint32_t origin, uint64_t* new_position) = 0;
  virtual HRESULT SetSize(uint64_t new_size) = 0;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The plain stream the image and file code is written against. Read and Write return the bytes
// actually moved; Seek returns the new position or -1 when the stream cannot move there. These
// may throw (std::bad_alloc); the interface methods built on them turn that into status codes.
class TStream {
public:
  virtual ~TStream() = default;
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual bool SetSize(int64_t size) = 0;
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  // Remembers the position, seeks to the end and back; -1 if the stream cannot tell.
  int64_t Size();
};

// A growable byte array with a position that may lie beyond its end. Bytes that no write covered
// (the gap left by writing past the end, or by growing the size) take the fill value. Writes that
// would make the array larger than max_size store nothing.
class TMemoryStream final : public TStream {
public:
  explicit TMemoryStream(uint8_t fill = 0x00, int64_t max_size = INT32_MAX)
      : fill_(fill), max_size_(max_size) {}
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  bool SetSize(int64_t size) override;
  std::vector<uint8_t>& Data() { return data_; }
  const std::vector<uint8_t>& Data() const { return data_; }
  int64_t MaxSize() const { return max_size_; }

private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
  uint8_t fill_;
  int64_t max_size_;
};

// A file reached by descriptor. Reads go through a small cache because the HEX reader takes its
// input one byte per call; writes go straight to the file at the stream's own position.
class TFileStream final : public TStream {
public:
  enum class TMode { fmOpenRead, fmCreate, fmOpenReadWrite };
  // nullptr if the file cannot be opened; errno tells why.
  static std::unique_ptr<TFileStream> Open(const std::string& file_name, TMode mode);
  explicit TFileStream(int fd) : fd_(fd) {} // adopts the descriptor
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  bool SetSize(int64_t size) override;
  bool Sync();  // fsync
  bool Close(); // false if closing reported an error (a late write failure)
  // A read or write failed (not merely the end of the file); Error is the errno of the first failure.
  bool Failed() const { return failed_; }
  int Error() const { return error_; }
  int Fd() const { return fd_; }

private:
  void Fail(int error) {
    if (!failed_) error_ = error;
    failed_ = true;
  }

  int fd_;
  int64_t position_ = 0;
  std::vector<uint8_t> cache_;
  int64_t cache_offset_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

// Shows a TStream as an IStream. Position 0 of the IStream is position BaseOffset of the wrapped
// stream. An owning adapter frees its stream with itself; a non-owning one leaves its lifetime to
// the caller.
class TIStream final : public IStream {
public:
  TIStream(TStream& stream, int64_t base_offset = 0) : stream_(&stream), base_offset_(base_offset) {}
  TIStream(std::unique_ptr<TStream> stream, int64_t base_offset = 0)
      : stream_(stream.get()), owned_(std::move(stream)), base_offset_(base_offset) {}

  HRESULT Read(void* buffer, uint32_t count, uint32_t* done) override;
  HRESULT Write(const void* buffer, uint32_t count, uint32_t* done) override;
  HRESULT Seek(int64_t move, uint32_t origin, uint64_t* new_position) override;
  HRESULT SetSize(uint64_t new_size) override;

  int64_t BaseOffset() const { return base_offset_; }
  bool OwnsStream() const { return owned_ != nullptr; }

private:
  TStream* stream_;
  std::unique_ptr<TStream> owned_;
  int64_t base_offset_;
};

// Shows an IStream as a TStream, for code written against TStream. With no IStream held, every
// operation moves nothing and reports 0.
class TIStreamAdater final : public TStream {
public:
  explicit TIStreamAdater(std::shared_ptr<IStream> stream) : stream_(std::move(stream)) {}
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  bool SetSize(int64_t size) override;

private:
  std::shared_ptr<IStream> stream_;
};

// An owning IStream over a memory stream holding content, positioned at its start.
std::shared_ptr<IStream> NewMemoryIStream(std::vector<uint8_t> content = {});
// An owning IStream over a file; nullptr if it cannot be opened.
std::shared_ptr<IStream> OpenFileIStream(const std::string& file_name, TFileStream::TMode mode);
// The whole content of an IStream, read from its start; its position is left at the end.
std::vector<uint8_t> ReadAllFromIStream(const std::shared_ptr<IStream>& stream);
