// A vector-backed image stream whose single operations can be made to fail.
#pragma once
#include "memimage/uAvrMemFile.h"

#include <cstdint>
#include <vector>

class TVectorMemStream : public IuCMemStream {
public:
  TVectorMemStream() = default;
  explicit TVectorMemStream(std::vector<uint8_t> content) : bytes(std::move(content)) {}

  HRESULT Rewind() override;
  HRESULT Seek(int32_t offset, uint32_t origin, int32_t* new_position) override;
  HRESULT GetPosition(int32_t* position) override;
  HRESULT GetSize(int32_t* size) override;
  HRESULT GetByte(uint8_t* value) override;
  HRESULT GetWord(uint16_t* value) override;
  HRESULT PutByte(const uint8_t* value) override;
  HRESULT PutWord(const uint16_t* value) override;
  HRESULT CopyAllTo(const std::shared_ptr<IuCMemStream>& destination) override;
  HRESULT GetCoverage(int32_t start, int32_t count, std::vector<uint8_t>& covered) override;

  std::vector<uint8_t> bytes;
  int32_t position = 0;
  bool fail_get_size = false;
  // One flag per byte from address 0 once a test sets it; empty = every byte below the size.
  std::vector<uint8_t> coverage;
  int32_t fail_put_at = -1; // PutWord at this byte position reports failure
};
