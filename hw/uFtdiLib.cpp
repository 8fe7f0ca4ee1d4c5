#include "hw/uFtdiLib.h"

#include <ftdi.h>
#include <map>

const char* const kFtdiUdevRuleFile = "/etc/udev/rules.d/60-pinlet-ftdi.rules";
const char* const kFtdiUdevRule =
    "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"0403\", MODE=\"0660\", GROUP=\"plugdev\"";

namespace {

std::string LibraryText(ftdi_context* context) {
  const char* text = context ? ftdi_get_error_string(context) : nullptr;
  return text ? text : "";
}

class TLibFtdiDevice final : public IFtdiDevice {
public:
  explicit TLibFtdiDevice(ftdi_context* context) : context_(context) {}
  ~TLibFtdiDevice() override { static_cast<void>(Close()); }

  TFtdiChipType ChipType() const override { return TFtdiChipType(context_ ? context_->type : TYPE_R); }
  int SetBitmode(uint8_t output_mask, uint8_t mode) override {
    return context_ ? ftdi_set_bitmode(context_, output_mask, mode) : -666;
  }
  int SetBaudrate(int baud) override { return context_ ? ftdi_set_baudrate(context_, baud) : -666; }
  int SetLatencyTimer(uint8_t ms) override { return context_ ? ftdi_set_latency_timer(context_, ms) : -666; }
  int SetReadChunksize(unsigned bytes) override {
    return context_ ? ftdi_read_data_set_chunksize(context_, bytes) : -666;
  }
  int SetWriteChunksize(unsigned bytes) override {
    return context_ ? ftdi_write_data_set_chunksize(context_, bytes) : -666;
  }
  int Purge() override { return context_ ? ftdi_tcioflush(context_) : -666; }
  int ReadPins(uint8_t& pins) override {
    unsigned char value = 0;
    const int result = context_ ? ftdi_read_pins(context_, &value) : -666;
    pins = value;
    return result;
  }
  int WriteData(const uint8_t* data, int size) override {
    return context_ ? ftdi_write_data(context_, data, size) : -666;
  }
  int ReadData(uint8_t* data, int size) override {
    return context_ ? ftdi_read_data(context_, data, size) : -666;
  }
  int WriteSubmit(const uint8_t* data, int size) override {
    if (!context_) return -666;
    // libftdi only reads the buffer, but its prototype is not const.
    return Keep(ftdi_write_data_submit(context_, const_cast<uint8_t*>(data), size));
  }
  int ReadSubmit(uint8_t* data, int size) override {
    if (!context_) return -666;
    return Keep(ftdi_read_data_submit(context_, data, size));
  }
  int TransferDone(int handle) override {
    const auto found = transfers_.find(handle);
    if (found == transfers_.end()) return -1;
    ftdi_transfer_control* control = found->second;
    transfers_.erase(found);
    return ftdi_transfer_data_done(control); // frees the control
  }
  std::string ErrorString() const override { return LibraryText(context_); }
  int Close() override {
    if (!context_) return 0;
    // Transfers still running are waited for (a pulled cable ends them with an error), so that no
    // callback runs into a freed context.
    while (!transfers_.empty()) static_cast<void>(TransferDone(transfers_.begin()->first));
    const int result = ftdi_usb_close(context_);
    ftdi_free(context_);
    context_ = nullptr;
    return result;
  }

private:
  int Keep(ftdi_transfer_control* control) {
    if (!control) return -1;
    const int handle = next_handle_++;
    transfers_[handle] = control;
    return handle;
  }

  ftdi_context* context_;
  std::map<int, ftdi_transfer_control*> transfers_;
  int next_handle_ = 1;
};

class TLibFtdi final : public IFtdiLib {
public:
  int FindAll(uint16_t vendor, uint16_t product, std::vector<TFtdiListEntry>& found,
              std::string& error) override {
    ftdi_context* context = ftdi_new();
    if (!context) {
      error = "libftdi could not be initialised (ftdi_new failed).";
      return -1;
    }
    ftdi_device_list* list = nullptr;
    const int count = ftdi_usb_find_all(context, &list, vendor, product);
    if (count < 0) {
      error = LibraryText(context);
      ftdi_free(context);
      return count;
    }
    for (ftdi_device_list* entry = list; entry; entry = entry->next) {
      TFtdiListEntry item;
      item.Info.Vendor = vendor;
      item.Info.Product = product;
      char manufacturer[128] = {}, description[128] = {}, serial[128] = {};
      item.StringsStatus = ftdi_usb_get_strings(context, entry->dev, manufacturer, sizeof manufacturer,
                                                description, sizeof description, serial, sizeof serial);
      if (item.StringsStatus < 0) {
        item.StringsError = LibraryText(context);
      } else {
        item.Info.Manufacturer = manufacturer;
        item.Info.Description = description;
        item.Info.Serial = serial;
      }
      found.push_back(std::move(item));
    }
    ftdi_list_free(&list);
    ftdi_free(context);
    return count;
  }

  int Open(uint16_t vendor, uint16_t product, const std::string& serial, std::unique_ptr<IFtdiDevice>& device,
           std::string& error) override {
    ftdi_context* context = ftdi_new();
    if (!context) {
      error = "libftdi could not be initialised (ftdi_new failed).";
      return -1;
    }
    // The board's serial port comes back when we close (libftdi 1.5 and later).
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    const int result =
        ftdi_usb_open_desc(context, vendor, product, nullptr, serial.empty() ? nullptr : serial.c_str());
    if (result < 0) {
      error = LibraryText(context);
      ftdi_free(context);
      return result;
    }
    device = std::make_unique<TLibFtdiDevice>(context);
    return 0;
  }
};

} // namespace

std::shared_ptr<IFtdiLib> MakeLibFtdi() {
  return std::make_shared<TLibFtdi>();
}

std::string FtdiOpenErrorText(const std::string& what, int code, const std::string& library_text) {
  const std::string detail = library_text.empty() ? "" : " (libftdi: " + library_text + ")";
  switch (code) {
  case kFtdiNotFound:
    return "No " + what + " was found: is the adapter plugged in?";
  case kFtdiOpenFailed:
    return "Permission denied on the " + what + detail +
           ". Allow your user to use FTDI devices: put the line\n  " + kFtdiUdevRule + "\ninto " +
           kFtdiUdevRuleFile +
           ", run sudo udevadm control --reload-rules && sudo udevadm trigger, join the group (sudo usermod "
           "-aG "
           "plugdev $USER), log in again and plug the adapter in anew.";
  case kFtdiClaimFailed:
  case kFtdiDetachFailed:
    return "The " + what + " is in use by another program" + detail +
           "; close that program (a serial terminal, another programmer) and try again.";
  default:
    return "Can not open the " + what + detail + ".";
  }
}

int ListFtdiDevices(IFtdiLib& lib, std::vector<TFtdiDeviceInfo>& devices, std::string& error) {
  devices.clear();
  error.clear();
  std::string strings_error;
  for (const TFtdiProduct& product : kFtdiBitBangProducts) {
    std::vector<TFtdiListEntry> found;
    std::string search_error;
    const int result = lib.FindAll(kFtdiVendor, product.Product, found, search_error);
    if (result < 0) {
      error = "The USB devices could not be searched for FTDI adapters: " + search_error;
      return result;
    }
    for (TFtdiListEntry& entry : found) {
      if (entry.StringsStatus < 0 && strings_error.empty())
        strings_error = FtdiOpenErrorText("FTDI device " + std::string(product.Chips), entry.StringsStatus,
                                          entry.StringsError);
      devices.push_back(std::move(entry.Info));
    }
  }
  if (devices.empty())
    error = "No FTDI device was found (USB 0403:6001, 6010, 6011, 6014 or 6015): is the adapter plugged in?";
  else
    error = strings_error;
  return int(devices.size());
}
