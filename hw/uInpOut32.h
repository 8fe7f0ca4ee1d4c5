// Byte-wide access to a parallel port's three registers. On Linux the "driver" is the kernel's
// ppdev: the object opens /dev/parportN, claims the port exclusively, and turns every register
// access into one ppdev request. Register addresses stay I/O addresses (data at the base, status
// at base + 1, control at base + 2) so that the bus above keeps its register arithmetic.
#pragma once
#include "base/uStatus.h"
#include "hw/uOsSeam.h"

#include <cstdint>
#include <memory>
#include <string>

class THwDirectInOut {
public:
  static constexpr uint16_t kDefaultBase = 0x378;

  // device_path: the ppdev node, e.g. /dev/parport0. base: the I/O address the register
  // numbers are counted from.
  explicit THwDirectInOut(std::string device_path, std::shared_ptr<IOsSeam> seam = nullptr,
                          uint16_t base = kDefaultBase);
  ~THwDirectInOut();
  THwDirectInOut(const THwDirectInOut&) = delete;
  THwDirectInOut& operator=(const THwDirectInOut&) = delete;

  // Opens and claims the port: 0 on success, otherwise the status of the step that failed
  // (HResultFromErrno; LastErrorText says why and what to do). A failed object stays closed;
  // nothing retries.
  HRESULT Open();
  bool IsOpen() const { return fd_.Valid(); }
  // 0 on success, 1 on failure (closed, address outside the three registers, or the request
  // failed). Writing the status register changes nothing on the port and succeeds.
  int32_t WritePort(uint16_t port, uint8_t value);
  // 0 on success, 1 on failure; value is 0 after any failure on an open port, untouched while closed.
  int32_t ReadPort(uint16_t port, uint8_t& value);
  // Releases the claim and closes the device. Safe to call repeatedly.
  void CloseDriver();

  const std::string& DevicePath() const { return path_; }
  uint16_t BaseAddress() const { return base_; }
  // Status of the last failed open, claim or register access (HResultFromErrno); 0 when none failed.
  HRESULT LastStatus() const { return last_status_; }
  // Why the last open failed and what the user can do about it; empty when nothing failed.
  const std::string& LastErrorText() const { return last_error_text_; }

private:
  void Fail(int negative_errno, const char* step);

  std::string path_;
  std::shared_ptr<IOsSeam> seam_;
  uint16_t base_;
  TSeamFd fd_;
  bool claimed_ = false;
  HRESULT last_status_ = S_OK;
  std::string last_error_text_;
};

// The user-facing reason for a failed open of a ppdev node (ENOENT, EACCES, EBUSY, ...).
std::string ParallelOpenErrorText(const std::string& device_path, int negative_errno, const char* step);
