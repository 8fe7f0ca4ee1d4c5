// ISP layer tests: a virtual clock, a fake target at the fastest speed, a signature table per test.
#pragma once
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "tests/support/FakeIspChip.h"
#include "tests/support/RecordingEventSink.h"
#include "tests/support/VectorMemStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

inline std::string Hex(const TIspBytes& b) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X %02X %02X %02X", b[0], b[1], b[2], b[3]);
  return text;
}

class IspFixture : public ::testing::Test {
protected:
  void SetUp() override { SignatureTable.clear(); }
  void TearDown() override { SignatureTable.clear(); }

  TFakeIspChip& MakeChip(uint32_t flash_words, uint32_t page_words) {
    isp.reset();
    chip = CreateSpiBus<TFakeIspChip>(1, flash_words, page_words);
    chip->Speed = sdFastest;
    chip->record = false; // whole-flash line logs are huge
    // Held in reset, ready for instructions; tests count only later resets.
    chip->SetReset(1);
    chip->resets = 0;
    chip->enabled = true;
    isp = std::make_unique<TmCAtgeneric>(chip.get());
    return *chip;
  }

  // A database record for the chip's signature; CpuInfo follows on the first Identify.
  TAvrSigType& AddRecord(const char* name, uint8_t type, int32_t flash, int32_t page, int32_t erase = -1) {
    TAvrSigType record;
    record.CpuName = name;
    record.CpuType = type;
    record.Sig = {chip->signature[0], chip->signature[1], chip->signature[2], chip->signature[3]};
    record.MemSize.Flash = flash;
    record.PageSize.Flash = page;
    record.EraseBeforeFlash = erase;
    SignatureTable.push_back(record);
    return SignatureTable.back();
  }

  // Identifies the chip and forgets the instructions that took.
  void IdentifyAndClear() {
    ASSERT_TRUE(isp->Identify(false));
    chip->instructions.clear();
  }

  std::vector<std::string> Sent() const {
    std::vector<std::string> sent;
    for (const TIspBytes& i : chip->instructions) sent.push_back(Hex(i));
    return sent;
  }

  std::shared_ptr<TRecordingEventSink> AttachSink() {
    auto sink = std::make_shared<TRecordingEventSink>();
    EXPECT_EQ(isp->SetEventSink(sink, true), S_OK);
    return sink;
  }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::unique_ptr<TFakeIspChip> chip;
  std::unique_ptr<TmCAtgeneric> isp;
};
