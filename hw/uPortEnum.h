// Port discovery: the serial and parallel ports present on the machine, found once at start-up,
// kept as name=value lists ("COM1=\"Communications Port (COM1)\"", "LPT1=\"Printer Port (LPT1)\"")
// and looked up by name. On Linux the ports come from sysfs:
//
//   COMn  = /dev/ttyS(n-1)      built-in UARTs whose sysfs "type" is not 0 (unknown)
//   COMn  = /dev/ttyACM*, then /dev/ttyUSB*, each by index, numbered on from the highest
//           built-in COM number
//   LPTn  = /dev/parport(n-1)
//
// docs/ports.md describes the mapping for users.
#pragma once
#include "hw/uOsSeam.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using TPortList = std::vector<std::string>;

constexpr int pkUnknown = 0;
constexpr int pkParallel = 1;
constexpr int pkSerial = 2;

// Where discovery looks; tests point these at a fake tree.
struct TPortRoots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
};

// The module's lists, in enumeration order.
const TPortList& SerialPorts();
const TPortList& ParallelPorts();

// Clears and refills the lists (and the name -> device map) from the machine.
void RefreshPortLists();
void RefreshPortLists(const TPortRoots& roots);

// The entries the two lists produce for a root, without touching the module's lists.
TPortList EnumSerialPorts(const TPortRoots& roots);
TPortList EnumParallelPorts(const TPortRoots& roots);

// Target := SerialPorts (GetParallelPortList: ParallelPorts). Filter drops the
// entries CanOpenPort refuses; NamesOnly keeps just the names ("COM1").
void GetSerialPortList(TPortList& target, bool filter, bool names_only);
void GetParallelPortList(TPortList& target, bool filter, bool names_only);

// pkSerial, pkParallel or pkUnknown; names compare without regard to case.
int GetPortKind(std::string_view name);
// The decimal number in characters 4 and 5 of text (COM1 -> 1, COM12 -> 12, COM123 -> 12), else 0.
int GetPortNumber(std::string_view text);
bool IsKnownPort(std::string_view name);
// Opens the port's device non-blocking for read and write and closes it again at once.
bool CanOpenPort(std::string_view name);
bool CanOpenPort(std::string_view name, IOsSeam& seam);
// The display name of a known port without its quotes; empty for an unknown name.
std::string GetPortFriendlyName(std::string_view name);
// Skips spaces, then reads 1 to 5 decimal digits (six or more in a row are no number); on success
// the cursor moves past the digits.
std::optional<int> ParsePortNumber(std::string_view& cursor);

// The device path of a port name: the discovered device for a listed name, otherwise the fixed
// mapping (COMn -> /dev/ttyS(n-1), LPTn -> /dev/parport(n-1)); empty when name is neither a COM
// nor an LPT name with a number of at least 1.
std::string GetPortDevicePath(std::string_view name);
// A device path given on the command line: pkParallel under /dev/parport, pkSerial otherwise.
int ClassifyDevicePath(std::string_view path);
// True when text names a device rather than a port ("/dev/ttyUSB0", "./ttyFAKE").
bool IsDevicePath(std::string_view text);
