// Port, speed and last file survive a restart of the window.
#include "tests/gui/FormMainFixture.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {
std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct TDialogView {
  QString directory;
  QStringList selected;
};
} // namespace

class FormMainSettingsTest : public FormMainTest {
protected:
  void WriteSettings(const std::string& body) {
    std::filesystem::create_directories(settings_dir_.Path() + "/Config");
    std::ofstream(SettingsFile(), std::ios::binary) << "[KWA2.7.15.24]\r\n" << body;
  }
  // What the open dialog would show now.
  TDialogView OpenDialogView() {
    TDialogView view;
    form_->FileDialogHook = [&](QFileDialog& dialog) {
      view.directory = dialog.directory().absolutePath();
      view.selected = dialog.selectedFiles();
      return QString();
    };
    Connect();
    Click("btLoadFlashFile");
    return view;
  }
};

TEST_F(FormMainSettingsTest, PortSpeedAndLastFileSurviveARestart) {
  ASSERT_EQ(SetSimPortChip(2, "ATmega8"), S_OK);
  Open();
  SelectPort("SIM2");
  Child<QComboBox>("cbSpeed")->setCurrentIndex(sdSlow);
  Connect(); // on SIM1; the selector then still shows SIM1
  LoadImage("abcd", "last.ucm");
  const std::string last_file = dialog_answer_.toStdString();
  SelectPort("SIM2");
  CloseAndDestroy();

  const std::string text = ReadText(SettingsFile());
  EXPECT_NE(text.find("[CONNECTION]\r\nPortName=\"SIM2\"\r\nSpeed=\"4\"\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[DIRECTORY]\r\nLastFile=\"" + last_file + "\"\r\n"), std::string::npos) << text;

  Open();
  EXPECT_EQ(Child<QComboBox>("cbComPort")->currentText(), "SIM2");
  EXPECT_EQ(Child<QPlainTextEdit>("memoFriendlyName")->toPlainText(), "Simulated ATmega8");
  EXPECT_EQ(Child<QComboBox>("cbSpeed")->currentIndex(), sdSlow);
  const TDialogView view = OpenDialogView();
  EXPECT_EQ(view.directory.toStdString(), work_dir_.Path());
  EXPECT_EQ(view.selected, QStringList{QString::fromStdString(last_file)});
}

TEST_F(FormMainSettingsTest, StoredPortMatchesInAnyLetterCaseElseTheFirstPort) {
  ASSERT_EQ(SetSimPortChip(2, "ATmega8"), S_OK);
  WriteSettings("[CONNECTION]\r\nPortName=\"sim2\"\r\n");
  Open();
  EXPECT_EQ(Child<QComboBox>("cbComPort")->currentText(), "SIM2");
  form_.reset();

  WriteSettings("[CONNECTION]\r\nPortName=\"COM99\"\r\n");
  Open();
  EXPECT_EQ(Child<QComboBox>("cbComPort")->currentText(), "SIM1");
}

TEST_F(FormMainSettingsTest, StoredSpeedOutOfRangeSelectsNormal) {
  for (const char* speed : {"42", "-1", "fast"}) {
    WriteSettings(std::string("[CONNECTION]\r\nSpeed=\"") + speed + "\"\r\n");
    Open();
    EXPECT_EQ(Child<QComboBox>("cbSpeed")->currentText(), "sdNormal") << speed;
    form_.reset();
  }
}

TEST_F(FormMainSettingsTest, DeletedLastFileLeavesItsFolderAMissingFolderTheProgramFolder) {
  const std::string gone = work_dir_.Path() + "/gone.hex";
  WriteSettings("[DIRECTORY]\r\nLastFile=\"" + gone + "\"\r\n");
  Open();
  const TDialogView view = OpenDialogView();
  EXPECT_EQ(view.directory.toStdString(), work_dir_.Path());
  for (const QString& selected : view.selected) EXPECT_NE(selected.toStdString(), gone);
  form_.reset();

  WriteSettings("[DIRECTORY]\r\nLastFile=\"" + work_dir_.Path() + "/no/such/dir/x.ucm\"\r\n");
  Open();
  EXPECT_EQ(OpenDialogView().directory.toStdString(), program_dir_.Path());
}

TEST_F(FormMainSettingsTest, AdapKeepsTheSettingsBesideTheProgram) {
  TFormMainOptions options = Options();
  options.Args = {"ADAP"};
  Open(options);
  CloseAndDestroy();
  EXPECT_TRUE(std::filesystem::exists(program_dir_.Path() + "/Config/pinlet-gui.ini"));
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

// The wiring is kept like the port, and Init and the adapter test hand it to the port they open.
TEST_F(FormMainSettingsTest, TheWiringSurvivesARestartAndGoesWithInitAndTheAdapterTest) {
  Open();
  Child<QLineEdit>("edPins")->setText(" reset=~DTR ");
  CloseAndDestroy();
  EXPECT_NE(ReadText(SettingsFile()).find("Wiring=\"reset=~DTR\"\r\n"), std::string::npos)
      << ReadText(SettingsFile());

  Open();
  EXPECT_EQ(Child<QLineEdit>("edPins")->text(), "reset=~DTR");
  // The self-test opens the port on its own, and leaves it closed.
  ASSERT_TRUE(Enabled("btAdapterTest"));
  Click("btAdapterTest");
  EXPECT_NE(LogPlainText().find("Adapter test on SIM1."), std::string::npos) << LogPlainText();
  EXPECT_NE(LogPlainText().find("The chip answered"), std::string::npos) << LogPlainText();
  EXPECT_TRUE(Enabled("btInit"));
  Connect();
  EXPECT_NE(LogPlainText().find("--pins is ignored on SIM1"), std::string::npos) << LogPlainText();
  EXPECT_FALSE(Enabled("btAdapterTest")) << "not while a port is open";
}
