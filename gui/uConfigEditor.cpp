#include "gui/uConfigEditor.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

QString HexText(uint8_t value) {
  return QString("0x%1").arg(value, 2, 16, QLatin1Char('0')).toUpper().replace("0X", "0x");
}

} // namespace

TConfigEditor::TConfigEditor(TConfigChip chip, QWidget* parent) : QDialog(parent), chip_(std::move(chip)) {
  setObjectName("ConfigEditor");
  setWindowTitle(QString::fromStdString("Fuses and lock bits of " + chip_.ChipName));
  auto* layout = new QVBoxLayout(this);

  auto* bytesArea = new QScrollArea(this);
  bytesArea->setWidgetResizable(true);
  auto* bytes = new QWidget(bytesArea);
  auto* bytesLayout = new QVBoxLayout(bytes);
  for (TConfigByte& byte : chip_.Bytes) {
    if (!byte.Present) continue;
    const size_t index = size_t(byte.Id);
    const QString name = ConfigByteName(byte.Id);
    values_[index] = byte.Current.value_or(0xFF);
    auto* group = new QGroupBox(QString("%1 (%2)").arg(name, ConfigByteLabel(byte.Id)), bytes);
    group->setObjectName("gb_" + name);
    auto* grid = new QGridLayout(group);
    auto* raw = new QLineEdit(HexText(values_[index]), group);
    raw->setObjectName("ed_" + name);
    raw->setValidator(new QRegularExpressionValidator(QRegularExpression("(0[xX])?[0-9A-Fa-f]{0,2}"), raw));
    raw->setMaximumWidth(70);
    raw->setEnabled(byte.Writable);
    grid->addWidget(new QLabel("Value:", group), 0, 0);
    grid->addWidget(raw, 0, 1);
    auto* current =
        new QLabel(byte.Current ? "now " + HexText(*byte.Current) : "this chip cannot report it", group);
    current->setObjectName("lbl_" + name);
    grid->addWidget(current, 0, 2);
    controls_[index].Raw = raw;
    int row = 1;
    for (const TConfigBit& bit : byte.Bits) {
      QString text = QString::fromStdString(bit.Name);
      if (!bit.Description.empty())
        text += QString::fromUtf8(" \u2013 ") + QString::fromStdString(bit.Description);
      if (!bit.Writable) text += " (not writable over ISP)";
      auto* box = new QCheckBox(text, group);
      box->setObjectName("cb_" + name + "_" + QString::fromStdString(bit.Name));
      box->setToolTip(QString("bit %1; checked = programmed (0)").arg(bit.Bit));
      box->setEnabled(byte.Writable && bit.Writable);
      grid->addWidget(box, row++, 0, 1, 3);
      controls_[index].Bits.push_back({bit.Bit, box});
      const TConfigByteId id = byte.Id;
      const uint8_t at = bit.Bit;
      connect(box, &QCheckBox::toggled, this, [this, id, at](bool programmed) {
        if (updating_) return;
        const uint8_t value = values_[size_t(id)];
        SetValue(id, programmed ? uint8_t(value & ~(1u << at)) : uint8_t(value | 1u << at));
      });
    }
    const TConfigByteId id = byte.Id;
    connect(raw, &QLineEdit::textEdited, this, [this, id](const QString& text) {
      bool ok = false;
      QString digits = text;
      if (digits.startsWith("0x", Qt::CaseInsensitive)) digits = digits.mid(2);
      const uint value = digits.toUInt(&ok, 16);
      if (ok && !digits.isEmpty()) SetValue(id, uint8_t(value));
    });
    bytesLayout->addWidget(group);
  }
  bytesLayout->addStretch(1);
  bytesArea->setWidget(bytes);
  layout->addWidget(bytesArea, 3);

  memoPlan = new QPlainTextEdit(this);
  memoPlan->setObjectName("memoPlan");
  memoPlan->setReadOnly(true);
  layout->addWidget(memoPlan, 1);

  auto* buttons = new QDialogButtonBox(this);
  btWrite = buttons->addButton("Write", QDialogButtonBox::AcceptRole);
  btWrite->setObjectName("btWriteConfig");
  buttons->addButton(QDialogButtonBox::Close)->setObjectName("btCloseConfig");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  for (const TConfigByte& byte : chip_.Bytes)
    if (byte.Present) SetValue(byte.Id, values_[size_t(byte.Id)]);
  edited_ = {};
  ShowPlan();
  resize(640, 680);
}

void TConfigEditor::SetValue(TConfigByteId id, uint8_t value) {
  const size_t index = size_t(id);
  values_[index] = value;
  edited_[index] = true;
  updating_ = true;
  TByteControls& controls = controls_[index];
  if (controls.Raw && !controls.Raw->hasFocus()) controls.Raw->setText(HexText(value));
  for (auto& [bit, box] : controls.Bits) box->setChecked((value >> bit & 1) == 0);
  updating_ = false;
  ShowPlan();
}

TConfigRequest TConfigEditor::Request() const {
  TConfigRequest request;
  for (const TConfigByte& byte : chip_.Bytes) {
    const size_t index = size_t(byte.Id);
    if (!byte.Present || !byte.Writable) continue;
    if (byte.Current ? values_[index] == *byte.Current : !edited_[index]) continue;
    TConfigSetting setting;
    setting.Target = ConfigByteName(byte.Id);
    setting.Value = values_[index];
    setting.Text = setting.Target + "=" + HexText(values_[index]).toStdString();
    request.Settings.push_back(setting);
  }
  return request;
}

TConfigPlan TConfigEditor::Plan() const {
  return PlanConfigChange(chip_, Request());
}

void TConfigEditor::ShowPlan() {
  if (!memoPlan) return;
  const TConfigPlan plan = Plan();
  QStringList lines;
  for (const TConfigBytePlan& b : plan.Bytes)
    if (b.Write)
      lines << QString("%1: %2 -> %3")
                   .arg(ConfigByteName(b.Id), b.Current ? HexText(*b.Current) : "?", HexText(b.New));
  for (const auto* texts : {&plan.Notes, &plan.Warnings, &plan.Errors})
    for (const std::string& text : *texts) lines << QString::fromStdString(text);
  for (const std::string& text : plan.Lockouts)
    lines << QString::fromStdString(text) + " (written only after a second question)";
  if (lines.isEmpty()) lines << "Nothing to write: edit a bit or a value.";
  memoPlan->setPlainText(lines.join("\n"));
  btWrite->setEnabled(plan.HasWrites() && plan.Errors.empty());
}
