// The simulated targets as ports: SIM1, SIM2, ... appear next to the parallel and serial ports and
// open a TSpiBus_Sim whose chip is taken from the loaded device tables by name.
//
// Each SIM port carries one chip, named like a database record. SIM1 carries an ATmega328P until
// SetSimPortChip says otherwise; the command line uses that to pick another chip. The port
// configuration is the only process-wide state of this layer.
#pragma once
#include "core/uSpiBus_base.h"
#include "devicedb/uAVR_base.h"
#include "sim/uSimChip.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Port kind of a SIM port, next to 0 unknown, 1 parallel, 2 and 3 serial.
constexpr int32_t kPortKindSim = 4;
constexpr int32_t kMaxSimPorts = 9;
constexpr const char* kDefaultSimChip = "ATmega328P";

// Sets the chip that SIMn carries (1 <= n <= kMaxSimPorts); SIM1 .. SIMn-1 keep theirs, and ports
// that did not exist before n come into being with the default chip. An empty name removes SIMn
// when it is the last port (SIM1 always stays). E_INVALIDARG for a number out of range.
HRESULT SetSimPortChip(int32_t port_number, std::string_view chip_name);
// The chip name SIMn carries; "" when there is no such port.
std::string GetSimPortChip(int32_t port_number);
// Back to one port, SIM1 with the default chip, and no injected faults.
void ResetSimPorts();
// The chip of SIMn is built with the fault fields of faults (no_chip, stop_after_bytes,
// stop_after_bits, resting_miso, signature) from now on; persistence stays as the port sets it. For
// trying out how failures are reported (a chip that stops answering mid-transfer) without hardware.
// E_INVALIDARG for a number out of range.
HRESULT SetSimPortFaults(int32_t port_number, const TSimChipOptions& faults);

// One entry per SIM port in the format "SIM%d=\"%s\"" with the display name
// ("SIM1=\"Simulated ATmega328P\""), or only the names ("SIM1") with names_only.
std::vector<std::string> GetSimPortList(bool names_only = false);
// The number n of a name "SIMn" (letter case ignored) of an existing SIM port, else 0.
int32_t GetSimPortNumber(std::string_view name);
// kPortKindSim for the name of an existing SIM port, else 0.
int32_t GetSimPortKind(std::string_view name);
// "Simulated ATmega328P" for SIM1 by default; "" for names that are no SIM port.
std::string GetSimPortFriendlyName(std::string_view name);

// Whether a record's CpuName names the chip: letter case ignored, and a name made of alternatives
// ("ATmega8/ATmega8L") matches each of them as well as the whole.
bool SimChipNameMatches(std::string_view cpu_name, std::string_view wanted);
// The first record of table whose name matches; nullptr when none does.
const TAvrSigType* FindSimChipRecord(const std::vector<TAvrSigType>& table, std::string_view chip_name);

// Creates the bus of SIMn with its chip, taken from table by the port's chip name. The chip's
// state persists between runs unless options say otherwise (options.persist is forced on only by
// the default argument). Returns 0 and the open bus; SPI_E_NOPORT when there is no SIMn;
// E_INVALIDARG when table has no record for the port's chip; E_FAIL when that record's sizes
// cannot be used (RecordSizesUsable); the bus stays empty on both.
TSimChipOptions DefaultSimPortOptions();
HRESULT CreateSimPortBus(int32_t port_number, const std::vector<TAvrSigType>& table,
                         std::unique_ptr<TSpiBusBase>& bus,
                         const TSimChipOptions& options = DefaultSimPortOptions());
