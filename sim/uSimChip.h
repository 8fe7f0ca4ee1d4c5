// A simulated AVR target that sees exactly the four lines a real chip sees: MOSI, SCK and RESET
// come in, MISO goes out. It decodes SCK edges itself, so the bus base, the ISP layer and the flash
// transfers above it run unchanged against it; no hardware is needed to try the programmer.
//
// Line behaviour (SPI mode 0, MSB first):
//  - RESET level 1 holds the chip in reset. Asserting it while SCK is low arms serial programming;
//    asserting it while SCK is high does not (a real chip then needs another RESET pulse).
//    Releasing RESET leaves programming mode and lets the chip run.
//  - MOSI is sampled on the rising SCK edge; the next MISO bit is put out after the falling edge,
//    so it is valid while SCK is high, when the bus base samples it.
//  - Instructions are framed in 32-bit groups counted from the moment RESET was asserted. Until
//    Programming Enable (AC 53 xx yy) has been framed correctly, every other instruction is
//    ignored and the only output is the echo of the second byte during the third one of a frame
//    that began with AC; a programmer that is out of step therefore reads no or a misaligned echo
//    and must add clocks to resynchronise.
//  - Once enabled, every byte put out is the byte received before it (real chips echo the first
//    byte during the second one), except that read instructions answer in their fourth byte.
//
// What differs between chips comes from the chip's memory description (DescribeMemories):
//  - Busy times: a programming cycle keeps the chip busy for kSimBusyPercent of the datasheet
//    maximum of that memory (flash page or byte, EEPROM, fuse and lock bytes, chip erase), as a
//    real chip usually finishes well inside its maximum; a programmer that asks the chip is done
//    sooner than one that waits the maximum. Time is the wait clock's (WaitClock().NowNs()), so
//    tests that install a virtual clock see no real waits. A programming instruction that arrives
//    while the chip is busy is not executed and is counted; page-buffer loads and reads are
//    accepted while busy: they touch no memory cell.
//  - Poll RDY/BSY (F0) exists only where the description has RDY/BSY; elsewhere F0 is an unknown
//    instruction. Those parts are value-polled instead: while a flash byte or page, or an EEPROM
//    byte or page, is being written, reading a cell of it answers the memory's first busy value
//    (0x7F on the classic parts' flash, 0xFF on the ATmega161/163, ...), then the written value.
//  - Flash in pages (40/48 load, 4C write) or byte by byte (40/48 write at the full word address),
//    EEPROM page mode (C1/C2) only where the description lists it, otherwise C1/C2 are unknown.
//  - Fuse and lock reads and writes are decoded with the description's bit maps: the old parts
//    read lock and fuse bits in one byte, write them in the instruction's second byte, and some
//    have no read at all (their 50/58 are unknown instructions). Bits of the instruction byte that
//    the datasheets mark "x" are not decoded: an operation is told by the bits that tell it from the
//    chip's other fuse and lock operations.
//  - The chip keeps fuse and lock bytes in the database's bit numbering (bit k is <Bit Bit="k">,
//    0 = programmed), which on the parts since 2001 is the byte the chip reports. Lock bits only
//    get programmed until a chip erase; fuses take the written value; bits the record does not
//    name read back as 1.
//
// Persistent state: with persistence enabled the chip loads its memories from a state file when it
// is created and saves them (only if something changed) when it is destroyed or SaveState is
// called. The file lives in SimStateDirectory() ($XDG_STATE_HOME/pinlet, else
// ~/.local/state/pinlet) and is named "sim-<chip name>.state" (characters other than letters,
// digits, '-' and '_' become '_'). Format, version 1: a text header of "key value" lines
//
//   PINLET-SIMCHIP 1
//   name ATmega328P
//   signature 1E 95 0F 00
//   flash 32768
//   eeprom 1024
//   lock FF
//   fuses 62 D9 FF            (low, high, extended; 0 = programmed, bit k = <Bit Bit="k">)
//   data
//
// followed directly by the raw flash bytes and then the raw EEPROM bytes. A file whose magic,
// signature, sizes or length do not match the chip is not used: the chip starts erased, with its
// default fuses, the file is renamed to <file>.bad-<time> and StateWarning says why. Saving writes
// a temporary file in the same directory and renames it over the old one, so a crash never leaves
// half a file.
#pragma once
#include "base/uStatus.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TSimChipOptions {
  // Persistence. Off by default so that nothing a test builds writes into the user's home; the
  // SIM ports turn it on.
  bool persist = false;
  std::string state_dir; // empty = SimStateDirectory()

  // Fault injection.
  bool no_chip = false;                   // nothing on the lines: MISO rests, nothing is answered
  int64_t stop_after_bytes = -1;          // the chip goes dead after this many bytes (-1 = never)
  int64_t stop_after_bits = -1;           // the same, counted in clocked bits (a cable pulled mid-byte)
  uint8_t resting_miso = 1;               // an undriven MISO: 1 floats high (pull-up), 0 sticks low
  std::optional<TAvrSignature> signature; // answer this instead of the record's signature
};

// What the chip did, for tests and the benchmark.
struct TSimChipCounters {
  uint64_t bits = 0;                // bits clocked in while armed for programming
  uint64_t bytes = 0;               // bytes clocked in while armed for programming
  uint64_t enables = 0;             // Programming Enable instructions accepted
  uint64_t ignored_not_enabled = 0; // instructions dropped before Programming Enable
  uint64_t instructions = 0;        // instructions executed while enabled (enable repeats included)
  uint64_t ignored_busy = 0;        // programming instructions dropped because the chip was busy
  uint64_t unknown = 0;             // instructions the chip does not know
  uint64_t page_writes = 0;         // flash pages programmed
  uint64_t flash_byte_writes = 0;   // byte-wise flash writes of classic parts
  uint64_t chip_erases = 0;
  uint64_t eeprom_writes = 0; // EEPROM bytes or pages written
  uint64_t fuse_writes = 0;   // fuse bytes written
  uint64_t lock_writes = 0;
};

enum class TSimStateLoad { Disabled, Missing, Loaded, Rejected };

// The simulated chip finishes a programming cycle in this share of the datasheet maximum.
constexpr uint32_t kSimBusyPercent = 80;
// The busy time of a cycle whose datasheet maximum is max_us, in nanoseconds.
constexpr uint64_t SimBusyNs(uint32_t max_us) {
  return uint64_t(max_us) * 1000u * kSimBusyPercent / 100u;
}

// The directory of the state files: $XDG_STATE_HOME/pinlet when that variable holds an absolute
// path, else $HOME/.local/state/pinlet; "" when neither can be found.
std::string SimStateDirectory();
// The state file name for a chip name ("sim-ATmega328P.state").
std::string SimStateFileName(const std::string& cpu_name);

// Default raw fuse and lock bytes of a record: each described bit takes its "Default" value (any
// non-zero value counts as 1), undescribed bits are 1 (unprogrammed).
uint8_t SimDefaultByte(const TAvrFeatureByte& features);
// Calibration byte i: 0x80 + ((byte2 * 7 + byte3 + 5 * i) mod 32), in the range of the internal
// RC oscillator values that factories program. Fixed per chip so that reads are repeatable.
uint8_t SimCalibrationByte(const TAvrSignature& sig, uint8_t index);

class TSimAvrChip {
public:
  // A record whose sizes RecordSizesUsable refuses gives a chip without memories that never
  // answers, rather than one that allocates whatever the record claims; CreateSimPortBus refuses
  // such records before it gets this far.
  explicit TSimAvrChip(const TAvrSigType& record, TSimChipOptions options = {});
  ~TSimAvrChip(); // saves the state when persistence is on and something changed
  TSimAvrChip(const TSimAvrChip&) = delete;
  TSimAvrChip& operator=(const TSimAvrChip&) = delete;

  // The pins.
  void SetMosi(uint8_t level);
  void SetSck(uint8_t level);
  void SetReset(uint8_t level);
  uint8_t Miso() const;

  // Saves the state file now if persistence is on and something changed since the last load or
  // save. 0, or a negated errno value of the failed system call; SaveErrorText then says what
  // failed, for the user.
  HRESULT SaveState();
  const std::string& SaveErrorText() const { return save_error_text_; }
  TSimStateLoad StateLoad() const { return state_load_; }
  std::string StatePath() const; // "" when persistence is off
  // A state file that could not be used: a warning for the user naming the file, what was wrong
  // and where it was kept (renamed to <file>.bad-<time>); "" when there was none.
  const std::string& StateWarning() const { return state_warning_; }

  // Exclusive use of the state file while a bus has the chip (a lock file beside the state file),
  // so that two runs on the same chip cannot both write and lose one of the writes. On success the
  // state is loaded again, as the previous holder may have saved since. -EBUSY while another holder
  // has it; 0 otherwise, also when persistence is off or the lock file cannot be made (the save
  // then reports the reason).
  HRESULT LockState();
  void UnlockState();

  // Inspection and set-up for tests (no programming cycle, no busy time).
  const TAvrSigType& Record() const { return record_; }
  const TSimChipCounters& Counters() const { return counters_; }
  bool InProgMode() const { return armed_; }
  bool Enabled() const { return enabled_; }
  bool Busy() const;
  bool Dead() const { return dead_; }
  // Fault injection while running: the chip goes dead after this many more clocked bits (0: now).
  void GoSilentAfterBits(uint64_t bits);
  // The writable views count as a change: the state is saved afterwards.
  const std::vector<uint8_t>& Flash() const { return flash_; }
  std::vector<uint8_t>& Flash() {
    dirty_ = true;
    return flash_;
  }
  const std::vector<uint8_t>& Eeprom() const { return eeprom_; }
  std::vector<uint8_t>& Eeprom() {
    dirty_ = true;
    return eeprom_;
  }
  uint8_t Lock() const { return lock_; }
  uint8_t Fuse(int index) const { return fuses_[index]; } // 0 low, 1 high, 2 extended
  void SetFuses(uint8_t low, uint8_t high, uint8_t ext);
  void SetLock(uint8_t lock);
  int32_t FlashPageWords() const { return page_words_; } // 0 for classic (byte-wise) parts
  const TAvrChipMemories& Memories() const { return memories_; }
  // How long a write of memory (a page where it is paged) or a chip erase keeps the chip busy.
  uint64_t BusyNs(TAvrMemory memory) const { return SimBusyNs(memories_[memory].MaxWriteUs); }
  uint64_t EraseBusyNs() const { return SimBusyNs(memories_.EraseUs); }

private:
  void OnRisingEdge();
  void OnFallingEdge();
  void OnByte(uint8_t value);
  uint8_t Answer() const; // the fourth byte of the instruction in buf_[0..2]
  void Execute();
  bool StartCycle(uint64_t busy_ns); // false (and counted) while busy
  // The cells being written answer the memory's busy value until the cycle ends (value polling).
  void PollCells(TAvrMemory memory, size_t first, size_t count);
  uint8_t Polled(TAvrMemory memory, size_t index, uint8_t value) const;
  void ChipErase();
  void WriteFlashPage();
  void WriteEepromPage();
  // Fuse and lock bytes: the stored byte of a memory, which memories a read or write instruction
  // addresses, and the answer of a read.
  uint8_t& ConfigByte(TAvrMemory memory);
  uint8_t ConfigByte(TAvrMemory memory) const;
  bool ReadAddresses(TAvrMemory memory) const;
  bool WriteAddresses(TAvrMemory memory) const;
  bool ConfigAnswer(uint8_t& answer) const; // false: no fuse or lock read has this instruction
  bool WriteConfig();                       // false: no fuse or lock write has this instruction
  uint32_t FlashWordAddress() const;
  uint8_t ReadFlashByte(uint32_t word_address, bool high) const;
  void LoadState();
  // Reads the state file into the memories: Loaded, Missing, or Rejected with the reason.
  TSimStateLoad ParseStateFile(const std::string& path, std::string& reason);
  HRESULT WriteStateFile(const std::string& path);

  TAvrSigType record_;
  TAvrChipMemories memories_;
  TSimChipOptions options_;
  TAvrSignature signature_;

  std::vector<uint8_t> flash_, eeprom_;
  std::vector<uint8_t> page_buffer_; // page_words_ * 2 bytes
  std::vector<uint8_t> eeprom_buffer_;
  std::vector<bool> eeprom_loaded_;
  int32_t page_words_ = 0;
  int32_t eeprom_page_ = 0; // bytes of an EEPROM page; 0 without page mode
  uint8_t lock_ = 0xFF;
  std::array<uint8_t, 3> fuses_{0xFF, 0xFF, 0xFF};
  uint8_t extended_address_ = 0;

  // Line state.
  uint8_t mosi_ = 1, sck_ = 0, reset_ = 0;
  bool armed_ = false;    // RESET held with a clean entry: bytes are being framed
  bool enabled_ = false;  // Programming Enable accepted since RESET was asserted
  bool dead_ = false;     // injected fault: stopped answering
  bool unusable_ = false; // the record's sizes cannot be simulated: nothing is answered
  int64_t silent_at_bit_ = -1;
  uint8_t in_ = 0, out_ = 0, next_out_ = 0;
  int bit_ = 0;
  bool load_pending_ = false;
  uint64_t byte_index_ = 0; // bytes since RESET was asserted: position = index mod 4
  std::array<uint8_t, 4> buf_{};

  uint64_t busy_until_ns_ = 0;
  // The cells of the cycle in progress that answer a busy value (none on RDY/BSY parts).
  TAvrMemory polled_memory_ = TAvrMemory::Flash;
  size_t polled_first_ = 0, polled_count_ = 0;
  TSimChipCounters counters_;
  bool dirty_ = false;
  TSimStateLoad state_load_ = TSimStateLoad::Disabled;
  std::string state_warning_;
  std::string save_error_text_;
  bool keep_file_ = false; // a rejected file that could not be moved aside: never overwrite it
  int lock_fd_ = -1;
};
