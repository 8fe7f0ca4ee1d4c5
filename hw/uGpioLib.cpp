#include "hw/uGpioLib.h"

#include "hw/uOsSeam.h"

#include <cerrno>
#include <gpiod.h>

namespace {

int LastErrno() {
  return errno != 0 ? -errno : -EIO;
}

// One request of libgpiod 1.6: the bulk of lines it was made with. The library sets and reads a
// bulk through the request's one file descriptor in the order the lines were requested, so the
// bulk is kept exactly as requested (gpiod.h: "If the lines were not previously requested
// together, the behavior is undefined").
class TLibGpiodLines final : public IGpioLines {
public:
  explicit TLibGpiodLines(const gpiod_line_bulk& bulk) : bulk_(bulk) {}
  ~TLibGpiodLines() override { gpiod_line_release_bulk(&bulk_); }

  int SetValues(const std::vector<int>& values) override {
    if (values.size() != gpiod_line_bulk_num_lines(&bulk_)) return -EINVAL;
    errno = 0;
    return gpiod_line_set_value_bulk(&bulk_, values.data()) < 0 ? LastErrno() : 0;
  }
  int GetValue(size_t index) override {
    if (index >= gpiod_line_bulk_num_lines(&bulk_)) return -EINVAL;
    errno = 0;
    const int value = gpiod_line_get_value(gpiod_line_bulk_get_line(&bulk_, unsigned(index)));
    return value < 0 ? LastErrno() : (value ? 1 : 0);
  }

private:
  gpiod_line_bulk bulk_;
};

class TLibGpiodChip final : public IGpioChip {
public:
  explicit TLibGpiodChip(gpiod_chip* chip) : chip_(chip) {}
  ~TLibGpiodChip() override { gpiod_chip_close(chip_); }

  std::string Name() const override { return Text(gpiod_chip_name(chip_)); }
  std::string Label() const override { return Text(gpiod_chip_label(chip_)); }
  unsigned NumLines() const override { return gpiod_chip_num_lines(chip_); }

  int FindLine(const std::string& name) override {
    errno = 0;
    gpiod_line* line = gpiod_chip_find_line(chip_, name.c_str());
    if (line == nullptr) return errno == 0 ? -ENOENT : -errno;
    return int(gpiod_line_offset(line));
  }

  std::string LineConsumer(unsigned offset) override {
    gpiod_line* line = gpiod_chip_get_line(chip_, offset);
    if (line == nullptr) return {};
    // The line's info is cached from when the handle was made; ask the kernel again.
    if (gpiod_line_update(line) < 0) return {};
    return Text(gpiod_line_consumer(line));
  }

  int RequestOutputs(const std::vector<unsigned>& offsets, const std::vector<int>& initial,
                     const std::string& consumer, std::unique_ptr<IGpioLines>& lines) override {
    if (initial.size() != offsets.size()) return -EINVAL;
    return Request(offsets, &initial, consumer, lines);
  }
  int RequestInputs(const std::vector<unsigned>& offsets, const std::string& consumer,
                    std::unique_ptr<IGpioLines>& lines) override {
    return Request(offsets, nullptr, consumer, lines);
  }

private:
  static std::string Text(const char* text) { return text ? text : ""; }

  int Request(const std::vector<unsigned>& offsets, const std::vector<int>* initial,
              const std::string& consumer, std::unique_ptr<IGpioLines>& lines) {
    lines.reset();
    if (offsets.empty() || offsets.size() > GPIOD_LINE_BULK_MAX_LINES) return -EINVAL;
    std::vector<unsigned> copy = offsets; // gpiod_chip_get_lines takes them non-const
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    errno = 0;
    if (gpiod_chip_get_lines(chip_, copy.data(), unsigned(copy.size()), &bulk) < 0) return LastErrno();
    errno = 0;
    const int result = initial ? gpiod_line_request_bulk_output(&bulk, consumer.c_str(), initial->data())
                               : gpiod_line_request_bulk_input(&bulk, consumer.c_str());
    if (result < 0) return LastErrno();
    lines = std::make_unique<TLibGpiodLines>(bulk);
    return 0;
  }

  gpiod_chip* chip_;
};

class TLibGpiod final : public IGpioLib {
public:
  int OpenChip(const std::string& path, std::unique_ptr<IGpioChip>& chip) override {
    chip.reset();
    errno = 0;
    gpiod_chip* handle = gpiod_chip_open(GpioChipPath(path).c_str());
    if (handle == nullptr) return LastErrno();
    chip = std::make_unique<TLibGpiodChip>(handle);
    return 0;
  }
};

} // namespace

std::shared_ptr<IGpioLib> MakeLibGpiod() {
  return std::make_shared<TLibGpiod>();
}

std::string GpioChipPath(const std::string& path_or_name) {
  if (path_or_name.empty() || path_or_name.find('/') != std::string::npos) return path_or_name;
  return "/dev/" + path_or_name;
}

std::string GpioOpenErrorText(const std::string& chip_path, int negative_errno) {
  switch (-negative_errno) {
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return "The GPIO chip " + chip_path +
           " does not exist; `gpiodetect` lists the chips of this machine (gpiochip0 on a Raspberry Pi).";
  case EACCES:
  case EPERM:
    return "Permission denied on " + chip_path +
           ": add your user to the group that owns it, usually gpio on Raspberry Pi OS (sudo usermod -aG "
           "gpio "
           "$USER, then log in again), or give the group access with a udev rule (SUBSYSTEM==\"gpio\", "
           "GROUP=\"gpio\", MODE=\"0660\").";
  case ENOTTY:
  case EINVAL:
    return chip_path + " is not a GPIO chip (give /dev/gpiochipN).";
  default:
    return "Can not open the GPIO chip " + chip_path + ": " + ErrnoText(negative_errno) + ".";
  }
}

std::string GpioRequestErrorText(const std::string& chip_path, const std::string& line, int negative_errno,
                                 const std::string& consumer) {
  switch (-negative_errno) {
  case EBUSY:
    return line + " of " + chip_path + " is in use by " +
           (consumer.empty() ? std::string("another program or driver")
                             : "\"" + consumer + "\" (a driver or another program)") +
           "; free it (a device-tree overlay such as the SPI one claims its pins) or wire that signal to "
           "another line with --pins.";
  case ENOENT:
    return chip_path + " has no line called " + line + "; `gpioinfo` lists the line names.";
  case EINVAL:
    return chip_path + " has no " + line + "; `gpioinfo` lists its lines.";
  case EACCES:
  case EPERM:
    return "Permission denied requesting " + line + " of " + chip_path +
           ": add your user to the gpio group (sudo usermod -aG gpio $USER) or add a udev rule.";
  default:
    return "Can not request " + line + " of " + chip_path + ": " + ErrnoText(negative_errno) + ".";
  }
}
