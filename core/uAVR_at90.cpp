#include "core/uAVR_at90.h"

#include "core/uWait.h"
#include "devicedb/uXmlDB.h"

#include <climits>
#include <cstdio>
#include <functional>
#include <initializer_list>

namespace {

// First two bytes of each instruction of the serial programming set; the operations form the
// third and fourth bytes themselves.
struct TIspTemplate {
  uint8_t b1, b2;
};
constexpr TIspTemplate kProgrammingEnable{0xAC, 0x53};
constexpr TIspTemplate kChipErase{0xAC, 0x80};
constexpr TIspTemplate kReadProgramHigh{0x28, 0x00};
constexpr TIspTemplate kReadProgramLow{0x20, 0x00};
constexpr TIspTemplate kLoadPageLow{0x40, 0x00};
constexpr TIspTemplate kLoadPageHigh{0x48, 0x00};
constexpr TIspTemplate kWritePage{0x4C, 0x00};
constexpr TIspTemplate kLoadExtendedAddress{0x4D, 0x00};
constexpr TIspTemplate kReadLockBits{0x58, 0x00};
constexpr TIspTemplate kReadSignatureByte{0x30, 0x00};
constexpr TIspTemplate kReadCalibrationByte{0x38, 0x00};
constexpr TIspTemplate kReadFuseLow{0x50, 0x00};
constexpr TIspTemplate kReadFuseHigh{0x58, 0x08};
constexpr TIspTemplate kReadFuseExtended{0x50, 0x08};
// The read that proves a chip answers: harmless on every part (the oldest read their lock byte
// with it), and its second byte 0x08 echoes differently from a line resting high or low.
constexpr TIspTemplate kAnswerProbe = kReadFuseHigh;

constexpr int kSyncRounds = 4;
constexpr int kSyncAttemptsPerRound = 32;
// Reads and verifies prove the chip answers once per block of this many bytes (their progress
// block); writes once per page.
constexpr uint32_t kEchoBlockBytes = 16;
// Above this many bytes the flash needs the extended address byte (more than 64 K words).
constexpr int32_t kFlashWithoutExtendedAddress = 0x20000;

bool OneOf(uint8_t type, std::initializer_list<TeAvrCpuType> types) {
  for (TeAvrCpuType t : types)
    if (type == t) return true;
  return false;
}

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

int32_t TmCAtgeneric::GetFlashSize() {
  return Identify(false) ? CpuInfo->MemSize.Flash : -1;
}

HRESULT TmCAtgeneric::Instruction(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t* answer,
                                  TEcho echo) {
  if (!Bus) return ISP_E_NOBUS;
  const bool check = echo == TEcho::Check || Bus->SamplesAreFree();
  echo_conclusive_ = false;
  Bus->ClearLineFault();
  uint8_t echoed = b2;
  HRESULT hr = Bus->WriteByte(b1);
  if (hr == S_OK) hr = Bus->WriteByte(b2);
  if (hr == S_OK) {
    if (check)
      echoed = Bus->TransferByte(b3); // the chip echoes b2 meanwhile
    else
      hr = Bus->WriteByte(b3);
  }
  if (hr == S_OK) {
    if (answer)
      *answer = Bus->ReadByte();
    else
      hr = Bus->WriteByte(b4);
  }
  // A dead port reads as its resting level; that must not pass for data. Nor must the resting
  // level of a line that no chip drives: a cable pulled, a target without power.
  if (hr == S_OK && Bus->LineFault())
    hr = SPI_E_NOPORT;
  else if (hr == S_OK && check && (echoed != b2 || unsynchronised_))
    hr = ISP_E_NOANSWER;
  if (hr != S_OK) {
    last_fault_ = hr;
    return hr;
  }
  echo_conclusive_ = check && b2 != 0x00 && b2 != 0xFF;
  return S_OK;
}

HRESULT TmCAtgeneric::ConfirmAnswering(bool transfer_end) {
  // A read's answer follows its echo, so only a later echo vouches for the last one; within a
  // transfer the next block's check does, at its end nothing else would.
  if (echo_conclusive_ && !transfer_end) return S_OK;
  uint8_t ignored = 0;
  return Instruction(kAnswerProbe.b1, kAnswerProbe.b2, 0x00, 0, &ignored, TEcho::Check);
}

HRESULT TmCAtgeneric::EnterProgMode() {
  if (!Bus) return ISP_E_NOBUS;
  // The reset sequence clears the chip's extended address byte.
  extended_address_ = 0;
  Bus->ClearLineFault();
  HRESULT result = 1;
  for (int round = 0; round < kSyncRounds && result == 1; ++round) {
    Bus->SetProgMode(true);
    for (int attempt = 0; attempt < kSyncAttemptsPerRound && result == 1; ++attempt) {
      Bus->WriteByte(kProgrammingEnable.b1);
      Bus->WriteByte(kProgrammingEnable.b2);
      const uint8_t echo = Bus->ReadByte();
      Bus->WriteByte(0x00);
      // Hunting for alignment on a port that does not answer would only burn 128 attempts.
      if (Bus->LineFault()) {
        unsynchronised_ = true;
        return 1;
      }
      if (echo == kProgrammingEnable.b2)
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
  const HRESULT hr = Instruction(kChipErase.b1, kChipErase.b2, 0x00, 0x00, nullptr, TEcho::IfFree);
  if (hr != S_OK) return hr;
  WaitMs(EraseDelay);
  Bus->SetProgMode(true);
  extended_address_ = 0;
  return S_OK;
}

HRESULT TmCAtgeneric::ChipErase() {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  HRESULT hr = EraseAndReset();
  if (hr != S_OK) return hr;
  if (CpuInfo->CpuType == actATtiny12) {
    // The ATtiny12 needs a programmed page word between two erases before its flash erases cleanly.
    hr = LoadPageWord(0, 0x00FF);
    if (hr != S_OK) return hr;
    WaitMs(WriteDelay);
    hr = EraseAndReset();
    if (hr != S_OK) return hr;
  }
  return EnterProgMode();
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
  if (!Bus) return ISP_E_NOBUS;
  HRESULT hr = SelectExtendedAddress(word_address);
  if (hr != S_OK) return hr;
  const uint8_t a_high = uint8_t(word_address >> 8), a_low = uint8_t(word_address);
  uint8_t high = 0, low = 0;
  hr = Instruction(kReadProgramHigh.b1, a_high, a_low, 0, &high, TEcho::IfFree);
  if (hr != S_OK) return hr;
  hr = Instruction(kReadProgramLow.b1, a_high, a_low, 0, &low, last_echo);
  if (hr != S_OK) return hr;
  word = uint16_t(high << 8 | low);
  return S_OK;
}

HRESULT TmCAtgeneric::LoadPageWord(uint32_t word_address, uint16_t word) {
  if (!Bus) return ISP_E_NOBUS;
  // The page buffer is addressed by the word's offset within its page. Without a known page size
  // only the low twelve address bits are sent, which is right for every chip of up to 8 KB.
  const uint32_t page_words = PageWords();
  const uint32_t offset = page_words ? word_address % page_words : word_address & 0x0FFF;
  const uint8_t a_high = uint8_t(offset >> 8), a_low = uint8_t(offset);
  const HRESULT hr = Instruction(kLoadPageLow.b1, a_high, a_low, uint8_t(word), nullptr, TEcho::IfFree);
  if (hr != S_OK) return hr;
  return Instruction(kLoadPageHigh.b1, a_high, a_low, uint8_t(word >> 8), nullptr, TEcho::IfFree);
}

HRESULT TmCAtgeneric::WritePage(uint32_t word_address) {
  if (!Bus) return ISP_E_NOBUS;
  HRESULT hr = SelectExtendedAddress(word_address);
  if (hr != S_OK) return hr;
  // Checked on every back end: once per page is cheap, and it is the last instruction of the page.
  hr = Instruction(kWritePage.b1, uint8_t(word_address >> 8), uint8_t(word_address), 0xAA, nullptr,
                   TEcho::Check);
  if (hr != S_OK) return hr;
  // The chip is not polled; the fixed delay covers the longest page write.
  WaitMs(WriteDelay);
  return S_OK;
}

HRESULT TmCAtgeneric::ReadLockBits(uint8_t& value) {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  value = 0;
  const uint8_t type = CpuInfo->CpuType & 0x7F;
  if (OneOf(type, {actAT90S1200, actAT90S2313, actAT90S4414, actAT90S8515})) return S_OK;

  uint8_t mask = 0;
  bool high_bits = false; // lock bits in raw bits 7 and 6
  if (OneOf(type, {actATmega603, actATmega103, actAT90S2333, actAT90S4433, actATtiny12, actATtiny15}))
    mask = 0x06;
  else if (OneOf(type, {actAT90S2323, actAT90S2343, actAT90S4434, actAT90S8535, actATtiny22}))
    high_bits = true;
  else if (OneOf(type,
                 {actATmega8,    actATmega8515, actATmega8535, actATmega161, actATmega163,  actATmega16,
                  actATmega162,  actATmega169,  actATmega323,  actATmega32,  actATmega128,  actATmega64,
                  actATmega48,   actATmega88,   actATmega168,  actATmega164, actATmega324,  actATmega644,
                  actAT90CAN32,  actAT90CAN64,  actAT90CAN128, actATmega640, actATmega1280, actATmega1281,
                  actATmega2560, actATmega2561}))
    mask = 0x3F;
  else if (OneOf(type, {actATtiny13, actATtiny26, actATtiny2313, actATtiny25, actATtiny45, actATtiny85,
                        actATtiny261, actATtiny461, actATtiny861}))
    mask = 0x03;
  else
    return 1;

  uint8_t raw = 0;
  const HRESULT hr = Instruction(kReadLockBits.b1, kReadLockBits.b2, 0x00, 0, &raw, TEcho::Check);
  if (hr != S_OK) return hr;
  if (high_bits)
    value = uint8_t((raw & 0x80 ? 0 : 0x02) | (raw & 0x40 ? 0 : 0x04));
  else
    value = Programmed(raw) & mask;
  return S_OK;
}

HRESULT TmCAtgeneric::ReadFuseBits(uint32_t& value) {
  if (!Bus) return ISP_E_NOBUS;
  if (!Identify(false)) return ISP_E_UNIDENTIFIED;
  value = 0;
  const uint8_t type = CpuInfo->CpuType & 0x7F;
  uint8_t raw = 0;
  HRESULT hr = S_OK;

  if (OneOf(type, {actAT90S1200, actAT90S2313, actAT90S4414, actAT90S8515})) return S_OK;

  // The oldest parts keep their few fuse bits in the lock byte.
  if (OneOf(type, {actATtiny22, actAT90S2323, actAT90S2343, actAT90S4434, actAT90S8535})) {
    hr = Instruction(kReadLockBits.b1, kReadLockBits.b2, 0x00, 0, &raw, TEcho::Check);
    if (hr != S_OK) return hr;
    value = Programmed(raw) & (type == actATtiny22 ? 0x20 : 0x21);
    return S_OK;
  }

  int fuse_bytes = 0;
  if (OneOf(type,
            {actATmega603, actATmega103, actAT90S2333, actAT90S4433, actATmega161, actATtiny12, actATtiny15}))
    fuse_bytes = 1;
  else if (OneOf(type, {actATmega8, actATmega8515, actATmega8535, actATmega163, actATmega16, actATmega323,
                        actATmega32, actATtiny13, actATtiny26}))
    fuse_bytes = 2;
  else if (OneOf(type, {actATmega162, actATmega169,  actATmega128,  actATmega64,   actATtiny2313,
                        actATtiny25,  actATtiny45,   actATtiny85,   actATtiny261,  actATtiny461,
                        actATtiny861, actATmega48,   actATmega88,   actATmega168,  actATmega164,
                        actATmega324, actATmega644,  actAT90CAN32,  actAT90CAN64,  actAT90CAN128,
                        actATmega640, actATmega1280, actATmega1281, actATmega2560, actATmega2561}))
    fuse_bytes = 3;
  else
    return 1;

  constexpr TIspTemplate kFuseReads[3] = {kReadFuseLow, kReadFuseHigh, kReadFuseExtended};
  uint32_t result = 0;
  for (int n = 0; n < fuse_bytes; ++n) {
    hr = Instruction(kFuseReads[n].b1, kFuseReads[n].b2, 0x00, 0, &raw, TEcho::Check);
    if (hr != S_OK) return hr;
    result |= uint32_t(Programmed(raw)) << (8 * n);
  }
  value = result;
  return S_OK;
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
  return Transfer(image, error_address, [&](int32_t& error_at) { return WriteFlashPages(image, error_at); });
}

HRESULT TmCAtgeneric::WriteFlashPages(const std::shared_ptr<IuCMemStream>& image, int32_t& error_at) {
  const int32_t flash = CpuInfo->MemSize.Flash;
  const uint32_t page_words = PageWords();
  if (flash <= 0 || page_words == 0) return ISP_E_NOSIZES;
  const uint32_t page_bytes = page_words * 2;
  int32_t size = 0;
  if (image->GetSize(&size) != S_OK || size < 0) return ISP_E_IMAGEREAD;
  if (image->Rewind() != S_OK) return ISP_E_IMAGEREAD;
  if (int64_t(flash) < int64_t(size)) return ISP_E_TOOBIG;
  const uint32_t words = uint32_t(flash) >> 1;
  const uint64_t image_bytes = uint64_t(size);
  const std::shared_ptr<IAvrEvent> sink = Events; // Idle may let the owner change Events

  if (CpuInfo->EraseBeforeFlash == 1) {
    Message(sink, "Erasing flash...\r\n");
    ChipErase(); // a chip that stays silent after the erase shows up in the first page write
  }

  Message(sink, "Writing flash...\r\n");
  const uint32_t start = TickMs();
  if (sink) sink->SetProgress(0);

  HRESULT status = S_OK;
  bool page_pending = false; // words loaded since the last page write
  uint32_t i = 0;
  for (; i < words && 2 * uint64_t(i) < image_bytes; ++i) {
    uint16_t word = 0;
    if (image->GetWord(&word) != S_OK) {
      status = ISP_E_IMAGEREAD;
      int32_t position = 0;
      error_at = image->GetPosition(&position) == S_OK ? position : int32_t(2 * i);
      break;
    }
    if (LoadPageWord(i, word) != S_OK) {
      status = ISP_E_FLASHWRITE;
      error_at = int32_t(2 * i);
      break;
    }
    page_pending = true;
    if ((2 * (uint64_t(i) + 1)) % page_bytes == 0) {
      const bool last_page = i + 1 == words || 2 * (uint64_t(i) + 1) >= image_bytes;
      if (WritePage(i) != S_OK || ConfirmAnswering(last_page) != S_OK) {
        status = ISP_E_FLASHWRITE;
        error_at = int32_t(2 * i);
        break;
      }
      page_pending = false;
      status = Progress(sink, int32_t(2 * uint64_t(i) * 100 / image_bytes), 2 * uint64_t(i), start);
      if (status != S_OK) {
        error_at = int32_t(2 * i);
        ++i; // the page holding word i is written
        break;
      }
    }
  }
  // The last page is only partly filled; after a failed flash access there is nothing to finish.
  if (page_pending && status != ISP_E_FLASHWRITE &&
      (WritePage(i - 1) != S_OK || ConfirmAnswering(true) != S_OK) && status == S_OK) {
    status = ISP_E_FLASHWRITE;
    error_at = int32_t(2 * (i - 1));
  }

  FinalRate(sink, 2 * uint64_t(i), start);
  return status;
}

HRESULT TmCAtgeneric::ReadFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address) {
  return Transfer(image, error_address, [&](int32_t& error_at) -> HRESULT {
    const int32_t flash = CpuInfo->MemSize.Flash;
    if (flash <= 0) return ISP_E_NOSIZES;
    return ForEachWord("Reading flash...\r\n", uint32_t(flash) >> 1, error_at,
                       [&](uint32_t i, bool block_end) -> HRESULT {
                         uint16_t word = 0;
                         if (ReadWord(i, word, block_end ? TEcho::Check : TEcho::IfFree) != S_OK)
                           return ISP_E_FLASHREAD;
                         return image->PutWord(&word) == S_OK ? S_OK : ISP_E_IMAGEWRITE;
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
    // A trailing odd byte has no flash word to compare.
    return ForEachWord("Verifying flash...\r\n", uint32_t(size) >> 1, error_at,
                       [&](uint32_t i, bool block_end) -> HRESULT {
                         uint16_t flash_word = 0, image_word = 0;
                         if (ReadWord(i, flash_word, block_end ? TEcho::Check : TEcho::IfFree) != S_OK)
                           return ISP_E_FLASHREAD;
                         if (image->GetWord(&image_word) != S_OK) return ISP_E_IMAGEREAD;
                         if (flash_word == image_word) return S_OK;
                         // A silent chip differs from almost any image; that is no difference of
                         // the flash.
                         return ConfirmAnswering(true) == S_OK ? ISP_E_MISMATCH : ISP_E_FLASHREAD;
                       });
  });
}

HRESULT
TmCAtgeneric::ForEachWord(const char* message, uint32_t words, int32_t& error_at,
                          const std::function<HRESULT(uint32_t word_address, bool block_end)>& per_word) {
  const std::shared_ptr<IAvrEvent> sink = Events; // Idle may let the owner change Events
  Message(sink, message);
  const uint32_t start = TickMs();
  if (sink) sink->SetProgress(0);

  HRESULT status = S_OK;
  uint32_t i = 0;
  for (; i < words; ++i) {
    const bool block_end = (2 * (uint64_t(i) + 1)) % kEchoBlockBytes == 0 || i + 1 == words;
    status = per_word(i, block_end);
    if (status == S_OK && block_end && ConfirmAnswering(i + 1 == words) != S_OK) status = ISP_E_FLASHREAD;
    if (status != S_OK) {
      error_at = int32_t(2 * i);
      break;
    }
    if ((2 * (uint64_t(i) + 1)) % 16 == 0) {
      status = Progress(sink, int32_t(uint64_t(i) * 100 / words), 2 * uint64_t(i), start);
      if (status != S_OK) {
        error_at = int32_t(2 * i);
        ++i; // word i is done
        break;
      }
    }
  }

  FinalRate(sink, 2 * uint64_t(i), start);
  return status;
}
