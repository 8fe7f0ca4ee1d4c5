// What the back-end tests share: a test image, pin maps from text, the rig that puts the ISP layer
// on a back end with the simulated chip behind the back end's model, and the page and whole-flash
// sequences every back end must carry.
#pragma once
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "hw/uPinMap.h"
#include "sim/uSimChip.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A reproducible image from a seed (a linear congruential sequence), so pages are never blank.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);

// The wiring the text gives over the kind's default; a failed expectation when it does not parse.
TPinMap ParsePins(TPinKind kind, const char* text);

// The ISP layer on a TBus with a fresh chip, in virtual time. A derived rig builds the back end's
// model, calls MakeChip and then Attach with the opened bus. Teardown runs in the order a session
// ends: the ISP layer, then the bus (whose close still drives the model and the chip's pins), then
// the tables; the model and the chip outlive the bus.
template <class TBus> class TIspRig {
public:
  TIspRig(const TIspRig&) = delete;
  TIspRig& operator=(const TIspRig&) = delete;
  ~TIspRig() {
    isp.reset();
    bus.reset();
    SignatureTable.clear();
  }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};

private:
  std::vector<std::shared_ptr<void>> models_;

public:
  std::unique_ptr<TSimAvrChip> chip;
  std::unique_ptr<TBus> bus;
  std::unique_ptr<TmCAtgeneric> isp;

protected:
  TIspRig() = default;
  // The tables hold the record, and the chip is a fresh one of it.
  void MakeChip(const TAvrSigType& record, TSimChipOptions options = {}) {
    SignatureTable = {record};
    chip = std::make_unique<TSimAvrChip>(record, options);
  }
  // Keeps a model the bus talks to alive until the bus has closed.
  void Keep(std::shared_ptr<void> model) { models_.push_back(std::move(model)); }
  // The bus at its fastest level, with the ISP layer on it.
  void Attach(std::unique_ptr<TBus> opened) {
    bus = std::move(opened);
    bus->Speed = sdFastest;
    isp = std::make_unique<TmCAtgeneric>(bus.get());
  }
};

// Loading page 0 with the bytes of page (Load Program Memory Page, low then high byte of each word)
// and reading the same words back (Read Program Memory, answers sampled).
struct TPageFrames {
  std::vector<TSpiFrame> load, read;
};
TPageFrames PageFrames(const std::vector<uint8_t>& page);

// Writes data into the flash through the ISP layer, checks that the chip holds it and that it
// verifies (with read_back, that a read returns the chip's flash), then changes the cell at flip_at
// by flip_mask and checks that a verify reports the mismatch at mismatch_at. Use under
// ASSERT_NO_FATAL_FAILURE: a failed step ends the sequence.
void CheckWriteVerify(TmCAtgeneric& isp, TSimAvrChip& chip, const std::vector<uint8_t>& data, size_t flip_at,
                      uint8_t flip_mask, int32_t mismatch_at, bool read_back);

// A write of size bytes on a bus that fails part way: the ISP layer reports the failed write and
// where it stopped, past the start and short of the end.
void ExpectWriteBreaksOff(TmCAtgeneric& isp, size_t size, uint32_t seed);
