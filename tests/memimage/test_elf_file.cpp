// The ELF reader: the example program avr-gcc built lands where avr-objcopy puts it, hand-made
// files show the load addresses and gaps, and damaged or foreign files are refused with a reason.
#include "memimage/uElfFile.h"
#include "memimage_test_util.h"

#include <cstddef>
#include <cstring>
#include <elf.h>

namespace {

struct TPiece {
  uint32_t vma, lma;
  std::vector<uint8_t> bytes;
  uint32_t type = SHT_PROGBITS;
  uint32_t flags = SHF_ALLOC;
};

// An AVR executable laid out as avr-gcc lays it out: the ELF header, one program header per
// piece, the pieces' bytes, then the section headers (a null section first). Host fields are
// little-endian on the machines the tests run on, as in the file.
std::vector<uint8_t> MakeElf(const std::vector<TPiece>& pieces) {
  const size_t phoff = sizeof(Elf32_Ehdr);
  size_t data = phoff + pieces.size() * sizeof(Elf32_Phdr);
  std::vector<uint8_t> file(data);
  std::vector<Elf32_Phdr> phdrs;
  std::vector<Elf32_Shdr> shdrs(1);
  for (const TPiece& p : pieces) {
    Elf32_Phdr ph{};
    ph.p_type = PT_LOAD;
    ph.p_offset = uint32_t(file.size());
    ph.p_vaddr = p.vma;
    ph.p_paddr = p.lma;
    ph.p_filesz = ph.p_memsz = uint32_t(p.bytes.size());
    phdrs.push_back(ph);
    Elf32_Shdr sh{};
    sh.sh_type = p.type;
    sh.sh_flags = p.flags;
    sh.sh_addr = p.vma;
    sh.sh_offset = ph.p_offset;
    sh.sh_size = uint32_t(p.bytes.size());
    shdrs.push_back(sh);
    file.insert(file.end(), p.bytes.begin(), p.bytes.end());
  }
  const size_t shoff = file.size();
  file.resize(shoff + shdrs.size() * sizeof(Elf32_Shdr));
  std::memcpy(file.data() + shoff, shdrs.data(), shdrs.size() * sizeof(Elf32_Shdr));
  if (!phdrs.empty()) std::memcpy(file.data() + phoff, phdrs.data(), phdrs.size() * sizeof(Elf32_Phdr));
  Elf32_Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS32;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_EXEC;
  eh.e_machine = EM_AVR;
  eh.e_version = EV_CURRENT;
  eh.e_phoff = uint32_t(phoff);
  eh.e_shoff = uint32_t(shoff);
  eh.e_ehsize = sizeof(Elf32_Ehdr);
  eh.e_phentsize = sizeof(Elf32_Phdr);
  eh.e_phnum = uint16_t(pieces.size());
  eh.e_shentsize = sizeof(Elf32_Shdr);
  eh.e_shnum = uint16_t(shdrs.size());
  std::memcpy(file.data(), &eh, sizeof eh);
  return file;
}

template <class T> void Patch(std::vector<uint8_t>& file, size_t at, T value) {
  std::memcpy(file.data() + at, &value, sizeof value);
}

std::shared_ptr<IuCFile> LoadElf(const std::vector<uint8_t>& file, TImagePart part, HRESULT expected = S_OK) {
  auto elf = NewElfFile(part);
  EXPECT_EQ(elf->LoadFromStream(NewMemoryIStream(file)), expected) << elf->LastErrorText();
  return elf;
}

// A text section with a gap to an initialised-data section placed after it in flash (VMA in the
// data space), EEPROM, fuses, lock and a signature stored as avr-libc stores it.
std::vector<TPiece> FullPieces() {
  return {{0x0000, 0x0000, Counting(10)},
          {0x800100, 0x0010, {0xD1, 0xD2, 0xD3}, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE},
          {0x800200, 0x0020, std::vector<uint8_t>(8, 0), SHT_NOBITS, SHF_ALLOC | SHF_WRITE},
          {0x810004, 0x810004, {0xE1, 0xE2}},
          {0x820000, 0x820000, {0x62, 0xD9, 0xFF}},
          {0x830000, 0x830000, {0xCF}},
          {0x840000, 0x840000, {0x0F, 0x95, 0x1E}}};
}

} // namespace

TEST(ElfReader, PlacesEachMemoryAtItsLoadAddress) {
  const std::vector<uint8_t> file = MakeElf(FullPieces());
  TAvrElfContent content;
  std::string error;
  ASSERT_EQ(ParseAvrElf(file, content, error), S_OK) << error;
  EXPECT_EQ(content.Fuses, (std::vector<uint8_t>{0x62, 0xD9, 0xFF}));
  EXPECT_EQ(content.Lock, (std::vector<uint8_t>{0xCF}));
  EXPECT_EQ(content.Signature, (std::vector<uint8_t>{0x1E, 0x95, 0x0F}));

  auto flash = LoadElf(file, TImagePart::Flash);
  std::vector<uint8_t> expected(0x13, kImageFill);
  std::copy_n(Counting(10).begin(), 10, expected.begin());
  expected[0x10] = 0xD1, expected[0x11] = 0xD2, expected[0x12] = 0xD3;
  // .data at its flash address; .bss (no bits) and the other memories are not in the flash image.
  EXPECT_EQ(Bytes(Image(flash)), expected);
  std::vector<uint8_t> covered;
  ASSERT_EQ(Image(flash)->GetCoverage(0, 0x14, covered), S_OK);
  for (size_t i = 0; i < covered.size(); ++i) EXPECT_EQ(covered[i], i < 10 || (i >= 0x10 && i < 0x13)) << i;

  auto eeprom = LoadElf(file, TImagePart::Eeprom);
  EXPECT_EQ(Bytes(Image(eeprom)), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xE1, 0xE2}));
  ASSERT_EQ(Image(eeprom)->GetCoverage(0, 6, covered), S_OK);
  EXPECT_EQ(covered, (std::vector<uint8_t>{0, 0, 0, 0, 1, 1}));

  // A file stripped of its section headers loads from its segments.
  std::vector<uint8_t> stripped = file;
  Patch<uint32_t>(stripped, offsetof(Elf32_Ehdr, e_shoff), 0);
  Patch<uint16_t>(stripped, offsetof(Elf32_Ehdr, e_shnum), 0);
  ASSERT_EQ(ParseAvrElf(stripped, content, error), S_OK) << error;
  ASSERT_EQ(content.Flash.size(), 3u); // the .bss segment's 8 bytes are in the file here
  EXPECT_EQ(content.Flash[1].Address, 0x10u);
  EXPECT_EQ(content.Signature, (std::vector<uint8_t>{0x1E, 0x95, 0x0F}));

  // ELF is only read.
  ScratchDir dir;
  EXPECT_EQ(flash->SaveToFile(dir / "out.elf"), ELF_E_READONLY);
  EXPECT_EQ(flash->LastErrorText(),
            dir / "out.elf" + ": ELF files are read, not written; save as .hex, .srec or .bin");
  EXPECT_TRUE(dir.Names().empty());
  // An EEPROM part of a file without .eeprom says so.
  WriteFile(dir / "noeeprom.elf",
            std::string(reinterpret_cast<const char*>(MakeElf({FullPieces()[0]}).data()),
                        MakeElf({FullPieces()[0]}).size()));
  auto part = NewFileForName(dir / "noeeprom.elf", TImagePart::Eeprom);
  ASSERT_TRUE(std::dynamic_pointer_cast<TuCElfFile>(part));
  EXPECT_NE(part->LoadFromFile(dir / "noeeprom.elf"), S_OK);
  EXPECT_EQ(part->LastErrorText(),
            dir / "noeeprom.elf" + ": the ELF file holds no EEPROM data (no .eeprom section)");
  EXPECT_EQ(std::dynamic_pointer_cast<TuCElfFile>(NewFileForName("X.ELF"))->Part(), TImagePart::Flash);
}

TEST(ElfReader, RefusesForeignAndDamagedFiles) {
  const std::vector<uint8_t> good = MakeElf(FullPieces());
  struct TCase {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    HRESULT code;
    std::string error;
  };
  const size_t ph0 = sizeof(Elf32_Ehdr); // the first program header
  const uint32_t shoff = [&] {
    uint32_t v;
    std::memcpy(&v, good.data() + offsetof(Elf32_Ehdr, e_shoff), 4);
    return v;
  }();
  const size_t sh1 = shoff + sizeof(Elf32_Shdr); // the first real section
  const TCase cases[] = {
      {"text",
       [](auto& f) {
         f.assign({'h', 'e', 'l', 'l', 'o'});
       },
       ELF_E_NOTELF, "not an ELF file (it does not begin with 0x7F 'E' 'L' 'F')"},
      {"64-bit", [](auto& f) { f[EI_CLASS] = ELFCLASS64; }, ELF_E_NOTAVR,
       "a 64-bit ELF file; AVR executables are 32-bit ELF files"},
      {"big-endian", [](auto& f) { f[EI_DATA] = ELFDATA2MSB; }, ELF_E_NOTAVR,
       "a big-endian ELF file; AVR executables are little-endian"},
      {"x86-64", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_machine), EM_X86_64); },
       ELF_E_NOTAVR, "an ELF file for machine 62, not for the AVR (83)"},
      {"object", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_type), ET_REL); }, ELF_E_NOTAVR,
       "an AVR object file, not an executable: link it first"},
      {"short header", [](auto& f) { f.resize(40); }, ELF_E_DAMAGED,
       "damaged: the file ends within the ELF header"},
      {"phoff", [](auto& f) { Patch<uint32_t>(f, offsetof(Elf32_Ehdr, e_phoff), 0xFFFFFFF0u); },
       ELF_E_DAMAGED, "damaged: the program header table lies beyond the end of the file"},
      {"phnum", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_phnum), 0xFFF0); }, ELF_E_DAMAGED,
       "damaged: the program header table lies beyond the end of the file"},
      {"phentsize", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_phentsize), 8); }, ELF_E_DAMAGED,
       "damaged: program headers of 8 bytes (at least 32)"},
      {"no segments", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_phnum), 0); }, ELF_E_DAMAGED,
       "an AVR executable without loadable segments: nothing to program"},
      // Offset plus size wraps around 32 bits: must not pass as "within the file".
      {"segment wraps",
       [&](auto& f) {
         Patch<uint32_t>(f, ph0 + offsetof(Elf32_Phdr, p_offset), 0xFFFFFF00u);
         Patch<uint32_t>(f, ph0 + offsetof(Elf32_Phdr, p_filesz), 0x200);
       },
       ELF_E_DAMAGED, "damaged: loadable segment 0 lies beyond the end of the file"},
      {"shnum", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_shnum), 0x8000); }, ELF_E_DAMAGED,
       "damaged: the section header table lies beyond the end of the file"},
      {"shentsize", [](auto& f) { Patch<uint16_t>(f, offsetof(Elf32_Ehdr, e_shentsize), 4); }, ELF_E_DAMAGED,
       "damaged: section headers of 4 bytes (at least 40)"},
      {"section size", [&](auto& f) { Patch<uint32_t>(f, sh1 + offsetof(Elf32_Shdr, sh_size), 0xFFFFFFFFu); },
       ELF_E_DAMAGED, "damaged: section 1 lies beyond the end of the file"},
      {"eeprom overflow",
       [&](auto& f) {
         // The EEPROM section's segment and section moved to the end of the EEPROM range.
         const size_t ph3 = ph0 + 3 * sizeof(Elf32_Phdr), sh4 = sh1 + 3 * sizeof(Elf32_Shdr);
         Patch<uint32_t>(f, ph3 + offsetof(Elf32_Phdr, p_paddr), 0x81FFFFu);
         Patch<uint32_t>(f, sh4 + offsetof(Elf32_Shdr, sh_addr), 0x81FFFFu);
       },
       ELF_E_TOOLARGE, "the EEPROM data at 0x81FFFF (2 bytes) runs beyond the EEPROM range"},
      {"huge fuse",
       [&](auto& f) {
         const size_t ph4 = ph0 + 4 * sizeof(Elf32_Phdr);
         Patch<uint32_t>(f, ph4 + offsetof(Elf32_Phdr, p_paddr), 0x82000Fu);
       },
       ELF_E_TOOLARGE, "the fuse data at 0x82000F (3 bytes) runs beyond the fuse range"},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> file = good;
    c.damage(file);
    TAvrElfContent content;
    std::string error;
    EXPECT_EQ(ParseAvrElf(file, content, error), c.code) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
  // Every truncation of a good file is refused or read, never read out of bounds (the sanitizer
  // build and the fuzzer watch the reads).
  for (size_t n = 0; n < good.size(); ++n) {
    TAvrElfContent content;
    std::string error;
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
    if (ParseAvrElf(cut, content, error) != S_OK) {
      EXPECT_FALSE(error.empty()) << n;
    }
  }
}

#ifdef PINLET_EXAMPLE_ELF
// The example avr-gcc built: its flash and EEPROM images equal avr-objcopy's extracts of the same
// file, and its fuse, lock and signature bytes are the ones its source sets.
TEST(ElfReader, ExampleProgramMatchesObjcopy) {
  const std::string dir = std::filesystem::path(PINLET_EXAMPLE_ELF).parent_path().string();
  auto hex = NewHexFile();
  ASSERT_EQ(hex->LoadFromFile(dir + "/settings_m328p.hex"), S_OK) << hex->LastErrorText();
  auto elf = NewFileForName(PINLET_EXAMPLE_ELF, TImagePart::Flash);
  ASSERT_EQ(elf->LoadFromFile(PINLET_EXAMPLE_ELF), S_OK) << elf->LastErrorText();
  EXPECT_EQ(Bytes(Image(elf)), Bytes(Image(hex)));

  auto eep = NewHexFile();
  ASSERT_EQ(eep->LoadFromFile(dir + "/settings_m328p.eep"), S_OK) << eep->LastErrorText();
  auto eeprom = NewFileForName(PINLET_EXAMPLE_ELF, TImagePart::Eeprom);
  ASSERT_EQ(eeprom->LoadFromFile(PINLET_EXAMPLE_ELF), S_OK) << eeprom->LastErrorText();
  EXPECT_EQ(Bytes(Image(eeprom)), Bytes(Image(eep)));

  TAvrElfContent content;
  std::string error;
  ASSERT_EQ(ReadAvrElfFile(PINLET_EXAMPLE_ELF, content, error), S_OK) << error;
  EXPECT_EQ(content.Fuses, (std::vector<uint8_t>{0xE2, 0xD9, 0xFF}));
  EXPECT_EQ(content.Lock, (std::vector<uint8_t>{0xCF}));
  // The ATmega328P's signature, 1E 95 0F; the m168 build's 1E 94 06 (datasheet 8271D, Table 28-10,
  // "Device ID").
  EXPECT_EQ(content.Signature, (std::vector<uint8_t>{0x1E, 0x95, 0x0F}));
  ASSERT_EQ(ReadAvrElfFile(PINLET_EXAMPLE_ELF_M168, content, error), S_OK) << error;
  EXPECT_EQ(content.Signature, (std::vector<uint8_t>{0x1E, 0x94, 0x06}));
  // The HEX reader refuses what is no HEX text; the ELF reader names the file it refuses.
  EXPECT_NE(ReadAvrElfFile(dir + "/settings_m328p.hex", content, error), S_OK);
  EXPECT_EQ(error, dir + "/settings_m328p.hex: not an ELF file (it does not begin with 0x7F 'E' 'L' 'F')");
}
#endif
