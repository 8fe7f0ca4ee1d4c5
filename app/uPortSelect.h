// Which ports the user can choose and how a chosen port becomes a bus: the simulated ports (SIM1,
// ...), the serial ports (COM1, ..., found by port discovery) and the parallel ports (LPT1, ...),
// or a device path typed by the user. The window fills its port selector from ListPorts; "Init"
// turns the selector's text into a bus (app/uBusFactory.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class TPortType : uint8_t { Unknown, Simulated, Serial, Parallel, Ftdi, Gpio, Spi };

struct TPortEntry {
  std::string Name; // "SIM1", "COM1", "LPT1", "ftdi:A50285BI", "gpio:/dev/gpiochip0"
  TPortType Type = TPortType::Unknown;
  std::string DisplayName; // "Simulated ATmega328P", "Communications Port (COM1)"
};

// "simulated", "serial", "parallel", "ftdi", "gpio", "spi" or "unknown".
const char* PortTypeName(TPortType type);

// Every port, simulated ones first, then serial, then parallel, then the FTDI chips found on USB,
// the GPIO chips and the SPI devices, in discovery order. The serial and parallel ports are
// discovered once per process, on first use; the others at every call, since USB adapters come and
// go (the window's list is refilled when it opens).
std::vector<TPortEntry> ListPorts();

// The port name of a selector text: the text before the first "=" of an entry ("COM1=\"...\""),
// else the whole text.
std::string PortNameFromText(const std::string& port_text);
// The number n of a simulated port name "SIMn" (1..9, any letter case), whether or not the port
// exists yet; 0 for other names.
int32_t SimPortNumberFromName(const std::string& name);
// The display name the selector shows beside a port; "" for a name no list knows.
std::string GetPortDisplayName(const std::string& name);

// Makes the simulated port carry the named chip (a database name in any letter case; a name that
// shares a record, such as ATmega8L in "ATmega8/ATmega8L", counts). Loads the database to check
// the name; false with a message for the user when the port or the chip is unknown.
bool SelectSimulatedChip(const std::string& port_name, const std::string& chip_name,
                         const std::string& database_path, std::string& error);
