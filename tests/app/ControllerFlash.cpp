// "Read flash", "Write flash", "Verify flash", "Erase flash" and cancelling a transfer.
#include "fakes/FakePortDevice.h"
#include "hw/uSpiBus_parallel.h"
#include "tests/app/ControllerFixture.h"

#include <algorithm>

namespace {

constexpr uint32_t kRed = 0x0000FF, kGreen = 0x008000, kBlue = 0xFF0000;
const TLogLine kEepromGoes{"The chip erase also erases the EEPROM (EESAVE is not programmed).\r\n", kRed};

TEST_F(ControllerTest, WriteAnsweredNoWritesNothing) {
  Connect();
  const std::vector<uint8_t> before = Chip().Flash();
  LoadBytes(PatternBytes(1000));
  confirm_.answer = false;
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Declined);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Writing 1000 bytes...\r\n", kGreen}, kEepromGoes}));
  EXPECT_EQ(confirm_.questions,
            (std::vector<std::string>{"Shall I really overwrite the whole flash memory?"}));
  EXPECT_EQ(Chip().Counters().page_writes, 0u);
  EXPECT_EQ(Chip().Counters().chip_erases, 0u);
  EXPECT_EQ(Chip().Flash(), before);
  EXPECT_FALSE(Chip().InProgMode());
}

TEST_F(ControllerTest, WriteAnsweredYesProgramsTheImageAndVerifyFindsAMismatch) {
  Connect();
  const std::vector<uint8_t> image = PatternBytes(1000);
  LoadBytes(image);
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Writing 1000 bytes...\r\n", kGreen}, kEepromGoes}));
  EXPECT_TRUE(std::equal(image.begin(), image.end(), Chip().Flash().begin()));
  // The rest of the flash was erased first (the database asks for it on this chip).
  EXPECT_TRUE(
      std::all_of(Chip().Flash().begin() + 1000, Chip().Flash().end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_FALSE(Chip().InProgMode());
  // The transfer reported through the front end's sink, and the rate pane ends empty.
  EXPECT_FALSE(events_->messages.empty());
  EXPECT_EQ(events_->status_texts.back(), "");

  log_.lines.clear();
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Comparing 1000 bytes...\r\n", kGreen},
                                               {"Meta stream and flash is equal.\r\n", kBlue}}));

  Chip().Flash()[0x101] ^= 0x10;
  log_.lines.clear();
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{
                            {"Comparing 1000 bytes...\r\n", kGreen},
                            {"Meta stream and flash is not equal!(at address 0x00000100)\r\n", kRed}}));
  EXPECT_FALSE(Chip().InProgMode());
}

TEST_F(ControllerTest, WriteWithoutAnImageOrWithOneTooLargeIsRefused) {
  Connect("ATmega8");
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Failed);
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"Load a file first!\r\n", kRed}, {"Load a file first!\r\n", kRed}}));
  EXPECT_TRUE(confirm_.questions.empty());
  EXPECT_EQ(Chip().Counters().enables, 0u);

  LoadBytes(PatternBytes(8194));
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Failed);
  // Refused before any word went: no address is named.
  EXPECT_EQ(log_.lines.back(), (TLogLine{"Meta file is bigger than \xC2\xB5"
                                         "C flash mem size!\r\n",
                                         kRed}));
  EXPECT_EQ(Chip().Counters().page_writes, 0u);
}

TEST_F(ControllerTest, ReadFlashReplacesTheMetaMemoryWithTheWholeFlash) {
  Connect("ATmega8");
  const std::vector<uint8_t> flash = PatternBytes(8192, 3);
  Chip().Flash() = flash;
  LoadBytes({9, 9, 9});
  const auto old_image = controller_.MetaMemory();
  EXPECT_EQ(controller_.ReadFlash(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Reading 8192 bytes...\r\n", kGreen}}));
  EXPECT_NE(controller_.MetaMemory(), old_image);
  EXPECT_EQ(MetaBytes(), flash);
  EXPECT_TRUE(controller_.ControlState().Save);
  EXPECT_FALSE(Chip().InProgMode());
}

// An adapter on the parallel port with no chip behind it: MISO floats high and nothing answers.
TEST_F(ControllerTest, ReadsOfAnAbsentChipNameNoSizeAndNoAddress) {
  auto fake = std::make_shared<TFakePortDevice>();
  fake->AddParallel("/dev/parport0");
  controller_.BusFactory = [fake](const std::string&, const std::string&, std::string&) {
    return std::unique_ptr<TSpiBusBase>(CreateSpiBus<TSpiBus_LPT>(1, fake));
  };
  ASSERT_EQ(controller_.Init("LPT1", 0, false), TCommandResult::Done);
  const TLogLine unidentified{"Could not identify \xC2\xB5"
                              "C!\r\n",
                              kRed};
  auto no_address = [&] {
    for (const auto& line : log_.lines) EXPECT_EQ(line.text.find("at address"), std::string::npos) << line;
  };
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadFlash(), TCommandResult::Failed);
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines[0], unidentified); // and no "Reading -1 bytes..." before it
  no_address();
  LoadBytes(PatternBytes(16));
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Failed);
  ASSERT_GE(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0], (TLogLine{"Comparing 16 bytes...\r\n", kGreen}));
  EXPECT_EQ(log_.lines[1], unidentified);
  no_address();
}

TEST_F(ControllerTest, EraseAnsweredNoLeavesTheFlashAndYesErasesIt) {
  Connect("ATmega8");
  Chip().Flash() = PatternBytes(8192);
  confirm_.answer = false;
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Declined);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"Check memory size of device to write...\r\n", kGreen}, kEepromGoes}));
  EXPECT_EQ(Chip().Flash(), PatternBytes(8192));
  EXPECT_EQ(Chip().Counters().chip_erases, 0u);
  EXPECT_FALSE(Chip().InProgMode());

  confirm_.answer = true;
  confirm_.questions.clear();
  log_.lines.clear();
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Check memory size of device to write...\r\n", kGreen},
                                               kEepromGoes,
                                               {"Device has been erased.\r\n", kGreen}}));
  EXPECT_EQ(confirm_.questions, (std::vector<std::string>{"Shall I erase the whole flash memory?"}));
  EXPECT_TRUE(std::all_of(Chip().Flash().begin(), Chip().Flash().end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_FALSE(Chip().InProgMode());
}

TEST_F(ControllerTest, EraseOfAByteWisePartNeedsNoPageSize) {
  Connect("AT90S2313"); // written byte by byte: the database gives no page size
  confirm_.answer = true;
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Done);
  EXPECT_EQ(log_.lines.back(), (TLogLine{"Device has been erased.\r\n", kGreen}));
  EXPECT_EQ(Chip().Counters().chip_erases, 1u);
}

// A cancel asked for during a transfer (the window's button, Ctrl-C on the command line) stops it
// at the next progress report with an error naming where it stopped.
TEST_F(ControllerTest, CancelStopsAWriteAndTheNextCommandRunsNormally) {
  Connect();
  LoadBytes(PatternBytes(32768));
  int idles = 0;
  events_->on_idle = [&] {
    if (++idles == 4) controller_.RequestCancel();
  };
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Failed);
  EXPECT_LT(Chip().Counters().page_writes, 256u);
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines.back().colour, kRed);
  // Idle runs after "Erasing flash...", "Writing flash..." and each page: the cancel came in the
  // report of the second page, and the transfer stopped at that page's last word.
  EXPECT_EQ(log_.lines.back().text, "Cancelled by the user!(at address 0x000000FE)\r\n");
  EXPECT_EQ(Chip().Counters().page_writes, 2u);
  EXPECT_FALSE(Chip().InProgMode());
  EXPECT_TRUE(controller_.CancelRequested());

  // A new command starts without the old request.
  events_->on_idle = nullptr;
  log_.lines.clear();
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Done);
  EXPECT_FALSE(controller_.CancelRequested());
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
}

TEST_F(ControllerTest, CancelStopsTheDumpAfterTheCurrentRow) {
  LoadBytes(PatternBytes(64)); // four rows
  int idles = 0;
  events_->on_idle = [&] {
    if (++idles == 2) controller_.RequestCancel();
  };
  EXPECT_EQ(controller_.DumpMetaFile(), TCommandResult::Failed);
  size_t rows = 0;
  for (const auto& line : log_.lines)
    if (line.colour == kBlue) ++rows;
  EXPECT_EQ(rows, 2u);
  EXPECT_EQ(events_->progress.back(), 0);
}

} // namespace

namespace {

// A write whose result the simulated chip cannot keep (a file where its state folder should be)
// is a failed write, with the reason, not an "equal".
TEST_F(ControllerTest, AWriteTheSimulatedChipCannotKeepFails) {
  std::ofstream(state_dir_.Path() + "/pinlet") << "in the way";
  Connect();
  LoadBytes(PatternBytes(256));
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Failed);
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines.back().colour, kRed);
  EXPECT_NE(log_.lines.back().text.find(state_dir_.Path() + "/pinlet/sim-ATmega328P.state"),
            std::string::npos)
      << log_.lines.back().text;
  EXPECT_NE(log_.lines.back().text.find("Not a directory"), std::string::npos) << log_.lines.back().text;
  EXPECT_FALSE(Chip().InProgMode());
  // The chip still holds what it could not keep: the next command shows its result and says so again.
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 3u);
  EXPECT_EQ(log_.lines[0], (TLogLine{"Signature: 0x1E:95:0F:00\r\n", kBlue}));
  EXPECT_NE(log_.lines[2].text.find("could not be saved"), std::string::npos) << log_.lines[2].text;
}

// An erase after which the chip does not answer: no success text, a red reason, Failed.
TEST_F(ControllerTest, EraseThatTheChipDoesNotSurviveIsReportedAsFailed) {
  controller_.BusFactory = [this](const std::string&, const std::string&, std::string&) {
    TSimChipOptions options;
    // Programming Enable, the signature read twice (the command's and the ISP layer's), the EESAVE
    // fuse, the erase itself: then silence.
    options.stop_after_bytes = 4 + 16 + 16 + 4 + 4;
    std::unique_ptr<TSpiBusBase> bus =
        CreateSpiBus<TSpiBus_Sim>(1, std::make_unique<TSimAvrChip>(SimRecordMega328P(), options));
    bus_ = bus.get();
    return bus;
  };
  ASSERT_EQ(controller_.Init("SIM1", kConnectSpeed, false), TCommandResult::Done);
  log_.lines.clear();
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Failed);
  EXPECT_EQ(
      log_.lines,
      (std::vector<TLogLine>{
          {"Check memory size of device to write...\r\n", kGreen},
          kEepromGoes,
          {"Chip erase failed!\r\n", kRed},
          // The first poll for the end of the erase already hears no echo.
          {"The \u00b5C does not answer (no echo of its instructions): check the cable and the target's "
           "power!\r\n",
           kRed}}));
  EXPECT_FALSE(Chip().InProgMode());
}

} // namespace
