// The meta memory: an in-memory byte image of a device's flash or EEPROM (byte n = address n), and
// its two file kinds, raw binary (*.ucm, *.bin) and Intel HEX (*.hex, *.eep).
#pragma once
#include "base/uUnknown.h"
#include "memimage/uStreamClass.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
  // Which of the count bytes from start a file or a write defined: covered[i] is 1 for byte
  // start + i if so, else 0. The transfers write and verify only those bytes. An image that keeps
  // no record counts every byte below its size as covered.
  virtual HRESULT GetCoverage(int32_t start, int32_t count, std::vector<uint8_t>& covered);
};

class IuCFile : public virtual IUnknownBase {
public:
  virtual HRESULT LoadFromFile(const std::string& file_name) = 0;
  virtual HRESULT LoadFromStream(const std::shared_ptr<IStream>& source) = 0;
  virtual HRESULT SaveToFile(const std::string& file_name) = 0;
  virtual HRESULT SaveToStream(const std::shared_ptr<IStream>& destination) = 0;
  // Why the last load or save failed, in words for the user: the file's name and the system's
  // reason, or for HEX text the line and what is wrong with it. Empty after a success.
  virtual std::string LastErrorText() = 0;
};

// HEX reader results.
constexpr HRESULT HEX_E_NOCOLON = 0xA001;
constexpr HRESULT HEX_E_LENGTH = 0xA002;
constexpr HRESULT HEX_E_CHECKSUM = 0xA003;
// A data record lies beyond the largest image we hold (kMaxImageSize).
constexpr HRESULT HEX_E_ADDRESS = 0xA004;

// The largest image: far above any AVR's flash, yet small enough that a hostile extended address
// cannot make us allocate gigabytes. Writes that would grow an image past it store nothing.
constexpr int32_t kMaxImageSize = 16 * 1024 * 1024;
// The value of image bytes that no write covered: erased flash.
constexpr uint8_t kImageFill = 0xFF;

std::shared_ptr<IuCMemStream> NewMetaMemory(); // an empty binary-kind image
std::shared_ptr<IuCFile> NewBinFile();
std::shared_ptr<IuCFile> NewHexFile();
// The file kind its name's extension (from the last period on, any letter case) selects: raw for
// .ucm and .bin, Intel HEX for .hex and .eep (the name avr-gcc toolchains give EEPROM images),
// Motorola SREC for .srec, .s19 and .mot, ELF (flash part) for .elf. Null for any other extension
// or none.
std::shared_ptr<IuCFile> NewFileForName(const std::string& file_name);
// Which memory an image file object shows, for the kinds whose files hold several (ELF).
enum class TImagePart : uint8_t { Flash, Eeprom };
// As above, and also ELF (.elf) and Motorola SREC (.srec, .s19, .mot). An ELF file object loads the
// part's bytes (the flash, or the EEPROM from the .eeprom section); the other kinds are the same
// for both parts. The one-argument form gives the flash part.
std::shared_ptr<IuCFile> NewFileForName(const std::string& file_name, TImagePart part);

// The image object behind every kind: a growable buffer with a position that may lie beyond its
// size. Positions stay within 0..INT32_MAX.
class TuCStream : public IuCMemStream {
public:
  TuCStream();
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

protected:
  TMemoryStream& Buffer() { return *buffer_; }
  // Records that count bytes from start now hold defined values.
  void MarkCovered(int64_t start, size_t count);
  // A load replaces the image: nothing covered, or everything it holds.
  void ClearCoverage() { covered_.clear(); }
  void CoverAll() { covered_.assign(buffer_->Data().size(), 1); }
  bool IsCovered(size_t at) const { return at < covered_.size() && covered_[at] != 0; }

private:
  // Writes at the current position: data where cover is 1, a skip where it is 0.
  HRESULT PutCovered(const std::vector<uint8_t>& data, const std::vector<uint8_t>& cover);

  std::unique_ptr<TMemoryStream> buffer_;
  // One flag per byte from address 0; bytes past its end are not covered.
  std::vector<uint8_t> covered_;
};

// The raw binary file: file byte n is image byte n, nothing else.
class TuCBinFile final : public TuCStream, public IuCFile {
public:
  HRESULT LoadFromFile(const std::string& file_name) override;
  HRESULT LoadFromStream(const std::shared_ptr<IStream>& source) override;
  HRESULT SaveToFile(const std::string& file_name) override;
  HRESULT SaveToStream(const std::shared_ptr<IStream>& destination) override;
  std::string LastErrorText() override { return last_error_; }

private:
  HRESULT Assign(std::vector<uint8_t>&& content);
  std::string last_error_;
};

// A text file of records (Intel HEX, Motorola SREC): the loading and saving around the reading and
// writing of the records, which each kind does its own way.
class TuCRecordFile : public TuCStream, public IuCFile {
public:
  HRESULT LoadFromFile(const std::string& file_name) override;
  // The image is replaced by what the records hold.
  HRESULT LoadFromStream(const std::shared_ptr<IStream>& source) override;
  HRESULT SaveToFile(const std::string& file_name) override;
  HRESULT SaveToStream(const std::shared_ptr<IStream>& destination) override;
  std::string LastErrorText() override { return last_error_; }

protected:
  // detail: the failing line and what is wrong with it.
  virtual HRESULT ReadRecords(TStream& source, std::string& detail) = 0;
  virtual HRESULT WriteRecords(TStream& destination) = 0;

private:
  std::string last_error_;
};

// Intel HEX text: data (00), end-of-file (01), extended segment (02) and extended linear (04)
// address records. Images above 64 KiB are written with extended linear address records.
class TuCHexFile final : public TuCRecordFile {
protected:
  HRESULT ReadRecords(TStream& source, std::string& detail) override;
  HRESULT WriteRecords(TStream& destination) override;
};

// Whether a save to file_name can succeed as far as can be told without writing anything. A
// symbolic link is judged by the file it names; that file must be a regular file we may write, or
// not exist yet in a folder that exists and that we may create files in. S_OK, or E_UNEXPECTED
// with error_text saying why (beginning with the file's name).
HRESULT CheckSaveTarget(const std::string& file_name, std::string& error_text);

// Saves through a temporary file: write fills a new file beside the target, which is synced and
// then renamed over the target, so a failed save leaves the previous file intact and no temporary
// behind. A symbolic link stays and the file it names is replaced; a replaced file keeps its mode
// (and, where allowed, its owner); a new one gets 0666 less the umask. Anything but a regular file
// is refused (CheckSaveTarget). E_UNEXPECTED if the file cannot be created or replaced, E_FAIL if
// writing or syncing fails, otherwise write's own failure; error_text, if given, says why.
HRESULT SaveFileAtomically(const std::string& file_name, const std::function<HRESULT(TFileStream&)>& write,
                           std::string* error_text = nullptr);
