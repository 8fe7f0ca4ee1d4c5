#include "bench_support.h"

#include "core/uWait.h"
#include "sim/uSimChip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

std::vector<uint8_t> PseudoRandom(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed;
  for (auto& byte : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = uint8_t(x);
  }
  return out;
}

bool WriteHex(const std::string& path, const TBenchImage& image) {
  std::ofstream out(path, std::ios::binary);
  auto record = [&](uint8_t type, uint16_t address, const uint8_t* data, size_t count) {
    uint8_t sum = uint8_t(count + (address >> 8) + address + type);
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X%02X", unsigned(count), unsigned(address), unsigned(type));
    out << head;
    for (size_t i = 0; i < count; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", data[i]);
      out << hex;
      sum = uint8_t(sum + data[i]);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "%02X\r\n", unsigned(uint8_t(-sum)));
    out << tail;
  };
  uint32_t bank = 0;
  for (size_t offset = 0; offset < image.bytes.size(); offset += 16) {
    const uint32_t address = image.start + uint32_t(offset);
    if ((address >> 16) != bank) {
      bank = address >> 16;
      const uint8_t upper[2] = {uint8_t(bank >> 8), uint8_t(bank)};
      record(0x04, 0, upper, 2);
    }
    const size_t count = std::min<size_t>(16, image.bytes.size() - offset);
    record(0x00, uint16_t(address), &image.bytes[offset], count);
  }
  record(0x01, 0, nullptr, 0);
  return bool(out);
}

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pinlet-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return {};
  return pattern;
}

double SecondsSince(IWaitClock& clock, uint64_t start_ns) {
  return double(clock.NowNs() - start_ns) / 1e9;
}

double ChipBusySeconds(const TSimAvrChip& chip, uint64_t page_writes, uint64_t erases) {
  return (double(page_writes) * double(chip.BusyNs(TAvrMemory::Flash)) +
          double(erases) * double(chip.EraseBusyNs())) /
         1e9;
}
