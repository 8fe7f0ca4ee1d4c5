#include "gui/uFormMain.h"

#include "app/uPortSelect.h"
#include "gui/uConfigEditor.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kClientWidth = 912;
constexpr int kClientHeight = 550;
constexpr int kLeftColumnWidth = 339;
constexpr int kLeftColumnBorder = 3;

const char* const kFileFilter =
    "All files (*.ucm *.bin *.hex *.eep *.srec *.s19 *.mot *.elf);;MEM file (*.ucm *.bin);;HEX file (*.hex "
    "*.eep);;SREC file (*.srec *.s19 *.mot);;ELF file (*.elf)";
const char* const kCloseWhileBusy = "A transfer is running. Stop it after the current page and close?";

// The layout was made with MS Sans Serif, Arial and Courier New; where one is missing, the system's
// font of the same kind (proportional or fixed) keeps the proportions closest.
QString FontFamily(const QString& wanted, QFontDatabase::SystemFont kind) {
  if (QFontDatabase::families().contains(wanted, Qt::CaseInsensitive)) return wanted;
  return QFontDatabase::systemFont(kind).family();
}

QFont PixelFont(const QString& wanted, QFontDatabase::SystemFont kind, int pixels) {
  QFont font(FontFamily(wanted, kind));
  font.setPixelSize(pixels);
  return font;
}

// The log's dump needs columns that line up: narrow and wide characters must take the same room.
// That is checked on the glyphs themselves, because a family's fixed-pitch flag and the family a
// name resolves to differ between font sets (font substitution may hand a monospace request a
// proportional face).
bool DrawsFixedPitch(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(QLatin1Char('m'));
  for (const QChar c : QStringLiteral("iW.0 |"))
    if (metrics.horizontalAdvance(c) != width) return false;
  return width > 0;
}

// The wanted family when it is there, else the system's fixed font, else any family the database
// calls fixed: the first whose glyphs really are of one width.
QFont FixedPixelFont(const QString& wanted, int pixels) {
  QStringList families;
  if (QFontDatabase::families().contains(wanted, Qt::CaseInsensitive)) families << wanted;
  families << QFontDatabase::systemFont(QFontDatabase::FixedFont).family() << QStringLiteral("Monospace");
  for (const QString& family : QFontDatabase::families())
    if (QFontDatabase::isFixedPitch(family)) families << family;
  for (const QString& family : families) {
    QFont font(family);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(pixels);
    if (DrawsFixedPitch(font)) return font;
  }
  // A machine without any fixed font: the log still shows every text, in columns that drift.
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(pixels);
  return font;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(name);
  button->setGeometry(x, y, w, h);
  return button;
}

QGroupBox* MakeGroup(QWidget* parent, QStyle* style, const char* name, const char* caption, int height) {
  auto* group = new QGroupBox(QString::fromUtf8(caption), parent);
  group->setObjectName(name);
  // The child positions assume the caption on the frame line; styles that put it above the frame
  // would push the frame into the first row of buttons.
  if (style) group->setStyle(style);
  group->setFixedHeight(height);
  return group;
}

// The "How it works..." text: button names in olive, the first two lines dark blue, the rest black.
QString HowItWorksHtml() {
  const QString olive = "<span style=\"color:#808040\">%1</span>";
  return QString(
             "<div style=\"color:#0000a0\">1) select port to use<br>2) press %1</div>"
             "<div style=\"color:#000000\">Now you can read signatures, lock bits, calibration, flash ...<br>"
             "<br>To flash a file, press %2 and select a file (i.e. a HEX file), then press %3.<br>"
             "<br>Save the file from the meta memory, by pressing %4.</div>")
      .arg(olive.arg("Init"), olive.arg("Load"), olive.arg("Write flash"), olive.arg("Save"));
}

} // namespace

QColor LogColour(uint32_t colour) {
  return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

QString LogText(const std::string& text) {
  QString result = QString::fromUtf8(text.data(), qsizetype(text.size()));
  result.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return result;
}

// The progress sink handed to the controller. The controller wants shared ownership, the window
// belongs to Qt's parent chain; so the sink is a small object that forwards to the window and is
// cut loose when the window goes.
class TFormMain::TEventAdapter : public IProgressSink {
public:
  explicit TEventAdapter(TFormMain* form) : form_(form) {}
  void Detach() { form_ = nullptr; }

  HRESULT SetProgress(int32_t position) override {
    if (form_) form_->SetProgress(position);
    return S_OK;
  }
  HRESULT SetStatusText(const std::string& text) override {
    if (form_) form_->SetStatusPanel(1, QString::fromUtf8(text.data(), qsizetype(text.size())));
    return S_OK;
  }
  HRESULT AddMessage(const std::string& text, uint32_t colour) override {
    if (form_) form_->LogStatus(text, colour);
    return S_OK;
  }
  // Keeps the window painting and answering during a transfer; the controls are disabled then,
  // so the only things the user can do are scroll the log and close the window.
  HRESULT Idle() override {
    if (form_) QCoreApplication::processEvents();
    return S_OK;
  }

private:
  TFormMain* form_;
};

TFormMain::TFormMain(const TFormMainOptions& options, QWidget* parent) : QMainWindow(parent) {
  const std::string executable =
      options.ExecutablePath.empty() ? CurrentExecutablePath() : options.ExecutablePath;
  FSettings = CreateIniFile(options.Args, executable, options.SettingsFolder);
  FSettingsMgr = QueryInterface<IIniFileManager>(FSettings);

  FController = std::make_unique<TPinletController>(*this, *this);
  FController->DatabasePath = options.DatabasePath;
  FEvents = std::make_shared<TEventAdapter>(this);
  FController->SetEventSink(FEvents);
  FController->OnFileLoaded = [this](const std::string& file_name) {
    if (FSettings) FSettings->WriteString(kSettingLastFile, file_name);
  };

  CreateControls();
  SetUpFileDialogs(executable);
  FillPortList();
  UpdateControls();
  LoadSettings();
}

TFormMain::~TFormMain() {
  FDestroying = true;
  // The selectors outlive this body (Qt deletes the children later); no change of theirs may reach
  // the handlers of a window that is half gone.
  disconnect(cbComPort, nullptr, this, nullptr);
  disconnect(cbSpeed, nullptr, this, nullptr);
  disconnect(cbMemory, nullptr, this, nullptr);
  FEvents->Detach();
  FController.reset(); // closes the port and releases the target's reset
  // The settings object writes its file when the last reference goes.
  FSettingsMgr.reset();
  FSettings.reset();
}

void TFormMain::CreateControls() {
  setWindowTitle("Tamsos Pinlet Flash tool");
  setObjectName("FormMain");
  setFont(PixelFont("MS Sans Serif", QFontDatabase::GeneralFont, 10));

  auto* client = new QWidget(this);
  auto* clientLayout = new QHBoxLayout(client);
  clientLayout->setContentsMargins(0, 0, 0, 0);
  clientLayout->setSpacing(0);

  // Owned by the window: widgets do not own the style they are given.
  QStyle* groupStyle = QStyleFactory::create("Windows");
  if (groupStyle) groupStyle->setParent(this);

  auto* column = new QWidget(client);
  column->setObjectName("PanelLeft");
  column->setFixedWidth(kLeftColumnWidth);
  auto* columnLayout = new QVBoxLayout(column);
  columnLayout->setContentsMargins(kLeftColumnBorder, kLeftColumnBorder, kLeftColumnBorder,
                                   kLeftColumnBorder);
  columnLayout->setSpacing(0);

  gbHowItWorks = MakeGroup(column, groupStyle, "gbHowItWorks", "How it works...", 159);
  lblHowItWorks = new QLabel(gbHowItWorks);
  lblHowItWorks->setObjectName("lblHowItWorks");
  lblHowItWorks->setTextFormat(Qt::RichText);
  lblHowItWorks->setWordWrap(true);
  lblHowItWorks->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblHowItWorks->setFont([] {
    QFont font(FontFamily("Arial", QFontDatabase::GeneralFont));
    font.setPointSize(8);
    return font;
  }());
  lblHowItWorks->setText(HowItWorksHtml());
  lblHowItWorks->setGeometry(6, 18, kLeftColumnWidth - 2 * kLeftColumnBorder - 12, 159 - 24);

  gbInit = MakeGroup(column, groupStyle, "gbInit", "Init and stuff ...", 117);
  cbComPort = new QComboBox(gbInit);
  cbComPort->setObjectName("cbComPort");
  cbComPort->setGeometry(13, 25, 85, 21);
  cbSpeed = new QComboBox(gbInit);
  cbSpeed->setObjectName("cbSpeed");
  cbSpeed->setGeometry(13, 47, 85, 21);
  // The levels by their index, then Auto.
  for (uint8_t speed = 0; speed <= kSpeedAuto; ++speed) cbSpeed->addItem(SpeedLevelName(speed));
  cbSpeed->setCurrentIndex(kDefaultSpeedLevel);
  memoFriendlyName = new QPlainTextEdit(gbInit);
  memoFriendlyName->setObjectName("memoFriendlyName");
  // One line beside the port, so that the wiring fits beside the speed below it.
  memoFriendlyName->setGeometry(111, 26, 214, 19);
  memoFriendlyName->setFrameShape(QFrame::NoFrame);
  memoFriendlyName->setReadOnly(true);
  memoFriendlyName->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memoFriendlyName->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memoFriendlyName->document()->setDocumentMargin(0);
  // No background of its own: it reads as a label beside the selector.
  memoFriendlyName->viewport()->setAutoFillBackground(false);
  memoFriendlyName->setPlainText("?");
  btInit = MakeButton(gbInit, "btInit", "Init", 13, 84, 78, 20);
  btFree = MakeButton(gbInit, "btFree", "Free", 97, 84, 72, 20);
  cbDebug = new QCheckBox("Debug", gbInit);
  cbDebug->setObjectName("cbDebug");
  cbDebug->move(175, 87);
  cbDebug->adjustSize();
  // The adapter's wiring, as --pins takes it; empty is the adapter's own default.
  edPins = new QLineEdit(gbInit);
  edPins->setObjectName("edPins");
  edPins->setGeometry(111, 47, 214, 21);
  edPins->setPlaceholderText("Wiring: default");
  btAdapterTest = MakeButton(gbInit, "btAdapterTest", "Test adapter", 247, 84, 78, 20);
  edPins->setToolTip("The adapter's wiring, for example reset=4,sck=0,mosi=2,miso=1 (~ before a pin: an "
                     "inverted line). Keys left out keep the adapter's default; see docs/ports.md.");

  gbFuseLock = MakeGroup(column, groupStyle, "gbFuseLock", "Fuse, Lock and stuff ...", 106);
  btReadSig = MakeButton(gbFuseLock, "btReadSig", "Read signature", 13, 27, 110, 20);
  btReadLock = MakeButton(gbFuseLock, "btReadLock", "Read lock bits", 13, 53, 110, 20);
  btReadCalib = MakeButton(gbFuseLock, "btReadCalib", "Read calibration", 143, 27, 110, 20);
  btReadFuse = MakeButton(gbFuseLock, "btReadFuse", "Read fuse bits", 143, 53, 110, 20);
  btEditConfig = MakeButton(gbFuseLock, "btEditConfig", "Edit fuses and lock...", 13, 79, 240, 20);

  gbFlash = MakeGroup(column, groupStyle, "gbFlash", "Flash and stuff ... :)", 137);
  btSaveFlashFile = MakeButton(gbFlash, "btSaveFlashFile", "Save ", 13, 17, 110, 20);
  btLoadFlashFile = MakeButton(gbFlash, "btLoadFlashFile", "Load", 13, 43, 110, 20);
  btDumpMetaFile = MakeButton(gbFlash, "btDumpMetaFile", "Dump meta file", 13, 69, 110, 20);
  btReadFlash = MakeButton(gbFlash, "btReadFlash", "Read flash", 143, 17, 110, 20);
  btWriteFlash = MakeButton(gbFlash, "btWriteFlash", "Write flash", 143, 43, 110, 20);
  btVerifyFlash = MakeButton(gbFlash, "btVerifyFlash", "Verify flash", 143, 69, 110, 20);
  btEraseFlash = MakeButton(gbFlash, "btEraseFlash", "Erase flash", 143, 95, 110, 20);
  // Under the image buttons, opposite the erase, which is of the whole chip whatever is chosen.
  cbMemory = new QComboBox(gbFlash);
  cbMemory->setObjectName("cbMemory");
  cbMemory->setGeometry(13, 95, 110, 21);
  cbMemory->addItem("Flash", int(TImageMemory::Flash));
  cbMemory->addItem("EEPROM", int(TImageMemory::Eeprom));

  for (QGroupBox* group : {gbHowItWorks, gbInit, gbFuseLock, gbFlash}) columnLayout->addWidget(group);
  columnLayout->addStretch(1);

  memoStatus = new QTextEdit(client);
  memoStatus->setObjectName("memoStatus");
  memoStatus->setReadOnly(true);
  memoStatus->setUndoRedoEnabled(false); // a long dump would otherwise pile up undo steps
  memoStatus->setLineWrapMode(QTextEdit::NoWrap);
  memoStatus->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoStatus->setFont(FixedPixelFont("Courier New", 11));
  memoStatus->document()->setDefaultFont(memoStatus->font());

  clientLayout->addWidget(column);
  clientLayout->addWidget(memoStatus, 1);
  setCentralWidget(client);

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusPanel0 = new QLabel(StatusBar1);
  StatusPanel0->setObjectName("StatusPanel0");
  StatusPanel0->setFixedWidth(104);
  StatusPanel1 = new QLabel(StatusBar1);
  StatusPanel1->setObjectName("StatusPanel1");
  StatusPanel1->setMinimumWidth(50);
  StatusBar1->addWidget(StatusPanel0);
  // The last pane runs to the end of the bar, so that a rate like "18204 byte/sec" stays readable.
  StatusBar1->addWidget(StatusPanel1, 1);
  // The progress bar lies over the first pane.
  ProgressBar1 = new QProgressBar(StatusPanel0);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setFixedSize(104, 12);
  StatusPanel0->setMinimumHeight(16);
  ProgressBar1->move(0, (StatusPanel0->minimumHeight() - 12) / 2);
  setStatusBar(StatusBar1);

  resize(kClientWidth, kClientHeight);
  move(280, 229);

  LogStatus("The following processsors are configured in CpuSignatures.xml yet:\r\n", clLogBlack);
  LogStatus("AT90S1200, ATmega8535, ATmega32, ATmega168, ATmega8L\r\n", clLogBlack);
  LogStatus("\r\n", clLogBlack);
  LogStatus("See README.md of Pinlet for detailed information.\r\n", clLogBlack);

  connect(btInit, &QPushButton::clicked, this, &TFormMain::btInitClick);
  connect(btFree, &QPushButton::clicked, this, &TFormMain::btFreeClick);
  connect(btAdapterTest, &QPushButton::clicked, this, &TFormMain::btAdapterTestClick);
  connect(cbComPort, &QComboBox::currentIndexChanged, this, &TFormMain::cbComPortChange);
  connect(cbSpeed, &QComboBox::currentIndexChanged, this, &TFormMain::cbSpeedChange);
  connect(cbMemory, &QComboBox::currentIndexChanged, this, &TFormMain::cbMemoryChange);
  connect(btReadSig, &QPushButton::clicked, this, &TFormMain::btReadSigClick);
  connect(btReadCalib, &QPushButton::clicked, this, &TFormMain::btReadCalibClick);
  connect(btReadLock, &QPushButton::clicked, this, &TFormMain::btReadLockClick);
  connect(btReadFuse, &QPushButton::clicked, this, &TFormMain::btReadFuseClick);
  connect(btEditConfig, &QPushButton::clicked, this, &TFormMain::btEditConfigClick);
  connect(btReadFlash, &QPushButton::clicked, this, &TFormMain::btReadFlashClick);
  connect(btWriteFlash, &QPushButton::clicked, this, &TFormMain::btWriteFlashClick);
  connect(btVerifyFlash, &QPushButton::clicked, this, &TFormMain::btVerifyFlashClick);
  connect(btEraseFlash, &QPushButton::clicked, this, &TFormMain::btEraseFlashClick);
  connect(btLoadFlashFile, &QPushButton::clicked, this, &TFormMain::btLoadFlashFileClick);
  connect(btSaveFlashFile, &QPushButton::clicked, this, &TFormMain::btSaveFlashFileClick);
  connect(btDumpMetaFile, &QPushButton::clicked, this, &TFormMain::btDumpMetaFileClick);
}

void TFormMain::SetUpFileDialogs(const std::string& executable_path) {
  const QString folder = QFileInfo(QFile::decodeName(executable_path.c_str())).absolutePath();
  ODflash = new QFileDialog(this, "Open");
  ODflash->setObjectName("ODflash");
  ODflash->setAcceptMode(QFileDialog::AcceptOpen);
  ODflash->setFileMode(QFileDialog::ExistingFile);
  SDflash = new QFileDialog(this, "Save As");
  SDflash->setObjectName("SDflash");
  SDflash->setAcceptMode(QFileDialog::AcceptSave);
  SDflash->setFileMode(QFileDialog::AnyFile);
  SDflash->setDefaultSuffix("ucm");
  SDflash->setOption(QFileDialog::DontConfirmOverwrite, false);
  for (QFileDialog* dialog : {ODflash, SDflash}) {
    dialog->setNameFilter(kFileFilter);
    dialog->setDirectory(folder);
    dialog->setSizeGripEnabled(true);
  }
}

void TFormMain::FillPortList() {
  const QSignalBlocker blocker(cbComPort);
  cbComPort->clear();
  for (const TPortEntry& port : ListPorts()) cbComPort->addItem(QString::fromStdString(port.Name));
  if (cbComPort->count() > 0) cbComPort->setCurrentIndex(0);
  cbComPortChange();
}

void TFormMain::LoadSettings() {
  if (!FSettings || !FSettingsMgr) return;
  DefineWindowSettings(*FSettingsMgr);

  std::string port;
  FSettings->ReadString(kSettingPortName, port);
  int index = cbComPort->findText(QString::fromStdString(port), Qt::MatchFixedString); // any letter case
  if (index < 0 && cbComPort->count() > 0) index = 0;
  {
    const QSignalBlocker blocker(cbComPort);
    cbComPort->setCurrentIndex(index);
  }
  cbComPortChange();

  int32_t speed = kDefaultSpeedSetting;
  FSettings->ReadInteger(kSettingSpeed, speed);
  // A hand-edited or damaged value would leave the selector without a speed; the default is safer.
  if (speed < 0 || speed > kSpeedAuto) speed = kDefaultSpeedLevel;
  {
    const QSignalBlocker blocker(cbSpeed);
    cbSpeed->setCurrentIndex(speed);
  }
  cbSpeedChange();

  std::string pins;
  FSettings->ReadString(kSettingPins, pins);
  edPins->setText(QString::fromStdString(pins));

  std::string memory_name;
  FSettings->ReadString(kSettingMemory, memory_name);
  // Anything else (an edited file) leaves the flash, as at the first start.
  const TImageMemory memory = ImageMemoryFromName(memory_name).value_or(TImageMemory::Flash);
  {
    const QSignalBlocker blocker(cbMemory);
    cbMemory->setCurrentIndex(cbMemory->findData(int(memory)));
  }
  cbMemoryChange();

  std::string last_file;
  FSettings->ReadString(kSettingLastFile, last_file);
  if (last_file.empty()) return;
  const QFileInfo file(QFile::decodeName(last_file.c_str()));
  const QFileInfo folder(file.absolutePath());
  for (QFileDialog* dialog : {ODflash, SDflash}) {
    if (file.isFile()) {
      dialog->setDirectory(file.absolutePath());
      dialog->selectFile(file.absoluteFilePath());
    } else if (folder.isDir()) {
      dialog->setDirectory(folder.absoluteFilePath());
    }
  }
}

void TFormMain::SaveSettings() {
  if (!FSettings) return;
  FSettings->WriteString(kSettingPortName, cbComPort->currentText().toStdString());
  FSettings->WriteInteger(kSettingSpeed, cbSpeed->currentIndex());
  FSettings->WriteString(kSettingMemory, ImageMemoryName(SelectedMemory()));
  FSettings->WriteString(kSettingPins, edPins->text().trimmed().toStdString());
}

// ---------------------------------------------------------------------------------------------
// Services

void TFormMain::LogStatus(const std::string& text, uint32_t colour) {
  if (FDestroying || text.empty() || !memoStatus) return;
  QTextCursor cursor(memoStatus->document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;
  format.setForeground(LogColour(colour));
  cursor.insertText(LogText(text), format);
  memoStatus->setTextCursor(cursor);
  memoStatus->ensureCursorVisible();
}

bool TFormMain::AskYesNo(const std::string& question) {
  if (ConfirmHook) return ConfirmHook(question);
  return QMessageBox::question(this, "Confirm", QString::fromUtf8(question.c_str()),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TFormMain::ApplyControlState(const TControlState& state) {
  btInit->setEnabled(state.Init);
  btAdapterTest->setEnabled(state.AdapterTest);
  btFree->setEnabled(state.Free);
  btReadSig->setEnabled(state.ReadSig);
  btReadCalib->setEnabled(state.ReadCalib);
  btReadLock->setEnabled(state.ReadLock);
  btReadFuse->setEnabled(state.ReadFuse);
  btEditConfig->setEnabled(state.ReadFuse);
  btReadFlash->setEnabled(state.ReadFlash);
  btLoadFlashFile->setEnabled(state.Load);
  btEraseFlash->setEnabled(state.EraseFlash);
  btSaveFlashFile->setEnabled(state.Save);
  btWriteFlash->setEnabled(state.WriteFlash);
  btVerifyFlash->setEnabled(state.VerifyFlash);
  btDumpMetaFile->setEnabled(state.DumpMetaFile);
  cbComPort->setEnabled(state.PortAndSpeed);
  cbSpeed->setEnabled(state.PortAndSpeed);
  cbDebug->setEnabled(state.PortAndSpeed);
  edPins->setEnabled(state.PortAndSpeed);
  cbMemory->setEnabled(state.PortAndSpeed);
}

void TFormMain::UpdateControls() {
  ApplyControlState(FController->ControlState(SelectedMemory()));
}

TImageMemory TFormMain::SelectedMemory() const {
  return cbMemory && cbMemory->currentData().toInt() == int(TImageMemory::Eeprom) ? TImageMemory::Eeprom
                                                                                  : TImageMemory::Flash;
}

void TFormMain::SetProgress(int32_t position) {
  ProgressBar1->setValue(std::clamp<int32_t>(position, 0, 100));
}

void TFormMain::SetStatusPanel(int index, const QString& text) {
  if (index == 0) StatusPanel0->setText(text);
  if (index == 1) StatusPanel1->setText(text);
}

void TFormMain::RunCommand(const std::function<void()>& command) {
  if (FController->Busy()) return;
  // Disabling takes the focus away from the clicked button; it gets it back afterwards.
  const QPointer<QWidget> focus = QApplication::focusWidget();
  ApplyControlState(TControlState{});
  command();
  UpdateControls();
  if (focus && focus->isEnabled() && isActiveWindow()) focus->setFocus();
  if (FCloseAfterCommand) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

QString TFormMain::RunFileDialog(QFileDialog& dialog) {
  if (FileDialogHook) return FileDialogHook(dialog);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles().value(0);
}

void TFormMain::CloseOnSignal() {
  FCloseAfterCommand = true; // also keeps closeEvent from asking
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != this) modal->close();
  if (FController->Busy())
    FController->RequestCancel(); // RunCommand closes the window once the command has returned
  else
    close();
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (FController->Busy()) {
    // The transfer runs further down this very call stack; the window can only go once it has
    // returned, so the close waits for it and is carried out by RunCommand.
    event->ignore();
    if (!FCloseAfterCommand && AskYesNo(kCloseWhileBusy)) {
      FCloseAfterCommand = true;
      FController->RequestCancel();
    }
    return;
  }
  SaveSettings();
  event->accept();
}

// ---------------------------------------------------------------------------------------------
// Connection

void TFormMain::btInitClick() {
  RunCommand([this] {
    FController->Pins = edPins->text().trimmed().toStdString();
    const int speed = cbSpeed->currentIndex();
    FController->Init(cbComPort->currentText().toStdString(), uint8_t(speed < 0 ? kDefaultSpeedLevel : speed),
                      cbDebug->isChecked());
  });
}

void TFormMain::btAdapterTestClick() {
  RunCommand([this] {
    FController->Pins = edPins->text().trimmed().toStdString();
    const int speed = cbSpeed->currentIndex();
    FController->AdapterTest(cbComPort->currentText().toStdString(),
                             uint8_t(speed < 0 ? kDefaultSpeedLevel : speed));
  });
}

void TFormMain::btFreeClick() {
  RunCommand([this] { FController->Free(); });
}

void TFormMain::cbComPortChange() {
  const std::string name = cbComPort->currentText().toStdString();
  const QString display = QString::fromStdString(name.empty() ? std::string() : GetPortDisplayName(name));
  memoFriendlyName->setPlainText(display);
  // A USB adapter's name can be longer than the line beside the selector.
  memoFriendlyName->setToolTip(display);
}

void TFormMain::cbSpeedChange() {
  const int speed = cbSpeed->currentIndex();
  if (speed >= 0) FController->SetSpeed(uint8_t(speed));
}

void TFormMain::cbMemoryChange() {
  const bool eeprom = SelectedMemory() == TImageMemory::Eeprom;
  btReadFlash->setText(eeprom ? "Read EEPROM" : "Read flash");
  btWriteFlash->setText(eeprom ? "Write EEPROM" : "Write flash");
  btVerifyFlash->setText(eeprom ? "Verify EEPROM" : "Verify flash");
  btDumpMetaFile->setText(eeprom ? "Dump EEPROM" : "Dump meta file");
  // avr-gcc toolchains name their EEPROM images .eep.
  SDflash->setDefaultSuffix(eeprom ? "eep" : "ucm");
  // Save, Write, Verify and Dump need the chosen memory's image.
  if (!FController->Busy()) UpdateControls();
}

// ---------------------------------------------------------------------------------------------
// Device information

void TFormMain::btReadSigClick() {
  RunCommand([this] { FController->ReadSignature(); });
}

void TFormMain::btReadCalibClick() {
  RunCommand([this] { FController->ReadCalibration(); });
}

void TFormMain::btReadLockClick() {
  RunCommand([this] { FController->ReadLockBits(); });
}

void TFormMain::btReadFuseClick() {
  RunCommand([this] { FController->ReadFuseBits(); });
}

void TFormMain::btEditConfigClick() {
  TConfigChip chip;
  bool read = false;
  RunCommand([this, &chip, &read] { read = FController->ReadConfig(chip) == TCommandResult::Done; });
  if (!read) return;
  TConfigEditor editor(std::move(chip), this);
  const bool write = ConfigEditorHook ? ConfigEditorHook(editor) : editor.exec() == QDialog::Accepted;
  if (!write) return;
  // A setting that ends ISP on the chip is written only after a second question that names it.
  const TConfigRequest request = editor.Request();
  RunCommand([this, &request] { FController->WriteConfig(request, TLockoutConsent::AskAgain); });
}

// ---------------------------------------------------------------------------------------------
// Flash and image

void TFormMain::btReadFlashClick() {
  RunCommand([this] { FController->Read(SelectedMemory()); });
}

void TFormMain::btWriteFlashClick() {
  RunCommand([this] { FController->Write(SelectedMemory()); });
}

void TFormMain::btVerifyFlashClick() {
  RunCommand([this] { FController->Verify(SelectedMemory()); });
}

void TFormMain::btEraseFlashClick() {
  RunCommand([this] { FController->EraseFlash(); });
}

void TFormMain::btLoadFlashFileClick() {
  if (FController->Busy()) return;
  if (cbDebug->isChecked()) {
    RunCommand([this] { FController->LoadDebugImage(); });
    return;
  }
  const QString file_name = RunFileDialog(*ODflash);
  if (file_name.isEmpty()) return;
  RunCommand([this, &file_name] {
    FController->LoadFile(QFile::encodeName(file_name).toStdString(), SelectedMemory());
  });
}

void TFormMain::btSaveFlashFileClick() {
  if (FController->Busy() || !FController->HasImage(SelectedMemory())) return;
  const QString file_name = RunFileDialog(*SDflash);
  if (file_name.isEmpty()) return;
  RunCommand([this, &file_name] {
    FController->SaveFile(QFile::encodeName(file_name).toStdString(), SelectedMemory());
  });
}

void TFormMain::btDumpMetaFileClick() {
  RunCommand([this] { FController->DumpMetaFile(SelectedMemory()); });
}
