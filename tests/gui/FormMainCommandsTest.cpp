// The buttons, end to end against the simulated ATmega328P on SIM1.
#include "gui/uGuiSignals.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/gui/FormMainFixture.h"

#include <QFileDialog>
#include <QProgressBar>
#include <QTimer>

#include <csignal>

namespace {
const char* const kAllCommandControls[] = {
    "btInit",         "btFree",          "btReadSig",    "btReadCalib",     "btReadLock",   "btReadFuse",
    "btReadFlash",    "btLoadFlashFile", "btEraseFlash", "btSaveFlashFile", "btWriteFlash", "btVerifyFlash",
    "btDumpMetaFile", "cbComPort",       "cbSpeed",      "cbDebug",         "cbMemory"};

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = char(i * 7 + (i >> 8));
  return bytes;
}
} // namespace

TEST_F(FormMainTest, InitConnectsInGreenAtTheSelectedSpeedAndEnablesTheDeviceButtons) {
  Open();
  Child<QComboBox>("cbSpeed")->setCurrentIndex(sdSlowest);
  Connect();
  EXPECT_TRUE(LogHasRun("Connected and Ready.", kGreen));
  EXPECT_EQ(Bus()->Speed, sdSlowest);
  Child<QComboBox>("cbSpeed")->setCurrentIndex(sdFast);
  EXPECT_EQ(Bus()->Speed, sdFast) << "speed changes follow";
  // Auto, after the levels: the level comes from the chip's fuses at the next command (8 MHz here).
  dynamic_cast<TSpiBus_Sim&>(*Bus()).Chip()->SetFuses(0xE2, 0xD9, 0xFF);
  Child<QComboBox>("cbSpeed")->setCurrentText("Auto");
  Click("btReadSig");
  EXPECT_EQ(Bus()->Speed, sdFaster);
  EXPECT_NE(LogPlainText().find("Speed: sdFaster (SCK phase 1"), std::string::npos) << LogPlainText();
  EXPECT_FALSE(Enabled("btInit"));
  for (const char* name : {"btFree", "btReadSig", "btReadCalib", "btReadLock", "btReadFuse", "btReadFlash",
                           "btLoadFlashFile", "btEraseFlash"})
    EXPECT_TRUE(Enabled(name)) << name;
  // Those need an image as well.
  for (const char* name : {"btSaveFlashFile", "btWriteFlash", "btVerifyFlash", "btDumpMetaFile"})
    EXPECT_FALSE(Enabled(name)) << name;
}

TEST_F(FormMainTest, ReadSignatureShowsTheChipInBlue) {
  Open();
  Connect();
  Click("btReadSig");
  EXPECT_TRUE(LogHasRun("Signature: 0x1E:95:0F:00", kBlue)) << LogPlainText();
  bool described = false;
  for (const TLogRun& run : LogRuns())
    described |= run.text.rfind(" - CPU name: ATmega328P", 0) == 0 && run.colour == kBlue;
  EXPECT_TRUE(described) << LogPlainText();
  EXPECT_FALSE(Enabled("btInit")) << "a read does not change the connection";
  EXPECT_TRUE(Enabled("btReadSig"));
}

TEST_F(FormMainTest, WriteFlashAnsweredNoWritesNothingAndYesWrites) {
  Open();
  Connect();
  LoadImage(Pattern(300));
  EXPECT_TRUE(Enabled("btWriteFlash"));

  answers_ = {false};
  Click("btWriteFlash");
  EXPECT_EQ(questions_, std::vector<std::string>{"Shall I really overwrite the whole flash memory?"});
  EXPECT_TRUE(LogHasRun("Writing 300 bytes...", kGreen));
  Click("btVerifyFlash");
  EXPECT_FALSE(LogContains("Meta stream and flash is equal.")) << "the erased chip must differ";

  answers_ = {true};
  Click("btWriteFlash");
  Click("btVerifyFlash");
  EXPECT_TRUE(LogHasRun("Meta stream and flash is equal.", kBlue)) << LogPlainText();
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 0) << "the bar is reset after a transfer";
}

TEST_F(FormMainTest, DebugLoadNeedsNoDialogAndFreeKeepsOnlyTheDump) {
  Open();
  Connect();
  Child<QCheckBox>("cbDebug")->setChecked(true);
  Click("btLoadFlashFile");
  EXPECT_EQ(dialogs_shown_, 0);
  ASSERT_TRUE(form_->Controller().HasImage());
  int32_t size = 0;
  form_->Controller().MetaMemory()->GetSize(&size);
  EXPECT_EQ(size, 19);
  EXPECT_TRUE(Enabled("btWriteFlash"));

  Click("btFree");
  EXPECT_FALSE(form_->Controller().HasBus());
  EXPECT_TRUE(Enabled("btInit"));
  for (const char* name : {"btFree", "btReadSig", "btReadFlash", "btLoadFlashFile", "btSaveFlashFile",
                           "btWriteFlash", "btVerifyFlash", "btEraseFlash"})
    EXPECT_FALSE(Enabled(name)) << name;
  EXPECT_TRUE(Enabled("btDumpMetaFile"));
}

TEST_F(FormMainTest, FileDialogsAreSetUpForImagesAndCancelLoadsNothing) {
  Open();
  Connect();
  dialog_answer_.clear(); // cancelled
  Click("btLoadFlashFile");
  EXPECT_EQ(dialogs_shown_, 1);
  EXPECT_FALSE(form_->Controller().HasImage());

  QString open_directory, save_suffix;
  bool open_needs_existing = false, save_asks_overwrite = false;
  QStringList filters;
  const std::string loaded = WriteFile("small.ucm", "0123456789"), saved = work_dir_.Path() + "/copy.hex";
  form_->FileDialogHook = [&](QFileDialog& dialog) {
    if (dialog.acceptMode() == QFileDialog::AcceptOpen) {
      open_directory = dialog.directory().absolutePath();
      open_needs_existing = dialog.fileMode() == QFileDialog::ExistingFile;
      filters = dialog.nameFilters();
      return QString::fromStdString(loaded);
    }
    save_suffix = dialog.defaultSuffix();
    save_asks_overwrite = !dialog.testOption(QFileDialog::DontConfirmOverwrite);
    return QString::fromStdString(saved);
  };
  Click("btLoadFlashFile");
  Click("btSaveFlashFile");
  EXPECT_TRUE(LogHasRun("Loaded " + loaded + "; 10bytes", kGreen)) << LogPlainText();
  EXPECT_TRUE(LogHasRun("Saved " + saved, kGreen)) << LogPlainText();
  EXPECT_TRUE(std::ifstream(saved).good());
  // Without a last file in the settings the dialogs start in the program's folder.
  EXPECT_EQ(open_directory.toStdString(), program_dir_.Path());
  EXPECT_TRUE(open_needs_existing);
  EXPECT_EQ(filters, QStringList({"All files (*.ucm *.bin *.hex *.eep *.srec *.s19 *.mot *.elf)",
                                  "MEM file (*.ucm *.bin)", "HEX file (*.hex *.eep)",
                                  "SREC file (*.srec *.s19 *.mot)", "ELF file (*.elf)"}));
  EXPECT_EQ(save_suffix, "ucm");
  EXPECT_TRUE(save_asks_overwrite);
}

TEST_F(FormMainTest, DumpShowsRowsOfWordsAndCharacters) {
  Open();
  Connect();
  LoadImage("0123456789ABCDEF"
            "xyz"); // one full row, then one word of a second and an odd byte
  Log()->clear();
  Click("btDumpMetaFile");
  EXPECT_EQ(LogPlainText(), "0x0000:3130 3332 3534 3736 3938 4241 4443 4645 1032547698BADCFE\n"
                            "0x0010:7978 ");
  const std::vector<TLogRun> runs = LogRuns();
  ASSERT_EQ(runs.size(), 5u);
  EXPECT_EQ(runs[0].text, "0x0000:");
  EXPECT_EQ(runs[0].colour, kGreen);
  EXPECT_EQ(runs[1].text, "3130 3332 3534 3736 3938 4241 4443 4645 ");
  EXPECT_EQ(runs[1].colour, kBlack);
  EXPECT_EQ(runs[2].text, "1032547698BADCFE");
  EXPECT_EQ(runs[2].colour, kBlue);
  EXPECT_EQ(runs[3].colour, kGreen);
  EXPECT_EQ(runs[4].colour, kBlack);
  EXPECT_EQ(Child<QProgressBar>("ProgressBar1")->value(), 0);
}

// A transfer keeps the window answering through Idle; nothing the user does then may start a second
// command or free the bus under it.

TEST_F(FormMainTest, DuringATransferEverythingIsDisabledAndFreeIsRefused) {
  Open();
  Connect();
  LoadImage(Pattern(4096));
  int checks = 0;
  QTimer::singleShot(0, form_.get(), [&] {
    ++checks;
    EXPECT_TRUE(form_->Controller().Busy());
    for (const char* name : kAllCommandControls) EXPECT_FALSE(Enabled(name)) << name;
    Click("btFree");
    EXPECT_TRUE(form_->Controller().HasBus());
  });
  answers_ = {true};
  Click("btWriteFlash");
  ASSERT_EQ(checks, 1) << "the transfer did not let the window handle its events";
  EXPECT_TRUE(form_->Controller().HasBus());
  EXPECT_TRUE(Enabled("btFree"));
  Click("btVerifyFlash");
  EXPECT_TRUE(LogHasRun("Meta stream and flash is equal.", kBlue)) << LogPlainText();
}

TEST_F(FormMainTest, ClosingDuringATransferAsksAndStopsItOnlyWhenAnsweredYes) {
  Open();
  Connect();
  LoadImage(Pattern(4096));
  QTimer::singleShot(0, form_.get(), [&] { form_->close(); });
  answers_ = {true, false}; // overwrite the flash; then keep going
  Click("btWriteFlash");
  ASSERT_EQ(questions_.size(), 2u);
  EXPECT_EQ(questions_[1], "A transfer is running. Stop it after the current page and close?");
  QCoreApplication::processEvents();
  EXPECT_TRUE(form_->isVisible());
  Click("btVerifyFlash");
  EXPECT_TRUE(LogHasRun("Meta stream and flash is equal.", kBlue)) << LogPlainText();

  LoadImage(Pattern(8192));
  bool still_open_while_busy = false;
  QTimer::singleShot(0, form_.get(), [&] {
    form_->close();
    still_open_while_busy = form_->isVisible() && form_->Controller().Busy();
  });
  answers_ = {true, true}; // overwrite the flash; then stop and close
  Click("btWriteFlash");
  ASSERT_EQ(questions_.size(), 4u);
  EXPECT_TRUE(still_open_while_busy);
  EXPECT_TRUE(LogContains("Cancelled by the user!")) << LogPlainText();
  EXPECT_FALSE(form_->Controller().Busy());
  QCoreApplication::processEvents(); // the close that waited for the command
  EXPECT_FALSE(form_->isVisible());
}

// A signal closes the window without asking: during a transfer it stops after the current page
// and programming mode is left first; the first signal's number is kept for the exit status.
TEST_F(FormMainTest, ASignalStopsTheTransferAndClosesTheWindowWithoutAsking) {
  Open();
  TSpiBusBase* bus = nullptr;
  form_->Controller().BusFactory = [&bus, made = form_->Controller().BusFactory](auto& name, auto& db,
                                                                                 auto& detail) {
    std::unique_ptr<TSpiBusBase> made_bus = made(name, db, detail);
    bus = made_bus.get();
    return made_bus;
  };
  Connect();
  LoadImage(Pattern(8192));
  TGuiSignals handlers;
  ASSERT_TRUE(handlers.Installed());
  QObject::connect(&handlers, &TGuiSignals::Signalled, form_.get(), &TFormMain::CloseOnSignal);
  QTimer::singleShot(0, form_.get(), [] { raise(SIGTERM); });
  answers_ = {true}; // overwrite the flash
  Click("btWriteFlash");
  EXPECT_EQ(questions_.size(), 1u) << "the close asked nothing";
  EXPECT_TRUE(LogContains("Cancelled by the user!")) << LogPlainText();
  auto* sim = dynamic_cast<TSpiBus_Sim*>(bus);
  ASSERT_NE(sim, nullptr);
  EXPECT_FALSE(sim->Chip()->InProgMode()) << "RESET released before the window goes";
  QCoreApplication::processEvents(); // the close that waited for the command
  EXPECT_FALSE(form_->isVisible());
  EXPECT_EQ(handlers.First(), SIGTERM);

  // Without a command running the window closes at once.
  form_->show();
  raise(SIGHUP);
  QCoreApplication::processEvents();
  EXPECT_FALSE(form_->isVisible());
  EXPECT_EQ(questions_.size(), 1u);
}
