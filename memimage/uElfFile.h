// ELF executables as avr-gcc links them, read (never written) by a small reader of our own over
// glibc's <elf.h> definitions. The linker places each memory at an address range of its own: the
// flash from 0, the EEPROM at 0x810000, the fuse bytes at 0x820000 (one byte per fuse, low first),
// the lock byte at 0x830000 and the signature at 0x840000 (avr-libc's <avr/signature.h>).
#pragma once
#include "memimage/uAvrMemFile.h"

#include <cstdint>
#include <string>
#include <vector>

// One run of bytes at its load address within its memory (an EEPROM run at 0 is EEPROM byte 0).
struct TElfChunk {
  uint32_t Address = 0;
  std::vector<uint8_t> Bytes;
};

// What an AVR executable holds for each memory. Chunks are in the order of the file's sections; a
// later chunk that overlaps an earlier one wins, as it would when the bytes are programmed in order.
struct TAvrElfContent {
  std::vector<TElfChunk> Flash;
  std::vector<TElfChunk> Eeprom;
  std::vector<uint8_t> Fuses;     // .fuse, fuse n at index n; empty when the file has none
  std::vector<uint8_t> Lock;      // .lock; empty when none
  std::vector<uint8_t> Signature; // .signature as the chip reports it: byte 0 (0x1E) first
};

// The ELF reader's refusals.
constexpr HRESULT ELF_E_NOTELF = 0xA011;   // no ELF magic
constexpr HRESULT ELF_E_NOTAVR = 0xA012;   // an ELF file, but not a 32-bit little-endian AVR executable
constexpr HRESULT ELF_E_DAMAGED = 0xA013;  // a header, table or section outside the file or malformed
constexpr HRESULT ELF_E_TOOLARGE = 0xA014; // larger than any file we read, or data beyond its memory
constexpr HRESULT ELF_E_READONLY = 0xA015; // a save: ELF files are only read

// The largest ELF file read. avr-gcc's executables with full debugging information stay far below.
constexpr size_t kMaxElfFileSize = 64u * 1024 * 1024;

// Parses an ELF file's bytes. S_OK, or one of the refusals with error saying why in words.
HRESULT ParseAvrElf(const std::vector<uint8_t>& file, TAvrElfContent& content, std::string& error);
// Reads and parses a file; error begins with the file's name.
HRESULT ReadAvrElfFile(const std::string& file_name, TAvrElfContent& content, std::string& error);

// The flash or EEPROM image of an ELF file. Only the bytes its sections give are covered, so a write
// leaves the gaps between them alone. Saving is refused: Pinlet writes ELF files to no one.
class TuCElfFile final : public TuCStream, public IuCFile {
public:
  explicit TuCElfFile(TImagePart part) : part_(part) {}
  HRESULT LoadFromFile(const std::string& file_name) override;
  HRESULT LoadFromStream(const std::shared_ptr<IStream>& source) override;
  HRESULT SaveToFile(const std::string& file_name) override;
  HRESULT SaveToStream(const std::shared_ptr<IStream>& destination) override;
  std::string LastErrorText() override { return last_error_; }

  TImagePart Part() const { return part_; }
  // Everything the last successful load found, the other memories' bytes included.
  const TAvrElfContent& Content() const { return content_; }

private:
  HRESULT Assign(TAvrElfContent&& content);
  TImagePart part_;
  TAvrElfContent content_;
  std::string last_error_;
};

std::shared_ptr<IuCFile> NewElfFile(TImagePart part);
// Whether the extension selects ELF (.elf, any letter case).
bool IsElfExtension(const std::string& file_name);
