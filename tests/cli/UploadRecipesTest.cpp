// The reader of the Arduino IDE's properties format that the recipe tests build their command
// lines with.
#include "tests/support/ArduinoProperties.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The reader itself, on the parts of the format the core uses and a few it could.
TEST(ArduinoProperties, ReadsKeysMenusPlatformKeysAndExpandsAsTheIde) {
  TArduinoProperties p;
  std::string error;
  ASSERT_TRUE(p.Parse("# comment\n"
                      "  tools.x.path = /usr  \r\n"
                      "tools.x.cmd.linux={path}/bin/x-linux\n"
                      "tools.x.cmd={path}/bin/x\n"
                      "tools.x.cmd.windows={path}/bin/x.exe\n"
                      "tools.x.path.macosx=/opt\n"
                      "\n"
                      "tools.x.pattern=\"{cmd}\" \"-C{config}\" {verbose} -p{mcu} {unknown} a=b\n"
                      "tools.x.config={path}/etc/x.conf\n"
                      "tools.x.self=<{self}>\n",
                      "platform.txt", error))
      << error;
  const TArduinoProperties tool = p.SubTree("tools.x");
  EXPECT_EQ(tool.Get("path"), "/usr");
  EXPECT_EQ(tool.Get("cmd"), "{path}/bin/x-linux") << "the Linux key wins over the plain one after it";
  TArduinoProperties later;
  ASSERT_TRUE(later.Parse("tools.x.cmd=/home/me/x\n", "platform.local.txt", error));
  TArduinoProperties merged = tool;
  merged.Merge(later.SubTree("tools.x"));
  EXPECT_EQ(merged.Get("cmd"), "/home/me/x") << "a later file still replaces it";
  merged.Set("mcu", "atmega328p");
  merged.Set("verbose", "-q -q");
  const std::string line = tool.Expand("{pattern}");
  EXPECT_EQ(line, "\"/usr/bin/x-linux\" \"-C/usr/etc/x.conf\" {verbose} -p{mcu} {unknown} a=b");
  EXPECT_EQ(merged.Expand("{pattern}"),
            "\"/home/me/x\" \"-C/usr/etc/x.conf\" -q -q -patmega328p {unknown} a=b");
  EXPECT_EQ(tool.Expand("{self}").substr(0, 2), "<<") << "a value naming itself ends";
  EXPECT_EQ(tool.Expand("{{path}} {path"), "{/usr} {path");

  EXPECT_EQ(SplitArduinoCommandLine("\"/a b/x\"  -C'/c d.conf'  -q\t-q \"\" -Uflash:w:\"/e f.hex\":i "),
            (std::vector<std::string>{"/a b/x", "-C/c d.conf", "-q", "-q", "-Uflash:w:/e f.hex:i"}));

  TArduinoProperties boards;
  ASSERT_TRUE(boards.Parse("menu.cpu=Processor\n"
                           "b.name=Board\n"
                           "b.build.mcu=atmega1280\n"
                           "b.bootloader.high_fuses=0xDA\n"
                           "b.menu.cpu.big=Big\n"
                           "b.menu.cpu.big.build.mcu=atmega2560\n"
                           "b.menu.cpu.small=Small\n"
                           "b.menu.cpu.small.bootloader.high_fuses=0xDD\n",
                           "boards.txt", error))
      << error;
  TArduinoProperties board;
  ASSERT_TRUE(ArduinoBoardProperties(boards, "b", {}, board, error)) << error;
  EXPECT_EQ(board.Get("build.mcu"), "atmega2560") << "no choice: the first option";
  EXPECT_EQ(board.Get("bootloader.high_fuses"), "0xDA");
  ASSERT_TRUE(ArduinoBoardProperties(boards, "b", {{"cpu", "small"}}, board, error)) << error;
  EXPECT_EQ(board.Get("build.mcu"), "atmega1280");
  EXPECT_EQ(board.Get("bootloader.high_fuses"), "0xDD");
  EXPECT_FALSE(ArduinoBoardProperties(boards, "b", {{"cpu", "tiny"}}, board, error));
  EXPECT_NE(error.find("tiny"), std::string::npos) << error;
  EXPECT_FALSE(ArduinoBoardProperties(boards, "nosuch", {}, board, error));

  EXPECT_FALSE(p.Parse("ok=1\nno equals sign here\n", "boards.txt", error));
  EXPECT_EQ(error.substr(0, 12), "boards.txt:2") << error;
}

} // namespace
