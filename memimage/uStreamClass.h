// A minimal byte-stream interface of our own (the shape of the classic IStream) and the two
// adapters that connect image files to it.
#pragma once
#include "core/uUnknown.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009u);
constexpr HRESULT STG_E_INVALIDFLAG = static_cast<HRESULT>(0x800300FFu);

enum : uint32_t { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
enum : uint32_t { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1 };
constexpr uint32_t STGTY_STREAM = 2;
constexpr uint32_t LOCK_WRITE = 1;

struct STATSTG {
  std::string pwcsName;
  uint32_t type = 0;
  uint64_t cbSize = 0;
  uint64_t mtime = 0, ctime = 0, atime = 0;
  uint32_t grfMode = 0;
  uint32_t grfLocksSupported = 0;
};

class IStream : public virtual IUnknownBase {
public:
  virtual HRESULT Read(void* buffer, uint32_t count, uint32_t* done) = 0;
  virtual HRESULT Write(const void* buffer, uint32_t count, uint32_t* done) = 0;
  virtual HRESULT Seek(int64_t move, uint32_t origin, uint64_t* new_position) = 0;
  virtual HRESULT SetSize(uint64_t new_size) = 0;
  virtual HRESULT CopyTo(const std::shared_ptr<IStream>& destination, uint64_t count, uint64_t* read,
                         uint64_t* written) = 0;
  virtual HRESULT Commit(uint32_t flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(uint64_t offset, uint64_t count, uint32_t type) = 0;
  virtual HRESULT UnlockRegion(uint64_t offset, uint64_t count, uint32_t type) = 0;
  virtual HRESULT Stat(STATSTG* stat, uint32_t flag) = 0;
  virtual HRESULT Clone(std::shared_ptr<IStream>& clone) = 0;
};
