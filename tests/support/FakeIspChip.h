// A byte-level fake AVR target on a recording bus: decodes the four-byte programming instructions
// clocked in while RESET is held, answers them on MISO and logs them, so tests can assert the bytes
// the ISP layer sends.
#pragma once
#include "tests/support/RecordingBus.h"

#include <array>
#include <functional>
#include <vector>

using TIspBytes = std::array<uint8_t, 4>;

class TFakeIspChip : public TRecordingBus {
public:
  // flash_words 0 = no flash (reads give 0xFFFF); page_words is a power of two.
  TFakeIspChip(uint32_t flash_words = 4096, uint32_t page_words = 32);

  // Behaviour.
  bool responds = true;               // false: MISO rests high, nothing is decoded
  bool enabled = false;               // Programming Enable framed since RESET was asserted
  bool samples_free = false;          // what SamplesAreFree says: a port's cost, or a simulation's
  uint32_t skip_bits_after_reset = 0; // framing offset: clocks ignored after RESET is asserted
  std::array<uint8_t, 4> signature{0x1E, 0x93, 0x07, 0x00};
  std::array<uint8_t, 4> calibration{0xA1, 0xA2, 0xA3, 0xA4};
  uint8_t lock_raw = 0xFF, fuse_low_raw = 0xFF, fuse_high_raw = 0xFF, fuse_ext_raw = 0xFF;
  // Polls of RDY/BSY answered busy after each programming instruction (page write, erase, ...).
  uint32_t busy_polls = 0;
  uint32_t sent_while_busy = 0; // instructions other than the poll that arrived while busy
  std::vector<uint16_t> flash;
  uint32_t page_words;
  // Called after each decoded instruction (for fault injection at a chosen point).
  std::function<void(const TIspBytes&)> on_instruction;

  // Observations.
  std::vector<TIspBytes> instructions; // as received; a read's fourth byte is what MOSI carried
  uint32_t resets = 0;                 // times RESET was asserted
  uint64_t rising_edges = 0;
  uint8_t extended_address = 0;

  // Instructions whose first byte is `opcode`.
  std::vector<TIspBytes> With(uint8_t opcode) const;

  bool SamplesAreFree() const override { return samples_free; }

protected:
  void OnSckChanged(uint8_t previous, uint8_t level) override;
  void OnResetChanged(uint8_t level) override;
  uint8_t MisoLevel() override { return miso_out_; }

private:
  uint8_t Answer(size_t byte_index) const; // the byte shifted out at this position
  void Execute();
  uint32_t FlashIndex(uint32_t word_address) const;

  std::vector<uint16_t> page_buffer_;
  TIspBytes received_{};
  size_t byte_index_ = 0;
  uint8_t bit_index_ = 0, shift_in_ = 0, shift_out_ = 0xFF, miso_out_ = 1;
  uint32_t skip_ = 0;
  uint32_t busy_left_ = 0;
};
