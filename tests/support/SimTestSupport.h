// Helpers for tests of the simulated chip: device records built in code (no database file), a
// full-duplex line driver that sees what the chip puts out during every byte, and a scratch state
// directory that is removed again.
#pragma once
#include "devicedb/uAVR_base.h"
#include "sim/uSpiBus_Sim.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// ATmega328P-like (typed as actATmega168, whose lock and fuse reads it shares): 32 KB flash in 64-word pages,
// 1 KB EEPROM in 4-byte pages, fuses described with their factory defaults (low 0x62, high 0xD9, ext 0xFF,
// EESAVE in high bit 3).
TAvrSigType SimRecordMega328P();
// ATmega2560-like: 256 KB flash in 128-word pages (needs the extended address), 4 KB EEPROM,
// 8-byte EEPROM pages.
TAvrSigType SimRecordMega2560();
// ATmega8-like: 8 KB flash in 32-word pages, 512 bytes EEPROM; lock and fuse bits not described.
TAvrSigType SimRecordMega8();
// AT90S2313-like classic part: 2 KB flash written byte by byte (no page size), 128 bytes EEPROM.
TAvrSigType SimRecordClassic2313();

// The record of a chip in a database file (the shipped one: PINLET_SOURCE_DIR
// "/resources/CpuSignatures.xml"), loaded once; the global SignatureTable is left as it was. An
// empty record, and a failed expectation, when the file or the chip is not found.
TAvrSigType SimDatabaseRecord(const std::string& database, const char* chip_name);

// Drives a TSpiBus_Sim line by line, clocking a bit out and sampling MISO while SCK is high, the
// way the bus base does, but for every byte, so tests see echoes as well as answers.
class TSimLineDriver {
public:
  explicit TSimLineDriver(TSpiBus_Sim& bus) : bus_(bus) {}
  // RESET released, then asserted with SCK low (no waits: the chip needs none).
  void EnterReset();
  void LeaveReset() { bus_.SetReset(0); }
  uint8_t Transfer(uint8_t out);
  std::array<uint8_t, 4> Instruction(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
  // The fourth byte of an instruction.
  uint8_t Read(uint8_t b0, uint8_t b1, uint8_t b2) { return Instruction(b0, b1, b2, 0xFF)[3]; }
  // Programming Enable; true when the third byte echoed 0x53.
  bool Enable() { return Instruction(0xAC, 0x53, 0x00, 0x00)[2] == 0x53; }
  void ExtraClocks(int count);
  // Loads a page's words (offsets from 0) and writes the page at word_address.
  void WritePage(uint32_t word_address, const uint16_t* words, int count);

private:
  TSpiBus_Sim& bus_;
};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TScratchDir {
public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

// XDG_STATE_HOME pointed at a scratch folder while it lives, so that the simulated chips keep
// their state files there, and the simulated ports reset before and after; the old value back
// at the end.
class TScopedStateHome {
public:
  TScopedStateHome();
  ~TScopedStateHome();
  TScopedStateHome(const TScopedStateHome&) = delete;
  TScopedStateHome& operator=(const TScopedStateHome&) = delete;
  const std::string& Path() const { return dir_.Path(); }

private:
  TScratchDir dir_;
  std::optional<std::string> saved_;
};
