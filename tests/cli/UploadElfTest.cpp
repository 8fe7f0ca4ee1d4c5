// The example program that avr-gcc links with EEPROM data, fuses and lock bits in its ELF file,
// written with one pinlet-upload line and read back with another: flash, EEPROM, fuses and lock
// must be what the ELF file holds. The expected bytes come from a reader of the file's program
// headers in this test, not from the program's own ELF reader.
#include "sim/uSimChip.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/UploadTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

#ifndef PINLET_EXAMPLE_ELF
TEST(UploadElf, OneLineWritesFlashEepromFusesAndLockAndTheyReadBackEqual) {
  GTEST_SKIP() << "the example ELF was not built (no avr-gcc found when the build was configured)";
}
#else
constexpr const char* kUploadBinary = PINLET_BINARY_DIR "/bin/pinlet-upload";
constexpr const char* kDatabase = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

// avr-gcc's linker script puts each memory at its own offset of one address space: flash from 0,
// EEPROM at 0x810000, the fuse bytes at 0x820000 (low first), the lock byte at 0x830000, the
// signature at 0x840000 (avr-libc's <avr/fuse.h>, <avr/lock.h>, <avr/signature.h>).
constexpr uint32_t kEepromBase = 0x810000, kFuseBase = 0x820000, kLockBase = 0x830000,
                   kSignatureBase = 0x840000;

struct TElfMemories {
  std::map<uint32_t, uint8_t> flash, eeprom;
  std::vector<uint8_t> fuses; // low, high, extended as far as the file has them
  std::vector<uint8_t> lock;
};

// The loadable segments at their load (physical) addresses: .data is loaded into flash right after
// .text though it runs from RAM, so section addresses would not do.
bool ReadElfMemories(const std::string& file, TElfMemories& m, std::string& error) {
  Elf32_Ehdr eh;
  if (file.size() < sizeof eh) {
    error = "shorter than an ELF header";
    return false;
  }
  std::memcpy(&eh, file.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS32 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_AVR) {
    error = "not a 32-bit little-endian AVR ELF file";
    return false;
  }
  for (size_t i = 0; i < eh.e_phnum; ++i) {
    Elf32_Phdr ph;
    const size_t at = size_t(eh.e_phoff) + i * eh.e_phentsize;
    if (at + sizeof ph > file.size()) {
      error = "program header outside the file";
      return false;
    }
    std::memcpy(&ph, file.data() + at, sizeof ph);
    if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
    if (size_t(ph.p_offset) + ph.p_filesz > file.size()) {
      error = "segment outside the file";
      return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data() + ph.p_offset);
    for (uint32_t k = 0; k < ph.p_filesz; ++k) {
      const uint32_t address = ph.p_paddr + k;
      if (address < kEepromBase)
        m.flash[address] = bytes[k];
      else if (address < kFuseBase)
        m.eeprom[address - kEepromBase] = bytes[k];
      else if (address < kLockBase)
        m.fuses.push_back(bytes[k]);
      else if (address < kSignatureBase)
        m.lock.push_back(bytes[k]);
    }
  }
  return true;
}

// A byte as the h format writes it ("0xe2"), or as a plain number.
int ParseValueText(const std::string& text) {
  try {
    return int(std::stoul(text, nullptr, 0));
  } catch (...) {
    return -1;
  }
}

TEST(UploadElf, OneLineWritesFlashEepromFusesAndLockAndTheyReadBackEqual) {
  const std::string elf = PINLET_EXAMPLE_ELF;
  ASSERT_TRUE(std::filesystem::exists(elf)) << elf;
  ASSERT_TRUE(std::filesystem::exists(kUploadBinary)) << kUploadBinary << " has not been built";
  TElfMemories want;
  std::string error;
  ASSERT_TRUE(ReadElfMemories(ReadText(elf), want, error)) << elf << ": " << error;
  ASSERT_FALSE(want.flash.empty());
  ASSERT_FALSE(want.eeprom.empty()) << "the example has EEMEM data";
  ASSERT_EQ(want.fuses.size(), 3u) << "the example sets low, high and extended fuses";
  ASSERT_EQ(want.lock.size(), 1u) << "the example sets its lock bits";

  TScratchDir state, work;
  const std::string e = ":" + elf + ":e";
  TProcess r = RunArgs({kUploadBinary, "-p", "m328p", "-c", "sim", "-U", "flash:w" + e, "-U", "eeprom:w" + e,
                        "-U", "lfuse:w" + e, "-U", "hfuse:w" + e, "-U", "efuse:w" + e, "-U", "lock:w" + e},
                       state.Path(), work.Path());
  ASSERT_EQ(r.status, 0) << r.output;

  // Read back by the same binary, in formats the test reads itself.
  const std::string w = work.Path() + "/";
  r = RunArgs({kUploadBinary, "-p", "m328p", "-c", "sim", "-U", "flash:r:" + w + "flash.hex:i", "-U",
               "eeprom:r:" + w + "eeprom.hex:i", "-U", "lfuse:r:" + w + "lfuse.txt:h", "-U",
               "hfuse:r:" + w + "hfuse.txt:h", "-U", "efuse:r:" + w + "efuse.txt:h", "-U",
               "lock:r:" + w + "lock.txt:h"},
              state.Path(), work.Path());
  ASSERT_EQ(r.status, 0) << r.output;

  const TAvrSigType record = SimDatabaseRecord(kDatabase, "ATmega328P");
  const auto read_back = [&](const char* name, const std::map<uint32_t, uint8_t>& expected, size_t size) {
    std::map<uint32_t, uint8_t> got;
    std::string hex_error;
    ASSERT_TRUE(ReadIntelHex(ReadText(w + name), got, hex_error)) << name << ": " << hex_error;
    size_t wrong = 0;
    for (const auto& [address, value] : expected) {
      const auto it = got.find(address);
      if ((it == got.end() || it->second != value) && wrong++ < 5)
        ADD_FAILURE() << name << " at 0x" << std::hex << address << ": want " << int(value) << ", read "
                      << (it == got.end() ? -1 : int(it->second));
    }
    for (const auto& [address, value] : got) {
      if (address >= size)
        ADD_FAILURE() << name << " has data beyond the memory, at 0x" << std::hex << address;
      if (expected.count(address) == 0 && value != 0xFF && wrong++ < 5)
        ADD_FAILURE() << name << " at 0x" << std::hex << address << " is " << int(value) << ", not erased";
    }
    EXPECT_EQ(wrong, 0u) << name;
  };
  read_back("flash.hex", want.flash, size_t(record.MemSize.Flash));
  read_back("eeprom.hex", want.eeprom, size_t(record.MemSize.EEPROM));

  // Fuse and lock bits the chip does not have read as 1 (avr-libc's defaults set them so too).
  const auto masked = [](const TAvrFeatureByte& features, uint8_t value) {
    for (int k = 0; k < 8; ++k)
      if (features[size_t(k)].Name.empty()) value = uint8_t(value | (1u << k));
    return int(value);
  };
  EXPECT_EQ(ParseValueText(ReadText(w + "lfuse.txt")), masked(record.Fuses.Low, want.fuses[0]));
  EXPECT_EQ(ParseValueText(ReadText(w + "hfuse.txt")), masked(record.Fuses.High, want.fuses[1]));
  EXPECT_EQ(ParseValueText(ReadText(w + "efuse.txt")), masked(record.Fuses.Ext, want.fuses[2]));
  EXPECT_EQ(ParseValueText(ReadText(w + "lock.txt")), masked(record.Locks.Low, want.lock[0]));

  // And the chip itself holds them (a read path that agreed with a wrong write would not show).
  TSimChipOptions persisted;
  persisted.persist = true;
  persisted.state_dir = state.Path() + "/pinlet";
  const TSimAvrChip chip(record, persisted);
  ASSERT_EQ(chip.StateLoad(), TSimStateLoad::Loaded) << chip.StateWarning();
  EXPECT_EQ(int(chip.Fuse(0)), masked(record.Fuses.Low, want.fuses[0]));
  EXPECT_EQ(int(chip.Fuse(1)), masked(record.Fuses.High, want.fuses[1]));
  EXPECT_EQ(int(chip.Fuse(2)), masked(record.Fuses.Ext, want.fuses[2]));
  EXPECT_EQ(int(chip.Lock()), masked(record.Locks.Low, want.lock[0]));
  for (const auto& [address, value] : want.flash) {
    ASSERT_LT(address, chip.Flash().size());
    ASSERT_EQ(chip.Flash()[address], value) << "flash at " << address;
  }
  for (const auto& [address, value] : want.eeprom) {
    ASSERT_LT(address, chip.Eeprom().size());
    ASSERT_EQ(chip.Eeprom()[address], value) << "EEPROM at " << address;
  }
}
#endif

} // namespace
