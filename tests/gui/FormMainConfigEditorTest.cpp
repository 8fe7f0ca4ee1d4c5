// The fuse and lock editor, against the simulated ATmega328P on SIM1.
#include "gui/uConfigEditor.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/gui/FormMainFixture.h"

#include <QLineEdit>

namespace {

TSimAvrChip& SimChip(TSpiBusBase* bus) {
  return *dynamic_cast<TSpiBus_Sim&>(*bus).Chip();
}

} // namespace

TEST_F(FormMainTest, FuseEditorListsEveryDescribedBitAndWritesWhatWasEdited) {
  Open();
  Connect();
  SimChip(Bus()).SetFuses(0x62, 0xD9, 0xFF);
  bool shown = false;
  form_->ConfigEditorHook = [&](TConfigEditor& editor) {
    shown = true;
    // Every described bit, named with its description; checked = programmed.
    auto* ckdiv8 = editor.findChild<QCheckBox*>("cb_lfuse_CKDIV8");
    if (!ckdiv8) {
      ADD_FAILURE() << "no CKDIV8 box";
      return false;
    }
    EXPECT_TRUE(ckdiv8->text().contains("System clock divided by 8")) << ckdiv8->text().toStdString();
    EXPECT_TRUE(ckdiv8->isChecked());
    EXPECT_EQ(editor.findChildren<QCheckBox*>().size(), 8 + 8 + 3 + 6);
    EXPECT_TRUE(editor.findChild<QCheckBox*>("cb_lock_BLB12"));
    // A bit and the raw value follow each other.
    ckdiv8->setChecked(false);
    EXPECT_EQ(editor.findChild<QLineEdit*>("ed_lfuse")->text(), "0xE2");
    EXPECT_EQ(editor.Value(TConfigByteId::LowFuse), 0xE2);
    auto* efuse = editor.findChild<QLineEdit*>("ed_efuse");
    efuse->setText("0x05");
    emit efuse->textEdited("0x05");
    const std::string plan = editor.findChild<QPlainTextEdit*>("memoPlan")->toPlainText().toStdString();
    EXPECT_NE(plan.find("lfuse: 0x62 -> 0xE2"), std::string::npos) << plan;
    EXPECT_NE(plan.find("0x05 becomes 0xFD"), std::string::npos) << plan;
    EXPECT_TRUE(editor.findChild<QPushButton*>("btWriteConfig")->isEnabled());
    return true;
  };
  Click("btEditConfig");
  ASSERT_TRUE(shown);
  EXPECT_EQ(SimChip(Bus()).Fuse(0), 0xE2);
  EXPECT_EQ(SimChip(Bus()).Fuse(2), 0xFD);
  EXPECT_EQ(SimChip(Bus()).Counters().fuse_writes, 2u);
  EXPECT_EQ(questions_.size(), 1u);

  // A lock-out setting is written only after a second question that names it.
  form_->ConfigEditorHook = [](TConfigEditor& editor) {
    editor.findChild<QCheckBox*>("cb_hfuse_RSTDISBL")->setChecked(true);
    return true;
  };
  questions_.clear();
  answers_ = {true, false};
  Click("btEditConfig");
  ASSERT_EQ(questions_.size(), 2u);
  EXPECT_NE(questions_[1].find("RSTDISBL"), std::string::npos) << questions_[1];
  EXPECT_EQ(SimChip(Bus()).Fuse(1), 0xD9);
}
