// The window at start, its layout, and the status log.
#include "tests/gui/FormMainFixture.h"

#include <QFontInfo>
#include <QFontMetrics>
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
  ASSERT_EQ(speed->count(), 8);
  EXPECT_EQ(speed->itemText(0), "sdFastest");
  EXPECT_EQ(speed->itemText(6), "sdSlowest");
  EXPECT_EQ(speed->itemText(7), "Auto");
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

TEST_F(FormMainTest, LogIsAReadOnlyFixedPitchPaneAndTheProgressBarSitsInTheStatusBar) {
  Open();
  EXPECT_EQ(Child<QPushButton>("btSaveFlashFile")->text(), "Save ");
  EXPECT_EQ(Log()->lineWrapMode(), QTextEdit::NoWrap);
  EXPECT_TRUE(Log()->isReadOnly());
  // What the user sees: the dump's columns line up, in the pane and in the text it holds.
  for (const QFont& font : {Log()->font(), Log()->document()->defaultFont()}) {
    const QFontMetrics metrics(font);
    EXPECT_GT(metrics.horizontalAdvance(QLatin1Char('m')), 0);
    EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("iiii....")),
              metrics.horizontalAdvance(QStringLiteral("mmmmWWWW")))
        << QFontInfo(font).family().toStdString();
  }
  QProgressBar* progress = Child<QProgressBar>("ProgressBar1");
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
  form.LogStatus("a\r\nb\rc\n", kBlack);
  form.LogStatus("Could not identify this \xC2\xB5"
                 "C!\r\n",
                 0x00408080);

  EXPECT_EQ(LogPlainText(), "Connected and Ready.\nError!\na\nb\nc\nCould not identify this \xC2\xB5"
                            "C!\n");
  const std::vector<TLogRun> runs = LogRuns();
  ASSERT_EQ(runs.size(), 7u);
  EXPECT_EQ(runs[0].text, "Connected");
  EXPECT_EQ(runs[0].colour, kGreen); // earlier text keeps its colour
  EXPECT_EQ(runs[1].text, " and Ready.");
  EXPECT_EQ(runs[1].colour, kBlue);
  EXPECT_EQ(runs[2].text, "Error!");
  EXPECT_EQ(runs[2].colour, kRed);
  EXPECT_EQ(runs[3].colour, kBlack);
  EXPECT_EQ(runs[6].colour, 0x00408080u);
}

TEST_F(FormMainTest, LogStaysScrolledToTheNewestLine) {
  TFormMain& form = Open();
  for (int i = 0; i < 200; ++i) form.LogStatus("line " + std::to_string(i) + "\r\n", kBlack);
  QCoreApplication::processEvents();
  EXPECT_GT(Log()->verticalScrollBar()->value(), 0);
  EXPECT_TRUE(Log()->viewport()->rect().contains(Log()->cursorRect()));
  EXPECT_TRUE(Log()->textCursor().atEnd());
}
