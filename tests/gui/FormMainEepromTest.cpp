// The memory selector: the image buttons follow it, each memory keeps its own image, and the
// choice survives a restart.
#include "sim/uSpiBus_Sim.h"
#include "tests/gui/FormMainFixture.h"

TEST_F(FormMainTest, MemorySelectorTurnsTheImageButtonsToTheEepromAndIsRemembered) {
  Open();
  Connect();
  LoadImage("flash!");
  QComboBox* memory = Child<QComboBox>("cbMemory");
  memory->setCurrentIndex(memory->findText("EEPROM"));
  EXPECT_EQ(Child<QPushButton>("btWriteFlash")->text(), "Write EEPROM");
  for (const char* name : {"btWriteFlash", "btVerifyFlash", "btSaveFlashFile", "btDumpMetaFile"})
    EXPECT_FALSE(Enabled(name)) << name << ": there is no EEPROM image yet";
  LoadImage("EEPROM", "cfg.bin");
  Click("btWriteFlash");
  const std::vector<uint8_t>& eeprom = dynamic_cast<TSpiBus_Sim&>(*Bus()).Chip()->Eeprom();
  EXPECT_EQ(std::string(eeprom.begin(), eeprom.begin() + 6), "EEPROM") << LogPlainText();

  memory->setCurrentIndex(memory->findText("Flash"));
  Log()->clear();
  Click("btDumpMetaFile");
  EXPECT_EQ(LogPlainText(), "0x0000:6C66 7361 2168 ") << "the flash image loaded first";
  memory->setCurrentIndex(memory->findText("EEPROM"));
  CloseAndDestroy();
  Open();
  EXPECT_EQ(Child<QComboBox>("cbMemory")->currentText(), "EEPROM");
  EXPECT_EQ(Child<QPushButton>("btReadFlash")->text(), "Read EEPROM");
}
