// The one place where the port back ends meet the operating system. Every device open, close,
// ioctl and termios call of hw/ goes through an IOsSeam, so tests can put a model of the adapter's
// wires behind it, and so every port access can be counted.
//
// Results follow one convention: a value >= 0 is success, a failure returns -errno (never -1 with
// errno on the side), so callers and fakes need no global error state. These are the system's
// numbers and stay inside hw/: what leaves it is a status code (HResultFromErrno) and a text.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <termios.h>

// Calls made through one seam, by kind. ioctl is where the line traffic goes.
struct TOsSeamCounts {
  uint64_t opens = 0;
  uint64_t closes = 0;
  uint64_t ioctls = 0;
  uint64_t termios = 0; // tcgetattr, tcsetattr, tcflush
  uint64_t locks = 0;
  uint64_t Total() const { return opens + closes + ioctls + termios + locks; }
};

class IOsSeam {
public:
  virtual ~IOsSeam() = default;

  // Counted entry points; the virtual Do* functions below do the work.
  int Open(const std::string& path, int flags) { return ++counts_.opens, DoOpen(path, flags); }
  int Close(int fd) { return ++counts_.closes, DoClose(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) { return ++counts_.ioctls, DoIoctl(fd, request, arg); }
  int TcGetAttr(int fd, termios& settings) { return ++counts_.termios, DoTcGetAttr(fd, settings); }
  int TcSetAttr(int fd, int when, const termios& settings) {
    return ++counts_.termios, DoTcSetAttr(fd, when, settings);
  }
  int TcFlush(int fd, int queue) { return ++counts_.termios, DoTcFlush(fd, queue); }
  // Advisory lock (flock LOCK_EX|LOCK_NB, or LOCK_UN): terminal programs that do not set TIOCEXCL
  // still take it, so it catches more of "somebody else has this port".
  int Flock(int fd, int operation) { return ++counts_.locks, DoFlock(fd, operation); }

  const TOsSeamCounts& Counts() const { return counts_; }
  void ResetCounts() { counts_ = {}; }

protected:
  virtual int DoOpen(const std::string& path, int flags) = 0;
  virtual int DoClose(int fd) = 0;
  virtual int DoIoctl(int fd, unsigned long request, void* arg) = 0;
  virtual int DoTcGetAttr(int fd, termios& settings) = 0;
  virtual int DoTcSetAttr(int fd, int when, const termios& settings) = 0;
  virtual int DoTcFlush(int fd, int queue) = 0;
  virtual int DoFlock(int fd, int operation) = 0;

private:
  TOsSeamCounts counts_;
};

// The product's seam: the C library, nothing in between.
class TPosixOsSeam final : public IOsSeam {
protected:
  int DoOpen(const std::string& path, int flags) override;
  int DoClose(int fd) override;
  int DoIoctl(int fd, unsigned long request, void* arg) override;
  int DoTcGetAttr(int fd, termios& settings) override;
  int DoTcSetAttr(int fd, int when, const termios& settings) override;
  int DoTcFlush(int fd, int queue) override;
  int DoFlock(int fd, int operation) override;
};

// The seam a back end uses when its owner passed none.
inline std::shared_ptr<IOsSeam> SeamOrPosix(std::shared_ptr<IOsSeam> seam) {
  return seam ? std::move(seam) : std::make_shared<TPosixOsSeam>();
}

// A file descriptor opened through a seam; closes it when it goes away. Objects that change the
// device's state restore that state themselves before they let go of the handle.
class TSeamFd {
public:
  TSeamFd() = default;
  TSeamFd(IOsSeam* seam, int fd) : seam_(seam), fd_(fd) {}
  ~TSeamFd() { Reset(); }
  TSeamFd(TSeamFd&& other) noexcept : seam_(other.seam_), fd_(other.Release()) {}
  TSeamFd& operator=(TSeamFd&& other) noexcept {
    if (this != &other) {
      Reset();
      seam_ = other.seam_;
      fd_ = other.Release();
    }
    return *this;
  }
  TSeamFd(const TSeamFd&) = delete;
  TSeamFd& operator=(const TSeamFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor; returns the close result (0 when there was nothing to close).
  int Reset();

private:
  IOsSeam* seam_ = nullptr;
  int fd_ = -1;
};

// "errno text" for a -errno result, e.g. "No such file or directory".
std::string ErrnoText(int negative_errno);
