// The program's window: a port and speed selector, the command buttons and the coloured status log.
// It stays thin: every button hands over to TPinletController, which holds the bus and the meta
// memory and writes every message; the window only adds what needs a screen (dialogs, the Yes/No
// questions, the progress bar) and keeps the port, speed, memory choice and last file in the
// settings. The memory selector beside the flash buttons (Flash or EEPROM) decides which memory
// and which of the controller's two images Read, Write, Verify, Load, Save and Dump work on.
#pragma once
#include "app/uController.h"
#include "app/uIniFile.h"

#include <QColor>
#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class TConfigEditor;
class QCloseEvent;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTextEdit;

// Where the window takes its surroundings from. The defaults are those of the running program;
// tests point the settings and the database elsewhere.
struct TFormMainOptions {
  std::vector<std::string> Args; // command-line arguments without the program's path ("ADAP")
  std::string ExecutablePath;    // empty = the running program
  std::string SettingsFolder;    // empty = the usual settings base folder
  std::string DatabasePath;      // empty = the usual places of CpuSignatures.xml
};

class TFormMain : public QMainWindow, public ILogSink, public IConfirm {
  Q_OBJECT

public:
  explicit TFormMain(const TFormMainOptions& options = {}, QWidget* parent = nullptr);
  ~TFormMain() override;

  // Appends text (UTF-8, with its own "\r\n" line ends) to the status log in a colour 0x00BBGGRR.
  void LogStatus(const std::string& text, uint32_t colour) override;
  bool AskYesNo(const std::string& question) override;
  void UpdateControls();
  void SetProgress(int32_t position);
  void SetStatusPanel(int index, const QString& text);

  TPinletController& Controller() { return *FController; }
  // A signal ends the program: a running transfer stops after its page, an open dialog is
  // dismissed (a question answered No), and the window closes without asking, which frees the bus.
  void CloseOnSignal();

  // Test hooks. With ConfirmHook set, questions go to it instead of a message box; with
  // FileDialogHook set, it is handed the prepared dialog instead of showing it and returns the
  // chosen file (empty = cancelled).
  std::function<bool(const std::string&)> ConfirmHook;
  std::function<QString(QFileDialog&)> FileDialogHook;
  // With ConfigEditorHook set, the fuse and lock editor goes to it instead of being shown; it
  // returns whether the user pressed "Write".
  std::function<bool(TConfigEditor&)> ConfigEditorHook;

protected:
  void closeEvent(QCloseEvent* event) override;

private slots:
  void btInitClick();
  void btFreeClick();
  void btAdapterTestClick();
  void cbComPortChange();
  void cbSpeedChange();
  void cbMemoryChange();
  void btReadSigClick();
  void btReadCalibClick();
  void btReadLockClick();
  void btReadFuseClick();
  void btEditConfigClick();
  void btReadFlashClick();
  void btWriteFlashClick();
  void btVerifyFlashClick();
  void btEraseFlashClick();
  void btLoadFlashFileClick();
  void btSaveFlashFileClick();
  void btDumpMetaFileClick();

private:
  class TEventAdapter;

  void CreateControls();
  void SetUpFileDialogs(const std::string& executable_path);
  void FillPortList();
  void LoadSettings();
  void SaveSettings();
  void ApplyControlState(const TControlState& state);
  TImageMemory SelectedMemory() const;
  // Runs one controller command with every control disabled, then refreshes them; a close that
  // was asked for meanwhile is carried out once the command has returned.
  void RunCommand(const std::function<void()>& command);
  QString RunFileDialog(QFileDialog& dialog);

  // Settings: the access interface for reading and writing, the manager for defining entries.
  std::shared_ptr<IIniFileReadWriteAccs> FSettings;
  std::shared_ptr<IIniFileManager> FSettingsMgr;
  std::unique_ptr<TPinletController> FController;
  std::shared_ptr<TEventAdapter> FEvents;
  bool FDestroying = false;
  bool FCloseAfterCommand = false;

  QGroupBox* gbHowItWorks = nullptr;
  QGroupBox* gbInit = nullptr;
  QGroupBox* gbFuseLock = nullptr;
  QGroupBox* gbFlash = nullptr;
  QLabel* lblHowItWorks = nullptr;
  QComboBox* cbComPort = nullptr;
  QComboBox* cbSpeed = nullptr;
  QPlainTextEdit* memoFriendlyName = nullptr;
  QPushButton* btInit = nullptr;
  QPushButton* btAdapterTest = nullptr; // the wiring self-test
  QLineEdit* edPins = nullptr;
  QPushButton* btFree = nullptr;
  QCheckBox* cbDebug = nullptr;
  QPushButton* btReadSig = nullptr;
  QPushButton* btReadLock = nullptr;
  QPushButton* btReadCalib = nullptr;
  QPushButton* btReadFuse = nullptr;
  QPushButton* btEditConfig = nullptr;
  QPushButton* btSaveFlashFile = nullptr;
  QPushButton* btLoadFlashFile = nullptr;
  QPushButton* btDumpMetaFile = nullptr;
  QPushButton* btReadFlash = nullptr;
  QPushButton* btWriteFlash = nullptr;
  QPushButton* btVerifyFlash = nullptr;
  QPushButton* btEraseFlash = nullptr;
  QComboBox* cbMemory = nullptr;
  QTextEdit* memoStatus = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QLabel* StatusPanel0 = nullptr;
  QLabel* StatusPanel1 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QFileDialog* ODflash = nullptr;
  QFileDialog* SDflash = nullptr;
};

// The colour of a log value 0x00BBGGRR.
QColor LogColour(uint32_t colour);
// A log text with its "\r\n" (or lone "\r") line ends as the text widget's line breaks.
QString LogText(const std::string& text);
