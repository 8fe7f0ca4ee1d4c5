// What each memory of a chip is and how the serial programming instructions reach it: built from
// a device record and the programming family of its CPU type, so that the ISP layer, the simulated
// chip and the front ends never decide by CPU type themselves. The family facts come from the
// serial programming chapters of the datasheets; docs/memories.md lists them with their sources,
// and an optional <Programming> element of a CPU record can override them (also documented there).
#pragma once
#include "devicedb/uAVR_base.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class TAvrMemory : uint8_t { Flash, Eeprom, LowFuse, HighFuse, ExtFuse, Lock, Signature, Calibration };
constexpr int kAvrMemoryCount = 8;

// "flash", "eeprom", "lfuse", "hfuse", "efuse", "lock", "signature", "calibration": the names the
// command line, the window and the documentation use.
const char* AvrMemoryName(TAvrMemory memory);
std::optional<TAvrMemory> AvrMemoryFromName(std::string_view name); // case-insensitive

// How the end of a programming cycle is found.
enum class TAvrReady : uint8_t {
  RdyBsy,    // Poll RDY/BSY (F0 00 00 00): bit 0 of the answer is 1 while busy
  ValuePoll, // read the cell written until it reads back the value written; values in BusyValues
             // cannot be told from the busy answer, so those wait MaxWriteUs instead
  Timed,     // wait MaxWriteUs
};

// One four-byte instruction with its fixed bits. Address and data go in by the memory's rules
// (TAvrMemoryDesc); a bit map says where a fuse or lock bit sits.
struct TIspOp {
  std::array<uint8_t, 4> Bytes{};
  bool Present = false; // false: the chip has no such instruction over ISP

  static TIspOp Of(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4) { return {{b1, b2, b3, b4}, true}; }
};

// For each logical bit k of a fuse or lock byte (the bit numbers of the database's <Bit Bit="k">),
// the bit of the instruction byte (ReadByteIndex/WriteByteIndex) that carries it; -1: not carried.
using TAvrBitMap = std::array<int8_t, 8>;
constexpr TAvrBitMap kIdentityBits{0, 1, 2, 3, 4, 5, 6, 7};

struct TAvrMemoryDesc {
  TAvrMemory Kind = TAvrMemory::Flash;
  bool Present = false; // the chip has this memory
  int32_t Size = 0;     // bytes
  int32_t PageSize = 0; // bytes of a page write; 0 = written byte by byte

  // Flash: Read = low byte (20), ReadHigh = high byte (28); Load/LoadHigh the page buffer (40/48),
  // or in byte mode the byte writes themselves; Commit the page write (4C). EEPROM: Read A0, Write
  // C0 (byte mode), Load C1 and Commit C2 (page mode). Fuses and lock: Read and Write.
  TIspOp Read, ReadHigh, Load, LoadHigh, Write, Commit;

  // Fuses and lock: where each logical bit sits in the read's answer (byte 3 of Read) and in the
  // write (byte WriteByteIndex of Write, whose other bits are Write's fixed bits). A bit is 0 when
  // programmed in both. ReadableBits/WritableBits: the logical bits carried.
  TAvrBitMap ReadBits{-1, -1, -1, -1, -1, -1, -1, -1};
  TAvrBitMap WriteBits{-1, -1, -1, -1, -1, -1, -1, -1};
  uint8_t WriteByteIndex = 3;
  uint8_t ReadableBits = 0, WritableBits = 0;
  // Bits the record names: the ones that exist on this chip. Any other bit is written unprogrammed.
  uint8_t DescribedBits = 0;

  TAvrReady Ready = TAvrReady::Timed;
  // Answers of a cell being written (value polling): a written value among them cannot be polled.
  std::array<uint8_t, 4> BusyValues{0xFF, 0xFF, 0xFF, 0xFF};
  uint32_t MaxWriteUs = 0; // the datasheet's maximum programming time of one write or page

  bool Readable() const { return Read.Present; }
  bool Writable() const { return Write.Present || Commit.Present || Load.Present; }
  bool PageMode() const { return PageSize > 0; }
};

struct TAvrChipMemories {
  bool Known = false; // described from a record (false: before identification)
  std::array<TAvrMemoryDesc, kAvrMemoryCount> Memory{};
  TIspOp Erase = TIspOp::Of(0xAC, 0x80, 0x00, 0x00);
  TAvrReady EraseReady = TAvrReady::Timed; // RdyBsy where the chip has Poll RDY/BSY
  uint32_t EraseUs = 0;                    // the datasheet's chip erase time
  bool HasRdyBsy = false;
  // The ATtiny12 erases its flash cleanly only when a programmed word lies between two erases.
  bool DoubleErase = false;
  // After a chip erase the chip takes instructions only after a new reset and Programming Enable
  // (the parts without RDY/BSY); the others only need the erase to have ended.
  bool EraseNeedsReset = false;
  // The fuse that keeps the EEPROM through a chip erase: its memory and logical bit; Bit -1: none.
  TAvrMemory EesaveFuse = TAvrMemory::HighFuse;
  int8_t EesaveBit = -1;
  // Where the facts came from ("ATmega328P datasheet, Table 28-18"), for the documentation and -v.
  std::string Source;

  const TAvrMemoryDesc& operator[](TAvrMemory m) const { return Memory[size_t(m)]; }
  TAvrMemoryDesc& operator[](TAvrMemory m) { return Memory[size_t(m)]; }
};

// The memories of a record: the family defaults of its CPU type, then the record's sizes and bit
// names, then its <Programming> overrides. A record without a known CPU type gives the modern
// instruction set with timed waits of the longest modern times.
TAvrChipMemories DescribeMemories(const TAvrSigType& record);

// Places a logical fuse or lock value into a write instruction / takes it out of a read's answer.
// Logical bits the map does not carry read as 1 (unprogrammed).
uint8_t LogicalFromAnswer(const TAvrMemoryDesc& memory, uint8_t answer);
TIspOp WriteInstruction(const TAvrMemoryDesc& memory, uint8_t logical_value);

// The features (names) of a fuse or lock memory in the record; null for other memories.
const TAvrFeatureByte* MemoryFeatures(const TAvrSigType& record, TAvrMemory memory);
