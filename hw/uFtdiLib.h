// The FTDI USB chips as Pinlet uses them, behind a thin interface of our own: each call mirrors
// one call of libftdi1 (1.5) and keeps its result convention (>= 0 success, a negative code on
// failure with the library's text), so that the back end can be driven against a model of the
// chip in tests and against the real library in the product.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TFtdiDeviceInfo {
  uint16_t Vendor = 0, Product = 0;
  std::string Serial, Description, Manufacturer;
};

// FTDI's own vendor ID and the product IDs of its chips that have a synchronous bit-bang mode
// (libftdi's ftdi.h "BITMODE_SYNCBB: available on 2232x and R-type chips"; the FT-X and FT232H
// have it as well).
constexpr uint16_t kFtdiVendor = 0x0403;
struct TFtdiProduct {
  uint16_t Product;
  const char* Chips;
};
constexpr TFtdiProduct kFtdiBitBangProducts[] = {{0x6001, "FT232R/FT245R"},
                                                 {0x6015, "FT-X"},
                                                 {0x6014, "FT232H"},
                                                 {0x6010, "FT2232H"},
                                                 {0x6011, "FT4232H"}};

// libftdi's enum ftdi_chip_type, in its order.
enum class TFtdiChipType : uint8_t { AM, BM, C2232, R, H2232, H4232, H232, X230 };

// libftdi's bit modes (enum ftdi_mpsse_mode) that Pinlet uses.
constexpr uint8_t kFtdiBitmodeReset = 0x00;
constexpr uint8_t kFtdiBitmodeSyncBB = 0x04;

// libftdi's result codes that Pinlet tells apart (ftdi.c, ftdi_usb_open_desc_index and
// ftdi_usb_open_dev of libftdi 1.5).
constexpr int kFtdiNotFound = -3;      // "device not found"
constexpr int kFtdiOpenFailed = -4;    // libusb_open() failed: on Linux nearly always a permission
constexpr int kFtdiClaimFailed = -5;   // "unable to claim usb device": another program has it
constexpr int kFtdiDetachFailed = -11; // libusb_detach_kernel_driver() failed

// One open device: an ftdi_context with its USB device open and claimed.
class IFtdiDevice {
public:
  virtual ~IFtdiDevice() = default;
  virtual TFtdiChipType ChipType() const = 0;                    // ftdi_context::type
  virtual int SetBitmode(uint8_t output_mask, uint8_t mode) = 0; // ftdi_set_bitmode
  virtual int SetBaudrate(int baud) = 0;                         // ftdi_set_baudrate
  virtual int SetLatencyTimer(uint8_t ms) = 0;                   // ftdi_set_latency_timer
  virtual int SetReadChunksize(unsigned bytes) = 0;              // ftdi_read_data_set_chunksize
  virtual int SetWriteChunksize(unsigned bytes) = 0;             // ftdi_write_data_set_chunksize
  virtual int Purge() = 0;                 // ftdi_tcioflush: both FIFOs and the library's buffer
  virtual int ReadPins(uint8_t& pins) = 0; // ftdi_read_pins: the pins' levels now
  virtual int WriteData(const uint8_t* data, int size) = 0; // ftdi_write_data
  virtual int ReadData(uint8_t* data, int size) = 0;        // ftdi_read_data
  // ftdi_write_data_submit / ftdi_read_data_submit: a transfer started and left running; the
  // buffers must stay valid until TransferDone. A positive handle, or a negative code.
  virtual int WriteSubmit(const uint8_t* data, int size) = 0;
  virtual int ReadSubmit(uint8_t* data, int size) = 0;
  // ftdi_transfer_data_done: waits for the transfer and releases it; the bytes moved, or < 0.
  virtual int TransferDone(int handle) = 0;
  virtual std::string ErrorString() const = 0; // ftdi_get_error_string
  // ftdi_usb_close (with the kernel's serial driver attached again) and ftdi_free.
  virtual int Close() = 0;
};

// One entry of a device search: the device and the result of reading its strings (which needs
// the device opened: without permission the strings stay empty and StringsStatus is negative).
struct TFtdiListEntry {
  TFtdiDeviceInfo Info;
  int StringsStatus = 0;
  std::string StringsError;
};

class IFtdiLib {
public:
  virtual ~IFtdiLib() = default;
  // ftdi_usb_find_all for one vendor/product, and ftdi_usb_get_strings for each device found:
  // the number found, or a negative code with error set.
  virtual int FindAll(uint16_t vendor, uint16_t product, std::vector<TFtdiListEntry>& found,
                      std::string& error) = 0;
  // ftdi_new, module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE (the kernel's ftdi_sio lets go
  // of the device while it is ours and gets it back at close), ftdi_usb_open_desc with the serial
  // number (empty: the first device of that product). 0 with device set, or a negative code with
  // error set to the library's text.
  virtual int Open(uint16_t vendor, uint16_t product, const std::string& serial,
                   std::unique_ptr<IFtdiDevice>& device, std::string& error) = 0;
};

// libftdi1 itself.
std::shared_ptr<IFtdiLib> MakeLibFtdi();

// Every device of the bit-bang-capable products, in the order of kFtdiBitBangProducts. The number
// found (0: error says none was found), or a negative code with error saying why the search
// failed. Devices whose strings could not be read are listed with what is known, and error then
// names the cause (a permission, with the udev rule that grants it).
int ListFtdiDevices(IFtdiLib& lib, std::vector<TFtdiDeviceInfo>& devices, std::string& error);

// The user-facing reason for a failed open (what, e.g. "FTDI device A123", names the device):
// a permission names the udev rule to add, a claimed device says another program has it.
std::string FtdiOpenErrorText(const std::string& what, int code, const std::string& library_text);
// The udev rule that gives the plugdev group access to FTDI devices, and where it goes.
extern const char* const kFtdiUdevRuleFile;
extern const char* const kFtdiUdevRule;
