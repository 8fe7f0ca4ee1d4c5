// The AVR serial programming instruction set over a TSpiBusBase, and the whole-flash transfers.
// One object lives for one user command; it never owns the bus.
#pragma once
#include "core/uAvr_base_TLB.h"
#include "core/uSpiBus_base.h"
#include "devicedb/uAVR_base.h"
#include "memimage/uAvrMemFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

constexpr HRESULT ISP_E_NOBUS = 0x9010;
constexpr HRESULT ISP_E_UNIDENTIFIED = 0x9011;
constexpr HRESULT ISP_E_NOANSWER = 0x9012; // no echo: the chip is absent or stopped answering
constexpr HRESULT ISP_E_BADSIZES = 0x9013; // the record's sizes cannot be used (RecordSizesUsable)
constexpr HRESULT ISP_E_NOSIZES = 0x9021;
constexpr HRESULT ISP_E_IMAGEREAD = 0x9022;
constexpr HRESULT ISP_E_IMAGEWRITE = 0x9023;
constexpr HRESULT ISP_E_TOOBIG = 0x9024;
constexpr HRESULT ISP_E_FLASHWRITE = 0x9025;
constexpr HRESULT ISP_E_FLASHREAD = 0x9026;
constexpr HRESULT ISP_E_MISMATCH = 0x9027;

class TmCAtgeneric {
public:
  explicit TmCAtgeneric(TSpiBusBase* bus);
  ~TmCAtgeneric();
  TmCAtgeneric(const TmCAtgeneric&) = delete;
  TmCAtgeneric& operator=(const TmCAtgeneric&) = delete;

  std::shared_ptr<IAvrEvent> Events;
  TSpiBusBase* Bus = nullptr;
  uint32_t WriteDelay = 10; // ms after each page write
  uint32_t EraseDelay = 30; // ms after chip erase
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
  HRESULT ReadLockBits(uint8_t& value);
  HRESULT ReadFuseBits(uint32_t& value);
  HRESULT GetErrorText(HRESULT code, std::string& text);
  // Why the last instruction that failed did so (ISP_E_NOANSWER, SPI_E_NOPORT, ...); S_OK when
  // none has since the object was made or the last whole-flash transfer began. The transfers
  // report a failed flash access as ISP_E_FLASHREAD or ISP_E_FLASHWRITE; this is the cause.
  HRESULT LastFault() const { return last_fault_; }

  // Whole-flash transfers; error_address is a byte address, -1 unless the transfer loop failed.
  HRESULT WriteFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT ReadFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT VerifyFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);

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
  HRESULT ReadWord(uint32_t word_address, uint16_t& word, TEcho last_echo);
  // Chip Erase, EraseDelay, and the reset sequence that the erase needs before the next instruction.
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
  // The word loop of reading and verifying: per_word handles one word and returns a failure
  // status to stop at it; block_end tells it that the word ends a block of 16 bytes, whose last
  // read checks the echo and after which the chip must prove it answers. Progress and the rate go
  // to the sink every block, and a cancel from its Idle stops after the current word. error_at is
  // the byte address it stopped at.
  HRESULT ForEachWord(const char* message, uint32_t words, int32_t& error_at,
                      const std::function<HRESULT(uint32_t word_address, bool block_end)>& per_word);

  // The extended address byte the chip currently holds; -1 = unknown. A reset clears it to 0.
  int32_t extended_address_ = -1;
  // The last instruction's echo was checked and told the chip from both resting levels.
  bool echo_conclusive_ = false;
  // The last EnterProgMode got no echo: whatever comes back is the line's resting level.
  bool unsynchronised_ = false;
  HRESULT last_fault_ = S_OK;
};
