// The AVR serial programming instruction set over a TSpiBusBase, and the whole-flash transfers.
// One object lives for one user command; it never owns the bus.
#pragma once
#include "core/uAvr_base_TLB.h"
#include "core/uSpiBus_base.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"
#include "memimage/uAvrMemFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr HRESULT ISP_E_NOBUS = 0x9010;
constexpr HRESULT ISP_E_UNIDENTIFIED = 0x9011;
constexpr HRESULT ISP_E_NOANSWER = 0x9012;     // no echo: the chip is absent or stopped answering
constexpr HRESULT ISP_E_BADSIZES = 0x9013;     // the record's sizes cannot be used (RecordSizesUsable)
constexpr HRESULT ISP_E_NOTSUPPORTED = 0x9014; // the chip has no such memory or instruction over ISP
constexpr HRESULT ISP_E_STILLBUSY = 0x9015;    // the chip stayed busy far past its datasheet time
constexpr HRESULT ISP_E_NOSIZES = 0x9021;
constexpr HRESULT ISP_E_IMAGEREAD = 0x9022;
constexpr HRESULT ISP_E_IMAGEWRITE = 0x9023;
constexpr HRESULT ISP_E_TOOBIG = 0x9024;
constexpr HRESULT ISP_E_FLASHWRITE = 0x9025;
constexpr HRESULT ISP_E_FLASHREAD = 0x9026;
constexpr HRESULT ISP_E_MISMATCH = 0x9027;
constexpr HRESULT ISP_E_EEPROMWRITE = 0x9028;
constexpr HRESULT ISP_E_EEPROMREAD = 0x9029;
constexpr HRESULT ISP_E_EEPROMMISMATCH = 0x902A;
constexpr HRESULT ISP_E_FUSEVERIFY = 0x902B; // a fuse or lock byte read back other than written

// The samples of an instruction frame: a chip in programming mode echoes the second byte while the
// third is clocked in, and answers a read in the fourth.
constexpr uint32_t kIspEchoSample = SpiSampleByte(2);
constexpr uint32_t kIspAnswerSample = SpiSampleByte(3);

class TmCAtgeneric {
public:
  explicit TmCAtgeneric(TSpiBusBase* bus);
  ~TmCAtgeneric();
  TmCAtgeneric(const TmCAtgeneric&) = delete;
  TmCAtgeneric& operator=(const TmCAtgeneric&) = delete;

  std::shared_ptr<IAvrEvent> Events;
  TSpiBusBase* Bus = nullptr;
  TAvrSignature Signature;
  const TAvrSigType* CpuInfo = nullptr;
  // Database file to load; empty = the usual places (LocateSignatureDB).
  std::string DatabasePath;

  HRESULT SetEventSink(const std::shared_ptr<IUnknownBase>& object, bool enable);
  // section_error, when given, receives what the reader found wrong in a section (which entry,
  // which value) for the section codes, which leave error_text unchanged.
  HRESULT LoadDatabase(std::string& error_text, std::string* section_error = nullptr);
  bool Identify(bool force);
  int32_t GetFlashSize();
  HRESULT EnterProgMode();
  HRESULT LeaveProgMode();
  HRESULT ChipErase();
  HRESULT ReadSignatureByte(uint8_t index, uint8_t& value);
  HRESULT ReadSignature(TAvrSignature& sig);
  HRESULT ReadCalibrationByte(uint8_t index, uint8_t& value);
  HRESULT ReadProgramWord(uint32_t word_address, uint16_t& word);
  HRESULT LoadPageWord(uint32_t word_address, uint16_t word);
  HRESULT WritePage(uint32_t word_address);
  // Lock and fuse bits as one value each, 1 = programmed (fuse bytes low, high, extended from bit
  // 0 up), as the explanations take them. ISP_E_NOTSUPPORTED for a chip that cannot report them.
  HRESULT ReadLockBits(uint8_t& value);
  HRESULT ReadFuseBits(uint32_t& value);

  // The memories of the identified chip (Known false before identification).
  const TAvrChipMemories& Memories();
  // One fuse or lock byte as the chip stores it (0 = programmed), logical bit k at bit k; bits the
  // read does not carry read as 1. ISP_E_NOTSUPPORTED when the chip has no read for it.
  HRESULT ReadConfigByte(TAvrMemory memory, uint8_t& value);
  // Writes one fuse or lock byte (0 = programmed) and waits until the chip has stored it. It
  // writes exactly value: what may be written is the caller's judgement. ISP_E_NOTSUPPORTED when
  // the chip has no write for it; ISP_E_STILLBUSY when it does not finish in time.
  HRESULT WriteConfigByte(TAvrMemory memory, uint8_t value);
  // Waits until the chip has finished its programming cycle: RDY/BSY, value polling of the cell at
  // address (written with value), or the maximum time, as the memory's description says.
  HRESULT WaitReady(const TAvrMemoryDesc& memory, uint32_t address, uint8_t value);
  // Time spent waiting for the chip since this object was made (benchmark figures).
  uint64_t WaitedNs() const { return waited_ns_; }
  HRESULT GetErrorText(HRESULT code, std::string& text);
  // A run of four-byte instructions exchanged at once (a page load, a page read): the answers come
  // back in each frame's In. A frame whose Sample covers kIspEchoSample has its echo checked once
  // the run is over; where samples are free every frame is flagged so. A line fault anywhere in
  // the run fails it with SPI_E_NOPORT; a wrong echo (or any checked echo after a Programming
  // Enable that went unanswered) with ISP_E_NOANSWER, failed_at then naming the first such frame
  // (count for a line fault). The frames before it were clocked as sent, and their answers are
  // vouched for by the echo after them.
  HRESULT Instructions(TSpiFrame* frames, size_t count, size_t* failed_at = nullptr);
  HRESULT Instructions(std::vector<TSpiFrame>& frames, size_t* failed_at = nullptr) {
    return Instructions(frames.data(), frames.size(), failed_at);
  }
  // Why the last instruction that failed did so (ISP_E_NOANSWER, SPI_E_NOPORT, ...); S_OK when
  // none has since the object was made or the last whole-flash transfer began. The transfers
  // report a failed flash access as ISP_E_FLASHREAD or ISP_E_FLASHWRITE; this is the cause.
  HRESULT LastFault() const { return last_fault_; }

  // Whole-flash transfers; error_address is a byte address, -1 unless the transfer loop failed.
  HRESULT WriteFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT ReadFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT VerifyFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  // The same for the EEPROM (ISP_E_EEPROMWRITE/READ/MISMATCH). An erase is never part of them.
  HRESULT WriteEeprom(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT ReadEeprom(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT VerifyEeprom(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  // Whether a chip erase now would also erase the EEPROM (EESAVE not programmed, or unreadable).
  bool EraseClearsEeprom();

private:
  // Whether an instruction checks the chip's echo of its second byte: always, or only where MISO
  // samples are free (the check costs eight samples, each a port operation on a real port).
  enum class TEcho : uint8_t { Check, IfFree };
  // One four-byte instruction. With answer set, the fourth byte is read back into it instead of
  // sending b4. A line fault during the instruction makes it fail with SPI_E_NOPORT; a checked
  // echo that is wrong, or any checked instruction after a Programming Enable that went
  // unanswered, with ISP_E_NOANSWER.
  HRESULT Instruction(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t* answer, TEcho echo);
  // Proves that the chip answers now: done when the last instruction's echo was checked and could
  // not have come from a resting line (neither all ones nor all zeros), unless transfer_end; else
  // one harmless read whose checked echo can tell. The transfers call it at the end of every
  // block and once more at their end, so that none of them completes over a silent chip.
  HRESULT ConfirmAnswering(bool transfer_end = false);
  // The reset sequence of one round of EnterProgMode; first: the datasheets' short times.
  void ResetForEntry(bool first);
  HRESULT ReadWord(uint32_t word_address, uint16_t& word, TEcho last_echo);
  // count words from first_word; last_echo for the last word's read, the others' echo only where
  // free. A run never leaves the 64 K-word bank of its first word.
  HRESULT ReadWords(uint32_t first_word, uint16_t* words, uint32_t count, TEcho last_echo);
  // Loads count words into the page buffer from first_word on (all in one page).
  HRESULT LoadPage(uint32_t first_word, const uint16_t* words, uint32_t count);
  // Chip Erase, the wait for its end, and on the chips that need it a new entry into programming
  // mode before the next instruction.
  HRESULT EraseAndReset();
  // Sends Load Extended Address Byte when the word address lies in another 64 K-word bank than the
  // one the chip holds.
  HRESULT SelectExtendedAddress(uint32_t word_address);
  // Words per flash page of the identified chip; 0 when unknown or unusable.
  uint32_t PageWords() const;
  // The start every whole-flash transfer shares: the caller's error address (or a stand-in) set
  // to -1, an image and an identified chip required; then body does the transfer.
  HRESULT Transfer(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address,
                   const std::function<HRESULT(int32_t& error_at)>& body);
  HRESULT WriteFlashPages(const std::shared_ptr<IuCMemStream>& image, int32_t& error_at);
  // Flash of the parts without pages over ISP: each byte written and waited for on its own.
  HRESULT WriteFlashBytes(const std::shared_ptr<IuCMemStream>& image, int32_t& error_at);
  HRESULT WriteEepromBytes(const std::shared_ptr<IuCMemStream>& image, uint32_t bytes, int32_t& error_at);
  // Reads one byte of the flash (byte address) or EEPROM, for value polling and the EEPROM reads.
  HRESULT ReadMemoryByte(TAvrMemory memory, uint32_t address, uint8_t& value, TEcho echo);
  // Polls RDY/BSY until the chip is ready, for at most limit_ns. The first poll checks the echo,
  // the later ones sample only the busy bit; a wait that runs out proves with one checked poll
  // that the chip is still there (ISP_E_STILLBUSY) and not gone (ISP_E_NOANSWER).
  HRESULT PollRdyBsy(uint64_t limit_ns, uint32_t interval_us);
  // The longest a cycle of max_us may take before the chip counts as hung.
  static uint64_t BusyLimitNs(uint32_t max_us);
  // A span of flash words that reading, verifying or writing moves as one piece (within a page).
  struct TWordRun {
    uint32_t first = 0, count = 0;
  };
  // The runs of a read or verify: the flash in pages (8 words on parts without pages).
  uint32_t RunWords() const;
  // The loop of the page-wise transfers: per_run handles one run (last: the transfer's last) and
  // returns a failure status to stop at it, with error_at preset to the run's first byte and
  // free to be set nearer. Progress and the rate go over the runs' bytes, to the sink after every
  // run, and a cancel from its Idle stops after the current run.
  HRESULT
  ForEachRun(const char* message, const std::vector<TWordRun>& runs, int32_t& error_at,
             const std::function<HRESULT(const TWordRun& run, bool last, int32_t& error_at)>& per_run);
  // The loop of the byte-wise transfers, over units of unit_bytes: per_unit handles one and
  // returns a failure status to stop at it; block_end tells it that the unit ends a block of 16
  // bytes, after which the chip must prove it answers. Progress and the rate go to the sink every
  // block, and a cancel from its Idle stops after the current unit. error_at is the byte address
  // it stopped at.
  HRESULT ForEachUnit(uint32_t unit_bytes, uint32_t units, const std::shared_ptr<IAvrEvent>& sink,
                      int32_t& error_at,
                      const std::function<HRESULT(uint32_t index, bool block_end)>& per_unit);
  // What every flash write does first: the image's size checked against the flash, the image
  // rewound, the chip erased where the record asks for it.
  HRESULT PrepareFlashWrite(const std::shared_ptr<IuCMemStream>& image, int32_t& size, int32_t& error_at);
  // The frame of the EEPROM transfers: a chip with an EEPROM, and with image_sized an image that
  // fits it; body gets the number of bytes to transfer.
  HRESULT EepromTransfer(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address, bool image_sized,
                         const std::function<HRESULT(uint32_t bytes, int32_t& error_at)>& body);

  // The extended address byte the chip currently holds; -1 = unknown. A reset clears it to 0.
  int32_t extended_address_ = -1;
  // The last instruction's echo was checked and told the chip from both resting levels.
  bool echo_conclusive_ = false;
  // The last EnterProgMode got no echo: whatever comes back is the line's resting level.
  bool unsynchronised_ = false;
  HRESULT last_fault_ = S_OK;
  TAvrChipMemories memories_;
  // The cell of the page being loaded that can be value-polled after its page write; -1: none yet.
  int64_t poll_address_ = -1;
  uint8_t poll_value_ = 0xFF;
  uint64_t waited_ns_ = 0;
};
