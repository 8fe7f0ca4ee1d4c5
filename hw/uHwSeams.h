// The seams under every back end, in one bundle: the OS calls (device nodes, ioctls, termios),
// the FTDI library and the GPIO library. The product leaves them empty and gets the real ones;
// tests and the benchmark put models of the adapters behind them.
#pragma once
#include "hw/uOsSeam.h"

#include <memory>

class IFtdiLib; // hw/uFtdiLib.h
class IGpioLib; // hw/uGpioLib.h

struct THwSeams {
  std::shared_ptr<IOsSeam> Os;    // null: the C library
  std::shared_ptr<IFtdiLib> Ftdi; // null: libftdi1
  std::shared_ptr<IGpioLib> Gpio; // null: libgpiod
};
