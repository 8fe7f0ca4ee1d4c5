#include "hw/uInpOut32.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

std::string ParallelOpenErrorText(const std::string& device_path, int negative_errno, const char* step) {
  const int code = -negative_errno;
  switch (code) {
  case ENOENT:
    return "The parallel port device " + device_path +
           " does not exist: the ppdev module is not loaded (sudo modprobe ppdev), or the machine has no "
           "parallel port.";
  case ENXIO:
  case ENODEV:
    return "No parallel port answers behind " + device_path +
           ": the port driver (parport_pc) is not loaded or the port is disabled.";
  case EACCES:
  case EPERM:
    return "Permission denied on " + device_path +
           ": add your user to the group that owns the device, usually lp (sudo usermod -aG lp $USER), then "
           "log in again.";
  case EBUSY:
    return device_path + " is claimed by another program or driver (for example the printer driver lp); "
                         "close that program or unload the driver (sudo modprobe -r lp).";
  default:
    return std::string("Can not ") + step + " " + device_path + ": " + ErrnoText(negative_errno) + ".";
  }
}

THwDirectInOut::THwDirectInOut(std::string device_path, std::shared_ptr<IOsSeam> seam, uint16_t base)
    : path_(std::move(device_path)), seam_(SeamOrPosix(std::move(seam))), base_(base) {}

THwDirectInOut::~THwDirectInOut() {
  CloseDriver();
}

void THwDirectInOut::Fail(int negative_errno, const char* step) {
  last_status_ = HResultFromErrno(-negative_errno);
  last_error_text_ = ParallelOpenErrorText(path_, negative_errno, step);
}

HRESULT THwDirectInOut::Open() {
  if (IsOpen()) return 0;
  last_status_ = S_OK;
  last_error_text_.clear();
  const int fd = seam_->Open(path_, O_RDWR | O_NOCTTY);
  if (fd < 0) {
    Fail(fd, "open");
    return last_status_;
  }
  TSeamFd handle(seam_.get(), fd);
  // Exclusive: no printer driver may reach the port between two of our register writes.
  int result = seam_->Ioctl(fd, PPEXCL, nullptr);
  if (result < 0) {
    Fail(result, "get exclusive access to");
    return last_status_;
  }
  result = seam_->Ioctl(fd, PPCLAIM, nullptr);
  if (result < 0) {
    // The kernel reports a port already held by another driver as EBUSY or ENXIO here.
    Fail(result == -ENXIO ? -EBUSY : result, "claim");
    return last_status_;
  }
  claimed_ = true;
  fd_ = std::move(handle);
  return 0;
}

int32_t THwDirectInOut::WritePort(uint16_t port, uint8_t value) {
  if (!IsOpen()) return 1;
  unsigned long request = 0;
  switch (port - base_) {
  case 0:
    request = PPWDATA;
    break;
  case 1:
    return 0; // the status register is input only
  case 2:
    request = PPWCONTROL;
    break;
  default:
    return 1;
  }
  const int result = seam_->Ioctl(fd_.Get(), request, &value);
  if (result < 0) {
    last_status_ = HResultFromErrno(-result);
    return 1;
  }
  return 0;
}

int32_t THwDirectInOut::ReadPort(uint16_t port, uint8_t& value) {
  if (!IsOpen()) return 1;
  value = 0;
  unsigned long request = 0;
  switch (port - base_) {
  case 0:
    request = PPRDATA;
    break;
  case 1:
    request = PPRSTATUS;
    break;
  case 2:
    request = PPRCONTROL;
    break;
  default:
    return 1;
  }
  uint8_t read = 0;
  const int result = seam_->Ioctl(fd_.Get(), request, &read);
  if (result < 0) {
    last_status_ = HResultFromErrno(-result);
    return 1;
  }
  value = read;
  return 0;
}

void THwDirectInOut::CloseDriver() {
  if (!fd_.Valid()) return;
  if (claimed_) {
    // A failed release (the port vanished) still ends in close, which drops the claim as well.
    const int result = seam_->Ioctl(fd_.Get(), PPRELEASE, nullptr);
    if (result < 0) last_status_ = HResultFromErrno(-result);
    claimed_ = false;
  }
  const int result = fd_.Reset();
  if (result < 0) last_status_ = HResultFromErrno(-result);
}
