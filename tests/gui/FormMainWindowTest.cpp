// The window at start, its layout, and the status log.
#include "tests/gui/FormMainFixture.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QScrollBar>
#include <QStatusBar>

TEST_F(FormMainTest, StartsDisconnectedOnTheFirstPortWithNormalSpeed) {
  TFormMain& form = Open();
  EXPECT_EQ(form.windowTitle(), "Tamsos Pinlet Flash tool");
  EXPECT_EQ(form.size(), QSize(912, 550));

  // The simulated ports come first, so without settings the first start picks SIM1.
  QComboBox* port = Child<QComboBox>("cbComPort");
  EXPECT_EQ(port->currentText(), "SIM1");
  EXPECT_EQ(Child<QPlainTextEdit>("memoFriendlyName")->toPlainText(), "Simulated ATmega328P");

  QComboBox* speed = Child<QComboBox>("cbSpeed");
  ASSERT_EQ(speed->count(), 7);
  EXPECT_EQ(speed->itemText(0), "sdFastest");
  EXPECT_EQ(speed->itemText(6), "sdSlowest");
  EXPECT_EQ(speed->currentText(), "sdNormal");

  EXPECT_TRUE(Enabled("btInit"));
  for (const char* name :
       {"btFree", "btReadSig", "btReadCalib", "btReadLock", "btReadFuse", "btReadFlash", "btLoadFlashFile",
        "btEraseFlash", "btSaveFlashFile", "btWriteFlash", "btVerifyFlash", "btDumpMetaFile"})
    EXPECT_FALSE(Enabled(name)) << name;
  for (const char* name : {"cbComPort", "cbSpeed", "cbDebug", "memoStatus"})
    EXPECT_TRUE(Enabled(name)) << name;

  EXPECT_EQ(LogPlainText(), "The following processsors are configured in CpuSignatures.xml yet:\n"
                            "AT90S1200, ATmega8535, ATmega32, ATmega168, ATmega8L\n"
                            "\n"
                            "See README.md of Pinlet for detailed information.\n");
}

TEST_F(FormMainTest, ColumnOfGroupBoxesLeavesTheRestToTheLog) {
  Open();
  EXPECT_EQ(Button("btSaveFlashFile")->text(), "Save ");

  // The column of group boxes: 339 wide with a border of 3, the boxes stacked from the top.
  int top = 3;
  for (const auto& [name, title, height] :
       {std::tuple{"gbHowItWorks", "How it works...", 159}, std::tuple{"gbInit", "Init and stuff ...", 117},
        std::tuple{"gbFuseLock", "Fuse, Lock and stuff ...", 96},
        std::tuple{"gbFlash", "Flash and stuff ... :)", 137}}) {
    QGroupBox* group = Child<QGroupBox>(name);
    EXPECT_EQ(group->title(), title);
    EXPECT_EQ(group->geometry(), QRect(3, top, 333, height)) << name;
    top += height;
  }

  // The log fills the rest; the status bar's first pane carries the progress bar.
  EXPECT_EQ(Log()->mapTo(form_.get(), QPoint(0, 0)).x(), 339);
  EXPECT_EQ(Log()->lineWrapMode(), QTextEdit::NoWrap);
  EXPECT_TRUE(Log()->isReadOnly());
  EXPECT_TRUE(QFontInfo(Log()->font()).fixedPitch());
  QProgressBar* progress = Child<QProgressBar>("ProgressBar1");
  EXPECT_EQ(progress->size(), QSize(104, 12));
  EXPECT_EQ(progress->mapTo(Child<QStatusBar>("StatusBar1"), QPoint(0, 0)).x(),
            Child<QWidget>("StatusPanel0")->geometry().x());
}

TEST_F(FormMainTest, LogAppendsColouredTextAtTheEnd) {
  TFormMain& form = Open();
  Log()->clear();
  form.LogStatus("Connected", kGreen); // no line end: the next text continues the line
  form.LogStatus(" and Ready.\r\n", kBlue);
  form.LogStatus("", kRed); // nothing at all
  form.LogStatus("Error!\r\n", kRed);
  form.LogStatus("a\r\nb\r\n", kBlack);

  EXPECT_EQ(LogPlainText(), "Connected and Ready.\nError!\na\nb\n");
  const std::vector<TLogRun> runs = LogRuns();
  ASSERT_EQ(runs.size(), 5u);
  EXPECT_EQ(runs[0].text, "Connected");
  EXPECT_EQ(runs[0].colour, kGreen); // earlier text keeps its colour
  EXPECT_EQ(runs[1].text, " and Ready.");
  EXPECT_EQ(runs[1].colour, kBlue);
  EXPECT_EQ(runs[2].text, "Error!");
  EXPECT_EQ(runs[2].colour, kRed);
  EXPECT_EQ(runs[3].colour, kBlack);
}

TEST_F(FormMainTest, LogStaysScrolledToTheNewestLine) {
  TFormMain& form = Open();
  for (int i = 0; i < 200; ++i) form.LogStatus("line " + std::to_string(i) + "\r\n", kBlack);
  QCoreApplication::processEvents();
  EXPECT_GT(Log()->verticalScrollBar()->value(), 0);
  EXPECT_TRUE(Log()->viewport()->rect().contains(Log()->cursorRect()));
  EXPECT_TRUE(Log()->textCursor().atEnd());
}

TEST(LogColour, ReadsTheValueAsBlueGreenRed) {
  EXPECT_EQ(LogColour(0x0000FF), QColor(255, 0, 0));
  EXPECT_EQ(LogColour(0x008000), QColor(0, 128, 0));
  EXPECT_EQ(LogColour(0xFF0000), QColor(0, 0, 255));
  EXPECT_EQ(LogColour(0x00408080), QColor(128, 128, 64));
}

TEST(LogText, TurnsLineEndsIntoLineBreaks) {
  EXPECT_EQ(LogText("a\r\nb\rc\n"), "a\nb\nc\n");
  EXPECT_EQ(LogText("Could not identify this \xC2\xB5"
                    "C!"),
            QString::fromUtf8("Could not identify this µC!"));
}
