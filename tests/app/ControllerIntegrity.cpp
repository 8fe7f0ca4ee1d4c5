// What the commands do with a chip that stops answering, an image without data, a device record of
// impossible sizes and a signature that several records of different sizes share.
#include "tests/app/ControllerFixture.h"
#include "tests/devicedb/DbTestFiles.h"

#include <algorithm>

namespace {

constexpr uint32_t kRed = 0x0000FF;
const std::string kNoAnswer =
    "The \xC2\xB5"
    "C does not answer (no echo of its instructions): check the cable and the target's power!\r\n";

// A database of ATmega8-like records (signature 1E 93 07), each given by name, flash and page size.
struct TDbRecord {
  std::string name;
  int32_t flash, page;
};
std::string DatabaseXml(const std::vector<TDbRecord>& records) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<DB><LocksEnum><E Name=\"LB1\"/></LocksEnum>"
      "<FusesEnum><E Name=\"SPIEN\"/></FusesEnum><Signatures>";
  for (const TDbRecord& r : records)
    xml += "<Cpu><CpuName>" + r.name +
           "</CpuName><CpuType>actATmega8</CpuType>"
           "<Sig byte1=\"0x1E\" byte2=\"0x93\" byte3=\"0x07\" byte4=\"0\"/><FlashOpt EraseBeforeFlash=\"1\"/>"
           "<MemSize Flash=\"" +
           std::to_string(r.flash) + "\" EEPROM=\"512\"/><PageSize Flash=\"" + std::to_string(r.page) +
           "\" EEPROM=\"4\"/></Cpu>";
  return xml + "</Signatures></DB>\n";
}

class ControllerIntegrity : public ControllerTest {
protected:
  std::string Database(const std::string& name, const std::vector<TDbRecord>& records) {
    return db_dir_.WriteXml(name, DatabaseXml(records));
  }
  // SIM1 carries the ATmega8 of a sound database; the commands then read the given one.
  void ConnectMega8(const std::string& command_database) {
    controller_.DatabasePath = Database("sound.xml", {{"ATmega8", 8192, 64}});
    Connect("ATmega8");
    controller_.DatabasePath = command_database;
  }
  bool LogMentions(const std::string& text) const {
    return std::any_of(log_.lines.begin(), log_.lines.end(),
                       [&](const TLogLine& l) { return l.text.find(text) != std::string::npos; });
  }

  dbtest::TempDir db_dir_;
};

TEST_F(ControllerIntegrity, AChipThatStopsAnsweringFailsTheTransferAtItsAddress) {
  struct Case {
    const char* name;
    TCommandResult (TPinletController::*command)();
    const char* failure;
  };
  const std::string micro_c = "\xC2\xB5"
                              "C";
  for (const Case& c : {Case{"read", &TPinletController::ReadFlash, "Error while reading "},
                        Case{"verify", &TPinletController::VerifyFlash, "Error while reading "},
                        Case{"write", &TPinletController::WriteFlash, "Error while writing "}}) {
    for (const uint8_t resting : {uint8_t(1), uint8_t(0)}) {
      SCOPED_TRACE(std::string(c.name) + (resting ? ", MISO floats high" : ", MISO stuck low"));
      TSimChipOptions faults;
      faults.resting_miso = resting;
      ASSERT_EQ(SetSimPortFaults(1, faults), S_OK);
      Connect();
      // Verify compares with what the chip holds, so only the silence can make it fail; the write
      // has something to program (erased flash would need no page written).
      for (size_t i = 0; i < 4096; ++i) Chip().Flash()[i] = uint8_t(i * 7 + 1);
      LoadBytes(std::vector<uint8_t>(Chip().Flash().begin(), Chip().Flash().begin() + 4096));
      // Some 300 words into the flash (an instruction is 32 bits, a word two of them).
      Chip().GoSilentAfterBits(64 * 300);
      EXPECT_EQ((controller_.*c.command)(), TCommandResult::Failed);
      ASSERT_GE(log_.lines.size(), 2u);
      const std::string& failure = log_.lines[log_.lines.size() - 2].text;
      EXPECT_EQ(failure.rfind(c.failure + micro_c + " device flash!(at address 0x", 0), 0u) << failure;
      const unsigned long address = std::stoul(failure.substr(failure.find("0x") + 2), nullptr, 16);
      EXPECT_GT(address, 320u) << failure; // a page's start at the earliest
      EXPECT_LT(address, 700u) << failure;
      EXPECT_EQ(log_.lines.back(), (TLogLine{kNoAnswer, kRed}));
      EXPECT_FALSE(LogMentions("not equal"));
      controller_.Free();
    }
  }
}

TEST_F(ControllerIntegrity, SignatureAndCalibrationOfAnAbsentChipFail) {
  for (const uint8_t resting : {uint8_t(1), uint8_t(0)}) {
    SCOPED_TRACE(resting ? "MISO floats high" : "MISO stuck low");
    TSimChipOptions faults;
    faults.no_chip = true;
    faults.resting_miso = resting;
    ASSERT_EQ(SetSimPortFaults(1, faults), S_OK);
    Connect();
    EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Error reading signature!\r\n", kRed}, {kNoAnswer, kRed}}));
    log_.lines.clear();
    EXPECT_EQ(controller_.ReadCalibration(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines,
              (std::vector<TLogLine>{{"Error reading calibration!\r\n", kRed}, {kNoAnswer, kRed}}));
    // The commands that identify the chip first say why they could not.
    log_.lines.clear();
    EXPECT_EQ(controller_.ReadLockBits(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Could not identify this \xC2\xB5"
                                                  "C!\r\n",
                                                  kRed},
                                                 {kNoAnswer, kRed}}));
    controller_.Free();
  }
  // A chip that is there still reads.
  ResetSimPorts();
  Connect();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(controller_.ReadCalibration(), TCommandResult::Done);
}

TEST_F(ControllerIntegrity, AnImageWithoutDataIsNeitherWrittenNorCompared) {
  Connect();
  const std::string end_record_only = WriteTextFile("empty.hex", ":00000001FF\r\n");
  for (const std::string& file : {WriteTextFile("empty.ucm", ""), end_record_only}) {
    SCOPED_TRACE(file);
    ASSERT_EQ(controller_.LoadFile(file), TCommandResult::Done);
    log_.lines.clear();
    const uint64_t bytes_before = Chip().Counters().bytes;
    EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Failed);
    EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Failed);
    EXPECT_EQ(log_.lines,
              (std::vector<TLogLine>{{"The image is empty: there is nothing to write!\r\n", kRed},
                                     {"The image is empty: there is nothing to compare!\r\n", kRed}}));
    EXPECT_TRUE(confirm_.questions.empty());
    EXPECT_EQ(Chip().Counters().chip_erases, 0u);
    EXPECT_EQ(Chip().Counters().bytes, bytes_before) << "nothing reached the chip";
  }
}

TEST_F(ControllerIntegrity, ARecordOfImpossibleSizesIsRefusedNamingItAndErasesNothing) {
  struct Case {
    TDbRecord record;
    std::string problem;
  };
  for (const Case& c : {Case{{"ATmega8-big-page", 8192, 16384}, "page size 16384 is larger than the flash"},
                        Case{{"ATmega8-odd-page", 8192, 96}, "page size 96 is not a power of two"},
                        Case{{"ATmega8-ragged", 8192 + 32, 64}, "is not a whole number of 64-byte pages"},
                        Case{{"ATmega8-2GB", 0x7FFFFFFF, 64}, "flash size 2147483647 is not a size"}}) {
    SCOPED_TRACE(c.record.name);
    ConnectMega8(Database(c.record.name + ".xml", {c.record}));
    LoadBytes(PatternBytes(256));
    const std::string named = "The device record \"" + c.record.name + "\" is unusable: its ";
    for (auto command : {&TPinletController::WriteFlash, &TPinletController::VerifyFlash,
                         &TPinletController::EraseFlash, &TPinletController::ReadFlash}) {
      log_.lines.clear();
      EXPECT_EQ((controller_.*command)(), TCommandResult::Failed);
      EXPECT_TRUE(LogMentions(named)) << log_.lines.back();
      EXPECT_TRUE(LogMentions(c.problem)) << log_.lines.back();
    }
    EXPECT_TRUE(confirm_.questions.empty());
    EXPECT_EQ(Chip().Counters().chip_erases, 0u);
    EXPECT_EQ(Chip().Counters().page_writes, 0u);
    controller_.Free();
  }

  // Nor does the simulation build a chip of 2 GB: the port does not open, and says why.
  controller_.DatabasePath = Database("huge.xml", {{"ATmega8", 0x7FFFFFFF, 64}});
  ASSERT_EQ(SetSimPortChip(1, "ATmega8"), S_OK);
  log_.lines.clear();
  EXPECT_EQ(controller_.Init("SIM1", 0, false), TCommandResult::Failed);
  EXPECT_FALSE(controller_.HasBus());
  EXPECT_TRUE(LogMentions("The device record \"ATmega8\" is unusable: its flash size 2147483647"))
      << log_.lines.back();
}

TEST_F(ControllerIntegrity, ASignatureOfRecordsWithDifferentSizesNeedsTheUsersWord) {
  ConnectMega8(Database("two.xml", {{"ATmega8", 8192, 64}, {"ATmega8-twin", 16384, 128}}));
  LoadBytes(PatternBytes(256));
  const std::string question =
      "The signature matches ATmega8 (8192 bytes of flash, 64-byte pages), ATmega8-twin "
      "(16384 bytes of flash, 128-byte pages). Shall I go on as ATmega8 (8192 bytes of "
      "flash, 64-byte pages)?";
  confirm_.answer = false;
  for (auto command :
       {&TPinletController::WriteFlash, &TPinletController::ReadFlash, &TPinletController::EraseFlash}) {
    confirm_.questions.clear();
    log_.lines.clear();
    EXPECT_EQ((controller_.*command)(), TCommandResult::Declined);
    ASSERT_FALSE(confirm_.questions.empty());
    EXPECT_EQ(confirm_.questions.front(), question);
    EXPECT_TRUE(
        LogHas({"The signature 0x1E:93:07 matches 2 device records whose sizes differ: ATmega8 (8192 bytes "
                "of flash, 64-byte pages), ATmega8-twin (16384 bytes of flash, 128-byte pages)\r\n",
                kRed}));
  }
  EXPECT_EQ(Chip().Counters().chip_erases, 0u);
  EXPECT_EQ(Chip().Counters().page_writes, 0u);

  // Yes goes on with the first record.
  confirm_.answer = true;
  EXPECT_EQ(controller_.ReadFlash(), TCommandResult::Done);
  EXPECT_EQ(MetaBytes().size(), 8192u);

  // Records that agree on the sizes need no word.
  controller_.DatabasePath = Database("agree.xml", {{"ATmega8", 8192, 64}, {"ATmega8L", 8192, 64}});
  confirm_.questions.clear();
  EXPECT_EQ(controller_.ReadFlash(), TCommandResult::Done);
  EXPECT_TRUE(confirm_.questions.empty());
}

} // namespace
