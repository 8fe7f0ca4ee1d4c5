#include "fakes/FakeFtdi.h"

#include "core/uWait.h"
#include "sim/uSimChip.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

// Full-speed USB moves at most 19 bulk packets of 64 bytes per 1 ms frame (USB 2.0, 5.8.4), shared
// by both directions; the chip sends two modem-status bytes at the start of every 64-byte packet.
constexpr double kUsbBytesPerNs = 19.0 * 64.0 / 1e6;
constexpr uint64_t kUsbTimeoutNs = 5'000'000'000; // libftdi's usb_read_timeout / usb_write_timeout

uint64_t UsbNs(uint64_t out, uint64_t in) {
  const uint64_t status = 2 * ((in + 61) / 62);
  return uint64_t(double(out + in + status) / kUsbBytesPerNs);
}

class TFakeFtdiHandle final : public IFtdiDevice {
public:
  TFakeFtdiHandle(TFakeFtdi& lib, TFakeFtdiDevice& device) : lib_(lib), device_(device) {}
  ~TFakeFtdiHandle() override { static_cast<void>(Close()); }

  TFtdiChipType ChipType() const override { return device_.type; }

  int SetBitmode(uint8_t output_mask, uint8_t mode) override {
    if (!Control()) return Fail(-1, "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?");
    device_.bitmode = mode;
    device_.output_mask = output_mask;
    char text[40];
    std::snprintf(text, sizeof text, "bitmode %02X mask %02X", unsigned(mode), unsigned(output_mask));
    device_.events.push_back(text);
    lib_.DriveChip(device_);
    return 0;
  }
  int SetBaudrate(int baud) override {
    if (!Control()) return Fail(-2, "Setting new baudrate failed");
    if (baud <= 0) return Fail(-1, "Silly baudrate <= 0.");
    device_.baud = baud;
    device_.events.push_back("baud " + std::to_string(baud));
    return 0;
  }
  int SetLatencyTimer(uint8_t ms) override {
    if (!Control()) return Fail(-2, "unable to set latency timer");
    if (ms < 1) return Fail(-1, "latency out of range. Only valid for 1-255");
    device_.latency_ms = ms;
    return 0;
  }
  int SetReadChunksize(unsigned bytes) override {
    device_.read_chunk = bytes;
    return 0;
  }
  int SetWriteChunksize(unsigned bytes) override {
    device_.write_chunk = bytes;
    return 0;
  }
  int Purge() override {
    if (!Control()) return Fail(-1, "FTDI purge of RX buffer failed");
    device_.tx.clear();
    device_.rx.clear();
    device_.events.push_back("purge");
    return 0;
  }
  int ReadPins(uint8_t& pins) override {
    if (!Control()) return Fail(-1, "read pins failed");
    pins = device_.Pins();
    return 0;
  }

  int WriteData(const uint8_t* data, int size) override {
    if (!lib_.Request(device_, false)) return Fail(-1, "usb bulk write failed");
    size_t taken = 0, clocked = 0;
    while (taken < size_t(size)) {
      while (taken < size_t(size) && device_.tx.size() < TFakeFtdiDevice::kTxFifo)
        device_.tx.push_back(data[taken++]);
      const size_t n = lib_.Clock(device_);
      clocked += n;
      if (n == 0 && taken < size_t(size)) {
        // Both FIFOs full and nobody reading: the bulk write never finishes.
        lib_.MutableCounts().bytes_written += taken;
        lib_.Advance(kUsbTimeoutNs);
        return Fail(-1, "usb bulk write failed");
      }
    }
    lib_.MutableCounts().bytes_written += taken;
    Finish(taken, 0, clocked);
    return size;
  }
  int ReadData(uint8_t* data, int size) override {
    if (!lib_.Request(device_, false)) return Fail(-1, "usb bulk read failed");
    size_t got = 0;
    while (got < size_t(size) && !device_.rx.empty()) {
      data[got++] = device_.rx.front();
      device_.rx.pop_front();
    }
    const size_t clocked = lib_.Clock(device_); // room in the receive FIFO lets the chip go on
    lib_.MutableCounts().bytes_read += got;
    Finish(0, got, clocked);
    return int(got);
  }

  int WriteSubmit(const uint8_t* data, int size) override {
    if (device_.Unplugged()) return Fail(-1, "usb bulk write failed");
    transfers_[next_] = {true, const_cast<uint8_t*>(data), size_t(size), 0, false, 0};
    return next_++;
  }
  int ReadSubmit(uint8_t* data, int size) override {
    if (device_.Unplugged()) return Fail(-1, "usb bulk read failed");
    transfers_[next_] = {false, data, size_t(size), 0, false, 0};
    return next_++;
  }
  int TransferDone(int handle) override {
    auto found = transfers_.find(handle);
    if (found == transfers_.end()) return -1;
    if (!found->second.complete) RunTransfers();
    const int result = found->second.result;
    transfers_.erase(found);
    return result;
  }

  std::string ErrorString() const override { return error_; }
  int Close() override {
    if (!device_.open) return 0;
    device_.open = false;
    device_.kernel_driver_attached = true;
    device_.events.push_back("close");
    transfers_.clear();
    return 0;
  }

private:
  struct TTransfer {
    bool write;
    uint8_t* data;
    size_t size, offset;
    bool complete;
    int result;
  };

  bool Control() {
    if (!lib_.Request(device_, true)) return false;
    lib_.Advance(lib_.round_trip_ns);
    return true;
  }
  int Fail(int code, const char* text) {
    error_ = text;
    return code;
  }
  // The time of a data request: its round trip, and what the bytes take beyond the clock ticks
  // already passed while they were clocked (the USB's own pace where it is the slower).
  void Finish(uint64_t out, uint64_t in, size_t clocked) {
    const uint64_t ticks = uint64_t(clocked) * lib_.ByteNs(device_);
    const uint64_t usb = UsbNs(out, in);
    lib_.Advance(lib_.round_trip_ns + (usb > ticks ? usb - ticks : 0));
  }

  // Everything submitted runs side by side, as the host controller runs queued transfers, until
  // all are done or nothing can move any more (those left time out).
  void RunTransfers() {
    if (!lib_.Request(device_, false)) {
      for (auto& [handle, t] : transfers_)
        if (!t.complete) t = {t.write, t.data, t.size, t.offset, true, -1};
      error_ = "usb bulk transfer failed (LIBUSB_ERROR_NO_DEVICE)";
      return;
    }
    uint64_t out = 0, in = 0;
    size_t clocked = 0;
    for (bool moved = true; moved;) {
      moved = false;
      for (auto& [handle, t] : transfers_) {
        if (t.complete || !t.write) continue;
        while (t.offset < t.size && device_.tx.size() < TFakeFtdiDevice::kTxFifo) {
          device_.tx.push_back(t.data[t.offset++]);
          ++out;
          moved = true;
        }
        if (t.offset == t.size) t.complete = true, t.result = int(t.size);
        if (!t.complete) break; // in order: a later write waits for the one before
      }
      const size_t n = lib_.Clock(device_);
      clocked += n;
      moved = moved || n > 0;
      for (auto& [handle, t] : transfers_) {
        if (t.complete || t.write) continue;
        while (t.offset < t.size && !device_.rx.empty()) {
          t.data[t.offset++] = device_.rx.front();
          device_.rx.pop_front();
          ++in;
          moved = true;
        }
        if (t.offset == t.size) t.complete = true, t.result = int(t.size);
        if (!t.complete) break;
      }
    }
    bool stalled = false;
    for (auto& [handle, t] : transfers_)
      if (!t.complete) {
        t.complete = true;
        t.result = -1;
        stalled = true;
      }
    lib_.MutableCounts().bytes_written += out;
    lib_.MutableCounts().bytes_read += in;
    Finish(out, in, clocked);
    if (stalled) {
      error_ = "usb bulk transfer timed out";
      lib_.Advance(kUsbTimeoutNs);
    }
  }

  TFakeFtdi& lib_;
  TFakeFtdiDevice& device_;
  std::map<int, TTransfer> transfers_;
  int next_ = 1;
  std::string error_;
};

} // namespace

uint8_t TFakeFtdiDevice::Pins() const {
  uint8_t pins = 0xFF; // unconnected inputs, and the UART's idle outputs, read high
  if (bitmode == kFtdiBitmodeSyncBB) pins = uint8_t((pins & ~output_mask) | (latch & output_mask));
  if (chip && wiring.Miso.Pin >= 0) {
    const uint8_t bit = uint8_t(1u << wiring.Miso.Pin);
    const bool miso = (chip->Miso() != 0) != wiring.Miso.Inverted;
    if (!miso) pins &= uint8_t(~bit); // a driven output pin and the chip: the low one wins
  }
  for (const auto& [a, b] : shorts) {
    const bool both = (pins >> a & 1) && (pins >> b & 1);
    for (int pin : {a, b}) pins = both ? uint8_t(pins | 1u << pin) : uint8_t(pins & ~(1u << pin));
  }
  for (int pin = 0; pin < 8; ++pin)
    if (stuck[pin] >= 0) pins = stuck[pin] ? uint8_t(pins | 1u << pin) : uint8_t(pins & ~(1u << pin));
  return pins;
}

bool TFakeFtdiDevice::Did(const std::string& event) const {
  return std::find(events.begin(), events.end(), event) != events.end();
}

int TFakeFtdiDevice::Last(const std::string& prefix) const {
  for (size_t i = events.size(); i-- > 0;)
    if (events[i].rfind(prefix, 0) == 0) return int(i);
  return -1;
}

TFakeFtdiDevice& TFakeFtdi::AddDevice(TFtdiDeviceInfo info, TFtdiChipType type) {
  auto device = std::make_unique<TFakeFtdiDevice>();
  device->info = std::move(info);
  device->type = type;
  devices_.push_back(std::move(device));
  return *devices_.back();
}

bool TFakeFtdi::Request(TFakeFtdiDevice& device, bool control) {
  ++device.requests;
  if (device.unplug_after_requests >= 0 && int64_t(device.requests) > device.unplug_after_requests)
    return false;
  ++counts_.round_trips;
  if (control) ++counts_.control;
  return true;
}

void TFakeFtdi::DriveChip(TFakeFtdiDevice& device) {
  if (!device.chip) return;
  const uint8_t pins = device.Pins();
  auto at_chip = [&](const TPinAssign& pin) { return ((pins >> pin.Pin & 1) != 0) != pin.Inverted; };
  // RESET is active low at the chip; reset first, data before clock.
  device.chip->SetReset(at_chip(device.wiring.Reset) ? 0 : 1);
  device.chip->SetMosi(at_chip(device.wiring.Mosi) ? 1 : 0);
  device.chip->SetSck(at_chip(device.wiring.Sck) ? 1 : 0);
}

uint64_t TFakeFtdi::ByteNs(const TFakeFtdiDevice& device) const {
  return 1'000'000'000ull / (16ull * uint64_t(std::max(device.baud, 1)));
}

void TFakeFtdi::Advance(uint64_t ns) {
  if (clock) clock->Advance(ns);
}

size_t TFakeFtdi::Clock(TFakeFtdiDevice& device) {
  size_t clocked = 0;
  const uint64_t tick = ByteNs(device);
  while (!device.tx.empty()) {
    if (device.bitmode != kFtdiBitmodeSyncBB) {
      device.tx.pop_front(); // the UART sends it on TXD; nothing comes back
      continue;
    }
    if (device.rx.size() >= TFakeFtdiDevice::kRxFifo) break; // waits for room to read the pins
    device.rx.push_back(device.Pins());
    device.latch = device.tx.front();
    device.tx.pop_front();
    DriveChip(device);
    Advance(tick);
    ++clocked;
  }
  return clocked;
}

int TFakeFtdi::FindAll(uint16_t vendor, uint16_t product, std::vector<TFtdiListEntry>& found, std::string&) {
  int count = 0;
  for (const auto& device : devices_) {
    if (device->info.Vendor != vendor || device->info.Product != product || device->Unplugged()) continue;
    TFtdiListEntry entry;
    entry.Info.Vendor = vendor;
    entry.Info.Product = product;
    if (device->permission_denied) {
      entry.StringsStatus = kFtdiOpenFailed;
      entry.StringsError = "libusb_open() failed";
    } else {
      entry.Info = device->info;
    }
    found.push_back(entry);
    ++count;
  }
  return count;
}

int TFakeFtdi::Open(uint16_t vendor, uint16_t product, const std::string& serial,
                    std::unique_ptr<IFtdiDevice>& handle, std::string& error) {
  for (const auto& device : devices_) {
    if (device->info.Vendor != vendor || device->info.Product != product || device->Unplugged()) continue;
    // As libftdi: each candidate is opened to read its serial number.
    if (device->permission_denied) {
      error = "usb_open() failed";
      return kFtdiOpenFailed;
    }
    if (!serial.empty() && device->info.Serial != serial) continue;
    if (device->busy || device->open) {
      error = "unable to claim usb device. Make sure the default FTDI driver is not in use";
      return kFtdiClaimFailed;
    }
    device->open = true;
    device->kernel_driver_attached = false;
    device->bitmode = kFtdiBitmodeReset;
    device->baud = 9600; // ftdi_usb_open_dev resets the chip and sets 9600 baud
    device->tx.clear();
    device->rx.clear();
    device->events.push_back("open");
    DriveChip(*device);
    handle = std::make_unique<TFakeFtdiHandle>(*this, *device);
    return 0;
  }
  error = "device not found";
  return kFtdiNotFound;
}
