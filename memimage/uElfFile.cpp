#include "memimage/uElfFile.h"

#include "memimage/uFileSupport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <elf.h>
#include <filesystem>
#include <new>

namespace {

// The address ranges avr-gcc's linker scripts give each memory (avr-libc, ldscripts avr*.x: the
// MEMORY regions eeprom, fuse, lock and signature). Flash addresses lie below the data space at
// 0x800000; an .data section has its data-space address as VMA and its flash address as LMA.
constexpr uint64_t kDataSpace = 0x800000;
constexpr uint64_t kEepromBase = 0x810000;
constexpr uint64_t kFuseBase = 0x820000;
constexpr uint64_t kLockBase = 0x830000;
constexpr uint64_t kSignatureBase = 0x840000;
constexpr uint64_t kRegionSize = 0x10000;
// No AVR has more fuse, lock or signature bytes than this; more in a file is damage.
constexpr size_t kMaxSmallMemory = 16;

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// Little-endian fields read at an offset the caller has checked to lie within the file.
uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

struct TSegment {
  uint64_t offset, file_size, vaddr, paddr, mem_size;
};

struct TSection {
  uint32_t name, type;
  uint64_t flags, address, offset, size;
};

// Whether [offset, offset + size) lies within a file of file_size bytes (no overflow: 64-bit sums
// of 32-bit fields).
bool WithinFile(uint64_t offset, uint64_t size, size_t file_size) {
  return offset <= file_size && size <= file_size - offset;
}

// Puts size bytes at load address lma into the memory its range belongs to. Addresses of no
// memory we program (the data space: .bss, .noinit) are skipped.
HRESULT Place(TAvrElfContent& content, uint64_t lma, const uint8_t* bytes, uint64_t size,
              std::string& error) {
  if (size == 0) return S_OK;
  auto region = [&](uint64_t base, uint64_t limit, const char* what) -> bool {
    if (lma < base || lma >= base + kRegionSize) return false;
    if (lma - base + size > limit) {
      error = std::string("the ") + what + " data at " + Hex(lma) + " (" + std::to_string(size) +
              " bytes) runs beyond the " + what + " range";
      return true;
    }
    return true;
  };
  auto small = [&](std::vector<uint8_t>& target, uint64_t at) {
    if (target.size() < at + size) target.resize(static_cast<size_t>(at + size), 0xFF);
    std::copy(bytes, bytes + size, target.begin() + static_cast<ptrdiff_t>(at));
  };
  if (lma < kDataSpace) {
    if (lma + size > static_cast<uint64_t>(kMaxImageSize)) {
      error = "the flash data at " + Hex(lma) + " (" + std::to_string(size) +
              " bytes) lies beyond the largest image";
      return ELF_E_TOOLARGE;
    }
    content.Flash.push_back({static_cast<uint32_t>(lma), std::vector<uint8_t>(bytes, bytes + size)});
    return S_OK;
  }
  if (region(kEepromBase, kRegionSize, "EEPROM")) {
    if (!error.empty()) return ELF_E_TOOLARGE;
    content.Eeprom.push_back(
        {static_cast<uint32_t>(lma - kEepromBase), std::vector<uint8_t>(bytes, bytes + size)});
    return S_OK;
  }
  if (region(kFuseBase, kMaxSmallMemory, "fuse")) {
    if (!error.empty()) return ELF_E_TOOLARGE;
    small(content.Fuses, lma - kFuseBase);
    return S_OK;
  }
  if (region(kLockBase, kMaxSmallMemory, "lock")) {
    if (!error.empty()) return ELF_E_TOOLARGE;
    small(content.Lock, lma - kLockBase);
    return S_OK;
  }
  if (region(kSignatureBase, kMaxSmallMemory, "signature")) {
    if (!error.empty()) return ELF_E_TOOLARGE;
    // avr-libc stores the signature with its last byte first ({SIGNATURE_2, SIGNATURE_1,
    // SIGNATURE_0} in <avr/signature.h>); the chip reports SIGNATURE_0 (0x1E) first.
    std::vector<uint8_t> stored;
    small(stored, lma - kSignatureBase);
    content.Signature.assign(stored.rbegin(), stored.rend());
    return S_OK;
  }
  return S_OK; // the data space and anything above the known ranges
}

} // namespace

HRESULT ParseAvrElf(const std::vector<uint8_t>& file, TAvrElfContent& content, std::string& error) {
  error.clear();
  content = {};
  return Guarded([&]() -> HRESULT {
    const size_t size = file.size();
    const uint8_t* data = file.data();
    if (size < SELFMAG || std::memcmp(data, ELFMAG, SELFMAG) != 0) {
      error = "not an ELF file (it does not begin with 0x7F 'E' 'L' 'F')";
      return ELF_E_NOTELF;
    }
    if (size < EI_NIDENT) {
      error = "damaged: the file ends within the ELF identification";
      return ELF_E_DAMAGED;
    }
    if (data[EI_CLASS] != ELFCLASS32) {
      error = data[EI_CLASS] == ELFCLASS64
                  ? "a 64-bit ELF file; AVR executables are 32-bit ELF files"
                  : "an ELF file of unknown class " + std::to_string(data[EI_CLASS]) +
                        "; AVR executables are 32-bit ELF files";
      return ELF_E_NOTAVR;
    }
    if (data[EI_DATA] != ELFDATA2LSB) {
      error = "a big-endian ELF file; AVR executables are little-endian";
      return ELF_E_NOTAVR;
    }
    if (data[EI_VERSION] != EV_CURRENT) {
      error = "an ELF file of unknown version " + std::to_string(data[EI_VERSION]);
      return ELF_E_NOTAVR;
    }
    if (size < sizeof(Elf32_Ehdr)) {
      error = "damaged: the file ends within the ELF header";
      return ELF_E_DAMAGED;
    }
    const uint16_t type = U16(data + offsetof(Elf32_Ehdr, e_type));
    const uint16_t machine = U16(data + offsetof(Elf32_Ehdr, e_machine));
    if (machine != EM_AVR) {
      error = "an ELF file for machine " + std::to_string(machine) + ", not for the AVR (" +
              std::to_string(EM_AVR) + ")";
      return ELF_E_NOTAVR;
    }
    if (type != ET_EXEC) {
      error = type == ET_REL ? "an AVR object file, not an executable: link it first"
                             : "an AVR ELF file of type " + std::to_string(type) + ", not an executable";
      return ELF_E_NOTAVR;
    }
    const uint64_t phoff = U32(data + offsetof(Elf32_Ehdr, e_phoff));
    const uint64_t shoff = U32(data + offsetof(Elf32_Ehdr, e_shoff));
    const uint16_t phentsize = U16(data + offsetof(Elf32_Ehdr, e_phentsize));
    const uint16_t phnum = U16(data + offsetof(Elf32_Ehdr, e_phnum));
    const uint16_t shentsize = U16(data + offsetof(Elf32_Ehdr, e_shentsize));
    const uint16_t shnum = U16(data + offsetof(Elf32_Ehdr, e_shnum));

    // The program headers: the loadable segments give the load addresses.
    if (phnum == PN_XNUM) {
      error = "damaged: an extended program header count, which no AVR executable needs";
      return ELF_E_DAMAGED;
    }
    if (phnum == 0) {
      error = "an AVR executable without loadable segments: nothing to program";
      return ELF_E_DAMAGED;
    }
    if (phentsize < sizeof(Elf32_Phdr)) {
      error = "damaged: program headers of " + std::to_string(phentsize) + " bytes (at least " +
              std::to_string(sizeof(Elf32_Phdr)) + ")";
      return ELF_E_DAMAGED;
    }
    if (!WithinFile(phoff, uint64_t(phnum) * phentsize, size)) {
      error = "damaged: the program header table lies beyond the end of the file";
      return ELF_E_DAMAGED;
    }
    std::vector<TSegment> loads;
    for (uint16_t i = 0; i < phnum; ++i) {
      const uint8_t* p = data + phoff + uint64_t(i) * phentsize;
      if (U32(p + offsetof(Elf32_Phdr, p_type)) != PT_LOAD) continue;
      TSegment s{U32(p + offsetof(Elf32_Phdr, p_offset)), U32(p + offsetof(Elf32_Phdr, p_filesz)),
                 U32(p + offsetof(Elf32_Phdr, p_vaddr)), U32(p + offsetof(Elf32_Phdr, p_paddr)),
                 U32(p + offsetof(Elf32_Phdr, p_memsz))};
      if (!WithinFile(s.offset, s.file_size, size)) {
        error = "damaged: loadable segment " + std::to_string(i) + " lies beyond the end of the file";
        return ELF_E_DAMAGED;
      }
      loads.push_back(s);
    }

    // The section headers, when the file has them: only the allocated sections with contents are
    // programmed, so padding between them within a segment stays a gap.
    std::vector<TSection> sections;
    if (shnum > 0 || shoff != 0) {
      if (shnum == 0) {
        error = "damaged: an extended section count, which no AVR executable needs";
        return ELF_E_DAMAGED;
      }
      if (shentsize < sizeof(Elf32_Shdr)) {
        error = "damaged: section headers of " + std::to_string(shentsize) + " bytes (at least " +
                std::to_string(sizeof(Elf32_Shdr)) + ")";
        return ELF_E_DAMAGED;
      }
      if (!WithinFile(shoff, uint64_t(shnum) * shentsize, size)) {
        error = "damaged: the section header table lies beyond the end of the file";
        return ELF_E_DAMAGED;
      }
      for (uint16_t i = 0; i < shnum; ++i) {
        const uint8_t* p = data + shoff + uint64_t(i) * shentsize;
        sections.push_back({U32(p + offsetof(Elf32_Shdr, sh_name)), U32(p + offsetof(Elf32_Shdr, sh_type)),
                            U32(p + offsetof(Elf32_Shdr, sh_flags)), U32(p + offsetof(Elf32_Shdr, sh_addr)),
                            U32(p + offsetof(Elf32_Shdr, sh_offset)),
                            U32(p + offsetof(Elf32_Shdr, sh_size))});
      }
    }

    if (sections.empty()) {
      // A file stripped of its section headers: the segments' file contents are all there is.
      for (const TSegment& s : loads)
        if (const HRESULT hr = Place(content, s.paddr, data + s.offset, s.file_size, error); hr != S_OK)
          return hr;
      return S_OK;
    }
    for (size_t i = 0; i < sections.size(); ++i) {
      const TSection& s = sections[i];
      if (!(s.flags & SHF_ALLOC) || s.type == SHT_NOBITS || s.type == SHT_NULL || s.size == 0) continue;
      if (!WithinFile(s.offset, s.size, size)) {
        error = "damaged: section " + std::to_string(i) + " lies beyond the end of the file";
        return ELF_E_DAMAGED;
      }
      // The load address is the segment's physical address plus the section's place in it (what
      // the linker's AT> puts there: .data after .text in flash). A section in no loadable
      // segment is not loaded.
      const TSegment* segment = nullptr;
      for (const TSegment& l : loads)
        if (s.offset >= l.offset && s.offset - l.offset + s.size <= l.file_size) {
          segment = &l;
          break;
        }
      if (!segment) continue;
      const uint64_t lma = segment->paddr + (s.offset - segment->offset);
      if (const HRESULT hr = Place(content, lma, data + s.offset, s.size, error); hr != S_OK) return hr;
    }
    return S_OK;
  });
}

HRESULT ReadAvrElfFile(const std::string& file_name, TAvrElfContent& content, std::string& error) {
  error.clear();
  const HRESULT hr = Guarded([&]() -> HRESULT {
    auto file = TFileStream::Open(file_name, TFileStream::TMode::fmOpenRead);
    if (!file) {
      error = file_name + ": " + std::strerror(errno);
      return E_UNEXPECTED;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[64 * 1024];
    for (size_t got; (got = file->Read(chunk, sizeof chunk)) > 0;) {
      if (bytes.size() + got > kMaxElfFileSize) {
        error = file_name + ": larger than the largest ELF file read (" +
                std::to_string(kMaxElfFileSize >> 20) + " MiB)";
        return ELF_E_TOOLARGE;
      }
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
    if (file->Failed()) {
      error = file_name + ": " + std::strerror(file->Error());
      return E_FAIL;
    }
    const HRESULT parsed = ParseAvrElf(bytes, content, error);
    if (parsed != S_OK) error = file_name + ": " + error;
    return parsed;
  });
  if (hr == E_OUTOFMEMORY && error.empty()) error = file_name + ": out of memory";
  return hr;
}

// ---- TuCElfFile ----

HRESULT TuCElfFile::Assign(TAvrElfContent&& content) {
  Buffer().SetSize(0);
  ClearCoverage();
  for (const TElfChunk& chunk : part_ == TImagePart::Eeprom ? content.Eeprom : content.Flash) {
    Buffer().Seek(chunk.Address, TSeekOrigin::soBeginning);
    if (Buffer().Write(chunk.Bytes.data(), chunk.Bytes.size()) != chunk.Bytes.size()) return E_OUTOFMEMORY;
    MarkCovered(chunk.Address, chunk.Bytes.size());
  }
  Buffer().Seek(0, TSeekOrigin::soBeginning);
  content_ = std::move(content);
  return S_OK;
}

HRESULT TuCElfFile::LoadFromFile(const std::string& file_name) {
  last_error_.clear();
  return Guarded([&]() -> HRESULT {
    TAvrElfContent content;
    if (const HRESULT hr = ReadAvrElfFile(file_name, content, last_error_); hr != S_OK) return hr;
    const bool eeprom = part_ == TImagePart::Eeprom;
    if ((eeprom ? content.Eeprom : content.Flash).empty()) {
      last_error_ = file_name + (eeprom ? ": the ELF file holds no EEPROM data (no .eeprom section)"
                                        : ": the ELF file holds no flash data");
      return E_FAIL;
    }
    const HRESULT hr = Assign(std::move(content));
    if (hr != S_OK) last_error_ = file_name + ": out of memory";
    return hr;
  });
}

HRESULT TuCElfFile::LoadFromStream(const std::shared_ptr<IStream>& source) {
  last_error_.clear();
  if (!source) return E_INVALIDARG;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    TIStreamAdater in(source);
    std::vector<uint8_t> bytes;
    uint8_t chunk[16 * 1024];
    for (size_t got; (got = in.Read(chunk, sizeof chunk)) > 0;) {
      if (bytes.size() + got > kMaxElfFileSize) {
        last_error_ = "larger than the largest ELF file read";
        return ELF_E_TOOLARGE;
      }
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
    TAvrElfContent content;
    if (const HRESULT parsed = ParseAvrElf(bytes, content, last_error_); parsed != S_OK) return parsed;
    return Assign(std::move(content));
  });
  if (hr != S_OK && last_error_.empty()) last_error_ = hr == E_OUTOFMEMORY ? "out of memory" : "failed";
  return hr;
}

HRESULT TuCElfFile::SaveToFile(const std::string& file_name) {
  last_error_ = file_name + ": ELF files are read, not written; save as .hex, .srec or .bin";
  return ELF_E_READONLY;
}

HRESULT TuCElfFile::SaveToStream(const std::shared_ptr<IStream>&) {
  last_error_ = "ELF files are read, not written; save as .hex, .srec or .bin";
  return ELF_E_READONLY;
}

std::shared_ptr<IuCFile> NewElfFile(TImagePart part) {
  return std::make_shared<TuCElfFile>(part);
}

bool IsElfExtension(const std::string& file_name) {
  std::string extension = std::filesystem::path(file_name).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return extension == ".elf";
}
