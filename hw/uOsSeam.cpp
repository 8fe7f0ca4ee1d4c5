#include "hw/uOsSeam.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
int ResultOrErrno(int result) {
  return result < 0 ? -errno : result;
}
} // namespace

int TPosixOsSeam::DoOpen(const std::string& path, int flags) {
  return ResultOrErrno(::open(path.c_str(), flags | O_CLOEXEC));
}

int TPosixOsSeam::DoClose(int fd) {
  return ResultOrErrno(::close(fd));
}

int TPosixOsSeam::DoIoctl(int fd, unsigned long request, void* arg) {
  return ResultOrErrno(::ioctl(fd, request, arg));
}

int TPosixOsSeam::DoTcGetAttr(int fd, termios& settings) {
  return ResultOrErrno(::tcgetattr(fd, &settings));
}

int TPosixOsSeam::DoTcSetAttr(int fd, int when, const termios& settings) {
  return ResultOrErrno(::tcsetattr(fd, when, &settings));
}

int TPosixOsSeam::DoTcFlush(int fd, int queue) {
  return ResultOrErrno(::tcflush(fd, queue));
}

int TPosixOsSeam::DoFlock(int fd, int operation) {
  return ResultOrErrno(::flock(fd, operation));
}

int TSeamFd::Reset() {
  if (fd_ < 0 || seam_ == nullptr) return 0;
  const int fd = Release();
  return seam_->Close(fd);
}

std::string ErrnoText(int negative_errno) {
  const int code = negative_errno < 0 ? -negative_errno : negative_errno;
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string("error ") + std::to_string(code);
}
