// What an ELF file holds beside the flash image, for the front ends: avr-gcc puts the EEPROM, fuse,
// lock and signature bytes in sections of their own (.eeprom at 0x810000, .fuse at 0x820000, .lock
// at 0x830000, .signature at 0x840000). The flash and EEPROM images themselves load through
// TPinletController::LoadFile like any other file.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TElfConfig {
  std::vector<uint8_t> Fuses;  // .fuse, one byte per fuse, low first; empty when the file has none
  std::optional<uint8_t> Lock; // .lock
  std::vector<uint8_t>
      Signature; // .signature as the chip reports it (byte 0 first: 1E 95 0F); empty when none
};

// Reads those sections of an ELF file; false with error saying why (not an ELF file, not a 32-bit
// little-endian AVR executable, a damaged header).
bool ReadElfConfig(const std::string& path, TElfConfig& config, std::string& error);
// Whether a file name's extension selects ELF (.elf, any letter case).
bool IsElfFileName(const std::string& path);
