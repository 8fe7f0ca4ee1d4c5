// The uploader command line as IDEs and build systems write it, and its errors.
#include "cli/uUploadIds.h"
#include "cli/uUploadOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr const char* kArduinoCore = "/usr/share/arduino/hardware/arduino/avr";

TUploadParse Parse(std::vector<std::string> args) {
  return ParseUploadCommandLine(args);
}

// A pattern line of the Arduino core's platform.txt with its {names} replaced, split into the
// arguments the IDE passes: blanks separate, double quotes group and are removed.
std::vector<std::string> RecipeArgs(const std::string& key,
                                    const std::map<std::string, std::string>& values) {
  std::ifstream file(std::string(kArduinoCore) + "/platform.txt");
  std::string line, pattern;
  while (std::getline(file, line))
    if (line.rfind(key + "=", 0) == 0) pattern = line.substr(key.size() + 1);
  std::string expanded;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{') {
      const size_t close = pattern.find('}', i);
      const std::string name = pattern.substr(i + 1, close - i - 1);
      const auto it = values.find(name);
      if (it == values.end())
        ADD_FAILURE() << "the recipe names {" << name << "}, which the test does not set";
      expanded += it == values.end() ? "" : it->second;
      i = close;
    } else {
      expanded += pattern[i];
    }
  }
  std::vector<std::string> args;
  std::string arg;
  bool quoted = false, any = false;
  for (const char c : expanded) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) args.push_back(arg);
      arg.clear();
      any = false;
    } else {
      arg += c;
      any = true;
    }
  }
  if (any) args.push_back(arg);
  if (!args.empty()) args.erase(args.begin()); // the program
  return args;
}

std::map<std::string, std::string> UnoWithParallelCable() {
  // The Uno's bootloader values of boards.txt and the "Parallel Programmer" of programmers.txt.
  return {{"cmd.path", "/usr/bin/pinlet-upload"},
          {"config.path", "/etc/avrdude.conf"},
          {"program.verbose", "-v"},
          {"program.verify", ""},
          {"erase.verbose", "-q -q"},
          {"bootloader.verbose", "-v"},
          {"upload.verbose", "-v"},
          {"upload.verify", "-V"},
          {"build.mcu", "atmega328p"},
          {"protocol", "dapa"},
          {"upload.protocol", "stk200"},
          {"serial.port", "/dev/parport0"},
          {"upload.speed", "115200"},
          {"program.extra_params", "-F"},
          {"build.path", "/tmp/arduino-build-1"},
          {"build.project_name", "Blink.ino"},
          {"bootloader.unlock_bits", "0x3F"},
          {"bootloader.lock_bits", "0x0F"},
          {"bootloader.extended_fuses", "0xFD"},
          {"bootloader.high_fuses", "0xDE"},
          {"bootloader.low_fuses", "0xFF"},
          {"bootloader.file", "optiboot/optiboot_atmega328.hex"},
          {"runtime.platform.path", kArduinoCore}};
}

TEST(UploadOptions, TheArduinoCoreRecipesParse) {
  if (!std::ifstream(std::string(kArduinoCore) + "/platform.txt"))
    GTEST_SKIP() << "no Arduino AVR core installed";
  const auto values = UnoWithParallelCable();

  // Upload Using Programmer.
  TUploadParse p = Parse(RecipeArgs("tools.avrdude.program.pattern", values));
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.Part, "atmega328p");
  EXPECT_EQ(p.Options.Programmer, "dapa");
  EXPECT_EQ(p.Options.ConfigFiles, std::vector<std::string>{"/etc/avrdude.conf"});
  EXPECT_TRUE(p.Options.ConfigReplaces);
  EXPECT_EQ(p.Options.Verbose, 1);
  EXPECT_TRUE(p.Options.Force);
  EXPECT_FALSE(p.Options.NoVerify || p.Options.Erase || p.Options.NoAutoErase);
  ASSERT_EQ(p.Options.Actions.size(), 1u);
  EXPECT_EQ(p.Options.Actions[0].Memory, TUploadMemory::Flash);
  EXPECT_EQ(p.Options.Actions[0].Op, TUploadOp::Write);
  EXPECT_EQ(p.Options.Actions[0].File, "/tmp/arduino-build-1/Blink.ino.hex");
  EXPECT_EQ(p.Options.Actions[0].Format, TUploadFormat::IntelHex);

  // Burn Bootloader, first step: erase, then lock and fuses, in the recipe's order.
  p = Parse(RecipeArgs("tools.avrdude.erase.pattern", values));
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.Quiet, 2);
  EXPECT_TRUE(p.Options.Erase);
  ASSERT_EQ(p.Options.Actions.size(), 4u);
  const TUploadMemory order[] = {TUploadMemory::Lock, TUploadMemory::ExtFuse, TUploadMemory::HighFuse,
                                 TUploadMemory::LowFuse};
  const char* bytes[] = {"0x3F", "0xFD", "0xDE", "0xFF"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(p.Options.Actions[i].Memory, order[i]) << i;
    EXPECT_EQ(p.Options.Actions[i].Op, TUploadOp::Write) << i;
    EXPECT_EQ(p.Options.Actions[i].Format, TUploadFormat::Immediate) << i;
    EXPECT_EQ(p.Options.Actions[i].File, bytes[i]) << i;
  }

  // Burn Bootloader, second step: the bootloader, then the lock bits.
  p = Parse(RecipeArgs("tools.avrdude.bootloader.pattern", values));
  ASSERT_TRUE(p.Ok) << p.Error;
  ASSERT_EQ(p.Options.Actions.size(), 2u);
  EXPECT_EQ(p.Options.Actions[0].File,
            std::string(kArduinoCore) + "/bootloaders/optiboot/optiboot_atmega328.hex");
  EXPECT_EQ(p.Options.Actions[1].Memory, TUploadMemory::Lock);
  EXPECT_EQ(p.Options.Actions[1].File, "0x0F");

  // The serial upload, whatever cable it names, with its port, baud rate, -D and -V.
  p = Parse(RecipeArgs("tools.avrdude.upload.pattern", values));
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.Port, "/dev/parport0");
  EXPECT_EQ(p.Options.Baud, "115200");
  EXPECT_TRUE(p.Options.NoAutoErase && p.Options.NoVerify);
}

TEST(UploadOptions, ValuesAttachedOrSeparateAndTheListForms) {
  TUploadParse p = Parse({"-pm328p",
                          "-c",
                          "stk200",
                          "-P",
                          "LPT1",
                          "-B",
                          "125kHz",
                          "-b19200",
                          "-Ereset",
                          "-x",
                          "one",
                          "-xtwo",
                          "-n",
                          "-qq",
                          "-vvv",
                          "-eDVF",
                          "--allow-lockout",
                          "--db=my.xml",
                          "-U",
                          "eeprom:r:-:h",
                          "-Uflash:v:fw.elf:e"});
  ASSERT_TRUE(p.Ok) << p.Error;
  const TUploadOptions& o = p.Options;
  EXPECT_EQ(o.Part, "m328p");
  EXPECT_EQ(o.Programmer, "stk200");
  EXPECT_EQ(o.Port, "LPT1");
  EXPECT_EQ(o.BitClock, "125kHz");
  EXPECT_EQ(o.Baud, "19200");
  EXPECT_EQ(o.ExitReset, true);
  EXPECT_EQ(o.Extended, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(o.DryRun && o.AllowLockout && o.Erase && o.NoAutoErase && o.NoVerify && o.Force);
  EXPECT_EQ(o.Quiet, 2);
  EXPECT_EQ(o.Verbose, 3);
  EXPECT_EQ(o.DatabasePath, "my.xml");
  ASSERT_EQ(o.Actions.size(), 2u);
  EXPECT_EQ(o.Actions[0].Op, TUploadOp::Read);
  EXPECT_EQ(o.Actions[0].File, "-");
  EXPECT_EQ(o.Actions[0].Format, TUploadFormat::Hex);
  EXPECT_EQ(o.Actions[1].Op, TUploadOp::Verify);
  EXPECT_EQ(o.Actions[1].Format, TUploadFormat::Elf);
  EXPECT_EQ(o.Actions[1].Text, "flash:v:fw.elf:e");

  p = Parse(
      {"-p", "m8", "-c", "dapa", "-E", "noreset,vcc", "-B", "2.5", "--db", "x.xml", "-C", "+mine.conf"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_EQ(p.Options.ExitReset, false);
  EXPECT_EQ(p.Options.BitClock, "2.5");
  EXPECT_EQ(p.Options.DatabasePath, "x.xml");
  EXPECT_FALSE(p.Options.ConfigReplaces); // only added to: the built-in table stays first
  EXPECT_EQ(p.Options.ConfigFiles, std::vector<std::string>{"+mine.conf"});

  // -c ? and -p ? need neither a part nor a programmer.
  for (const auto& args : std::vector<std::vector<std::string>>{{"-c", "?"}, {"-c?"}}) {
    p = Parse(args);
    ASSERT_TRUE(p.Ok) << p.Error;
    EXPECT_TRUE(p.Options.ListProgrammers);
    EXPECT_FALSE(p.Options.ListParts);
  }
  p = Parse({"-p", "?"});
  ASSERT_TRUE(p.Ok) << p.Error;
  EXPECT_TRUE(p.Options.ListParts);
  for (const char* help : {"-h", "--help", "-?"}) {
    p = Parse({help});
    ASSERT_TRUE(p.Ok) << help << ": " << p.Error;
    EXPECT_TRUE(p.Options.Help) << help;
  }
}

TEST(UploadOptions, ActionsTakeFileNamesWithColons) {
  TUploadAction a;
  std::string error;
  ASSERT_TRUE(ParseUploadAction("flash:w:C:\\fw\\blink.hex", a, error)) << error;
  EXPECT_EQ(a.File, "C:\\fw\\blink.hex");
  EXPECT_EQ(a.Format, TUploadFormat::Auto);
  ASSERT_TRUE(ParseUploadAction("flash:w:C:\\fw\\blink.hex:i", a, error)) << error;
  EXPECT_EQ(a.File, "C:\\fw\\blink.hex");
  EXPECT_EQ(a.Format, TUploadFormat::IntelHex);
  ASSERT_TRUE(ParseUploadAction("eeprom:r:/tmp/a:b/out.srec:s", a, error)) << error;
  EXPECT_EQ(a.Memory, TUploadMemory::Eeprom);
  EXPECT_EQ(a.File, "/tmp/a:b/out.srec");
  EXPECT_EQ(a.Format, TUploadFormat::Srec);
  ASSERT_TRUE(ParseUploadAction("lfuse:w:0xE2:m", a, error)) << error;
  EXPECT_EQ(a.Memory, TUploadMemory::LowFuse);
  EXPECT_EQ(a.File, "0xE2");
  ASSERT_TRUE(ParseUploadAction("calibration:r:cal.txt:d", a, error)) << error;
  EXPECT_EQ(a.Memory, TUploadMemory::Calibration);
  EXPECT_EQ(a.Format, TUploadFormat::Decimal);
  ASSERT_TRUE(ParseUploadAction("lockbits:v:0x0F:m", a, error)) << error;
  EXPECT_EQ(a.Memory, TUploadMemory::Lock);
  // A bare file name is a flash write, a drive-letter path included.
  for (const char* bare : {"blink.hex", "C:\\blink.hex"}) {
    ASSERT_TRUE(ParseUploadAction(bare, a, error)) << bare << ": " << error;
    EXPECT_EQ(a.Memory, TUploadMemory::Flash);
    EXPECT_EQ(a.Op, TUploadOp::Write);
    EXPECT_EQ(a.File, bare);
  }
  const char* memories[] = {"flash", "eeprom", "lfuse",     "hfuse",      "efuse",
                            "fuse",  "lock",   "signature", "calibration"};
  for (const char* memory : memories)
    EXPECT_TRUE(ParseUploadAction(std::string(memory) + ":r:x.bin:r", a, error)) << memory << ": " << error;
}

TEST(UploadOptions, ErrorsSayWhatIsWrong) {
  TUploadAction a;
  std::string error;
  EXPECT_FALSE(ParseUploadAction("flsh:w:x.hex", a, error));
  EXPECT_NE(error.find("\"flsh\" is no memory"), std::string::npos) << error;
  EXPECT_NE(error.find("flash, eeprom, lfuse, hfuse, efuse, fuse, lock, signature, calibration"),
            std::string::npos)
      << error;
  EXPECT_FALSE(ParseUploadAction("flash:x:fw.hex", a, error));
  EXPECT_NE(error.find("r (read), w (write) or v (verify)"), std::string::npos) << error;
  EXPECT_FALSE(ParseUploadAction("flash:w:fw.hex:z", a, error));
  EXPECT_NE(error.find("\"z\" is no file format"), std::string::npos) << error;
  EXPECT_FALSE(ParseUploadAction("flash:w", a, error));
  EXPECT_NE(error.find("no file"), std::string::npos) << error;
  EXPECT_FALSE(ParseUploadAction("flash:w::i", a, error));
  EXPECT_FALSE(ParseUploadAction("lfuse:r:0xFF:m", a, error));
  EXPECT_NE(error.find("format m"), std::string::npos) << error;

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-c", "dapa", "-U", "flash:w:x.hex"}, "no part given"},
      {{"-p", "m8", "-U", "flash:w:x.hex"}, "no programmer given"},
      {{"-p", "m8", "-c", "dapa", "-Z"}, "unknown option -Z"},
      {{"-p", "m8", "-c", "dapa", "--frobnicate"}, "unknown option --frobnicate"},
      {{"-p", "m8", "-c", "dapa", "fw.hex"}, "\"fw.hex\" is no option"},
      {{"-p", "m8", "-c"}, "-c needs a value"},
      {{"-p", "m8", "-c", "dapa", "-E", "sometimes"}, "-E takes reset"},
      {{"-p", "m8", "-c", "dapa", "-B", "fast"}, "-B takes microseconds"},
      {{"-p", "m8", "-c", "dapa", "-B", "10parsecs"}, "-B takes microseconds"},
      {{"-p", "m8", "-c", "dapa", "-b", "9600baud"}, "-b takes a baud rate"},
      {{"-p", "m8", "-c", "dapa", "-C", "+"}, "-C needs a configuration file"},
      {{"-p", "m8", "-c", "dapa", "--db"}, "--db needs"},
      {{"-p", "m8", "-c", "dapa", "-U", "ram:w:x.hex"}, "is no memory"},
  };
  for (const auto& [args, expected] : cases) {
    const TUploadParse p = Parse(args);
    EXPECT_FALSE(p.Ok) << expected;
    EXPECT_NE(p.Error.find(expected), std::string::npos) << "wanted \"" << expected << "\", got: " << p.Error;
    EXPECT_EQ(p.Error.find('\n'), std::string::npos) << p.Error;
  }
}

TEST(UploadOptions, UsageListsOptionsProgrammersAndParts) {
  const std::string text =
      UploadUsageText("pinlet-upload", {"ATmega328P", "ATtiny85/ATtiny85V", "AT90USB1286/AT90USB1287"});
  EXPECT_EQ(text.rfind("Usage: pinlet-upload -p PART -c PROGRAMMER", 0), 0u) << text;
  for (const char* option : {"-p PART", "-c PROGRAMMER", "-C FILE", "-P PORT", "-b BAUD", "-B BITCLOCK",
                             "-e ", "-D ", "-V ", "-F ", "-q", "-v", "-E reset|noreset", "-x OPTION", "-n ",
                             "-U memory:op:file", "--allow-lockout", "--db FILE", "--help"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
  for (const TUploadProgrammer& programmer : BuiltInUploadProgrammers()) {
    const size_t at = text.find("\n  " + programmer.Id + " ");
    ASSERT_NE(at, std::string::npos) << programmer.Id;
    EXPECT_NE(text.find(programmer.Description, at), std::string::npos) << programmer.Id;
  }
  EXPECT_NE(text.find(" m328p t85 usb1286\n"), std::string::npos) << text;
  EXPECT_NE(UploadUsageText("pinlet-upload", {}).find("no device database"), std::string::npos);
}

} // namespace
