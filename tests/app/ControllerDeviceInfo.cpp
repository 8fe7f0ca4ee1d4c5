// "Read signature", "Read calibration", "Read lock bits", "Read fuse bits" and the database
// failures of the common frame.
#include "tests/app/ControllerFixture.h"

#include <iterator>

namespace {

constexpr uint32_t kRed = 0x0000FF, kBlue = 0xFF0000;

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// A copy of the shipped database with one ASCII fragment replaced (the file is UTF-16).
std::string PatchedDatabase(const std::string& path, const std::string& from, const std::string& to) {
  std::ifstream in(kShippedDatabase, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = bytes.find(Utf16(from));
  if (at == std::string::npos) throw std::runtime_error("fragment not in the database: " + from);
  bytes.replace(at, Utf16(from).size(), Utf16(to));
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST_F(ControllerTest, ReadSignatureShowsBytesAndNameInBlue) {
  Connect("ATmega8");
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{
                            {"Signature: 0x1E:93:07:00\r\n", kBlue},
                            {" - CPU name: ATmega8/ATmega8L/ATmega8A, 8KB Flash, 512Byte EEPROM\r\n", kBlue},
                        }));
  // The target runs again afterwards, and no sink was involved.
  EXPECT_FALSE(Chip().InProgMode());
  EXPECT_TRUE(events_->calls.empty());
}

TEST_F(ControllerTest, ReadCalibrationFusesAndLocksInBlue) {
  Connect("ATmega8");
  EXPECT_EQ(controller_.ReadCalibration(), TCommandResult::Done);
  const TAvrSignature sig{0x1E, 0x93, 0x07, 0x00};
  char expected[64];
  std::snprintf(expected, sizeof expected, "Calibration: 0x%02X:%02X:%02X:%02X\r\n",
                SimCalibrationByte(sig, 0), SimCalibrationByte(sig, 1), SimCalibrationByte(sig, 2),
                SimCalibrationByte(sig, 3));
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{expected, kBlue}}));

  // Factory fuses of an ATmega8: low 0xE1, high 0xD9 (0 = programmed), shown low byte first.
  log_.lines.clear();
  Chip().SetFuses(0xE1, 0xD9, 0xFF);
  EXPECT_EQ(controller_.ReadFuseBits(), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{
                            {"Fuse bits: 0x0000261E\r\n", kBlue},
                            {" - CKSEL1; CKSEL2; CKSEL3; SUT0; BOOTSZ0; BOOTSZ1; SPIEN; \r\n", kBlue},
                        }));

  log_.lines.clear();
  Chip().SetLock(0xFC); // LB1 and LB2 programmed
  EXPECT_EQ(controller_.ReadLockBits(), TCommandResult::Done);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{{"Lock bits: 0x03\r\n", kBlue}, {" - LB1; LB2; \r\n", kBlue}}));
  EXPECT_FALSE(Chip().InProgMode());
}

TEST_F(ControllerTest, FuseReadOfAnUnsupportedTypeIsAnError) {
  // The ATtiny11 is programmed in high-voltage mode only: no fuse read over ISP, and no value.
  Connect("ATtiny11");
  EXPECT_EQ(controller_.ReadFuseBits(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines,
            (std::vector<TLogLine>{
                {"This chip (ATtiny11/ATtiny11L) cannot report its fuse bits over ISP.\r\n", kRed}}));
}

TEST_F(ControllerTest, UnidentifiedChipLeavesTheTargetInProgrammingMode) {
  Connect();
  // The database the commands load no longer knows the connected chip's signature.
  controller_.DatabasePath =
      PatchedDatabase(TempFile("db.xml"), "byte2=\"0x95\" byte3=\"0x0F\"", "byte2=\"0x95\" byte3=\"0x7F\"");
  EXPECT_EQ(controller_.ReadLockBits(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Could not identify this \xC2\xB5"
                                                "C!\r\n",
                                                kRed}}));
  EXPECT_TRUE(Chip().InProgMode());

  log_.lines.clear();
  EXPECT_EQ(controller_.ReadFuseBits(), TCommandResult::Failed);
  EXPECT_EQ(log_.lines.size(), 1u);

  // The signature itself is still shown, with the unknown-chip text and its own line end.
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Done);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[1], (TLogLine{" - CPU name: Unknown Atmel CPU(0x1E:95:0F:00)!\r\n\r\n", kBlue}));
  EXPECT_FALSE(Chip().InProgMode());
}

TEST_F(ControllerTest, DatabaseFailuresAreRedWithTheReadersDetailAndSendNothing) {
  Connect();
  const uint64_t lines_before = SimBus().LineCounters().Total();
  controller_.DatabasePath = work_dir_.Path() + "/missing/CpuSignatures.xml";
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0].colour, kRed);
  EXPECT_EQ(log_.lines[0].text.rfind("Could not initialize interface class(", 0), 0u) << log_.lines[0].text;
  EXPECT_NE(log_.lines[0].text.find("missing/CpuSignatures.xml"), std::string::npos) << log_.lines[0].text;
  EXPECT_EQ(log_.lines[0].text.substr(log_.lines[0].text.size() - 3), ")\r\n");
  EXPECT_EQ(log_.lines[1], (TLogLine{"Unknown error 0x80070057!\r\n", kRed}));
  EXPECT_EQ(SimBus().LineCounters().Total(), lines_before);

  // "Read flash" names the failure with a blank and still clears the rate pane.
  log_.lines.clear();
  EXPECT_EQ(controller_.ReadFlash(), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0].text.rfind("Could not initialize interface class (", 0), 0u) << log_.lines[0].text;
  EXPECT_FALSE(controller_.HasImage());
  ASSERT_FALSE(events_->status_texts.empty());
  EXPECT_EQ(events_->status_texts.back(), "");

  log_.lines.clear();
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0].text.rfind("Could not initialize interface class(", 0), 0u) << log_.lines[0].text;
  EXPECT_TRUE(confirm_.questions.empty());

  log_.lines.clear();
  controller_.DatabasePath =
      PatchedDatabase(TempFile("bad.xml"), "byte2=\"0x95\" byte3=\"0x0F\"", "byte2=\"0x95\" byte3=\"zz\"");
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 3u);
  EXPECT_EQ(log_.lines[0], (TLogLine{"Could not initialize interface class()\r\n", kRed}));
  EXPECT_EQ(log_.lines[1], (TLogLine{"The \"Signatures\" hive contains invalid data!\r\n", kRed}));
  // The reader's detail follows: which entry, what was wrong with it.
  EXPECT_EQ(log_.lines[2].colour, kRed);
  EXPECT_NE(log_.lines[2].text.find("ATmega328P"), std::string::npos) << log_.lines[2].text;
  EXPECT_NE(log_.lines[2].text.find("Invalid value"), std::string::npos) << log_.lines[2].text;

  // A file that does not parse: the parser's reason and line are the whole report, not followed
  // by an "unknown error" that contradicts them.
  log_.lines.clear();
  const std::string broken = TempFile("broken.xml");
  {
    std::FILE* f = std::fopen(broken.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("<CpuSignatures>not UTF-16</CpuSignatures>", f);
    std::fclose(f);
  }
  controller_.DatabasePath = broken;
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_EQ(log_.lines[0].colour, kRed);
  EXPECT_EQ(log_.lines[0].text.rfind("Could not initialize interface class(", 0), 0u) << log_.lines[0].text;
  EXPECT_GT(log_.lines[0].text.size(), std::string("Could not initialize interface class()\r\n").size());
  EXPECT_EQ(SimBus().LineCounters().Total(), lines_before);
}

} // namespace
