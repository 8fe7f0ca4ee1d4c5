#include "sim/uSimChip.h"

#include "base/uKeepAside.h"
#include "core/uWait.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kStateMagic = "PINLET-SIMCHIP";
constexpr int kStateVersion = 1;
constexpr size_t kMaxHeaderBytes = 4096;

int32_t SizeOrZero(int32_t value) {
  return value > 0 ? value : 0;
}

HRESULT ErrnoStatus(int error) {
  return error > 0 ? -error : E_FAIL;
}

// Creates every missing component of an absolute or relative directory path.
HRESULT MakeDirectories(const std::string& path) {
  if (path.empty()) return E_INVALIDARG;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return ErrnoStatus(errno);
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return ErrnoStatus(errno);
  return S_ISDIR(st.st_mode) ? S_OK : ErrnoStatus(ENOTDIR);
}

HRESULT WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno);
    }
    data += n;
    size -= size_t(n);
  }
  return S_OK;
}

// Reads a whole file: 0, or the errno of the failed call (EFBIG when it is larger than limit).
int ReadWholeFile(const std::string& path, size_t limit, std::string& content) {
  // Non-blocking so that a FIFO in the file's place cannot hang the run; only a regular file is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st {};
  const bool stat_ok = fstat(fd, &st) == 0;
  if (!stat_ok || !S_ISREG(st.st_mode)) {
    const int error = stat_ok ? EINVAL : errno;
    close(fd);
    return error;
  }
  content.clear();
  char chunk[65536];
  int error = 0;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) break;
    content.append(chunk, size_t(n));
    if (content.size() > limit) {
      error = EFBIG;
      break;
    }
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

std::string Hex2(uint8_t v) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", v);
  return text;
}

bool ParseHexByte(const std::string& text, uint8_t& value) {
  if (text.size() != 2) return false;
  unsigned v = 0;
  for (char c : text) {
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= unsigned(c - '0');
    else if (c >= 'A' && c <= 'F')
      v |= unsigned(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
      v |= unsigned(c - 'a' + 10);
    else
      return false;
  }
  value = uint8_t(v);
  return true;
}

constexpr std::array<TAvrMemory, 4> kConfigMemories{TAvrMemory::LowFuse, TAvrMemory::HighFuse,
                                                    TAvrMemory::ExtFuse, TAvrMemory::Lock};

// Bits the record does not name read back as 1, as unused fuse and lock bits do on the chips; a
// record that names none of a byte's bits leaves the byte as written.
uint8_t MaskUndescribed(const TAvrMemoryDesc& memory, uint8_t value) {
  return memory.DescribedBits ? uint8_t(value | ~memory.DescribedBits) : value;
}

} // namespace

std::string SimStateDirectory() {
  // Relative values of XDG_STATE_HOME are invalid by the XDG rules and are ignored.
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/')
    return std::string(xdg) + "/pinlet";
  if (const char* home = std::getenv("HOME"); home && home[0] != '\0')
    return std::string(home) + "/.local/state/pinlet";
  return {};
}

std::string SimStateFileName(const std::string& cpu_name) {
  std::string name = "sim-";
  for (char c : cpu_name) {
    const bool keep =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    name += keep ? c : '_';
  }
  return name + ".state";
}

uint8_t SimDefaultByte(const TAvrFeatureByte& features) {
  uint8_t value = 0xFF;
  for (int k = 0; k < 8; ++k)
    if (features[k].Bit == k && features[k].Default == 0) value = uint8_t(value & ~(1u << k));
  return value;
}

uint8_t SimCalibrationByte(const TAvrSignature& sig, uint8_t index) {
  return uint8_t(0x80 + ((sig.byte2 * 7u + sig.byte3 + 5u * index) % 32u));
}

TSimAvrChip::TSimAvrChip(const TAvrSigType& record, TSimChipOptions options)
    : record_(record), memories_(DescribeMemories(record)), options_(std::move(options)),
      signature_(options_.signature.value_or(record.Sig)) {
  silent_at_bit_ = options_.stop_after_bits;
  if (!RecordSizesUsable(record_)) {
    unusable_ = true;
    return;
  }
  flash_.assign(size_t(SizeOrZero(record_.MemSize.Flash)), 0xFF);
  eeprom_.assign(size_t(SizeOrZero(record_.MemSize.EEPROM)), 0xFF);
  const TAvrMemoryDesc& flash = memories_[TAvrMemory::Flash];
  page_words_ = flash.Commit.Present && flash.PageSize >= 2 ? flash.PageSize / 2 : 0;
  page_buffer_.assign(size_t(page_words_) * 2, 0xFF);
  const TAvrMemoryDesc& eeprom = memories_[TAvrMemory::Eeprom];
  eeprom_page_ = eeprom.Load.Present && eeprom.Commit.Present ? eeprom.PageSize : 0;
  eeprom_buffer_.assign(size_t(eeprom_page_), 0xFF);
  eeprom_loaded_.assign(size_t(eeprom_page_), false);
  for (const TAvrMemory memory : kConfigMemories)
    ConfigByte(memory) = SimDefaultByte(*MemoryFeatures(record_, memory));
  LoadState();
  dead_ = options_.stop_after_bytes == 0 || options_.stop_after_bits == 0;
}

TSimAvrChip::~TSimAvrChip() {
  static_cast<void>(SaveState()); // nobody is left to tell; the bus saves before it lets go
  UnlockState();
}

void TSimAvrChip::GoSilentAfterBits(uint64_t bits) {
  if (bits == 0) dead_ = true;
  silent_at_bit_ = int64_t(counters_.bits + bits);
}

// ---- lines ----

void TSimAvrChip::SetMosi(uint8_t level) {
  mosi_ = level ? 1 : 0;
}

void TSimAvrChip::SetSck(uint8_t level) {
  const uint8_t next = level ? 1 : 0;
  if (next == sck_) return;
  sck_ = next;
  if (!armed_ || dead_ || options_.no_chip || unusable_) return;
  if (sck_)
    OnRisingEdge();
  else
    OnFallingEdge();
}

void TSimAvrChip::SetReset(uint8_t level) {
  const uint8_t next = level ? 1 : 0;
  if (next == reset_) return;
  reset_ = next;
  enabled_ = false;
  if (!reset_) {
    armed_ = false; // the chip runs
    return;
  }
  // Serial programming is armed only by a RESET edge with SCK low.
  armed_ = sck_ == 0;
  in_ = out_ = next_out_ = 0;
  bit_ = 0;
  load_pending_ = false;
  byte_index_ = 0;
  extended_address_ = 0;
  std::fill(page_buffer_.begin(), page_buffer_.end(), uint8_t(0xFF));
  std::fill(eeprom_buffer_.begin(), eeprom_buffer_.end(), uint8_t(0xFF));
  std::fill(eeprom_loaded_.begin(), eeprom_loaded_.end(), false);
}

uint8_t TSimAvrChip::Miso() const {
  // Nothing drives the line unless the chip is in programming mode and alive; it then rests where
  // the adapter leaves it (its pull-up, or a line that sticks low).
  if (options_.no_chip || dead_ || !armed_ || unusable_) return options_.resting_miso ? 1 : 0;
  return (out_ >> 7) & 1;
}

void TSimAvrChip::OnRisingEdge() {
  ++counters_.bits;
  if (silent_at_bit_ >= 0 && int64_t(counters_.bits) >= silent_at_bit_) dead_ = true;
  in_ = uint8_t(in_ << 1 | mosi_);
  if (++bit_ < 8) return;
  bit_ = 0;
  OnByte(in_);
}

void TSimAvrChip::OnFallingEdge() {
  if (load_pending_) {
    out_ = next_out_;
    load_pending_ = false;
  } else {
    out_ = uint8_t(out_ << 1);
  }
}

void TSimAvrChip::OnByte(uint8_t value) {
  const int position = int(byte_index_ % 4);
  ++byte_index_;
  ++counters_.bytes;
  buf_[size_t(position)] = value;
  load_pending_ = true;
  if (!enabled_) {
    // Before enable the only output is the echo of the second byte during the third, and only
    // when the frame began with the Programming Enable opcode. A plain echo would let a programmer
    // that is one bit out of step read 0x53 (0x53 has a 0 on top, so the shifted echo of 0xA7
    // looks right) while the chip itself never saw AC 53.
    next_out_ = position == 1 && buf_[0] == 0xAC ? value : 0x00;
  } else {
    next_out_ = position == 2 ? Answer() : value;
  }
  if (position == 3) Execute();
  if (options_.stop_after_bytes >= 0 && int64_t(counters_.bytes) >= options_.stop_after_bytes) dead_ = true;
}

bool TSimAvrChip::Busy() const {
  return WaitClock().NowNs() < busy_until_ns_;
}

uint32_t TSimAvrChip::FlashWordAddress() const {
  return uint32_t(extended_address_) << 16 | uint32_t(buf_[1]) << 8 | buf_[2];
}

uint8_t TSimAvrChip::ReadFlashByte(uint32_t word_address, bool high) const {
  if (flash_.empty()) return 0xFF;
  // Address bits beyond the flash are not decoded: the address wraps like on the chip.
  const size_t index = (size_t(word_address) * 2 + (high ? 1 : 0)) % flash_.size();
  return Polled(TAvrMemory::Flash, index, flash_[index]);
}

// fuses_ holds the low, high and extended fuse bytes in the order of TAvrMemory.
uint8_t& TSimAvrChip::ConfigByte(TAvrMemory memory) {
  return memory == TAvrMemory::Lock ? lock_ : fuses_[size_t(memory) - size_t(TAvrMemory::LowFuse)];
}

uint8_t TSimAvrChip::ConfigByte(TAvrMemory memory) const {
  return memory == TAvrMemory::Lock ? lock_ : fuses_[size_t(memory) - size_t(TAvrMemory::LowFuse)];
}

// A read is told by its first byte, and by its second only where another fuse or lock read shares
// the first (58 00 lock, 58 08 high fuse); elsewhere the datasheets mark the second byte "x".
bool TSimAvrChip::ReadAddresses(TAvrMemory memory) const {
  const TIspOp& read = memories_[memory].Read;
  if (!read.Present || read.Bytes[0] != buf_[0]) return false;
  if (read.Bytes[1] == buf_[1]) return true;
  for (const TAvrMemory other : kConfigMemories) {
    const TIspOp& op = memories_[other].Read;
    if (op.Present && op.Bytes[0] == read.Bytes[0] && op.Bytes[1] != read.Bytes[1]) return false;
  }
  return true;
}

// After AC, the old parts tell their operations by the top three bits of the second byte (111 lock,
// 101 fuse; the rest is data or "x"), and so does a modern lock write (111x xxxx). The modern fuse
// writes share 101 and need the whole byte (A0, A8, A4).
bool TSimAvrChip::WriteAddresses(TAvrMemory memory) const {
  const TIspOp& write = memories_[memory].Write;
  if (!write.Present || buf_[0] != write.Bytes[0]) return false;
  if (buf_[1] == write.Bytes[1]) return true;
  if ((buf_[1] & 0xE0) != (write.Bytes[1] & 0xE0)) return false;
  for (const TAvrMemory other : kConfigMemories) {
    const TIspOp& op = memories_[other].Write;
    if (other != memory && op.Present && (op.Bytes[1] & 0xE0) == (write.Bytes[1] & 0xE0)) return false;
  }
  return true;
}

bool TSimAvrChip::ConfigAnswer(uint8_t& answer) const {
  // Bits no memory puts into the answer read as 1. The old parts answer lock and fuse bits of one
  // read together (58: LB1 bit 7, LB2 bit 6, SPIEN bit 5, FSTRT/RCEN bit 0).
  bool addressed = false;
  answer = 0xFF;
  for (const TAvrMemory memory : kConfigMemories) {
    if (!ReadAddresses(memory)) continue;
    addressed = true;
    const TAvrMemoryDesc& desc = memories_[memory];
    const uint8_t value = ConfigByte(memory);
    for (int k = 0; k < 8; ++k) {
      const int8_t at = desc.ReadBits[size_t(k)];
      if (at >= 0 && (value >> k & 1) == 0) answer = uint8_t(answer & ~(1u << at));
    }
  }
  return addressed;
}

uint8_t TSimAvrChip::Answer() const {
  const uint8_t b1 = buf_[1], b2 = buf_[2];
  switch (buf_[0]) {
  case 0x20:
    return ReadFlashByte(FlashWordAddress(), false);
  case 0x28:
    return ReadFlashByte(FlashWordAddress(), true);
  case 0x30:
    return std::array<uint8_t, 4>{signature_.byte1, signature_.byte2, signature_.byte3,
                                  signature_.byte4}[b2 & 3];
  case 0x38:
    return SimCalibrationByte(signature_, b2 & 3);
  case 0xA0: {
    if (eeprom_.empty()) return 0xFF;
    const size_t index = (size_t(b1) << 8 | b2) % eeprom_.size();
    return Polled(TAvrMemory::Eeprom, index, eeprom_[index]);
  }
  case 0xF0:
    if (memories_.HasRdyBsy) return Busy() ? 0xFF : 0xFE;
    break;
  default:
    if (uint8_t answer = 0; ConfigAnswer(answer)) return answer;
    break;
  }
  return b2; // no answer: the previous byte comes back, as with every other byte
}

bool TSimAvrChip::StartCycle(uint64_t busy_ns) {
  const uint64_t now = WaitClock().NowNs();
  if (now < busy_until_ns_) {
    ++counters_.ignored_busy;
    return false;
  }
  busy_until_ns_ = now + busy_ns;
  polled_count_ = 0;
  dirty_ = true;
  return true;
}

void TSimAvrChip::PollCells(TAvrMemory memory, size_t first, size_t count) {
  // Parts with RDY/BSY are asked; what a read of a cell being written gives is not theirs to tell.
  if (memories_.HasRdyBsy) return;
  polled_memory_ = memory;
  polled_first_ = first;
  polled_count_ = count;
}

uint8_t TSimAvrChip::Polled(TAvrMemory memory, size_t index, uint8_t value) const {
  if (polled_count_ == 0 || memory != polled_memory_ || !Busy()) return value;
  const size_t size = memory == TAvrMemory::Flash ? flash_.size() : eeprom_.size();
  // The cells may wrap past the end of the memory, as their addresses do.
  const size_t offset = (index + size - polled_first_ % size) % size;
  return offset < polled_count_ ? memories_[memory].BusyValues[0] : value;
}

bool TSimAvrChip::WriteConfig() {
  for (const TAvrMemory memory : kConfigMemories) {
    if (!WriteAddresses(memory)) continue;
    const TAvrMemoryDesc& desc = memories_[memory];
    if (!StartCycle(SimBusyNs(desc.MaxWriteUs))) return true;
    const uint8_t carrier = buf_[desc.WriteByteIndex & 3];
    uint8_t written = 0xFF;
    for (int k = 0; k < 8; ++k) {
      const int8_t at = desc.WriteBits[size_t(k)];
      if (at >= 0 && (carrier >> at & 1) == 0) written = uint8_t(written & ~(1u << k));
    }
    uint8_t& cell = ConfigByte(memory);
    if (memory == TAvrMemory::Lock) {
      cell = MaskUndescribed(desc, uint8_t(cell & (written | ~desc.WritableBits))); // only ever programmed
      ++counters_.lock_writes;
    } else {
      cell = MaskUndescribed(desc, uint8_t((cell & ~desc.WritableBits) | (written & desc.WritableBits)));
      ++counters_.fuse_writes;
    }
    return true;
  }
  return false;
}

void TSimAvrChip::Execute() {
  const uint8_t b0 = buf_[0], b1 = buf_[1], b2 = buf_[2], b3 = buf_[3];
  if (!enabled_) {
    if (b0 == 0xAC && b1 == 0x53) {
      enabled_ = true;
      ++counters_.enables;
    } else {
      ++counters_.ignored_not_enabled;
    }
    return;
  }
  ++counters_.instructions;
  const TAvrMemoryDesc& flash = memories_[TAvrMemory::Flash];
  switch (b0) {
  case 0xAC:
    if (b1 == 0x53) {
      ++counters_.enables;
    } else if (b1 == 0x80) {
      if (StartCycle(EraseBusyNs())) ChipErase();
    } else if (!WriteConfig()) {
      ++counters_.unknown;
    }
    break;
  case 0x40:
  case 0x48: {
    const bool high = b0 == 0x48;
    if (page_words_ > 0) {
      const uint32_t offset = (uint32_t(b1) << 8 | b2) % uint32_t(page_words_);
      page_buffer_[offset * 2 + (high ? 1 : 0)] = b3;
    } else if (flash.Commit.Present || !flash.Load.Present || flash_.empty()) {
      ++counters_.unknown; // a paged chip whose page size the record does not give
    } else if (StartCycle(BusyNs(TAvrMemory::Flash))) {
      const size_t index = (size_t(FlashWordAddress()) * 2 + (high ? 1 : 0)) % flash_.size();
      flash_[index] &= b3; // byte mode: the write itself, and flash only goes from 1 to 0
      PollCells(TAvrMemory::Flash, index, 1);
      ++counters_.flash_byte_writes;
    }
    break;
  }
  case 0x4C:
    if (page_words_ == 0)
      ++counters_.unknown;
    else if (StartCycle(BusyNs(TAvrMemory::Flash)))
      WriteFlashPage();
    break;
  case 0x4D:
    extended_address_ = b2;
    break;
  case 0xC0:
    if (!eeprom_.empty() && StartCycle(BusyNs(TAvrMemory::Eeprom))) {
      const size_t index = (size_t(b1) << 8 | b2) % eeprom_.size();
      eeprom_[index] = b3; // EEPROM cells erase themselves first
      PollCells(TAvrMemory::Eeprom, index, 1);
      ++counters_.eeprom_writes;
    }
    break;
  case 0xC1:
    if (eeprom_page_ > 0) {
      const size_t offset = b2 % size_t(eeprom_page_);
      eeprom_buffer_[offset] = b3;
      eeprom_loaded_[offset] = true;
    } else {
      ++counters_.unknown;
    }
    break;
  case 0xC2:
    if (eeprom_page_ == 0)
      ++counters_.unknown;
    else if (!eeprom_.empty() && StartCycle(BusyNs(TAvrMemory::Eeprom)))
      WriteEepromPage();
    break;
  case 0x20:
  case 0x28:
  case 0x30:
  case 0x38:
  case 0xA0:
    break; // reads: answered in the fourth byte already
  case 0xF0:
    if (!memories_.HasRdyBsy) ++counters_.unknown;
    break;
  default:
    if (uint8_t answer = 0; !ConfigAnswer(answer)) ++counters_.unknown;
    break;
  }
}

void TSimAvrChip::ChipErase() {
  ++counters_.chip_erases;
  std::fill(flash_.begin(), flash_.end(), uint8_t(0xFF));
  // A programmed EESAVE fuse keeps the EEPROM through a chip erase.
  const bool keep =
      memories_.EesaveBit >= 0 && (ConfigByte(memories_.EesaveFuse) >> memories_.EesaveBit & 1) == 0;
  if (!keep) std::fill(eeprom_.begin(), eeprom_.end(), uint8_t(0xFF));
  lock_ = 0xFF;
}

void TSimAvrChip::WriteFlashPage() {
  ++counters_.page_writes;
  if (!flash_.empty()) {
    const uint32_t address = FlashWordAddress();
    const uint32_t base = address - address % uint32_t(page_words_);
    for (size_t i = 0; i < page_buffer_.size(); ++i) {
      const size_t index = (size_t(base) * 2 + i) % flash_.size();
      flash_[index] &= page_buffer_[i]; // flash cells can only go from 1 to 0 without an erase
    }
    // The whole page is written at once: any of its cells answers the busy value meanwhile.
    PollCells(TAvrMemory::Flash, (size_t(base) * 2) % flash_.size(), page_buffer_.size());
  }
  std::fill(page_buffer_.begin(), page_buffer_.end(), uint8_t(0xFF));
}

void TSimAvrChip::WriteEepromPage() {
  ++counters_.eeprom_writes;
  const size_t address = size_t(buf_[1]) << 8 | buf_[2];
  const size_t base = address - address % size_t(eeprom_page_);
  for (size_t i = 0; i < eeprom_buffer_.size(); ++i)
    if (eeprom_loaded_[i]) eeprom_[(base + i) % eeprom_.size()] = eeprom_buffer_[i];
  PollCells(TAvrMemory::Eeprom, base % eeprom_.size(), eeprom_buffer_.size());
  std::fill(eeprom_buffer_.begin(), eeprom_buffer_.end(), uint8_t(0xFF));
  std::fill(eeprom_loaded_.begin(), eeprom_loaded_.end(), false);
}

void TSimAvrChip::SetFuses(uint8_t low, uint8_t high, uint8_t ext) {
  fuses_ = {low, high, ext};
  dirty_ = true;
}

void TSimAvrChip::SetLock(uint8_t lock) {
  lock_ = lock;
  dirty_ = true;
}

// ---- persistence ----

std::string TSimAvrChip::StatePath() const {
  if (!options_.persist) return {};
  const std::string dir = options_.state_dir.empty() ? SimStateDirectory() : options_.state_dir;
  if (dir.empty()) return {};
  return dir + "/" + SimStateFileName(record_.CpuName);
}

void TSimAvrChip::LoadState() {
  const std::string path = StatePath();
  if (path.empty()) {
    state_load_ = TSimStateLoad::Disabled;
    return;
  }
  std::string reason;
  state_load_ = ParseStateFile(path, reason);
  if (state_load_ != TSimStateLoad::Rejected) return;
  // What the user may still want is moved out of the way; the next save must not destroy it.
  const std::string aside = KeepAside(path);
  state_warning_ =
      "Warning: the simulated chip's state file " + path + " " + reason + "; the chip starts erased";
  if (!aside.empty()) {
    state_warning_ += ", and the file was kept as " + aside + ".";
  } else {
    keep_file_ = true;
    state_warning_ += ". The file could not be moved aside and will not be overwritten: nothing is saved.";
  }
}

TSimStateLoad TSimAvrChip::ParseStateFile(const std::string& path, std::string& reason) {
  std::string content;
  const size_t expected_data = flash_.size() + eeprom_.size();
  if (const int error = ReadWholeFile(path, kMaxHeaderBytes + expected_data, content); error != 0) {
    if (error == ENOENT || error == ENOTDIR) return TSimStateLoad::Missing; // no file, or no folder for it
    reason = error == EFBIG ? "is larger than a state file of this chip"
                            : "cannot be read (" + ErrnoText(error) + ")";
    return TSimStateLoad::Rejected;
  }
  const auto reject = [&reason](std::string why) {
    reason = std::move(why);
    return TSimStateLoad::Rejected;
  };
  const size_t end = content.find("\ndata\n");
  if (end == std::string::npos || end > kMaxHeaderBytes)
    return reject(content.empty() ? "is empty" : "is not a state file (no header)");
  std::istringstream header(content.substr(0, end + 1));
  std::string line, magic;
  int version = 0;
  if (!std::getline(header, line)) return reject("is not a state file (no header)");
  {
    std::istringstream first(line);
    if (!(first >> magic >> version) || magic != kStateMagic || version != kStateVersion)
      return reject("is not a state file of version " + std::to_string(kStateVersion) + " (\"" + line +
                    "\")");
  }
  bool have_sig = false, have_flash = false, have_eeprom = false, have_lock = false, have_fuses = false;
  uint8_t lock = 0xFF;
  std::array<uint8_t, 3> fuses{};
  while (std::getline(header, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "name") continue; // informative only: the signature decides
    if (key == "signature") {
      std::array<std::string, 4> t;
      TAvrSignature sig;
      if (!(fields >> t[0] >> t[1] >> t[2] >> t[3]) || !ParseHexByte(t[0], sig.byte1) ||
          !ParseHexByte(t[1], sig.byte2) || !ParseHexByte(t[2], sig.byte3) || !ParseHexByte(t[3], sig.byte4))
        return reject("has a damaged header line \"" + line + "\"");
      if (!(sig == record_.Sig)) return reject("belongs to another chip (" + line + ")");
      have_sig = true;
    } else if (key == "flash" || key == "eeprom") {
      long long size = -1;
      if (!(fields >> size)) return reject("has a damaged header line \"" + line + "\"");
      const size_t want = key == "flash" ? flash_.size() : eeprom_.size();
      if (size < 0 || size_t(size) != want)
        return reject("belongs to a chip of other memory sizes (" + line + " instead of " +
                      std::to_string(want) + ")");
      (key == "flash" ? have_flash : have_eeprom) = true;
    } else if (key == "lock") {
      std::string t;
      if (!(fields >> t) || !ParseHexByte(t, lock))
        return reject("has a damaged header line \"" + line + "\"");
      have_lock = true;
    } else if (key == "fuses") {
      std::array<std::string, 3> t;
      if (!(fields >> t[0] >> t[1] >> t[2]) || !ParseHexByte(t[0], fuses[0]) ||
          !ParseHexByte(t[1], fuses[1]) || !ParseHexByte(t[2], fuses[2]))
        return reject("has a damaged header line \"" + line + "\"");
      have_fuses = true;
    } else {
      return reject("has an unknown header line \"" + line + "\"");
    }
  }
  if (!have_sig || !have_flash || !have_eeprom || !have_lock || !have_fuses)
    return reject("lacks some of its header lines");
  const size_t data = end + 6;
  if (content.size() - data != expected_data)
    return reject(std::string(content.size() - data < expected_data ? "is truncated" : "is too long") + " (" +
                  std::to_string(content.size() - data) + " bytes of memories instead of " +
                  std::to_string(expected_data) + ")");
  std::memcpy(flash_.data(), content.data() + data, flash_.size());
  std::memcpy(eeprom_.data(), content.data() + data + flash_.size(), eeprom_.size());
  lock_ = lock;
  fuses_ = fuses;
  return TSimStateLoad::Loaded;
}

HRESULT TSimAvrChip::SaveState() {
  if (!dirty_) return S_OK;
  const std::string path = StatePath();
  if (path.empty()) return S_OK;
  save_error_text_.clear();
  const HRESULT hr = WriteStateFile(path);
  if (hr != S_OK && save_error_text_.empty())
    save_error_text_ = "The simulated chip's memories could not be saved in " + path + ": " +
                       ErrnoText(hr < 0 ? -hr : EIO) + ". The next run will not find what this one wrote.";
  return hr;
}

HRESULT TSimAvrChip::WriteStateFile(const std::string& path) {
  if (keep_file_) {
    save_error_text_ = "The simulated chip's memories were not saved: " + path +
                       " is an unreadable state file that could not be moved aside.";
    return ErrnoStatus(EEXIST);
  }
  const std::string dir = path.substr(0, path.rfind('/'));
  if (const HRESULT hr = MakeDirectories(dir); hr != S_OK) return hr;
  // The rename below would replace whatever has the name; only an earlier state file may go.
  if (struct stat st{}; lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    save_error_text_ = "The simulated chip's memories were not saved: " + path + " is not a regular file.";
    return ErrnoStatus(EEXIST);
  }

  std::string text = std::string(kStateMagic) + " " + std::to_string(kStateVersion) + "\n";
  std::string name = record_.CpuName;
  for (char& c : name)
    if (c == '\n' || c == '\r') c = ' '; // a line break would end the header line early
  text += "name " + name + "\n";
  const TAvrSignature& s = record_.Sig;
  text +=
      "signature " + Hex2(s.byte1) + " " + Hex2(s.byte2) + " " + Hex2(s.byte3) + " " + Hex2(s.byte4) + "\n";
  text += "flash " + std::to_string(flash_.size()) + "\n";
  text += "eeprom " + std::to_string(eeprom_.size()) + "\n";
  text += "lock " + Hex2(lock_) + "\n";
  text += "fuses " + Hex2(fuses_[0]) + " " + Hex2(fuses_[1]) + " " + Hex2(fuses_[2]) + "\n";
  text += "data\n";

  const std::string temp = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return ErrnoStatus(errno);
  HRESULT hr = WriteAll(fd, text.data(), text.size());
  if (hr == S_OK) hr = WriteAll(fd, reinterpret_cast<const char*>(flash_.data()), flash_.size());
  if (hr == S_OK) hr = WriteAll(fd, reinterpret_cast<const char*>(eeprom_.data()), eeprom_.size());
  if (hr == S_OK && fsync(fd) != 0) hr = ErrnoStatus(errno);
  if (close(fd) != 0 && hr == S_OK) hr = ErrnoStatus(errno);
  if (hr == S_OK && rename(temp.c_str(), path.c_str()) != 0) hr = ErrnoStatus(errno);
  if (hr != S_OK) {
    if (unlink(temp.c_str()) != 0) {
      // Nothing more can be done; the stray temporary file is harmless and replaced next time.
    }
    return hr;
  }
  dirty_ = false;
  return S_OK;
}

HRESULT TSimAvrChip::LockState() {
  if (lock_fd_ >= 0) return S_OK;
  const std::string path = StatePath();
  if (path.empty()) return S_OK;
  // Without its folder there is nothing to protect yet, and the save reports why it cannot write.
  if (MakeDirectories(path.substr(0, path.rfind('/'))) != S_OK) return S_OK;
  const int fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return S_OK;
  // An open-file-description lock: it conflicts with any other open of the file, in this process
  // too, and goes away with the descriptor however the holder ends.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    const int error = errno;
    close(fd);
    return error == EAGAIN || error == EACCES ? ErrnoStatus(EBUSY) : S_OK;
  }
  lock_fd_ = fd;
  // Whoever held the chip before may have saved since this one was created: its memories count.
  if (!dirty_) LoadState();
  return S_OK;
}

void TSimAvrChip::UnlockState() {
  if (lock_fd_ < 0) return;
  if (close(lock_fd_) != 0) {
    // The lock goes with the descriptor even when close reports an error.
  }
  lock_fd_ = -1;
}
