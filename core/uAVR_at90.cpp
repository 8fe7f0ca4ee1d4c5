#include "core/uAVR_at90.h"

#include "core/uWait.h"
#include "devicedb/uXmlDB.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>

namespace {

// First two bytes of each instruction of the serial programming set; the operations form the
// third and fourth bytes themselves.
struct TIspTemplate {
  uint8_t b1, b2;
};
constexpr TIspTemplate kProgrammingEnable{0xAC, 0x53};
constexpr TIspTemplate kReadProgramHigh{0x28, 0x00};
constexpr TIspTemplate kReadProgramLow{0x20, 0x00};
constexpr TIspTemplate kLoadPageLow{0x40, 0x00};
constexpr TIspTemplate kLoadPageHigh{0x48, 0x00};
constexpr TIspTemplate kWritePage{0x4C, 0x00};
constexpr TIspTemplate kLoadExtendedAddress{0x4D, 0x00};
constexpr TIspTemplate kReadSignatureByte{0x30, 0x00};
constexpr TIspTemplate kReadCalibrationByte{0x38, 0x00};
constexpr TIspTemplate kPollRdyBsy{0xF0, 0x00};
// The read that proves a chip answers: a signature read, which every part knows (the oldest have
// no lock or fuse read to use instead), with a second byte that the chips ignore and that echoes
// differently from a line resting high or low.
constexpr TIspTemplate kAnswerProbe{0x30, 0x08};

constexpr int kSyncRounds = 4;
// The first reset sequence of an entry: RESET released this long (a pulse of two CPU clocks is
// enough even at 128 kHz; the rest lets a reset pin's RC network of up to about 1 ms charge), then
// held this long before Programming Enable (20 ms in the ATmega and ATtiny datasheets' Serial
// Programming Algorithm, step 2, and in the AVR910 application note, plus a quarter for margin).
constexpr uint32_t kQuickResetPulseMs = 5;
constexpr uint32_t kQuickResetSettleMs = 25;
constexpr int kSyncAttemptsPerRound = 32;
// Reads and verifies prove the chip answers once per block of this many bytes (their progress
// block); writes once per page.
constexpr uint32_t kEchoBlockBytes = 16;
// Above this many bytes the flash needs the extended address byte (more than 64 K words).
constexpr int32_t kFlashWithoutExtendedAddress = 0x20000;

// The millisecond tick counter for transfer rates. It follows the wait clock so that rates are
// consistent with the waits actually made (and deterministic under a virtual clock).
uint32_t TickMs() {
  return static_cast<uint32_t>(WaitClock().NowNs() / 1000000u);
}

std::string FormatRate(uint64_t bytes, uint32_t start_ms, bool line_end) {
  uint32_t elapsed = TickMs() - start_ms;
  if (elapsed == 0) elapsed = 1;
  const double rate = double(bytes) * 1000.0 / double(elapsed);
  const int shown = rate >= double(INT_MAX) ? INT_MAX : static_cast<int>(rate);
  char text[48];
  std::snprintf(text, sizeof text, line_end ? "%d byte/sec\r\n" : "%d byte/sec", shown);
  return text;
}

// Sink calls for the transfers; a transfer without a sink reports nothing.
void Message(const std::shared_ptr<IAvrEvent>& sink, const char* text) {
  if (!sink) return;
  sink->AddMessage(text, clLogGreen);
  sink->Idle();
}

// Returns the sink's Idle status: a failing one (the user cancelled) ends the transfer.
HRESULT Progress(const std::shared_ptr<IAvrEvent>& sink, int32_t position, uint64_t bytes,
                 uint32_t start_ms) {
  if (!sink) return S_OK;
  sink->SetProgress(position);
  sink->SetStatusText(FormatRate(bytes, start_ms, false));
  const HRESULT hr = sink->Idle();
  return Failed(hr) ? hr : S_OK;
}

void FinalRate(const std::shared_ptr<IAvrEvent>& sink, uint64_t bytes, uint32_t start_ms) {
  if (!sink) return;
  sink->AddMessage(FormatRate(bytes, start_ms, true), clLogGreen);
  sink->SetProgress(0);
}

uint8_t Programmed(uint8_t raw) {
  return static_cast<uint8_t>(~raw);
}

// A chip that stays busy four times its datasheet maximum (and at least 10 ms) is not merely slow.
constexpr uint64_t kBusyLimitFactor = 4;
constexpr uint32_t kMinBusyLimitUs = 10'000;
// The longest page write of the parts in the database (ATmega103 Table 44).
constexpr uint32_t kUnknownChipWriteUs = 56'000;

// Between two polls: a small part of the cycle, so that polling ends soon after the chip does
// without spending the port on a poll every few microseconds.
uint32_t PollIntervalUs(uint32_t max_us) {
  return std::clamp<uint32_t>(max_us / 32, 20, 500);
}

void WaitFullTime(uint32_t us) {
  if (us >= 30'000)
    WaitMs((us + 999) / 1000);
  else
    WaitUs(us);
}

bool IsBusyValue(const TAvrMemoryDesc& memory, uint8_t value) {
  return std::find(memory.BusyValues.begin(), memory.BusyValues.end(), value) != memory.BusyValues.end();
}

uint64_t NowNs() {
  return WaitClock().NowNs();
}

} // namespace

TmCAtgeneric::TmCAtgeneric(TSpiBusBase* bus) : Bus(bus) {}

TmCAtgeneric::~TmCAtgeneric() = default;

HRESULT TmCAtgeneric::SetEventSink(const std::shared_ptr<IUnknownBase>& object, bool enable) {
  if (!object) return E_INVALIDARG;
  if (enable)
    Events = QueryInterface<IAvrEvent>(object);
  else
    Events.reset();
  return S_OK;
}

HRESULT TmCAtgeneric::LoadDatabase(std::string& error_text, std::string* section_error) {
  // A load moves the records, so a chip identified before it must be looked up again.
  CpuInfo = nullptr;
  if (!DatabasePath.empty()) return LoadSignatureDB(DatabasePath, error_text, section_error);
  return LoadDefaultSignatureDB(error_text, nullptr, section_error);
}

bool TmCAtgeneric::Identify(bool force) {
  if (force || !CpuInfo) {
    // A signature that could not be read completely must not pick a record by its leftovers.
    CpuInfo = ReadSignature(Signature) == S_OK ? GetCpuInfo(Signature) : nullptr;
  }
  return CpuInfo != nullptr;
}

const TAvrChipMemories& TmCAtgeneric::Memories() {
  // Built anew on each call, as the record may have changed since (a database load, a test), and
  // kept for the loops of the operation that asked.
  memories_ = CpuInfo ? DescribeMemories(*CpuInfo) : TAvrChipMemories{};
  return memories_;
}

uint64_t TmCAtgeneric::BusyLimitNs(uint32_t max_us) {
  return std::max<uint64_t>(kBusyLimitFactor * max_us, kMinBusyLimitUs) * 1000;
}

HRESULT TmCAtgeneric::PollRdyBsy(uint64_t limit_ns, uint32_t interval_us) {
  const uint64_t start = NowNs();
  // The busy bit is the answer's last bit.
  constexpr uint32_t kBusySample = 0x1;
  for (bool first = true;; first = false) {
    // The first poll checks the echo: a line resting high would otherwise read as a chip busy
    // for ever. After it only the busy bit is sampled; a chip gone meanwhile reads as busy until
    // the limit, where one checked poll tells the two apart.
    TSpiFrame poll = SpiFrame(kPollRdyBsy.b1, kPollRdyBsy.b2, 0x00, 0xFF,
                              first ? kIspEchoSample | kIspAnswerSample : kBusySample);
    HRESULT hr = Instructions(&poll, 1);
    if (hr != S_OK) return hr;
    if ((poll.In[3] & 1) == 0) return S_OK;
    if (NowNs() - start >= limit_ns) {
      poll = SpiFrame(kPollRdyBsy.b1, kPollRdyBsy.b2, 0x00, 0xFF, kIspEchoSample | kIspAnswerSample);
      hr = Instructions(&poll, 1);
      if (hr != S_OK) return hr;
      if ((poll.In[3] & 1) == 0) return S_OK;
      last_fault_ = ISP_E_STILLBUSY;
      return ISP_E_STILLBUSY;
    }
    WaitUs(interval_us);
  }
}

HRESULT TmCAtgeneric::WaitReady(const TAvrMemoryDesc& memory, uint32_t address, uint8_t value) {
  const uint64_t start = NowNs();
  HRESULT hr = S_OK;
  if (!memories_.Known) {
    // Nothing says how this chip signals the end: the longest write of any part.
    WaitFullTime(kUnknownChipWriteUs);
    waited_ns_ += NowNs() - start;
    return S_OK;
  }
  const bool pollable_cell = memory.Kind == TAvrMemory::Flash || memory.Kind == TAvrMemory::Eeprom;
  if (memory.Ready == TAvrReady::RdyBsy) {
    hr = PollRdyBsy(BusyLimitNs(memory.MaxWriteUs), PollIntervalUs(memory.MaxWriteUs));
  } else if (memory.Ready == TAvrReady::ValuePoll && pollable_cell && !IsBusyValue(memory, value)) {
    // The cell answers a busy value until it holds what was written.
    const uint64_t limit = BusyLimitNs(memory.MaxWriteUs);
    for (;;) {
      uint8_t read = 0;
      hr = ReadMemoryByte(memory.Kind, address, read, TEcho::IfFree);
      if (hr != S_OK || read == value) break;
      if (NowNs() - start >= limit) {
        hr = last_fault_ = ISP_E_STILLBUSY;
        break;
      }
      WaitUs(PollIntervalUs(memory.MaxWriteUs));
    }
  } else {
    WaitFullTime(memory.MaxWriteUs);
  }
  waited_ns_ += NowNs() - start;
  return hr;
}

HRESULT TmCAtgeneric::ReadMemoryByte(TAvrMemory memory, uint32_t address, uint8_t& value, TEcho echo) {
  if (memory == TAvrMemory::Flash) {
    const uint32_t word_address = address >> 1;
    HRESULT hr = SelectExtendedAddress(word_address);
    if (hr != S_OK) return hr;
    const TIspTemplate read = (address & 1) ? kReadProgramHigh : kReadProgramLow;
    return Instruction(read.b1, uint8_t(word_address >> 8), uint8_t(word_address), 0, &value, echo);
  }
  const TIspOp& read = memories_[memory].Read;
  if (!read.Present) return ISP_E_NOTSUPPORTED;
  return Instruction(read.Bytes[0], uint8_t(address >> 8), uint8_t(address), 0, &value, echo);
}

int32_t TmCAtgeneric::GetFlashSize() {
  return Identify(false) ? CpuInfo->MemSize.Flash : -1;
}

HRESULT TmCAtgeneric::Instruction(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t* answer,
                                  TEcho echo) {
  // A read sends ones while the answer comes back, as an idle MOSI would.
  TSpiFrame frame = SpiFrame(b1, b2, b3, answer ? 0xFF : b4,
                             (echo == TEcho::Check ? kIspEchoSample : 0) | (answer ? kIspAnswerSample : 0));
  const HRESULT hr = Instructions(&frame, 1);
  if (answer) *answer = frame.In[3];
  return hr;
}

HRESULT TmCAtgeneric::Instructions(TSpiFrame* frames, size_t count, size_t* failed_at) {
  size_t unused = 0;
  size_t& failed = failed_at ? *failed_at : unused;
  failed = count;
  if (!Bus) return ISP_E_NOBUS;
  if (count == 0) return S_OK; // an empty page run: nothing to clock, nothing to vouch for
  if (Bus->SamplesAreFree())
    for (size_t i = 0; i < count; ++i) frames[i].Sample |= kIspEchoSample;
  echo_conclusive_ = false;
  Bus->ClearLineFault();
  HRESULT hr = Bus->Exchange(frames, count);
  // A dead port reads as its resting level; that must not pass for data. Nor must the resting
  // level of a line that no chip drives: a cable pulled, a target without power.
  if (hr != S_OK || Bus->LineFault()) {
    hr = SPI_E_NOPORT;
  } else {
    for (size_t i = 0; i < count; ++i) {
      const TSpiFrame& frame = frames[i];
      if ((frame.Sample & kIspEchoSample) == kIspEchoSample &&
          (frame.In[2] != frame.Out[1] || unsynchronised_)) {
        hr = ISP_E_NOANSWER;
        failed = i;
        break;
      }
    }
  }
  if (hr != S_OK) {
    last_fault_ = hr;
    return hr;
  }
  const TSpiFrame& last = frames[count - 1];
  echo_conclusive_ =
      (last.Sample & kIspEchoSample) == kIspEchoSample && last.Out[1] != 0x00 && last.Out[1] != 0xFF;
  return S_OK;
}

HRESULT TmCAtgeneric::ConfirmAnswering(bool transfer_end) {
  // A read's answer follows its echo, so only a later echo vouches for the last one; within a
  // transfer the next block's check does, at its end nothing else would.
  if (echo_conclusive_ && !transfer_end) return S_OK;
  uint8_t ignored = 0;
  return Instruction(kAnswerProbe.b1, kAnswerProbe.b2, 0x00, 0, &ignored, TEcho::Check);
}

void TmCAtgeneric::ResetForEntry(bool first) {
  // The datasheets ask for a RESET pulse of two CPU clocks with SCK low and 20 ms between RESET
  // asserted and Programming Enable; the bus's own times are a quarter of a second. The first
  // round uses the datasheets' times with a margin, which is what almost every target needs; a
  // target that does not answer then (a large capacitor on RESET) gets the bus's times in the
  // later rounds. Times the owner made shorter still are kept.
  const uint32_t pulse = Bus->ResetPulseTime, settle = Bus->ResetSettleTime;
  if (first) {
    Bus->ResetPulseTime = std::min(pulse, kQuickResetPulseMs);
    Bus->ResetSettleTime = std::min(settle, kQuickResetSettleMs);
  }
  Bus->SetProgMode(true);
  Bus->ResetPulseTime = pulse;
  Bus->ResetSettleTime = settle;
}

HRESULT TmCAtgeneric::EnterProgMode() {
  if (!Bus) return ISP_E_NOBUS;
  // The reset sequence clears the chip's extended address byte.
  extended_address_ = 0;
  Bus->ClearLineFault();
  HRESULT result = 1;
  for (int round = 0; round < kSyncRounds && result == 1; ++round) {
    ResetForEntry(round == 0);
    for (int attempt = 0; attempt < kSyncAttemptsPerRound && result == 1; ++attempt) {
      TSpiFrame enable = SpiFrame(kProgrammingEnable.b1, kProgrammingEnable.b2, 0xFF, 0x00, kIspEchoSample);
      // Hunting for alignment on a port that does not answer would only burn 128 attempts.
      if (Bus->Exchange(&enable, 1) != S_OK || Bus->LineFault()) {
        unsynchronised_ = true;
        return 1;
      }
      if (enable.In[2] == kProgrammingEnable.b2)
        result = 0;
      else
        Bus->ReadBit(); // shift the framing by one bit before the next attempt
    }
  }
  unsynchronised_ = result != 0;
  return result;
}

HRESULT TmCAtgeneric::LeaveProgMode() {
  if (!Bus) return ISP_E_NOBUS;
  extended_address_ = -1;
  return Bus->SetProgMode(false);
}

HRESULT TmCAtgeneric::EraseAndReset() {
  const TAvrChipMemories& chip = Memories();
  if (!chip.Erase.Present) return ISP_E_NOTSUPPORTED;
  HRESULT hr = Instruction(chip.Erase.Bytes[0], chip.Erase.Bytes[1], chip.Erase.Bytes[2], chip.Erase.Bytes[3],
                           nullptr, TEcho::IfFree);
  if (hr != S_OK) return hr;
  const uint64_t start = NowNs();
  if (chip.EraseReady == TAvrReady::RdyBsy)
    hr = PollRdyBsy(BusyLimitNs(chip.EraseUs), PollIntervalUs(chip.EraseUs));
  else
    WaitFullTime(chip.EraseUs);
  waited_ns_ += NowNs() - start;
  if (hr != S_OK) return hr;
  // A reset sequence costs a quarter of a second, so only the chips that need one get it; the
  // others take the next instruction as soon as the erase has ended. The new entry also proves
  // that the chip still answers (1 when it did not).
  return chip.EraseNeedsReset ? EnterProgMode() : S_OK;
}

HRESULT TmCAtgeneric::ChipErase() {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  HRESULT hr = EraseAndReset();
  if (hr != S_OK || !Memories().DoubleErase) return hr;
  // This part erases its flash cleanly only with a programmed byte between two erases.
  const TAvrMemoryDesc& flash = Memories()[TAvrMemory::Flash];
  hr = Instruction(flash.LoadHigh.Bytes[0], 0x00, 0x00, 0x00, nullptr, TEcho::IfFree);
  if (hr == S_OK) hr = WaitReady(flash, 1, 0x00);
  if (hr == S_OK) hr = EraseAndReset();
  return hr;
}

HRESULT TmCAtgeneric::ReadSignatureByte(uint8_t index, uint8_t& value) {
  return Instruction(kReadSignatureByte.b1, kReadSignatureByte.b2, index & 3, 0, &value, TEcho::Check);
}

HRESULT TmCAtgeneric::ReadSignature(TAvrSignature& sig) {
  uint8_t* bytes[4] = {&sig.byte1, &sig.byte2, &sig.byte3, &sig.byte4};
  for (uint8_t index = 0; index < 4; ++index)
    if (ReadSignatureByte(index, *bytes[index]) != S_OK) return 1;
  return 0;
}

HRESULT TmCAtgeneric::ReadCalibrationByte(uint8_t index, uint8_t& value) {
  return Instruction(kReadCalibrationByte.b1, kReadCalibrationByte.b2, index & 3, 0, &value, TEcho::Check);
}

uint32_t TmCAtgeneric::PageWords() const {
  if (!CpuInfo) return 0;
  const int32_t bytes = CpuInfo->PageSize.Flash;
  if (bytes <= 0 || bytes % 2 != 0) return 0;
  return uint32_t(bytes) / 2;
}

HRESULT TmCAtgeneric::SelectExtendedAddress(uint32_t word_address) {
  if (!Bus) return ISP_E_NOBUS;
  const int32_t bank = int32_t((word_address >> 16) & 0xFF);
  if (bank == extended_address_) return S_OK;
  // Chips of up to 64 K words do not know the instruction; send it only where it means something.
  const bool extended_flash = CpuInfo && CpuInfo->MemSize.Flash > kFlashWithoutExtendedAddress;
  if (bank == 0 && extended_address_ < 0 && !extended_flash) return S_OK;
  const HRESULT hr = Instruction(kLoadExtendedAddress.b1, kLoadExtendedAddress.b2, uint8_t(bank), 0x00,
                                 nullptr, TEcho::IfFree);
  extended_address_ = hr == S_OK ? bank : -1;
  return hr;
}

HRESULT TmCAtgeneric::ReadProgramWord(uint32_t word_address, uint16_t& word) {
  return ReadWord(word_address, word, TEcho::IfFree);
}

HRESULT TmCAtgeneric::ReadWord(uint32_t word_address, uint16_t& word, TEcho last_echo) {
  return ReadWords(word_address, &word, 1, last_echo);
}

HRESULT TmCAtgeneric::LoadPageWord(uint32_t word_address, uint16_t word) {
  return LoadPage(word_address, &word, 1);
}

HRESULT TmCAtgeneric::LoadPage(uint32_t first_word, const uint16_t* words, uint32_t count) {
  if (!Bus) return ISP_E_NOBUS;
  // One run for the page: a back end that queues (USB) sends it as one transfer. The page buffer is
  // addressed by the word's offset within its page; without a known page size only the low twelve
  // address bits are sent, which is right for every chip of up to 8 KB.
  const uint32_t page_words = PageWords();
  std::vector<TSpiFrame> frames;
  frames.reserve(2 * size_t(count));
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t address = first_word + k;
    const uint32_t offset = page_words ? address % page_words : address & 0x0FFF;
    const uint8_t a_high = uint8_t(offset >> 8), a_low = uint8_t(offset);
    frames.push_back(SpiFrame(kLoadPageLow.b1, a_high, a_low, uint8_t(words[k])));
    frames.push_back(SpiFrame(kLoadPageHigh.b1, a_high, a_low, uint8_t(words[k] >> 8)));
  }
  if (const HRESULT hr = Instructions(frames); hr != S_OK) return hr;
  // A chip without RDY/BSY shows the end of the page write at a cell whose new value differs from
  // what it answers while busy.
  const TAvrMemoryDesc& flash = memories_[TAvrMemory::Flash];
  for (uint32_t k = 0; k < count && poll_address_ < 0; ++k)
    for (const uint32_t byte : {0u, 1u}) {
      const uint8_t value = uint8_t(words[k] >> (8 * byte));
      if (!IsBusyValue(flash, value)) {
        poll_address_ = int64_t(first_word + k) * 2 + byte;
        poll_value_ = value;
        break;
      }
    }
  return S_OK;
}

HRESULT TmCAtgeneric::ReadWords(uint32_t first_word, uint16_t* words, uint32_t count, TEcho last_echo) {
  if (!Bus) return ISP_E_NOBUS;
  if (count == 0) return S_OK;
  HRESULT hr = SelectExtendedAddress(first_word);
  if (hr != S_OK) return hr;
  // High byte, then low byte of each word, as one run; only the answers are sampled, and the last
  // echo where the caller asks (the run's own checks on a bus whose samples are free).
  std::vector<TSpiFrame> frames;
  frames.reserve(2 * size_t(count));
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t address = first_word + k;
    const uint8_t a_high = uint8_t(address >> 8), a_low = uint8_t(address);
    frames.push_back(SpiFrame(kReadProgramHigh.b1, a_high, a_low, 0xFF, kIspAnswerSample));
    frames.push_back(SpiFrame(kReadProgramLow.b1, a_high, a_low, 0xFF, kIspAnswerSample));
  }
  if (last_echo == TEcho::Check) frames.back().Sample |= kIspEchoSample;
  hr = Instructions(frames);
  if (hr != S_OK) return hr;
  for (uint32_t k = 0; k < count; ++k)
    words[k] = uint16_t(frames[2 * k].In[3] << 8 | frames[2 * k + 1].In[3]);
  return S_OK;
}

HRESULT TmCAtgeneric::WritePage(uint32_t word_address) {
  if (!Bus) return ISP_E_NOBUS;
  HRESULT hr = SelectExtendedAddress(word_address);
  if (hr != S_OK) return hr;
  // Checked on every back end: once per page is cheap, and it is the last instruction of the page.
  hr = Instruction(kWritePage.b1, uint8_t(word_address >> 8), uint8_t(word_address), 0xAA, nullptr,
                   TEcho::Check);
  const int64_t poll_address = poll_address_;
  poll_address_ = -1;
  if (hr != S_OK) return hr;
  // No cell of the page could be polled: WaitReady waits the page's full time for 0xFF.
  const uint32_t address = poll_address >= 0 ? uint32_t(poll_address) : word_address * 2;
  return WaitReady(Memories()[TAvrMemory::Flash], address, poll_address >= 0 ? poll_value_ : 0xFF);
}

HRESULT TmCAtgeneric::ReadLockBits(uint8_t& value) {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  value = 0;
  const TAvrMemoryDesc& lock = Memories()[TAvrMemory::Lock];
  if (!lock.Readable()) return ISP_E_NOTSUPPORTED;
  uint8_t raw = 0xFF;
  const HRESULT hr = ReadConfigByte(TAvrMemory::Lock, raw);
  if (hr != S_OK) return hr;
  value = Programmed(raw) & lock.ReadableBits;
  return S_OK;
}

HRESULT TmCAtgeneric::ReadFuseBits(uint32_t& value) {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  value = 0;
  constexpr TAvrMemory kFuses[3] = {TAvrMemory::LowFuse, TAvrMemory::HighFuse, TAvrMemory::ExtFuse};
  if (!Memories()[kFuses[0]].Readable()) return ISP_E_NOTSUPPORTED;
  uint32_t result = 0;
  for (int n = 0; n < 3; ++n) {
    const TAvrMemoryDesc& fuse = Memories()[kFuses[n]];
    if (!fuse.Readable()) break;
    uint8_t raw = 0xFF;
    const HRESULT hr = ReadConfigByte(kFuses[n], raw);
    if (hr != S_OK) return hr;
    result |= uint32_t(Programmed(raw) & fuse.ReadableBits) << (8 * n);
  }
  value = result;
  return S_OK;
}

HRESULT TmCAtgeneric::ReadConfigByte(TAvrMemory memory, uint8_t& value) {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  const TAvrMemoryDesc& m = Memories()[memory];
  if (!m.Readable() || m.ReadBits == TAvrBitMap{-1, -1, -1, -1, -1, -1, -1, -1}) return ISP_E_NOTSUPPORTED;
  uint8_t answer = 0xFF;
  const TIspOp& op = m.Read;
  const HRESULT hr = Instruction(op.Bytes[0], op.Bytes[1], op.Bytes[2], 0, &answer, TEcho::Check);
  if (hr != S_OK) return hr;
  value = LogicalFromAnswer(m, answer);
  return S_OK;
}

HRESULT TmCAtgeneric::WriteConfigByte(TAvrMemory memory, uint8_t value) {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  const TAvrMemoryDesc& m = Memories()[memory];
  if (!m.Write.Present) return ISP_E_NOTSUPPORTED;
  const TIspOp op = WriteInstruction(m, value);
  const HRESULT hr = Instruction(op.Bytes[0], op.Bytes[1], op.Bytes[2], op.Bytes[3], nullptr, TEcho::Check);
  if (hr != S_OK) return hr;
  return WaitReady(m, 0, value);
}

bool TmCAtgeneric::EraseClearsEeprom() {
  if (!Identify(false)) return true;
  const TAvrChipMemories& chip = Memories();
  if (!chip[TAvrMemory::Eeprom].Present) return false;
  if (chip.EesaveBit < 0) return true;
  uint8_t raw = 0xFF;
  // A fuse that cannot be read cannot promise to keep anything.
  if (ReadConfigByte(chip.EesaveFuse, raw) != S_OK) return true;
  return (raw >> chip.EesaveBit & 1) != 0;
}

HRESULT TmCAtgeneric::GetErrorText(HRESULT code, std::string& text) {
  text.clear();
  switch (code) {
  case ISP_E_UNIDENTIFIED:
    text = "Could not identify \u00b5C!";
    return 0;
  case ISP_E_NOANSWER:
    text = "The \u00b5C does not answer (no echo of its instructions): check the cable and the target's "
           "power!";
    return 0;
  case ISP_E_NOTSUPPORTED:
    text = "The \u00b5C has no such memory or instruction for serial programming!";
    return 0;
  case ISP_E_STILLBUSY:
    text = "The \u00b5C stayed busy far longer than its datasheet allows: check the cable, the target's "
           "power and its clock!";
    return 0;
  case ISP_E_EEPROMWRITE:
    text = "Error while writing \u00b5C device EEPROM!";
    return 0;
  case ISP_E_EEPROMREAD:
    text = "Error while reading \u00b5C device EEPROM!";
    return 0;
  case ISP_E_EEPROMMISMATCH:
    text = "Meta stream and EEPROM is not equal!";
    return 0;
  case ISP_E_FUSEVERIFY:
    text = "A fuse or lock byte reads back other than it was written!";
    return 0;
  case ISP_E_BADSIZES:
    text = "The device database gives this \u00b5C memory sizes that cannot be used!";
    return 0;
  case ISP_E_NOSIZES:
    text = "Configuration file is missing \"MemSize\" and or \"PageSize\" entries for this processor!";
    return 0;
  case ISP_E_IMAGEREAD:
    text = "Error while reading the meta file!";
    return 0;
  case ISP_E_IMAGEWRITE:
    text = "Error while writing the meta file!";
    return 0;
  case ISP_E_TOOBIG:
    text = "Meta file is bigger than \u00b5C flash mem size!";
    return 0;
  case ISP_E_FLASHWRITE:
    text = "Error while writing \u00b5C device flash!";
    return 0;
  case ISP_E_FLASHREAD:
    text = "Error while reading \u00b5C device flash!";
    return 0;
  case ISP_E_MISMATCH:
    text = "Meta stream and flash is not equal!";
    return 0;
  case DB_E_LOCKS:
    text = "The \"Locks\" hive contains invalid data!";
    return 0;
  case DB_E_FUSES:
    text = "The \"Fuses\" hive contains invalid data!";
    return 0;
  case DB_E_SIGNATURES:
    text = "The \"Signatures\" hive contains invalid data!";
    return 0;
  default:
    // Instructions hand on the bus's codes (a line fault), so its texts are ours to give too.
    if (Bus && Bus->GetErrorText(code, text) == 0) return 0;
    text.clear();
    return 1;
  }
}

HRESULT TmCAtgeneric::Transfer(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address,
                               const std::function<HRESULT(int32_t& error_at)>& body) {
  int32_t unused = -1;
  int32_t& error_at = error_address ? *error_address : unused;
  error_at = -1;
  last_fault_ = S_OK;
  if (!image) return E_INVALIDARG;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  // Impossible sizes (a page larger than the flash, 2 GB of flash) would have the transfer erase
  // the chip and then address it nonsensically.
  if (!RecordSizesUsable(*CpuInfo)) return ISP_E_BADSIZES;
  return body(error_at);
}

HRESULT TmCAtgeneric::WriteFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return Transfer(image, error_address, [&](int32_t& error_at) -> HRESULT {
    const TAvrMemoryDesc& flash = Memories()[TAvrMemory::Flash];
    if (flash.PageMode() && PageWords() != 0) return WriteFlashPages(image, error_at);
    // Only the parts whose ISP has no pages write byte by byte; a paged part without its page size
    // cannot be addressed.
    if (!flash.Commit.Present && flash.Load.Present) return WriteFlashBytes(image, error_at);
    return ISP_E_NOSIZES;
  });
}

HRESULT TmCAtgeneric::PrepareFlashWrite(const std::shared_ptr<IuCMemStream>& image, int32_t& size,
                                        int32_t& error_at) {
  const int32_t flash = CpuInfo->MemSize.Flash;
  if (flash <= 0) return ISP_E_NOSIZES;
  if (image->GetSize(&size) != S_OK || size < 0) return ISP_E_IMAGEREAD;
  if (image->Rewind() != S_OK) return ISP_E_IMAGEREAD;
  if (int64_t(flash) < int64_t(size)) return ISP_E_TOOBIG;
  if (CpuInfo->EraseBeforeFlash == 1) {
    Message(Events, "Erasing flash...\r\n");
    // Pages written into a chip still erasing would be dropped by it.
    const HRESULT hr = ChipErase();
    if (hr != S_OK) {
      error_at = 0;
      return ISP_E_FLASHWRITE;
    }
  }
  return S_OK;
}

HRESULT TmCAtgeneric::WriteFlashPages(const std::shared_ptr<IuCMemStream>& image, int32_t& error_at) {
  const uint32_t page_words = PageWords();
  int32_t size = 0;
  if (const HRESULT hr = PrepareFlashWrite(image, size, error_at); hr != S_OK) return hr;
  // The image's whole words, as far as the flash goes.
  const uint32_t words = std::min(uint32_t(CpuInfo->MemSize.Flash) >> 1, uint32_t(size + 1) >> 1);
  std::vector<uint8_t> covered;
  if (image->GetCoverage(0, int32_t(2 * words), covered) != S_OK) return ISP_E_IMAGEREAD;
  // Progress goes over the pages that hold a covered byte.
  uint64_t total = 0;
  for (uint32_t first = 0; first < words; first += page_words) {
    const uint32_t end = std::min(first + page_words, words);
    if (std::find(covered.begin() + 2 * first, covered.begin() + 2 * end, 1) != covered.begin() + 2 * end)
      total += 2 * (end - first);
  }
  const std::shared_ptr<IAvrEvent> sink = Events; // Idle may let the owner change Events
  poll_address_ = -1;
  Message(sink, "Writing flash...\r\n");
  const uint32_t start = TickMs();
  if (sink) sink->SetProgress(0);

  HRESULT status = S_OK;
  uint64_t done = 0, written = 0;
  // proven: the chip answered after the last instruction sent, which a write must know at its end.
  bool any_covered = false, proven = false;
  uint32_t last_written = 0;
  std::vector<uint16_t> page(page_words);
  for (uint32_t first = 0; first < words && status == S_OK; first += page_words) {
    const uint32_t end = std::min(first + page_words, words);
    // Uncovered bytes are loaded as 0xFF, which leaves the flash cell as it is. A page that would
    // load nothing but 0xFF is skipped: flash only loses bits, so writing it could change nothing.
    std::fill(page.begin(), page.end(), uint16_t(0xFFFF));
    uint32_t run_first = end, run_end = first, got = first;
    bool programs = false;
    for (; got < end; ++got) {
      uint16_t word = 0;
      if (image->GetWord(&word) != S_OK) {
        // The words before it are written, then the write ends here.
        status = ISP_E_IMAGEREAD;
        int32_t position = 0;
        error_at = image->GetPosition(&position) == S_OK ? position : int32_t(2 * got);
        break;
      }
      const bool low = covered[2 * got], high = covered[2 * got + 1];
      page[got - first] = uint16_t((high ? word & 0xFF00 : 0xFF00) | (low ? word & 0x00FF : 0x00FF));
      if (!low && !high) continue;
      run_first = std::min(run_first, got);
      run_end = got + 1;
      programs = programs || page[got - first] != 0xFFFF;
    }
    if (run_end > first) {
      any_covered = true;
      done += 2 * (end - first);
    }
    if (!programs) continue;
    const uint32_t count = run_end - run_first, last_word = run_end - 1;
    // The whole page is loaded, in one run: nothing in the serial programming algorithm promises
    // a page buffer emptied by the last page write, and a word left out would program what the
    // buffer still held.
    if (LoadPage(first, page.data(), page_words) != S_OK) {
      status = ISP_E_FLASHWRITE;
      error_at = int32_t(2 * run_first);
      break;
    }
    last_written = last_word;
    const bool page_written = WritePage(last_word) == S_OK;
    // The confirmation probes unless the page write's own echo vouched for the chip.
    proven = !echo_conclusive_;
    if (!page_written || ConfirmAnswering(false) != S_OK) {
      status = ISP_E_FLASHWRITE;
      error_at = int32_t(2 * last_word);
      break;
    }
    written += 2 * count;
    const HRESULT idle = Progress(sink, int32_t((done - 2) * 100 / total), done - 2, start);
    if (idle != S_OK) {
      status = idle;
      error_at = int32_t(2 * last_word);
    }
  }
  // Every transfer ends with a chip that answered after its last instruction; an image with
  // nothing to program still needs a chip that answers.
  if ((status == S_OK || status == ISP_E_IMAGEREAD) && any_covered && !proven &&
      ConfirmAnswering(true) != S_OK) {
    error_at = int32_t(2 * last_written);
    status = ISP_E_FLASHWRITE;
  }
  FinalRate(sink, written, start);
  return status;
}

HRESULT TmCAtgeneric::WriteFlashBytes(const std::shared_ptr<IuCMemStream>& image, int32_t& error_at) {
  int32_t size = 0;
  if (const HRESULT hr = PrepareFlashWrite(image, size, error_at); hr != S_OK) return hr;
  const TAvrMemoryDesc& flash = Memories()[TAvrMemory::Flash];
  const std::shared_ptr<IAvrEvent> sink = Events;
  std::vector<uint8_t> covered;
  if (image->GetCoverage(0, size, covered) != S_OK) return ISP_E_IMAGEREAD;
  Message(sink, "Writing flash...\r\n");
  return ForEachUnit(1, uint32_t(size), sink, error_at, [&](uint32_t i, bool block_end) -> HRESULT {
    uint8_t value = 0xFF;
    if (image->GetByte(&value) != S_OK) return ISP_E_IMAGEREAD;
    // A flash cell only loses bits without an erase: writing 0xFF would change nothing and cost a
    // whole programming cycle. A byte no file defined keeps what the chip holds.
    if (value != 0xFF && covered[i]) {
      const TIspOp& op = (i & 1) ? flash.LoadHigh : flash.Load;
      const uint32_t word = i >> 1;
      if (Instruction(op.Bytes[0], uint8_t(word >> 8), uint8_t(word), value, nullptr, TEcho::IfFree) !=
              S_OK ||
          WaitReady(flash, i, value) != S_OK)
        return ISP_E_FLASHWRITE;
    }
    return block_end && ConfirmAnswering(i + 1 == uint32_t(size)) != S_OK ? ISP_E_FLASHWRITE : S_OK;
  });
}

HRESULT TmCAtgeneric::EepromTransfer(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address,
                                     bool image_sized,
                                     const std::function<HRESULT(uint32_t, int32_t&)>& body) {
  return Transfer(image, error_address, [&](int32_t& error_at) -> HRESULT {
    const TAvrMemoryDesc& eeprom = Memories()[TAvrMemory::Eeprom];
    if (!eeprom.Present || !eeprom.Readable()) return ISP_E_NOTSUPPORTED;
    uint32_t bytes = uint32_t(eeprom.Size);
    if (image_sized) {
      int32_t size = 0;
      if (image->GetSize(&size) != S_OK || size < 0 || image->Rewind() != S_OK) return ISP_E_IMAGEREAD;
      if (int64_t(size) > int64_t(eeprom.Size)) return ISP_E_TOOBIG;
      bytes = uint32_t(size);
    }
    return body(bytes, error_at);
  });
}

HRESULT TmCAtgeneric::WriteEeprom(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return EepromTransfer(image, error_address, true, [&](uint32_t bytes, int32_t& error_at) {
    if (!Memories()[TAvrMemory::Eeprom].Writable()) return ISP_E_NOTSUPPORTED;
    return WriteEepromBytes(image, bytes, error_at);
  });
}

HRESULT TmCAtgeneric::WriteEepromBytes(const std::shared_ptr<IuCMemStream>& image, uint32_t bytes,
                                       int32_t& error_at) {
  const TAvrMemoryDesc& eeprom = Memories()[TAvrMemory::Eeprom];
  const std::shared_ptr<IAvrEvent> sink = Events;
  // Unlike flash, 0xFF is a value an EEPROM cell is written to; only bytes no file defined are
  // left as they are.
  std::vector<uint8_t> covered;
  if (image->GetCoverage(0, int32_t(bytes), covered) != S_OK) return ISP_E_IMAGEREAD;
  Message(sink, "Writing EEPROM...\r\n");
  const bool paged = eeprom.PageMode() && eeprom.Load.Present && eeprom.Commit.Present;
  const uint32_t page = paged ? uint32_t(eeprom.PageSize) : 1;
  uint8_t last_value = 0xFF;
  uint32_t last_address = 0;
  bool page_loaded = false;
  return ForEachUnit(1, bytes, sink, error_at, [&](uint32_t i, bool block_end) -> HRESULT {
    uint8_t value = 0xFF;
    if (image->GetByte(&value) != S_OK) return ISP_E_IMAGEREAD;
    const uint8_t a_high = uint8_t(i >> 8), a_low = uint8_t(i);
    HRESULT hr = S_OK;
    if (paged) {
      if (covered[i]) {
        hr = Instruction(eeprom.Load.Bytes[0], 0x00, uint8_t(i % page), value, nullptr, TEcho::IfFree);
        last_value = value;
        last_address = i;
        page_loaded = true;
      }
      // The page is written when it is full or the image ends; only the loaded bytes change.
      if (hr == S_OK && page_loaded && ((i + 1) % page == 0 || i + 1 == bytes)) {
        page_loaded = false;
        const uint32_t base = i - i % page;
        hr = Instruction(eeprom.Commit.Bytes[0], uint8_t(base >> 8), uint8_t(base), 0x00, nullptr,
                         TEcho::Check);
        if (hr == S_OK) hr = WaitReady(eeprom, last_address, last_value);
      }
    } else if (covered[i]) {
      hr = Instruction(eeprom.Write.Bytes[0], a_high, a_low, value, nullptr, TEcho::IfFree);
      if (hr == S_OK) hr = WaitReady(eeprom, i, value);
    }
    if (hr != S_OK) return ISP_E_EEPROMWRITE;
    return block_end && ConfirmAnswering(i + 1 == bytes) != S_OK ? ISP_E_EEPROMWRITE : S_OK;
  });
}

HRESULT TmCAtgeneric::ReadEeprom(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return EepromTransfer(image, error_address, false, [&](uint32_t bytes, int32_t& error_at) {
    Message(Events, "Reading EEPROM...\r\n");
    return ForEachUnit(1, bytes, Events, error_at, [&](uint32_t i, bool block_end) -> HRESULT {
      uint8_t value = 0;
      if (ReadMemoryByte(TAvrMemory::Eeprom, i, value, block_end ? TEcho::Check : TEcho::IfFree) != S_OK)
        return ISP_E_EEPROMREAD;
      if (image->PutByte(&value) != S_OK) return ISP_E_IMAGEWRITE;
      return block_end && ConfirmAnswering(i + 1 == bytes) != S_OK ? ISP_E_EEPROMREAD : S_OK;
    });
  });
}

HRESULT TmCAtgeneric::VerifyEeprom(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return EepromTransfer(image, error_address, true, [&](uint32_t bytes, int32_t& error_at) {
    std::vector<uint8_t> covered;
    if (image->GetCoverage(0, int32_t(bytes), covered) != S_OK) return ISP_E_IMAGEREAD;
    Message(Events, "Verifying EEPROM...\r\n");
    return ForEachUnit(1, bytes, Events, error_at, [&](uint32_t i, bool block_end) -> HRESULT {
      uint8_t chip_value = 0, image_value = 0;
      // A byte no file defined is not compared (nor read).
      if (!covered[i]) {
        if (image->GetByte(&image_value) != S_OK) return ISP_E_IMAGEREAD;
        return block_end && ConfirmAnswering(i + 1 == bytes) != S_OK ? ISP_E_EEPROMREAD : S_OK;
      }
      if (ReadMemoryByte(TAvrMemory::Eeprom, i, chip_value, block_end ? TEcho::Check : TEcho::IfFree) != S_OK)
        return ISP_E_EEPROMREAD;
      if (image->GetByte(&image_value) != S_OK) return ISP_E_IMAGEREAD;
      if (chip_value != image_value)
        return ConfirmAnswering(true) == S_OK ? ISP_E_EEPROMMISMATCH : ISP_E_EEPROMREAD;
      return block_end && ConfirmAnswering(i + 1 == bytes) != S_OK ? ISP_E_EEPROMREAD : S_OK;
    });
  });
}

uint32_t TmCAtgeneric::RunWords() const {
  const uint32_t page_words = PageWords();
  return page_words ? page_words : kEchoBlockBytes / 2;
}

HRESULT TmCAtgeneric::ReadFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return Transfer(image, error_address, [&](int32_t& error_at) -> HRESULT {
    const int32_t flash = CpuInfo->MemSize.Flash;
    if (flash <= 0) return ISP_E_NOSIZES;
    // A read takes the whole flash, whatever any file covered.
    const uint32_t words = uint32_t(flash) >> 1, run_words = RunWords();
    std::vector<TWordRun> runs;
    for (uint32_t first = 0; first < words; first += run_words)
      runs.push_back({first, std::min(run_words, words - first)});
    std::vector<uint16_t> read(run_words);
    return ForEachRun("Reading flash...\r\n", runs, error_at,
                      [&](const TWordRun& run, bool last, int32_t& at) -> HRESULT {
                        if (ReadWords(run.first, read.data(), run.count, TEcho::Check) != S_OK)
                          return ISP_E_FLASHREAD;
                        for (uint32_t k = 0; k < run.count; ++k) {
                          at = int32_t(2 * (run.first + k));
                          if (image->PutWord(&read[k]) != S_OK) return ISP_E_IMAGEWRITE;
                        }
                        return ConfirmAnswering(last) == S_OK ? S_OK : ISP_E_FLASHREAD;
                      });
  });
}

HRESULT TmCAtgeneric::VerifyFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return Transfer(image, error_address, [&](int32_t& error_at) -> HRESULT {
    const int32_t flash = CpuInfo->MemSize.Flash;
    if (flash <= 0) return ISP_E_NOSIZES;
    int32_t size = 0;
    if (image->Rewind() != S_OK || image->GetSize(&size) != S_OK || size < 0) return ISP_E_IMAGEREAD;
    // Comparing past the end of the flash would only read wrapped-around or undefined words.
    if (int64_t(flash) < int64_t(size)) return ISP_E_TOOBIG;
    // A trailing odd byte has no flash word to compare (and no write programs it).
    const uint32_t words = uint32_t(size) >> 1, run_words = RunWords();
    std::vector<uint16_t> expected;
    std::vector<uint8_t> covered;
    if (image->GetCoverage(0, int32_t(2 * words), covered) != S_OK) return ISP_E_IMAGEREAD;
    // Bytes that no file defined are not compared, so only the words from the first to the last
    // one with a covered byte of each run are read.
    std::vector<TWordRun> runs;
    for (uint32_t first = 0; first < words; first += run_words) {
      TWordRun run;
      for (uint32_t i = first; i < std::min(first + run_words, words); ++i) {
        if (!covered[2 * i] && !covered[2 * i + 1]) continue;
        if (run.count == 0) run.first = i;
        run.count = i + 1 - run.first;
      }
      if (run.count > 0) runs.push_back(run);
    }
    std::vector<uint16_t> read(run_words);
    return ForEachRun("Verifying flash...\r\n", runs, error_at,
                      [&](const TWordRun& run, bool last, int32_t& at) -> HRESULT {
                        if (ReadWords(run.first, read.data(), run.count, TEcho::Check) != S_OK)
                          return ISP_E_FLASHREAD;
                        if (image->Seek(int32_t(2 * run.first), STREAM_SEEK_SET, nullptr) != S_OK)
                          return ISP_E_IMAGEREAD;
                        for (uint32_t k = 0; k < run.count; ++k) {
                          const uint32_t i = run.first + k;
                          at = int32_t(2 * i);
                          uint16_t image_word = 0;
                          if (image->GetWord(&image_word) != S_OK) return ISP_E_IMAGEREAD;
                          const uint16_t mask =
                              uint16_t((covered[2 * i] ? 0x00FF : 0) | (covered[2 * i + 1] ? 0xFF00 : 0));
                          if (((read[k] ^ image_word) & mask) == 0) continue;
                          // A silent chip differs from almost any image; that is no difference of the flash.
                          return ConfirmAnswering(true) == S_OK ? ISP_E_MISMATCH : ISP_E_FLASHREAD;
                        }
                        return ConfirmAnswering(last) == S_OK ? S_OK : ISP_E_FLASHREAD;
                      });
  });
}

HRESULT TmCAtgeneric::ForEachRun(
    const char* message, const std::vector<TWordRun>& runs, int32_t& error_at,
    const std::function<HRESULT(const TWordRun& run, bool last, int32_t& error_at)>& per_run) {
  const std::shared_ptr<IAvrEvent> sink = Events; // Idle may let the owner change Events
  if (message) Message(sink, message);
  const uint32_t start = TickMs();
  if (sink) sink->SetProgress(0);
  uint64_t total = 0, done = 0;
  for (const TWordRun& run : runs) total += 2 * uint64_t(run.count);

  HRESULT status = S_OK;
  for (size_t k = 0; k < runs.size(); ++k) {
    const TWordRun& run = runs[k];
    error_at = int32_t(2 * run.first);
    status = per_run(run, k + 1 == runs.size(), error_at);
    if (status != S_OK) break;
    done += 2 * uint64_t(run.count);
    // Shown at the address of the run's last word, counted over the runs alone.
    status = Progress(sink, int32_t((done - 2) * 100 / total), done - 2, start);
    if (status != S_OK) {
      error_at = int32_t(2 * (run.first + run.count - 1));
      break;
    }
  }
  if (status == S_OK) error_at = -1;
  FinalRate(sink, done, start);
  return status;
}

HRESULT TmCAtgeneric::ForEachUnit(uint32_t unit_bytes, uint32_t units, const std::shared_ptr<IAvrEvent>& sink,
                                  int32_t& error_at,
                                  const std::function<HRESULT(uint32_t index, bool block_end)>& per_unit) {
  const uint32_t start = TickMs();
  if (sink) sink->SetProgress(0);

  HRESULT status = S_OK;
  uint32_t i = 0;
  for (; i < units; ++i) {
    const uint64_t done_bytes = uint64_t(unit_bytes) * (uint64_t(i) + 1);
    const bool block_end = done_bytes % kEchoBlockBytes == 0 || i + 1 == units;
    status = per_unit(i, block_end);
    if (status != S_OK) {
      error_at = int32_t(uint64_t(unit_bytes) * i);
      break;
    }
    if (done_bytes % 16 == 0) {
      status = Progress(sink, int32_t(uint64_t(i) * 100 / units), uint64_t(unit_bytes) * i, start);
      if (status != S_OK) {
        error_at = int32_t(uint64_t(unit_bytes) * i);
        ++i; // unit i is done
        break;
      }
    }
  }

  FinalRate(sink, uint64_t(unit_bytes) * i, start);
  return status;
}
