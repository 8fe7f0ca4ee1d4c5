// The window on the simulated ports, with the shipped device database, a virtual clock (no real
// reset or page waits), and scratch directories for the settings, the simulated chip's state and
// the program's own folder.
#pragma once
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "gui/uFormMain.h"
#include "memimage/uAvrMemFile.h"
#include "sim/uSimPorts.h"
#include "tests/support/SimTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

constexpr const char* kShippedDatabase = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

// One run of equally coloured text in the status log.
struct TLogRun {
  std::string text;
  uint32_t colour; // 0x00BBGGRR
};

class FormMainTest : public ::testing::Test {
protected:
  FormMainTest() : clock_(std::make_shared<TVirtualClock>()), scoped_clock_(clock_) {
    if (const char* old = std::getenv("XDG_STATE_HOME")) saved_state_home_ = old;
    setenv("XDG_STATE_HOME", state_dir_.Path().c_str(), 1);
    ResetSimPorts();
  }
  ~FormMainTest() override {
    form_.reset();
    ResetSimPorts();
    if (saved_state_home_)
      setenv("XDG_STATE_HOME", saved_state_home_->c_str(), 1);
    else
      unsetenv("XDG_STATE_HOME");
  }

  TFormMainOptions Options() const {
    TFormMainOptions options;
    options.ExecutablePath = program_dir_.Path() + "/pinlet-gui";
    options.SettingsFolder = settings_dir_.Path();
    options.DatabasePath = kShippedDatabase;
    return options;
  }
  std::string SettingsFile() const { return settings_dir_.Path() + "/Config/pinlet-gui.ini"; }

  // Creates and shows the window; its questions are answered from answers_ (Yes once they run out)
  // and recorded.
  TFormMain& Open(const TFormMainOptions& options) {
    form_ = std::make_unique<TFormMain>(options);
    // The bus stays the controller's; the tests look at it through the factory that made it.
    form_->Controller().BusFactory =
        [this, made = form_->Controller().BusFactory](const std::string& name,
                                                      const std::string& database_path, std::string& detail) {
          std::unique_ptr<TSpiBusBase> bus = made(name, database_path, detail);
          bus_ = bus.get();
          return bus;
        };
    form_->ConfirmHook = [this](const std::string& question) {
      questions_.push_back(question);
      if (answers_.empty()) return true;
      const bool answer = answers_.front();
      answers_.erase(answers_.begin());
      return answer;
    };
    form_->FileDialogHook = [this](QFileDialog&) {
      ++dialogs_shown_;
      return dialog_answer_;
    };
    form_->show();
    QCoreApplication::processEvents();
    return *form_;
  }
  TFormMain& Open() { return Open(Options()); }
  // The window's open bus, null when there is none.
  TSpiBusBase* Bus() { return form_ && form_->Controller().HasBus() ? bus_ : nullptr; }
  // Closes and destroys the window, which writes the settings file.
  void CloseAndDestroy() {
    form_->close();
    QCoreApplication::processEvents();
    form_.reset();
  }

  template <class T> T* Child(const char* name) {
    T* widget = form_->findChild<T*>(name);
    if (!widget) ADD_FAILURE() << "no control " << name;
    return widget;
  }
  bool Enabled(const char* name) { return Child<QWidget>(name)->isEnabled(); }
  // Clicks like the user: a disabled button does nothing.
  void Click(const char* name) { Child<QPushButton>(name)->click(); }

  void SelectPort(const QString& name) {
    QComboBox* port = Child<QComboBox>("cbComPort");
    const int index = port->findText(name);
    ASSERT_GE(index, 0) << name.toStdString();
    port->setCurrentIndex(index);
  }
  void Connect() {
    SelectPort("SIM1");
    Click("btInit");
    ASSERT_TRUE(form_->Controller().HasBus());
  }

  QTextEdit* Log() { return Child<QTextEdit>("memoStatus"); }
  std::string LogPlainText() { return Log()->toPlainText().toStdString(); }
  std::vector<TLogRun> LogRuns() {
    std::vector<TLogRun> runs;
    for (QTextBlock block = Log()->document()->begin(); block.isValid(); block = block.next())
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const QColor colour = fragment.charFormat().foreground().color();
        runs.push_back({fragment.text().toStdString(), uint32_t(colour.red()) |
                                                           uint32_t(colour.green()) << 8 |
                                                           uint32_t(colour.blue()) << 16});
      }
    return runs;
  }
  bool LogHasRun(const std::string& text, uint32_t colour) {
    for (const TLogRun& run : LogRuns())
      if (run.text == text && run.colour == colour) return true;
    return false;
  }
  bool LogContains(const std::string& text) { return LogPlainText().find(text) != std::string::npos; }

  std::string WriteFile(const std::string& name, const std::string& bytes) const {
    const std::string path = work_dir_.Path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // Loads a .ucm image through "Load" and its dialog.
  void LoadImage(const std::string& bytes, const std::string& name = "image.ucm") {
    dialog_answer_ = QString::fromStdString(WriteFile(name, bytes));
    Click("btLoadFlashFile");
    ASSERT_TRUE(form_->Controller().HasImage());
  }

  std::shared_ptr<TVirtualClock> clock_;
  TScopedWaitClock scoped_clock_;
  TScratchDir state_dir_;
  TScratchDir settings_dir_;
  TScratchDir program_dir_;
  TScratchDir work_dir_;
  std::optional<std::string> saved_state_home_;
  std::unique_ptr<TFormMain> form_;
  TSpiBusBase* bus_ = nullptr; // the last bus the window's factory made
  std::vector<bool> answers_;
  std::vector<std::string> questions_;
  QString dialog_answer_;
  int dialogs_shown_ = 0;
};

constexpr uint32_t kRed = 0x0000FF, kGreen = 0x008000, kBlue = 0xFF0000, kBlack = 0;
