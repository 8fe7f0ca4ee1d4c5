#include "sim/uSimPorts.h"

#include "sim/uSpiBus_Sim.h"

#include <cctype>
#include <cstdio>
#include <map>

namespace {

// Chip names of SIM1, SIM2, ...; index 0 is SIM1.
std::vector<std::string>& SimPortChips() {
  static std::vector<std::string> chips{kDefaultSimChip};
  return chips;
}

// Injected faults of the ports' chips, by port number; only the fault fields are used.
std::map<int32_t, TSimChipOptions>& SimPortFaults() {
  static std::map<int32_t, TSimChipOptions> faults;
  return faults;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string DisplayName(const std::string& chip) {
  return "Simulated " + chip;
}

} // namespace

HRESULT SetSimPortChip(int32_t port_number, std::string_view chip_name) {
  if (port_number < 1 || port_number > kMaxSimPorts) return E_INVALIDARG;
  auto& chips = SimPortChips();
  const std::string name(Trim(chip_name));
  if (name.empty()) {
    if (port_number == 1 || size_t(port_number) != chips.size()) return E_INVALIDARG;
    chips.pop_back();
    return S_OK;
  }
  if (chips.size() < size_t(port_number)) chips.resize(size_t(port_number), kDefaultSimChip);
  chips[size_t(port_number) - 1] = name;
  return S_OK;
}

std::string GetSimPortChip(int32_t port_number) {
  const auto& chips = SimPortChips();
  if (port_number < 1 || size_t(port_number) > chips.size()) return {};
  return chips[size_t(port_number) - 1];
}

void ResetSimPorts() {
  SimPortChips() = {kDefaultSimChip};
  SimPortFaults().clear();
}

HRESULT SetSimPortFaults(int32_t port_number, const TSimChipOptions& faults) {
  if (port_number < 1 || port_number > kMaxSimPorts) return E_INVALIDARG;
  SimPortFaults()[port_number] = faults;
  return S_OK;
}

std::vector<std::string> GetSimPortList(bool names_only) {
  std::vector<std::string> list;
  const auto& chips = SimPortChips();
  for (size_t i = 0; i < chips.size(); ++i) {
    const std::string name = "SIM" + std::to_string(i + 1);
    list.push_back(names_only ? name : name + "=\"" + DisplayName(chips[i]) + "\"");
  }
  return list;
}

int32_t GetSimPortNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 5 || !EqualNoCase(name.substr(0, 3), "SIM")) return 0;
  int32_t number = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  if (name[3] == '0') return 0; // names carry no leading zeros
  return size_t(number) <= SimPortChips().size() ? number : 0;
}

int32_t GetSimPortKind(std::string_view name) {
  return GetSimPortNumber(name) ? kPortKindSim : 0;
}

std::string GetSimPortFriendlyName(std::string_view name) {
  const int32_t number = GetSimPortNumber(name);
  return number ? DisplayName(GetSimPortChip(number)) : std::string();
}

bool SimChipNameMatches(std::string_view cpu_name, std::string_view wanted) {
  wanted = Trim(wanted);
  if (wanted.empty()) return false;
  if (EqualNoCase(Trim(cpu_name), wanted)) return true;
  while (!cpu_name.empty()) {
    const size_t slash = cpu_name.find('/');
    if (EqualNoCase(Trim(cpu_name.substr(0, slash)), wanted)) return true;
    if (slash == std::string_view::npos) break;
    cpu_name.remove_prefix(slash + 1);
  }
  return false;
}

const TAvrSigType* FindSimChipRecord(const std::vector<TAvrSigType>& table, std::string_view chip_name) {
  for (const auto& record : table)
    if (SimChipNameMatches(record.CpuName, chip_name)) return &record;
  return nullptr;
}

TSimChipOptions DefaultSimPortOptions() {
  TSimChipOptions options;
  options.persist = true;
  return options;
}

HRESULT CreateSimPortBus(int32_t port_number, const std::vector<TAvrSigType>& table,
                         std::unique_ptr<TSpiBusBase>& bus, const TSimChipOptions& options) {
  bus.reset();
  const std::string chip = GetSimPortChip(port_number);
  if (chip.empty()) return SPI_E_NOPORT;
  const TAvrSigType* record = FindSimChipRecord(table, chip);
  if (!record) return E_INVALIDARG;
  // A chip of impossible sizes would have the simulation allocate whatever the record claims.
  if (!RecordSizesUsable(*record)) return E_FAIL;
  TSimChipOptions chip_options = options;
  if (const auto fault = SimPortFaults().find(port_number); fault != SimPortFaults().end()) {
    chip_options.no_chip = fault->second.no_chip;
    chip_options.stop_after_bytes = fault->second.stop_after_bytes;
    chip_options.stop_after_bits = fault->second.stop_after_bits;
    chip_options.resting_miso = fault->second.resting_miso;
    chip_options.signature = fault->second.signature;
  }
  bus = CreateSpiBus<TSpiBus_Sim>(port_number, std::make_unique<TSimAvrChip>(*record, chip_options));
  return S_OK;
}
