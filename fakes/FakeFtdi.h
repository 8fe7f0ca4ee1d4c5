// A model of FTDI chips behind the libftdi seam (hw/uFtdiLib.h), for tests and the benchmark of
// the FTDI back end without hardware. Each device is an FT232R in synchronous bit-bang mode as its
// datasheet and FTDI's application note AN_232R-01 describe it:
//  - every byte written is taken from the 256-byte transmit FIFO at one tick of the bit-bang
//    clock (16 bytes per second per unit of the baud rate set through libftdi); just before it
//    drives the output pins the input levels of all eight pins are read into the 128-byte receive
//    FIFO, so the read-back of byte k shows the pins as byte k-1 left them;
//  - with the receive FIFO full the chip waits ("data will only be sent out if there is space in
//    the device for data to be read from the pins"), and a host write that cannot be taken in then
//    times out: a run must be read back while it is written;
//  - pins not set as outputs are inputs; unconnected inputs read high; after BITMODE_RESET the pins
//    are the UART's again, whose outputs (TXD, RTS, DTR) idle high.
// A simulated chip is wired to the pins per a pin map ("~": a buffer that inverts the line between
// the FTDI pin and the chip). Faults: no device, permission denied and busy (with libftdi's own
// codes and texts), pins stuck at a level, two pins shorted (they read the AND of what drives
// them), and the adapter unplugged after a number of USB requests.
//
// Time: with a clock set, each USB request costs round_trip_ns, and each byte the bit-bang clock's
// tick as it is clocked (or what full-speed USB needs to carry it both ways, where that is more),
// so the chip behind the pins sees the time pass that the wires would.
#pragma once
#include "hw/uFtdiLib.h"
#include "hw/uPinMap.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class TSimAvrChip;
class TVirtualClock;

struct TFakeFtdiCounts {
  uint64_t round_trips = 0;   // USB requests waited for: data exchanges and control requests
  uint64_t control = 0;       // of which control requests (bit mode, baud rate, read pins, ...)
  uint64_t bytes_written = 0; // bit-bang bytes sent to the chip
  uint64_t bytes_read = 0;    // bit-bang bytes read back (status bytes not counted)
};

struct TFakeFtdiDevice {
  TFtdiDeviceInfo info;
  TFtdiChipType type = TFtdiChipType::R;

  // Faults.
  bool permission_denied = false;                  // libusb_open refused (no udev rule)
  bool busy = false;                               // another program has claimed the interface
  int64_t unplug_after_requests = -1;              // after this many USB requests every request fails
  int stuck[8] = {-1, -1, -1, -1, -1, -1, -1, -1}; // a pin held at 0 or 1 whatever drives it
  std::vector<std::pair<int, int>> shorts;         // pins wired together

  // Wiring to the chip.
  TSimAvrChip* chip = nullptr;
  TPinMap wiring = DefaultPinMap(TPinKind::Ftdi);

  // State.
  bool open = false;
  bool kernel_driver_attached = true;
  uint8_t bitmode = 0x00, output_mask = 0x00;
  int baud = 9600; // as given to libftdi
  uint8_t latency_ms = 16;
  unsigned read_chunk = 4096, write_chunk = 4096;
  uint8_t latch = 0x00; // the output register
  uint64_t requests = 0;
  std::deque<uint8_t> tx, rx;      // the chip's FIFOs
  std::vector<std::string> events; // "open", "bitmode 04 mask 15", "baud 31250", "close", ...

  static constexpr size_t kTxFifo = 256, kRxFifo = 128; // FT232R datasheet, "Features"
  bool Unplugged() const { return unplug_after_requests >= 0 && int64_t(requests) >= unplug_after_requests; }
  // The pins' levels now: outputs driven from the latch, inputs pulled high or driven by the chip,
  // then shorts and stuck pins.
  uint8_t Pins() const;
  bool Did(const std::string& event) const;
  // Index of the last event that starts with prefix; -1 when none.
  int Last(const std::string& prefix) const;
};

class TFakeFtdi : public IFtdiLib {
public:
  TFakeFtdiDevice& AddDevice(TFtdiDeviceInfo info, TFtdiChipType type = TFtdiChipType::R);
  TFakeFtdiDevice& Device(size_t index) { return *devices_.at(index); }

  const TFakeFtdiCounts& Counts() const { return counts_; }
  void ResetCounts() { counts_ = {}; }
  // Time, when set: round_trip_ns per USB request plus the byte clock's ticks.
  std::shared_ptr<TVirtualClock> clock;
  uint64_t round_trip_ns = 1'000'000;

  int FindAll(uint16_t vendor, uint16_t product, std::vector<TFtdiListEntry>& found,
              std::string& error) override;
  int Open(uint16_t vendor, uint16_t product, const std::string& serial, std::unique_ptr<IFtdiDevice>& device,
           std::string& error) override;

  // The device model's steps, for the handle (FakeFtdi.cpp).
  bool Request(TFakeFtdiDevice& device, bool control); // counts a USB request; false when unplugged
  void DriveChip(TFakeFtdiDevice& device);
  // Clocks bytes from the transmit FIFO while the receive FIFO has room; the bytes clocked.
  size_t Clock(TFakeFtdiDevice& device);
  uint64_t ByteNs(const TFakeFtdiDevice& device) const;
  void Advance(uint64_t ns);
  TFakeFtdiCounts& MutableCounts() { return counts_; }

private:
  std::vector<std::unique_ptr<TFakeFtdiDevice>> devices_;
  TFakeFtdiCounts counts_;
};
