#include "tests/support/FakeIspChip.h"

TFakeIspChip::TFakeIspChip(uint32_t flash_words, uint32_t page_words_)
    : flash(flash_words, 0xFFFF), page_words(page_words_),
      page_buffer_(page_words_ ? page_words_ : 1, 0xFFFF) {}

std::vector<TIspBytes> TFakeIspChip::With(uint8_t opcode) const {
  std::vector<TIspBytes> found;
  for (const TIspBytes& i : instructions)
    if (i[0] == opcode) found.push_back(i);
  return found;
}

void TFakeIspChip::OnResetChanged(uint8_t level) {
  if (!level) return;
  // Entering programming mode starts a new frame and clears the extended address byte.
  ++resets;
  enabled = false;
  byte_index_ = 0;
  bit_index_ = 0;
  shift_in_ = 0;
  miso_out_ = 1;
  skip_ = skip_bits_after_reset;
  extended_address = 0;
}

uint32_t TFakeIspChip::FlashIndex(uint32_t word_address) const {
  // Like the silicon, the address wraps at the end of the flash.
  return flash.empty() ? 0 : word_address % uint32_t(flash.size());
}

uint8_t TFakeIspChip::Answer(size_t byte_index) const {
  const TIspBytes& r = received_;
  // Like the silicon, the second byte of an instruction comes back while the third goes in (for
  // Programming Enable this is the 0x53 a programmer synchronises on). Until Programming Enable has
  // been framed, only frames that begin with its opcode echo: a programmer out of step must not
  // read a shifted echo as the right one.
  if (byte_index == 2) return enabled || r[0] == 0xAC ? r[1] : 0x00;
  if (byte_index != 3) return 0x00;
  const uint32_t address = uint32_t(extended_address) << 16 | uint32_t(r[1]) << 8 | r[2];
  switch (r[0]) {
  case 0x28:
  case 0x20: {
    const uint16_t word = flash.empty() ? 0xFFFF : flash[FlashIndex(address)];
    return r[0] == 0x28 ? uint8_t(word >> 8) : uint8_t(word);
  }
  case 0x30:
    return signature[r[2] & 3];
  case 0x38:
    return calibration[r[2] & 3];
  case 0x58:
    return r[1] == 0x08 ? fuse_high_raw : lock_raw;
  case 0x50:
    return r[1] == 0x08 ? fuse_ext_raw : fuse_low_raw;
  case 0xF0:
    return busy_left_ > 0 ? 0x01 : 0x00;
  default:
    return 0x00;
  }
}

void TFakeIspChip::Execute() {
  const TIspBytes& r = received_;
  instructions.push_back(r);
  const uint32_t in_page = page_words ? (uint32_t(r[1]) << 8 | r[2]) & (page_words - 1) : 0;
  if (busy_left_ > 0 && r[0] != 0xF0) ++sent_while_busy;
  if (r[0] == 0x4C || r[0] == 0xC0 || r[0] == 0xC2 || (r[0] == 0xAC && r[1] != 0x53)) busy_left_ = busy_polls;
  switch (r[0]) {
  case 0xF0:
    if (busy_left_ > 0) --busy_left_;
    break;
  case 0xAC:
    if (r[1] == 0x53) enabled = true;
    if (r[1] == 0x80) std::fill(flash.begin(), flash.end(), uint16_t(0xFFFF));
    break;
  case 0x40:
    page_buffer_[in_page] = uint16_t((page_buffer_[in_page] & 0xFF00) | r[3]);
    break;
  case 0x48:
    page_buffer_[in_page] = uint16_t((page_buffer_[in_page] & 0x00FF) | r[3] << 8);
    break;
  case 0x4C: {
    // The page is chosen by the address bits above the in-page offset, extended byte included.
    const uint32_t address = uint32_t(extended_address) << 16 | uint32_t(r[1]) << 8 | r[2];
    const uint32_t base = page_words ? address & ~(page_words - 1) : address;
    for (uint32_t k = 0; k < page_buffer_.size() && !flash.empty(); ++k) {
      flash[FlashIndex(base + k)] &= page_buffer_[k]; // programming only clears bits
      page_buffer_[k] = 0xFFFF;
    }
    break;
  }
  case 0x4D:
    extended_address = r[2];
    break;
  default:
    break;
  }
  if (on_instruction) on_instruction(r);
}

void TFakeIspChip::OnSckChanged(uint8_t previous, uint8_t level) {
  if (previous || !level) return;
  ++rising_edges;
  if (!reset || !responds) {
    miso_out_ = 1;
    return;
  }
  if (skip_) {
    --skip_;
    return;
  }
  if (bit_index_ == 0) shift_out_ = Answer(byte_index_);
  miso_out_ = (shift_out_ >> (7 - bit_index_)) & 1;
  shift_in_ = uint8_t(shift_in_ << 1 | mosi);
  if (++bit_index_ < 8) return;
  received_[byte_index_] = shift_in_;
  bit_index_ = 0;
  shift_in_ = 0;
  if (++byte_index_ < 4) return;
  byte_index_ = 0;
  Execute();
  received_ = {};
}
