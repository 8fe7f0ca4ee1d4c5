// Parsing the `pinlet` command line and the exit statuses.
#include "cli/uCommandLine.h"

#include <gtest/gtest.h>

namespace {

TCliParse Parse(std::vector<std::string> args) {
  return ParseCommandLine(args);
}

TEST(CommandLine, DefaultsAreSim1AtAutoSpeedAndAskingFirst) {
  const TCliParse p = Parse({"signature"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.Command, TCliCommand::Signature);
  EXPECT_EQ(p.Options.Port, "SIM1");
  EXPECT_EQ(p.Options.Speed, kSpeedAuto);
  EXPECT_FALSE(p.Options.Yes || p.Options.NoVerify || p.Options.Debug);
  EXPECT_TRUE(p.Options.DatabasePath.empty());
  EXPECT_TRUE(p.Options.SimChip.empty());
}

TEST(CommandLine, EveryOptionInBothSpellings) {
  TCliParse p =
      Parse({"--port", "/dev/ttyUSB0", "--speed", "sdSlow", "--yes", "--no-verify", "--db", "my.xml",
             "--sim-chip", "ATmega8L", "--debug", "--pins", "reset=~RTS", "write", "fw.hex"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.Command, TCliCommand::Write);
  EXPECT_EQ(p.Options.File, "fw.hex");
  EXPECT_EQ(p.Options.Port, "/dev/ttyUSB0");
  EXPECT_EQ(p.Options.Speed, 4);
  EXPECT_TRUE(p.Options.Yes && p.Options.NoVerify && p.Options.Debug);
  EXPECT_EQ(p.Options.DatabasePath, "my.xml");
  EXPECT_EQ(p.Options.SimChip, "ATmega8L");
  EXPECT_EQ(p.Options.Pins, "reset=~RTS");

  // Options may follow the command, and take "=value".
  p = Parse({"read", "out.ucm", "--port=LPT1", "--speed=0", "-y"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.Command, TCliCommand::Read);
  EXPECT_EQ(p.Options.File, "out.ucm");
  EXPECT_EQ(p.Options.Port, "LPT1");
  EXPECT_EQ(p.Options.Speed, 0);
  EXPECT_TRUE(p.Options.Yes);

  // The memory of the image: flash unless said, in any letter case.
  EXPECT_EQ(p.Options.Memory, TImageMemory::Flash);
  p = Parse({"--memory=EEPROM", "dump", "ee.eep"});
  EXPECT_TRUE(p.Ok && p.Options.Memory == TImageMemory::Eeprom) << p.Error;

  // After "--" a name that starts with a dash is a file.
  p = Parse({"dump", "--", "-odd.hex"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.File, "-odd.hex");
}

TEST(CommandLine, FusesAndLocksTakeWhatToWrite) {
  TCliParse p = Parse({"fuses", "--set", "lfuse=0xE2,hfuse=217,CKDIV8=unprogrammed", "--allow-lockout"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_TRUE(p.Options.SetConfig && p.Options.AllowLockout);
  ASSERT_EQ(p.Options.ConfigRequest.Settings.size(), 3u);
  EXPECT_EQ(p.Options.ConfigRequest.Settings[1].Value, 217);
  p = Parse({"locks", "--set=0b11111100"}); // a bare value is the lock byte
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.ConfigRequest.Settings.at(0).Target, "lock");
  EXPECT_EQ(p.Options.ConfigRequest.Settings.at(0).Value, 0xFC);
}

TEST(CommandLine, SpeedLevelsByNumberOrName) {
  EXPECT_EQ(ParseSpeed("6"), 6);
  EXPECT_EQ(ParseSpeed("sdFastest"), 0);
  EXPECT_EQ(ParseSpeed("SDSLOWEST"), 6);
  EXPECT_EQ(ParseSpeed("sdnormal"), 3);
  EXPECT_EQ(ParseSpeed("auto"), kSpeedAuto);
  EXPECT_EQ(ParseSpeed("AUTO"), kSpeedAuto);
  for (const char* bad : {"7", "-1", "fast", "", "03"}) EXPECT_FALSE(ParseSpeed(bad)) << bad;
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
  struct TCase {
    std::vector<std::string> args;
    const char* expected;
  };
  const TCase cases[] = {
      {{}, "no command"},
      {{"flash"}, "unknown command 'flash'"},
      {{"--frobnicate", "signature"}, "unknown option '--frobnicate'"},
      {{"read"}, "read needs a file name"},
      {{"write", ""}, "write needs a file name"},
      {{"signature", "extra"}, "unexpected argument 'extra'"},
      {{"--speed", "9", "signature"}, "unknown speed level '9'"},
      {{"signature", "--port"}, "--port needs a port name"},
      {{"--yes=no", "erase"}, "--yes takes no value"},
      {{"--memory", "rom", "read", "x.bin"}, "unknown memory 'rom' (use flash or eeprom)"},
      {{"read", "x.eep", "--memory"}, "--memory needs a memory"},
      // The erase is of the whole chip; a memory given to it would be ignored.
      {{"--memory=eeprom", "erase"}, "--memory applies to read, write, verify and dump, not to erase"},
      {{"signature", "--set", "lfuse=0xE2"}, "--set belongs to the fuses and locks commands"},
      {{"fuses", "--set", "lfuse=0x1E2"}, "is no byte value"},
      {{"fuses", "--set", "CKDIV8=maybe"}, "is no bit state for CKDIV8"},
      {{"fuses", "--set", "lfuse"}, "is not NAME=VALUE"},
      {{"fuses", "--allow-lockout"}, "--allow-lockout belongs to fuses --set"},
      {{"signature", "--pins"}, "--pins needs the wiring"},
      {{"signature", "--pins="}, "--pins needs the wiring"},
  };
  for (const auto& c : cases) {
    const TCliParse p = ParseCommandLine(c.args);
    EXPECT_FALSE(p.Ok) << c.expected;
    EXPECT_NE(p.Error.find(c.expected), std::string::npos) << "got: " << p.Error;
  }
}

TEST(CommandLine, HelpNeedsNoCommandAndExitStatuses) {
  TCliParse p = Parse({"--help"});
  EXPECT_TRUE(p.Ok && p.Options.Help);
  p = Parse({"-h", "bogus-is-ignored"});
  EXPECT_TRUE(p.Ok && p.Options.Help);

  EXPECT_EQ(ExitStatusFor(TCommandResult::Done), 0);
  EXPECT_EQ(ExitStatusFor(TCommandResult::Failed), 1);
  EXPECT_EQ(ExitStatusFor(TCommandResult::Declined), 1);
  EXPECT_EQ(ExitStatusFor(TCommandResult::Refused), 1);
  EXPECT_EQ(kExitUsage, 2);
}

TEST(CommandLine, HelpExplainsEveryCommandOptionAndExitStatus) {
  const std::string help = UsageText("pinlet");
  for (const char* word :
       {"ports", "signature", "calibration", "locks", "fuses", "erase", "read FILE", "write FILE"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (const char* word : {"verify FILE", "dump FILE", "--port", "--speed", "--yes", "--no-verify", "--db"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (const char* word : {"--sim-chip", "--debug", "--help", "sim-<chip>.state", "CpuSignatures.xml",
                           "--set", "--allow-lockout"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (const char* word : {"--memory", "eeprom", "*.eep", "*.bin", "EESAVE"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (const char* word :
       {"--pins", "ftdi:SERIAL", "gpio:/dev/gpiochipN", "spi:/dev/spidevB.C", "docs/ports.md"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (const char* word : {"current directory", "Exit status", "Examples"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

} // namespace
