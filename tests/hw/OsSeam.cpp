// The product's seam against the real kernel, on devices every Linux machine has.
#include "hw/uOsSeam.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(PosixSeam, FailuresComeBackAsNegativeErrnoAndANonPortIsExplained) {
  TPosixOsSeam plain;
  EXPECT_EQ(plain.Open("/nonexistent-dir/parport0", O_RDWR), -ENOENT);
  EXPECT_EQ(plain.Close(-1), -EBADF);
  EXPECT_EQ(plain.Counts().opens, 1u);
  EXPECT_EQ(plain.Counts().closes, 1u);
  EXPECT_EQ(ErrnoText(-ENOENT), "No such file or directory");

  auto seam = std::make_shared<TPosixOsSeam>();
  auto bus = CreateSpiBus<TSpiBus_LPT>(1, seam, "/dev/null");
  EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
  EXPECT_NE(bus->LastErrorText().find("/dev/null"), std::string::npos) << bus->LastErrorText();
  EXPECT_EQ(seam->Counts().opens, seam->Counts().closes);
}

TEST(PosixSeam, PseudoTerminalIsNoSerialPortForTheBus) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminals here";
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const char* name = ptsname(master);
  ASSERT_NE(name, nullptr);
  auto seam = std::make_shared<TPosixOsSeam>();
  {
    // A pty has termios but no modem-control lines: the bus must refuse it and say so.
    auto bus = CreateSpiBus<TSpiBus_COM>(1, seam, name);
    EXPECT_EQ(bus->CheckHardware(), SPI_E_NOPORT);
    EXPECT_NE(bus->LastErrorText().find("modem-control lines"), std::string::npos) << bus->LastErrorText();
  }
  EXPECT_EQ(seam->Counts().opens, seam->Counts().closes);
  // Our exclusive claim ended with the failed open: another program can open the port.
  const int again = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(again, 0);
  if (again >= 0) {
    EXPECT_EQ(close(again), 0);
  }
  EXPECT_EQ(close(master), 0);
}

} // namespace
