// Planning a change of a chip's fuse and lock bytes, for both front ends: what a request means on
// the identified chip (which bytes, which bits by name and description), what the programmer
// adjusts on its own (bits the chip does not have are written unprogrammed, bits its ISP cannot
// write keep their value), what the user must know before answering (a clock that needs a part on
// the board or a slower SCK, a lock mode that stops verify), and what is refused unless the user
// accepts it explicitly: settings after which ISP cannot reach the chip again. The controller
// executes a plan; the window's editor shows one while the user edits.
//
// Values are the bytes as the chip stores them: 0 = programmed, as datasheets and fuse
// calculators write them.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct TAvrSigType;
struct TAvrChipMemories;
enum class TAvrMemory : uint8_t;

enum class TConfigByteId : uint8_t { LowFuse, HighFuse, ExtFuse, Lock };
constexpr int kConfigByteCount = 4;
// "lfuse", "hfuse", "efuse", "lock": the names of --set and of the window.
const char* ConfigByteName(TConfigByteId id);
// "low fuse byte", "high fuse byte", "extended fuse byte", "lock byte".
const char* ConfigByteLabel(TConfigByteId id);
// The chip's memory that holds the byte.
TAvrMemory ConfigByteMemory(TConfigByteId id);

struct TConfigBit {
  std::string Name;        // the database's abbreviation ("CKDIV8")
  std::string Description; // its text in the vocabulary
  uint8_t Bit = 0;
  bool Writable = true; // the chip's ISP can change it
};

struct TConfigByte {
  TConfigByteId Id = TConfigByteId::LowFuse;
  bool Present = false;  // the chip has this byte
  bool Writable = false; // its ISP has a write for it
  uint8_t ReadableBits = 0, WritableBits = 0, DescribedBits = 0;
  std::optional<uint8_t> Current; // as read; empty when the chip cannot report it
  std::vector<TConfigBit> Bits;   // the described bits, bit 0 first
};

// The configuration bytes of one chip as the planning sees them.
struct TConfigChip {
  std::string ChipName;
  std::array<TConfigByte, kConfigByteCount> Bytes;
  // The record behind it (the clock tables read it); the front ends pass it on untouched.
  std::shared_ptr<const TAvrSigType> Record;

  const TConfigByte& operator[](TConfigByteId id) const { return Bytes[size_t(id)]; }
  TConfigByte& operator[](TConfigByteId id) { return Bytes[size_t(id)]; }
};

// The bytes and bits of a record's chip, without current values.
TConfigChip DescribeConfigChip(const TAvrSigType& record, const TAvrChipMemories& memories);

// One item of a request: a whole byte ("lfuse=0xE2") or one bit by name ("CKDIV8=unprogrammed").
struct TConfigSetting {
  bool WholeByte = true;
  std::string Target;   // "lfuse", "hfuse", "efuse", "lock", "fuse" (the only fuse byte), or a bit name
  uint8_t Value = 0xFF; // the byte; for a bit 0 = programmed, 1 = unprogrammed
  std::string Text;     // as the user wrote it
};

enum class TConfigScope : uint8_t { Fuses, Locks, Any };

struct TConfigRequest {
  TConfigScope Scope = TConfigScope::Any;
  std::vector<TConfigSetting> Settings; // applied in order
};

// Parses the --set text: items separated by commas, each BYTE=VALUE with BYTE lfuse, hfuse, efuse,
// fuse or lock and VALUE 0xNN, NN (decimal) or 0bNNNNNNNN; or BIT=STATE with a bit name as the
// database names it (any case) and STATE programmed / unprogrammed / 0 / 1. A bare value names the
// lock byte (Locks) or the only fuse byte (Fuses). false with error (for the user) on bad syntax;
// names are resolved against the chip when planning.
bool ParseConfigSettings(const std::string& text, TConfigScope scope, TConfigRequest& request,
                         std::string& error);

struct TConfigBitChange {
  std::string Name, Description;
  uint8_t Bit = 0;
  std::optional<bool> WasProgrammed; // empty when the byte could not be read
  bool Programmed = false;           // after the write
};

struct TConfigBytePlan {
  TConfigByteId Id = TConfigByteId::LowFuse;
  std::optional<uint8_t> Current;
  uint8_t Requested = 0xFF; // what the request asked for
  uint8_t New = 0xFF;       // what is written: undescribed bits 1, unwritable bits as they are
  bool Write = false;       // the chip does not hold New yet (or cannot tell)
  std::vector<TConfigBitChange> Changes;
};

struct TConfigPlan {
  std::vector<TConfigBytePlan> Bytes; // the bytes the request names, lfuse .. lock
  std::vector<std::string> Notes;     // what the programmer adjusted
  std::vector<std::string> Warnings;  // consequences to know before answering
  std::vector<std::string> Lockouts;  // settings that end ISP on the chip: refused unless allowed
  std::vector<std::string> Errors;    // why nothing of the request can be written

  bool HasWrites() const;
  bool Refused(bool lockout_allowed) const {
    return !Errors.empty() || (!Lockouts.empty() && !lockout_allowed);
  }
};

// The plan of a request on a chip whose Current values are filled in (where it can report them).
TConfigPlan PlanConfigChange(const TConfigChip& chip, const TConfigRequest& request);
// The same from the record, its memories and the raw bytes read (lfuse, hfuse, efuse, lock).
TConfigPlan PlanConfigChange(const TAvrSigType& record, const TAvrChipMemories& memories,
                             const std::array<std::optional<uint8_t>, kConfigByteCount>& current,
                             const TConfigRequest& request);

// SCK of the speed levels: the highest SCK frequency a level allows (each half period lasts at
// least the level's delay; the port's own time comes on top); 0 for a level without a delay.
uint32_t SpeedLevelMaxSckHz(uint8_t level);
// The fastest speed level whose SCK high and low phases last at least two clocks of a target
// running at target_hz (three from 12 MHz on), as the serial programming characteristics of the
// datasheets demand; empty when even the slowest level is too fast.
std::optional<uint8_t> SpeedLevelForTargetClock(uint32_t target_hz);
