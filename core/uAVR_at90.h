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
  HRESULT LoadDatabase(std::string& error_text);
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

  // Whole-flash transfers; error_address is a byte address, -1 unless the transfer loop failed.
  HRESULT WriteFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT ReadFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);
  HRESULT VerifyFlash(const std::shared_ptr<IuCMemStream>& image, int32_t* error_address = nullptr);

private:
  // One four-byte instruction. With answer set, the fourth byte is read back into it instead of
  // sending b4. A line fault during the instruction makes it fail with SPI_E_NOPORT.
  HRESULT Instruction(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t* answer = nullptr);
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
  // status to stop at it; progress and the rate go to the sink every 16 bytes, and a cancel
  // from its Idle stops after the current word. error_at is the byte address it stopped at.
  HRESULT ForEachWord(const char* message, uint32_t words, int32_t& error_at,
                      const std::function<HRESULT(uint32_t word_address)>& per_word);

  // The extended address byte the chip currently holds; -1 = unknown. A reset clears it to 0.
  int32_t extended_address_ = -1;
};
