// The meta memory: an in-memory byte image of a device's flash (byte n = flash address n), and its
// two file kinds, raw binary (*.ucm) and Intel HEX (*.hex).
#pragma once
#include "core/uUnknown.h"
#include "memimage/uStreamClass.h"

#include <cstdint>
#include <memory>
#include <string>

class IuCMemStream : public virtual IUnknownBase {
public:
  virtual HRESULT Rewind() = 0;
  virtual HRESULT Seek(int32_t offset, uint32_t origin, int32_t* new_position) = 0; // origin 0/1/2
  virtual HRESULT GetPosition(int32_t* position) = 0;
  virtual HRESULT GetSize(int32_t* size) = 0;
  virtual HRESULT GetByte(uint8_t* value) = 0;  // S_OK, S_FALSE at the end
  virtual HRESULT GetWord(uint16_t* value) = 0; // first byte = low byte
  virtual HRESULT PutByte(const uint8_t* value) = 0;
  virtual HRESULT PutWord(const uint16_t* value) = 0; // low byte first
  virtual HRESULT CopyAllTo(const std::shared_ptr<IuCMemStream>& destination) = 0;
};

class IuCFile : public virtual IUnknownBase {
public:
  virtual HRESULT LoadFromFile(const std::string& file_name) = 0;
  virtual HRESULT LoadFromStream(const std::shared_ptr<IStream>& source) = 0;
  virtual HRESULT SaveToFile(const std::string& file_name) = 0;
  virtual HRESULT SaveToStream(const std::shared_ptr<IStream>& destination) = 0;
};

// HEX reader results.
constexpr HRESULT HEX_E_NOCOLON = 0xA001;
constexpr HRESULT HEX_E_LENGTH = 0xA002;
constexpr HRESULT HEX_E_CHECKSUM = 0xA003;

std::shared_ptr<IuCMemStream> NewMetaMemory(); // an empty binary-kind image
std::shared_ptr<IuCFile> NewBinFile();
std::shared_ptr<IuCFile> NewHexFile();
