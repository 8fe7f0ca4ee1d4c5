// The GPIO character device as Pinlet uses it: open a chip, find a line by name, request a few
// lines as outputs (with their initial levels) or inputs, set all lines of one request in one
// call, read a line, let the lines go. Nothing else of the library is used, so the interface stays
// narrow on purpose: the implementation here is over libgpiod 1.6 (Debian 12's libgpiod-dev);
// one over the 2.x API (gpiod_line_request, gpiod_line_settings) fits the same five calls and can
// replace it without touching the back ends.
//
// Results follow the OS seam's convention: >= 0 is success, a failure is -errno. What the errno
// means for the user (which group to join, who holds a line) is in the Gpio*ErrorText functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Lines requested together. Going away releases them: the kernel then leaves each as it was last
// set by some drivers and returns it to an input on others, so a back end drives its lines to a
// safe level before it lets go.
class IGpioLines {
public:
  virtual ~IGpioLines() = default;
  // Sets every line of the request at once; values[i] is the level of the request's i-th line
  // (1 = high on the pin, no active-low translation). 0 or -errno.
  virtual int SetValues(const std::vector<int>& values) = 0;
  // The level of the request's index-th line: 0 or 1, or -errno. On an output this is what the
  // GPIO chip reads back, which on most chips is the pin's own level.
  virtual int GetValue(size_t index) = 0;
};

class IGpioChip {
public:
  // Closing the chip releases whatever is still requested.
  virtual ~IGpioChip() = default;
  virtual std::string Name() const = 0;  // "gpiochip0"
  virtual std::string Label() const = 0; // "pinctrl-bcm2711"
  virtual unsigned NumLines() const = 0;
  // Offset of the first line of that name (names need not be unique), or -ENOENT.
  virtual int FindLine(const std::string& name) = 0;
  // Who holds the line now ("spi0 CS0", "gpio-fan"); "" when free or when nobody says.
  virtual std::string LineConsumer(unsigned offset) = 0;
  // Requests the lines as outputs at the initial levels, all or none. 0 or -errno (-EBUSY: a line
  // is held by another consumer; -EINVAL: an offset beyond the chip).
  virtual int RequestOutputs(const std::vector<unsigned>& offsets, const std::vector<int>& initial,
                             const std::string& consumer, std::unique_ptr<IGpioLines>& lines) = 0;
  virtual int RequestInputs(const std::vector<unsigned>& offsets, const std::string& consumer,
                            std::unique_ptr<IGpioLines>& lines) = 0;
};

class IGpioLib {
public:
  virtual ~IGpioLib() = default;
  // path: a device node ("/dev/gpiochip0") or a bare chip name ("gpiochip0", under /dev).
  // 0 or -errno (-ENOENT: no such chip; -EACCES: not allowed; -ENOTTY: not a GPIO chip).
  virtual int OpenChip(const std::string& path, std::unique_ptr<IGpioChip>& chip) = 0;
};

// The real library.
std::shared_ptr<IGpioLib> MakeLibGpiod();
// The library a back end uses when its owner passed none.
inline std::shared_ptr<IGpioLib> GpioLibOrReal(std::shared_ptr<IGpioLib> lib) {
  return lib ? std::move(lib) : MakeLibGpiod();
}

// The consumer name Pinlet's requests carry, which `gpioinfo` shows.
constexpr const char* kGpioConsumer = "pinlet";

// "/dev/gpiochip0" for "gpiochip0"; a path is kept.
std::string GpioChipPath(const std::string& path_or_name);

// Why a chip could not be opened, for the user.
std::string GpioOpenErrorText(const std::string& chip_path, int negative_errno);
// Why a line could not be requested. line: how the user named it ("line 25", "line \"GPIO25\"");
// consumer: who holds it, when known.
std::string GpioRequestErrorText(const std::string& chip_path, const std::string& line, int negative_errno,
                                 const std::string& consumer);
