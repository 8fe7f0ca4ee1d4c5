#include "app/uPortSelect.h"

#include "app/uBusFactory.h"
#include "core/uAVR_at90.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"
#include "hw/uAdapterEnum.h"
#include "hw/uFtdiLib.h"
#include "hw/uPortBus.h"
#include "hw/uPortEnum.h"
#include "sim/uSimPorts.h"
#include "sim/uSpiBus_Sim.h"

#include <cctype>

namespace {

// Discovery looks at the machine once per process; ports that appear later need a restart.
void EnsurePortLists() {
  static const bool refreshed = [] {
    RefreshPortLists();
    return true;
  }();
  static_cast<void>(refreshed);
}

std::string EntryName(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

HRESULT LoadDatabase(const std::string& database_path, std::string& error_text) {
  std::string section_error;
  const HRESULT status = database_path.empty() ? LoadDefaultSignatureDB(error_text, nullptr, &section_error)
                                               : LoadSignatureDB(database_path, error_text, &section_error);
  // A section fault leaves error_text empty: give the section's text and what the reader found.
  if (status != S_OK && error_text.empty()) {
    TmCAtgeneric texts(nullptr);
    if (texts.GetErrorText(status, error_text) != 0) error_text = "error " + std::to_string(status) + ".";
    if (!section_error.empty()) error_text += " " + section_error;
  }
  return status;
}

} // namespace

const char* PortTypeName(TPortType type) {
  switch (type) {
  case TPortType::Simulated:
    return "simulated";
  case TPortType::Serial:
    return "serial";
  case TPortType::Parallel:
    return "parallel";
  case TPortType::Ftdi:
    return "ftdi";
  case TPortType::Gpio:
    return "gpio";
  case TPortType::Spi:
    return "spi";
  default:
    return "unknown";
  }
}

std::vector<TPortEntry> ListPorts() {
  EnsurePortLists();
  std::vector<TPortEntry> ports;
  for (const std::string& name : GetSimPortList(true))
    ports.push_back({name, TPortType::Simulated, GetSimPortFriendlyName(name)});
  TPortList list;
  GetSerialPortList(list, false, true);
  for (const std::string& name : list) ports.push_back({name, TPortType::Serial, GetPortFriendlyName(name)});
  GetParallelPortList(list, false, true);
  for (const std::string& name : list)
    ports.push_back({name, TPortType::Parallel, GetPortFriendlyName(name)});
  // A machine without USB access (a container) simply has no FTDI ports.
  std::string ftdi_error;
  for (const auto& adapter : EnumFtdiPorts(*MakeLibFtdi(), ftdi_error))
    ports.push_back({adapter.Name, TPortType::Ftdi, adapter.Display});
  for (const auto& adapter : EnumLinuxAdapterPorts(TPortRoots{}))
    ports.push_back(
        {adapter.Name, adapter.Kind == TPinKind::Spi ? TPortType::Spi : TPortType::Gpio, adapter.Display});
  return ports;
}

std::string PortNameFromText(const std::string& port_text) {
  return port_text.find('=') == std::string::npos ? port_text : EntryName(port_text);
}

int32_t SimPortNumberFromName(const std::string& name) {
  if (name.size() != 4) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "SIM"[i]) return 0;
  const int32_t number = name[3] - '0';
  return number >= 1 && number <= kMaxSimPorts ? number : 0;
}

std::string GetPortDisplayName(const std::string& name) {
  if (GetSimPortKind(name) == kPortKindSim) return GetSimPortFriendlyName(name);
  EnsurePortLists();
  if (std::string display = GetPortFriendlyName(name); !display.empty()) return display;
  // The newer adapters are found anew each time: a USB adapter may have come or gone.
  for (const auto& port : ListPorts())
    if (port.Name == name) return port.DisplayName;
  return {};
}

std::unique_ptr<TSpiBusBase> CreateBusForPort(const std::string& name, const std::string& pins,
                                              const std::string& database_path, std::string& detail) {
  detail.clear();
  if (GetSimPortKind(name) == kPortKindSim) {
    // The simulated chip is built from its database record, so the database is needed first.
    std::string error_text;
    if (const HRESULT status = LoadDatabase(database_path, error_text); status != S_OK) {
      detail = "The simulated chip needs the device database: " + error_text;
      return nullptr;
    }
    const int32_t number = GetSimPortNumber(name);
    std::unique_ptr<TSpiBusBase> bus;
    if (const HRESULT status = CreateSimPortBus(number, SignatureTable, bus); status != S_OK) {
      const TAvrSigType* record = FindSimChipRecord(SignatureTable, GetSimPortChip(number));
      if (status == E_FAIL && record)
        RecordSizesUsable(*record, &detail);
      else
        detail = "The device database has no chip named " + GetSimPortChip(number) + ".";
      return nullptr;
    }
    // A state file that could not be used is worth a line even when the port opens.
    if (auto* sim = dynamic_cast<TSpiBus_Sim*>(bus.get()); sim && sim->Chip())
      detail = sim->Chip()->StateWarning();
    if (!pins.empty())
      detail += std::string(detail.empty() ? "" : "\r\n") +
                "The simulated chip has no wires: --pins is ignored on " + name + ".";
    return bus;
  }
  EnsurePortLists();
  std::string error;
  std::unique_ptr<TSpiBusBase> bus = CreatePortBus(name, pins, THwSeams{}, error);
  if (!bus && !name.empty()) detail = error.empty() ? name + " is not a port of this machine." : error;
  return bus;
}

bool SelectSimulatedChip(const std::string& port_name, const std::string& chip_name,
                         const std::string& database_path, std::string& error) {
  const int32_t number = SimPortNumberFromName(port_name);
  if (number == 0) {
    error = port_name + " is not a simulated port (SIM1 to SIM" + std::to_string(kMaxSimPorts) + ").";
    return false;
  }
  std::string error_text;
  if (LoadDatabase(database_path, error_text) != S_OK) {
    error = "cannot load the device database to look up " + chip_name + ": " + error_text;
    return false;
  }
  const TAvrSigType* record = FindSimChipRecord(SignatureTable, chip_name);
  if (!record) {
    error = "the device database has no chip named " + chip_name + " (known:";
    for (const auto& entry : SignatureTable) error += " " + entry.CpuName;
    error += ")";
    return false;
  }
  // The ports below number exist after this with their default chip.
  if (SetSimPortChip(number, record->CpuName) != S_OK) {
    error = "cannot configure " + port_name + ".";
    return false;
  }
  return true;
}
