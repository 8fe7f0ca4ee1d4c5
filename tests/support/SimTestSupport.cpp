#include "tests/support/SimTestSupport.h"

#include "devicedb/uXmlDB.h"
#include "sim/uSimPorts.h"

#include <gtest/gtest.h>
#include <map>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

void Describe(TAvrFeatureByte& features, int bit, const char* name, int def) {
  features[size_t(bit)].Name = name;
  features[size_t(bit)].Bit = bit;
  features[size_t(bit)].Default = def;
}

void DescribeMegaFuses(TAvrSigType& r) {
  const char* lock_names[6] = {"LB1", "LB2", "BLB01", "BLB02", "BLB11", "BLB12"};
  for (int k = 0; k < 6; ++k) Describe(r.Locks.Low, k, lock_names[k], 1);
  // Low 0x62: CKDIV8 programmed, SUT1..0 = 10, CKSEL = 0010.
  const int low[8] = {0, 1, 0, 0, 0, 1, 1, 0};
  const char* low_names[8] = {"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "SUT0", "SUT1", "CKOUT", "CKDIV8"};
  for (int k = 0; k < 8; ++k) Describe(r.Fuses.Low, k, low_names[k], low[k]);
  // High 0xD9: SPIEN programmed, BOOTSZ = 00.
  const int high[8] = {1, 0, 0, 1, 1, 0, 1, 1};
  const char* high_names[8] = {"BOOTRST", "BOOTSZ0", "BOOTSZ1", "EESAVE",
                               "WDTON",   "SPIEN",   "DWEN",    "RSTDISBL"};
  for (int k = 0; k < 8; ++k) Describe(r.Fuses.High, k, high_names[k], high[k]);
  for (int k = 0; k < 3; ++k) Describe(r.Fuses.Ext, k, ("BODLEVEL" + std::to_string(k)).c_str(), 1);
}

} // namespace

namespace {

TAvrSigType Record(const char* name, uint8_t type, TAvrSignature sig, TAvrMemPair size, TAvrMemPair page) {
  TAvrSigType r;
  r.CpuName = name;
  r.CpuType = type;
  r.Sig = sig;
  r.EraseBeforeFlash = 1;
  r.MemSize = size;
  r.PageSize = page;
  if (page.Flash > 0) r.PageNo = {size.Flash / page.Flash, size.EEPROM / page.EEPROM};
  return r;
}

} // namespace

TAvrSigType SimRecordMega328P() {
  // The type list has no ATmega328P; the 168 takes the same instructions.
  TAvrSigType r = Record("ATmega328P", actATmega168, {0x1E, 0x95, 0x0F, 0x00}, {32768, 1024}, {128, 4});
  DescribeMegaFuses(r);
  return r;
}

TAvrSigType SimRecordMega2560() {
  TAvrSigType r = Record("ATmega2560", actATmega2560, {0x1E, 0x98, 0x01, 0x00}, {262144, 4096}, {256, 8});
  DescribeMegaFuses(r);
  return r;
}

TAvrSigType SimRecordMega8() {
  return Record("ATmega8", actATmega8, {0x1E, 0x93, 0x07, 0x00}, {8192, 512}, {64, 4});
}

TAvrSigType SimRecordClassic2313() {
  return Record("AT90S2313", actAT90S2313, {0x1E, 0x91, 0x01, 0x00}, {2048, 128}, {-1, -1});
}

TAvrSigType SimDatabaseRecord(const std::string& database, const char* chip_name) {
  static std::map<std::string, std::vector<TAvrSigType>> tables;
  auto found = tables.find(database);
  if (found == tables.end()) {
    std::vector<TAvrSigType> loaded = SignatureTable;
    std::string error;
    EXPECT_EQ(LoadSignatureDB(database, error), S_OK) << error;
    std::swap(loaded, SignatureTable); // the global table as it was, the loaded one here
    found = tables.emplace(database, std::move(loaded)).first;
  }
  const TAvrSigType* record = FindSimChipRecord(found->second, chip_name);
  EXPECT_NE(record, nullptr) << chip_name << " in " << database;
  return record ? *record : TAvrSigType{};
}

void TSimLineDriver::EnterReset() {
  bus_.SetSck(0);
  bus_.SetMosi(1);
  bus_.SetReset(0);
  bus_.SetReset(1);
}

uint8_t TSimLineDriver::Transfer(uint8_t out) {
  uint8_t in = 0;
  for (int index = 7; index >= 0; --index) {
    bus_.SetSck(0);
    bus_.SetMosi((out >> index) & 1);
    bus_.SetSck(1);
    uint8_t level = 1;
    if (!bus_.GetMiso(level)) level = 1;
    in = uint8_t(in << 1 | (level & 1));
    bus_.SetSck(0);
  }
  bus_.SetMosi(1);
  return in;
}

std::array<uint8_t, 4> TSimLineDriver::Instruction(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return {Transfer(b0), Transfer(b1), Transfer(b2), Transfer(b3)};
}

void TSimLineDriver::ExtraClocks(int count) {
  for (int i = 0; i < count; ++i) {
    bus_.SetSck(1);
    bus_.SetSck(0);
  }
}

void TSimLineDriver::WritePage(uint32_t word_address, const uint16_t* words, int count) {
  for (int i = 0; i < count; ++i) {
    Instruction(0x40, uint8_t(i >> 8), uint8_t(i), uint8_t(words[i]));
    Instruction(0x48, uint8_t(i >> 8), uint8_t(i), uint8_t(words[i] >> 8));
  }
  Instruction(0x4C, uint8_t(word_address >> 8), uint8_t(word_address), 0x00);
}

TScratchDir::TScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/pinlet-sim-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TScratchDir::~TScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TScopedStateHome::TScopedStateHome() {
  if (const char* old = std::getenv("XDG_STATE_HOME")) saved_ = old;
  setenv("XDG_STATE_HOME", dir_.Path().c_str(), 1);
  ResetSimPorts();
}

TScopedStateHome::~TScopedStateHome() {
  ResetSimPorts();
  if (saved_)
    setenv("XDG_STATE_HOME", saved_->c_str(), 1);
  else
    unsetenv("XDG_STATE_HOME");
}
