// The instruction operations of TmCAtgeneric against a byte-level fake target.
#include "tests/core/IspFixture.h"

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;
class IspCommands : public IspFixture {};

TEST_F(IspCommands, SynchronisationRealignsGivesUpAndStopsOnADeadPort) {
  MakeChip(4096, 32);
  chip->skip_bits_after_reset = 3;
  EXPECT_EQ(isp->EnterProgMode(), 0);
  EXPECT_EQ(chip->resets, 1u);
  // Four attempts of 32 clocks, with one extra clock after each of the three that failed.
  EXPECT_EQ(chip->rising_edges, 4u * 32 + 3);
  ASSERT_FALSE(chip->instructions.empty());
  EXPECT_EQ(Hex(chip->instructions.back()), "AC 53 FF 00");

  MakeChip(4096, 32);
  chip->responds = false;
  EXPECT_EQ(isp->EnterProgMode(), 1);
  EXPECT_EQ(chip->resets, 4u);
  EXPECT_EQ(chip->rising_edges, 128u * 33);

  MakeChip(4096, 32);
  chip->miso_fails = true;
  EXPECT_EQ(isp->EnterProgMode(), 1);
  EXPECT_EQ(chip->resets, 1u);
  EXPECT_EQ(chip->rising_edges, 32u);
}

TEST_F(IspCommands, InstructionBytesOfReadsAndPageAccessWithoutIdentification) {
  MakeChip(0x8000, 64);
  chip->flash[0x1234] = 0xBEEF;
  uint8_t byte = 0;
  EXPECT_EQ(isp->ReadSignatureByte(5, byte), S_OK);
  EXPECT_EQ(byte, 0x93);
  EXPECT_EQ(isp->ReadCalibrationByte(6, byte), S_OK);
  EXPECT_EQ(byte, 0xA3);
  uint16_t word = 0;
  EXPECT_EQ(isp->ReadProgramWord(0x1234, word), S_OK);
  EXPECT_EQ(word, 0xBEEF);
  // With no page size known the page-buffer address keeps its low twelve bits.
  EXPECT_EQ(isp->LoadPageWord(0x1234, 0xBEEF), S_OK);
  EXPECT_EQ(Sent(), (Strings{"30 00 01 FF", "38 00 02 FF", "28 12 34 FF", "20 12 34 FF", "40 02 34 EF",
                             "48 02 34 BE"}));

  chip->instructions.clear();
  chip->record = true;
  chip->AttachClock(*clock);
  EXPECT_EQ(isp->WritePage(0x0123), S_OK);
  EXPECT_EQ(Sent(), Strings{"4C 01 23 AA"});
  ASSERT_FALSE(chip->log.empty());
  // Nothing tells how long an unidentified chip takes: the longest page write of any part.
  EXPECT_EQ(chip->log.back(), (TLineEvent{TLineEvent::Sleep, 56})) << "56 ms after the page write";
}

TEST_F(IspCommands, Tiny12EraseLoadsAPageWordBetweenTwoErases) {
  MakeChip(512, 0);
  chip->signature = {0x1E, 0x90, 0x05, 0x00};
  AddRecord("ATtiny12", actATtiny12, 1024, -1);
  IdentifyAndClear();
  std::vector<std::pair<std::string, uint32_t>> timeline; // instruction, resets so far
  std::vector<uint64_t> at_ms;
  chip->on_instruction = [&](const TIspBytes& b) {
    timeline.emplace_back(Hex(b), chip->resets);
    at_ms.push_back(clock->now_ns / 1000000);
  };
  const uint32_t r = chip->resets;
  EXPECT_EQ(isp->ChipErase(), 0);
  using P = std::pair<std::string, uint32_t>;
  // The byte programmed between the erases is the high byte alone: a low byte of 0xFF would start
  // a programming cycle that drops the high byte's write.
  // Each erase is followed by a reset and a new Programming Enable, as the parts without RDY/BSY
  // need before their next instruction.
  EXPECT_EQ(timeline, (std::vector<P>{{"AC 80 00 00", r},
                                      {"AC 53 FF 00", r + 1},
                                      {"48 00 00 00", r + 1},
                                      {"AC 80 00 00", r + 1},
                                      {"AC 53 FF 00", r + 2}}));
  ASSERT_EQ(at_ms.size(), 5u);
  // 20 ms with SCK low, RESET released 5 ms, held 25 ms: the datasheets' times, not the bus's.
  EXPECT_EQ(at_ms[1] - at_ms[0], 30u + 50u) << "erase time, then the short reset sequence";
  EXPECT_EQ(at_ms[3] - at_ms[2], 10u) << "0x00 cannot be value-polled: the byte's full time";

  // Other chips erase once, and a chip with RDY/BSY takes the next instruction as soon as the poll
  // says the erase has ended: no reset sequence, no new Programming Enable.
  SignatureTable.back().CpuType = actATmega8;
  isp->Identify(true);
  timeline.clear();
  const uint32_t resets = chip->resets;
  EXPECT_EQ(isp->ChipErase(), 0);
  ASSERT_GE(timeline.size(), 2u);
  EXPECT_EQ(timeline[0].first, "AC 80 00 00");
  for (size_t i = 1; i < timeline.size(); ++i)
    EXPECT_EQ(timeline[i].first, "F0 00 00 FF") << "the end of the erase is polled, nothing else";
  EXPECT_EQ(chip->resets, resets);
}

TEST_F(IspCommands, FuseAndLockValuesPerFamily) {
  MakeChip(4096, 32);
  TAvrSigType& record = AddRecord("ATmega8", actATmega8, 8192, 64);
  chip->fuse_low_raw = 0xE1;
  chip->fuse_high_raw = 0xD9;
  chip->fuse_ext_raw = 0xFD;
  chip->lock_raw = 0x7F;
  IdentifyAndClear();
  uint32_t fuses = 0;
  EXPECT_EQ(isp->ReadFuseBits(fuses), S_OK);
  EXPECT_EQ(fuses, 0x261Eu);
  EXPECT_EQ(Sent(), (Strings{"50 00 00 FF", "58 08 00 FF"}));

  struct Case {
    uint8_t type;
    Strings lock_sent;
    uint8_t lock;
    HRESULT lock_status;
    Strings fuse_sent;
    uint32_t fuses;
    HRESULT fuse_status;
  };
  // lock raw 0x7F (bit 7 programmed), fuses raw E1 / D9 / FD.
  const Case cases[] = {
      {actAT90S8535, {"58 00 00 FF"}, 0x02, 0, {"58 00 00 FF"}, 0x00, 0},
      {actATtiny22, {"58 00 00 FF"}, 0x02, 0, {"58 00 00 FF"}, 0x00, 0},
      // The ATmega103's fuse read defines bits 5, 3, 1 and 0 only.
      {actATmega103, {"58 00 00 FF"}, 0x00, 0, {"50 00 00 FF"}, 0x0A, 0},
      {actATtiny13, {"58 00 00 FF"}, 0x00, 0, {"50 00 00 FF", "58 08 00 FF"}, 0x261E, 0},
      {actATmega2560, {"58 00 00 FF"}, 0x00, 0, {"50 00 00 FF", "58 08 00 FF", "50 08 00 FF"}, 0x02261E, 0},
      // No lock or fuse read over ISP: said, not invented; nothing is sent.
      {actAT90S1200, {}, 0x00, ISP_E_NOTSUPPORTED, {}, 0, ISP_E_NOTSUPPORTED},
      {actATtiny11, {}, 0x00, ISP_E_NOTSUPPORTED, {}, 0, ISP_E_NOTSUPPORTED},
      // A record without a CPU type is read like the modern parts.
      {kNoCpuType, {"58 00 00 FF"}, 0x00, 0, {"50 00 00 FF", "58 08 00 FF", "50 08 00 FF"}, 0x02261E, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    record.CpuType = c.type;
    chip->instructions.clear();
    uint8_t lock = 0xAA;
    EXPECT_EQ(isp->ReadLockBits(lock), c.lock_status);
    EXPECT_EQ(lock, c.lock);
    EXPECT_EQ(Sent(), c.lock_sent);
    chip->instructions.clear();
    fuses = 0xAAAA;
    EXPECT_EQ(isp->ReadFuseBits(fuses), c.fuse_status);
    EXPECT_EQ(fuses, c.fuses);
    EXPECT_EQ(Sent(), c.fuse_sent);
  }

  // The fuse bits that the oldest parts keep in the lock byte, and the lock masks.
  chip->lock_raw = 0x00;
  const std::pair<uint8_t, std::pair<uint8_t, uint32_t>> masks[] = {{actAT90S8535, {0x06, 0x21}},
                                                                    {actATtiny22, {0x06, 0x21}}, // RCEN too
                                                                    {actATmega32, {0x3F, 0}},
                                                                    {actATtiny85, {0x03, 0}}};
  for (const auto& [type, expected] : masks) {
    record.CpuType = type;
    uint8_t lock = 0;
    EXPECT_EQ(isp->ReadLockBits(lock), S_OK);
    EXPECT_EQ(lock, expected.first) << int(type);
    if (expected.second) {
      EXPECT_EQ(isp->ReadFuseBits(fuses), S_OK);
      EXPECT_EQ(fuses, expected.second) << int(type);
    }
  }
}

TEST_F(IspCommands, EveryInstructionNeedsABus) {
  TmCAtgeneric none(nullptr);
  uint16_t word = 0;
  uint32_t fuses = 0;
  TAvrSignature sig;
  EXPECT_EQ(none.EnterProgMode(), ISP_E_NOBUS);
  EXPECT_EQ(none.ChipErase(), ISP_E_NOBUS);
  EXPECT_EQ(none.ReadSignature(sig), 1);
  EXPECT_EQ(none.ReadProgramWord(0, word), ISP_E_NOBUS);
  EXPECT_EQ(none.WritePage(0), ISP_E_NOBUS);
  EXPECT_EQ(none.ReadFuseBits(fuses), ISP_E_NOBUS);
  EXPECT_FALSE(none.Identify(true));
  EXPECT_EQ(none.GetFlashSize(), -1);
}

TEST_F(IspCommands, IdentificationUsesTheFirstThreeSignatureBytes) {
  MakeChip(4096, 32);
  chip->signature = {0x1E, 0x93, 0x07, 0x42};
  AddRecord("other", actATmega88, 8192, 64).Sig = {0x1E, 0x93, 0x0A, 0x00};
  AddRecord("ATmega8", actATmega8, 8192, 64).Sig = {0x1E, 0x93, 0x07, 0x00};
  EXPECT_EQ(isp->GetFlashSize(), 8192);
  ASSERT_NE(isp->CpuInfo, nullptr);
  EXPECT_EQ(isp->CpuInfo->CpuName, "ATmega8");
  EXPECT_EQ(isp->Signature, (TAvrSignature{0x1E, 0x93, 0x07, 0x42}));
  EXPECT_EQ(Sent(), (Strings{"30 00 00 FF", "30 00 01 FF", "30 00 02 FF", "30 00 03 FF"}));

  chip->instructions.clear();
  EXPECT_TRUE(isp->Identify(false));
  EXPECT_TRUE(chip->instructions.empty()) << "identified once per object";

  // A signature read on a dead port must not identify anything.
  chip->miso_fails = true;
  uint8_t byte = 0;
  EXPECT_EQ(isp->ReadSignatureByte(0, byte), SPI_E_NOPORT);
  EXPECT_FALSE(isp->Identify(true));
  EXPECT_EQ(isp->ChipErase(), ISP_E_UNIDENTIFIED);
}

TEST_F(IspCommands, ErrorTexts) {
  MakeChip(4096, 32);
  std::string text = "old";
  EXPECT_EQ(isp->GetErrorText(ISP_E_NOBUS, text), 1);
  EXPECT_EQ(text, "");
  EXPECT_EQ(isp->GetErrorText(ISP_E_UNIDENTIFIED, text), 0);
  EXPECT_EQ(text, "Could not identify \xC2\xB5"
                  "C!");
  EXPECT_EQ(isp->GetErrorText(ISP_E_TOOBIG, text), 0);
  EXPECT_EQ(text, "Meta file is bigger than \xC2\xB5"
                  "C flash mem size!");
  EXPECT_EQ(isp->GetErrorText(ISP_E_NOSIZES, text), 0);
  EXPECT_EQ(text,
            "Configuration file is missing \"MemSize\" and or \"PageSize\" entries for this processor!");
  EXPECT_EQ(isp->GetErrorText(0x9033, text), 0);
  EXPECT_EQ(text, "The \"Signatures\" hive contains invalid data!");
  // Line faults surface as the bus's code, so its text is available here too.
  EXPECT_EQ(isp->GetErrorText(SPI_E_NOPORT, text), 0);
  EXPECT_EQ(text, "Can not open physical connection device (COM,LPT,..)!");
  EXPECT_EQ(isp->GetErrorText(0x9020, text), 1);
  EXPECT_EQ(text, "");
}

class NotASink : public IUnknownBase {};

TEST_F(IspCommands, EventSinkIsFoundByInterfaceQuery) {
  MakeChip(4096, 32);
  EXPECT_EQ(isp->SetEventSink(nullptr, true), E_INVALIDARG);
  EXPECT_EQ(isp->SetEventSink(std::make_shared<NotASink>(), true), S_OK);
  EXPECT_EQ(isp->Events, nullptr);
  std::shared_ptr<IUnknownBase> sink = std::make_shared<TRecordingEventSink>();
  EXPECT_EQ(isp->SetEventSink(sink, true), S_OK);
  EXPECT_NE(isp->Events, nullptr);
  EXPECT_EQ(isp->SetEventSink(sink, false), S_OK);
  EXPECT_EQ(isp->Events, nullptr);
}

TEST_F(IspCommands, LoadDatabaseUsesTheGivenPathAndForgetsTheChip) {
  MakeChip(4096, 32);
  AddRecord("ATmega8", actATmega8, 8192, 64);
  ASSERT_TRUE(isp->Identify(false));
  isp->DatabasePath = "/nonexistent/dir/CpuSignatures.xml";
  std::string error;
  EXPECT_NE(isp->LoadDatabase(error), S_OK);
  EXPECT_NE(error.find("/nonexistent/dir/CpuSignatures.xml"), std::string::npos) << error;
  EXPECT_EQ(isp->CpuInfo, nullptr) << "a record reference does not survive a load";
}

} // namespace

TEST_F(IspCommands, ProgrammingModeIsEnteredWithTheDatasheetsTimesFirstAndTheBussTimesAfter) {
  MakeChip(512, 32);
  // The clock counts waits alone (the fake's lines cost nothing), so the totals are the sequences'.
  uint64_t start = clock->now_ns;
  EXPECT_EQ(isp->EnterProgMode(), 0);
  EXPECT_EQ((clock->now_ns - start) / 1000000, 20u + 5u + 25u)
      << "one short sequence for a chip that answers";
  EXPECT_EQ(chip->ResetPulseTime, 120u) << "the bus's own times are left as they were";
  EXPECT_EQ(chip->ResetSettleTime, 100u);

  // A target that does not answer the first time gets the long sequence in every later round.
  chip->responds = false;
  start = clock->now_ns;
  EXPECT_EQ(isp->EnterProgMode(), 1);
  EXPECT_EQ((clock->now_ns - start) / 1000000, 50u + 3u * (20u + 120u + 100u));

  // Times an owner made shorter than the datasheets' are not lengthened.
  chip->responds = true;
  chip->ResetPulseTime = 1;
  chip->ResetSettleTime = 2;
  start = clock->now_ns;
  EXPECT_EQ(isp->EnterProgMode(), 0);
  EXPECT_EQ((clock->now_ns - start) / 1000000, 20u + 1u + 2u);
}
