// The memory selector: the image buttons follow it, each memory keeps its own image, and the
// choice survives a restart.
#include "sim/uSpiBus_Sim.h"
#include "tests/gui/FormMainFixture.h"

#include <QFileDialog>

#include <sstream>

TEST_F(FormMainTest, MemorySelectorTurnsTheImageButtonsToTheEepromAndIsRemembered) {
  Open();
  Connect();
  LoadImage("flash!");
  QComboBox* memory = Child<QComboBox>("cbMemory");
  memory->setCurrentIndex(memory->findText("EEPROM"));
  EXPECT_EQ(Child<QPushButton>("btReadFlash")->text(), "Read EEPROM");
  EXPECT_EQ(Child<QPushButton>("btWriteFlash")->text(), "Write EEPROM");
  // No EEPROM image yet: what needs one is off, whatever the flash image.
  for (const char* name : {"btWriteFlash", "btVerifyFlash", "btSaveFlashFile", "btDumpMetaFile"})
    EXPECT_FALSE(Enabled(name)) << name;

  dialog_answer_ = QString::fromStdString(WriteFile("cfg.bin", "EEPROM"));
  Click("btLoadFlashFile");
  EXPECT_TRUE(Enabled("btWriteFlash"));
  Click("btWriteFlash");
  auto& chip = *dynamic_cast<TSpiBus_Sim&>(*Bus()).Chip();
  EXPECT_EQ(std::string(chip.Eeprom().begin(), chip.Eeprom().begin() + 6), "EEPROM") << LogPlainText();
  EXPECT_EQ(questions_.back(), "Shall I really overwrite the EEPROM?");
  QString suffix;
  form_->FileDialogHook = [&](QFileDialog& dialog) {
    suffix = dialog.defaultSuffix();
    return QString();
  };
  Click("btSaveFlashFile");
  EXPECT_EQ(suffix, "eep");

  // Back on the flash, its image is the one loaded first.
  memory->setCurrentIndex(memory->findText("Flash"));
  EXPECT_EQ(Child<QPushButton>("btReadFlash")->text(), "Read flash");
  Log()->clear();
  Click("btDumpMetaFile");
  EXPECT_EQ(LogPlainText(), "0x0000:6C66 7361 2168 ");

  memory->setCurrentIndex(memory->findText("EEPROM"));
  CloseAndDestroy();
  std::ifstream in(SettingsFile(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("[MEMORY]\r\nSelected=\"eeprom\"\r\n"), std::string::npos) << text.str();
  Open();
  EXPECT_EQ(Child<QComboBox>("cbMemory")->currentText(), "EEPROM");
  EXPECT_EQ(Child<QPushButton>("btVerifyFlash")->text(), "Verify EEPROM");
}
