// The window's fuse and lock editor: every bit the database describes, by name and by its
// vocabulary description, as a check box (checked = programmed), with the raw byte beside it in
// hexadecimal as the chip stores it. What a write would do (new values, adjustments, warnings,
// refusals) is planned by the controller's layer as the user edits and shown below the bytes; the
// write itself, with its questions, is the controller's.
#pragma once
#include "app/uFuseEdit.h"

#include <QDialog>

#include <array>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TConfigEditor : public QDialog {
public:
  explicit TConfigEditor(TConfigChip chip, QWidget* parent = nullptr);

  // The request of the edited values: one whole byte for each byte that differs from what the
  // chip holds (or that was edited, where the chip cannot report it).
  TConfigRequest Request() const;
  // The plan of Request() on the chip, as shown.
  TConfigPlan Plan() const;
  // The edited value of a byte (0 = programmed).
  uint8_t Value(TConfigByteId id) const { return values_[size_t(id)]; }

private:
  struct TByteControls {
    QLineEdit* Raw = nullptr;
    std::vector<std::pair<uint8_t, QCheckBox*>> Bits;
  };
  void SetValue(TConfigByteId id, uint8_t value);
  void ShowPlan();

  TConfigChip chip_;
  std::array<uint8_t, kConfigByteCount> values_{0xFF, 0xFF, 0xFF, 0xFF};
  std::array<bool, kConfigByteCount> edited_{};
  std::array<TByteControls, kConfigByteCount> controls_;
  QPlainTextEdit* memoPlan = nullptr;
  QPushButton* btWrite = nullptr;
  bool updating_ = false;
};
