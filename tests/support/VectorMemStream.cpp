#include "tests/support/VectorMemStream.h"

HRESULT TVectorMemStream::Rewind() {
  position = 0;
  return S_OK;
}

HRESULT TVectorMemStream::Seek(int32_t offset, uint32_t origin, int32_t* new_position) {
  if (origin > 2) return E_FAIL;
  const int32_t base = origin == 0 ? 0 : origin == 1 ? position : int32_t(bytes.size());
  position = base + offset;
  if (new_position) *new_position = position;
  return S_OK;
}

HRESULT TVectorMemStream::GetPosition(int32_t* out) {
  if (!out) return E_INVALIDARG;
  *out = position;
  return S_OK;
}

HRESULT TVectorMemStream::GetSize(int32_t* size) {
  if (!size) return E_INVALIDARG;
  if (fail_get_size) return E_FAIL;
  *size = int32_t(bytes.size());
  return S_OK;
}

HRESULT TVectorMemStream::GetByte(uint8_t* value) {
  if (!value) return E_INVALIDARG;
  if (position < 0 || size_t(position) >= bytes.size()) return S_FALSE;
  *value = bytes[size_t(position++)];
  return S_OK;
}

HRESULT TVectorMemStream::GetWord(uint16_t* value) {
  if (!value) return E_INVALIDARG;
  uint8_t low = 0, high = 0;
  const HRESULT first = GetByte(&low);
  const HRESULT second = first == S_OK ? GetByte(&high) : S_FALSE;
  *value = uint16_t(high << 8 | low);
  return first == S_OK && second == S_OK ? S_OK : S_FALSE;
}

HRESULT TVectorMemStream::PutByte(const uint8_t* value) {
  if (!value) return E_INVALIDARG;
  if (position < 0) return S_FALSE;
  if (size_t(position) >= bytes.size()) bytes.resize(size_t(position) + 1, 0xFF);
  bytes[size_t(position++)] = *value;
  return S_OK;
}

HRESULT TVectorMemStream::PutWord(const uint16_t* value) {
  if (!value) return E_INVALIDARG;
  if (position == fail_put_at) return S_FALSE;
  const uint8_t low = uint8_t(*value), high = uint8_t(*value >> 8);
  return PutByte(&low) == S_OK && PutByte(&high) == S_OK ? S_OK : S_FALSE;
}

HRESULT TVectorMemStream::CopyAllTo(const std::shared_ptr<IuCMemStream>& destination) {
  if (!destination) return E_INVALIDARG;
  for (const uint8_t& b : bytes) destination->PutByte(&b);
  return S_OK;
}

HRESULT TVectorMemStream::GetCoverage(int32_t start, int32_t count, std::vector<uint8_t>& covered) {
  if (coverage.empty()) return IuCMemStream::GetCoverage(start, count, covered);
  covered.assign(size_t(count), 0);
  for (int32_t i = 0; i < count; ++i)
    if (start + i >= 0 && size_t(start + i) < coverage.size())
      covered[size_t(i)] = coverage[size_t(start + i)];
  return S_OK;
}
