// Reading uploader configuration files: the bit-bang programmers out of a complete file, the rest
// skipped, and errors that name the file and line.
#include "cli/uUploadConfig.h"
#include "cli/uUploadIds.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

// A file as a distribution ships one: overall keywords, programmers of many types, parents, id
// lists, inverted pins in every spelling, and part entries with memory blocks.
constexpr const char* kFullFile = R"conf(# $Id$ -*- text -*-
#
# Configuration file (the # lines are comments; "strings" may hold # and ;)
#
avrdude_conf_version = "7.1";
default_parallel   = "/dev/parport1";
default_serial     = "/dev/ttyUSB3";
default_spi        = "@DEFAULT_SPI_PORT@";
default_bitclock   = 2.5;

programmer # bsd
    id                     = "bsd";
    desc                   = "Brian S. Dean's parallel programmer";
    type                   = "par";
    prog_modes             = PM_TPI | PM_ISP;
    vcc                    = 2-5;
    reset                  = 7;
    sck                    = 8;
    sdo                    = 9;
    sdi                    = 10;
;

programmer
    id       = "stk200";
    desc     = "STK200";
    type     = "par";
    buff     = 4, 5;
    reset    = 9;  sck = 6;  mosi = 7;  miso = 10;
;

programmer parent "stk200" # pony-stk200
    id                     = "pony-stk200";
    desc                   = "Pony Prog STK200";
    pgmled                 = 8;
;

programmer parent "pony-stk200"
    id                     = "frank-stk200";
    desc                   = "Frank STK200";
    vcc                    = 5;
    buff                   = ; # no buffer enables
;

programmer
    id    = "atisp";
    desc  = "AT-ISP; every line inverted";
    type  = "par";
    reset = ~ 6;
    sck   = ~8;
    sdo   = ~7;
    sdi   = ~10;
;

programmer
    id    = "powered";
    desc  = "two supply pins, inverted together; the type as older files write it";
    type  = par;
    vcc   = ~(2, 3);
    reset = 4; sck = 5; sdo = 6; sdi = 11;
;

programmer
    id                     = "usbasp";
    desc                   = "USBasp ISP and TPI programmer";
    type                   = "usbasp";
    connection_type        = usb;
    usbvid                 = 0x16c0;
    usbpid                 = 0x05dc, 0x05dd;
    usbvendor              = "www.fischl.de";
;

programmer
    id                     = "stk500v2", "scratchmonkey";
    desc                   = "Atmel STK500 version 2.x firmware";
    type                   = "stk500v2";
    extra_features         = HAS_VTARG_ADJ | HAS_VTARG_READ;
;

programmer
    id                     = "2232hio";
    desc                   = "a type that is not read: its pin forms do not matter";
    type                   = "avrftdi";
    buff                   = ~4;
    reset                  = ?;
;

programmer
    id                     = "ponyser";
    desc                   = "design ponyprog serial, reset=!txd sck=rts sdo=dtr sdi=cts";
    type                   = "serbb";
    connection_type        = serial;
    reset                  = ~3;
    sck                    = 7;
    sdo                    = 4;
    sdi                    = 8;
;

programmer parent "ponyser"
    id                     = "siprog";
    desc                   = "Lancos SI-Prog <http://www.lancos.com/siprogsch.html>";
;

programmer
    id                     = "dasa";
    type                   = "serbb";
    reset                  = 7;
    sck                    = 4;
    sdo                    = 3;
    sdi                    = 8;
;

programmer
    id                     = "arduino-ft232r", "diecimila";
    desc                   = "Arduino: FT232R connected to ISP";
    type                   = "ftdi_syncbb";
    reset                  = 7;  # RI  X3(4)
    sck                    = 5;  # DSR X3(2)
    sdo                    = 6;  # DCD X3(3)
    sdi                    = 3;  # CTS X3(1)
;

programmer
    id    = "ft245r";
    desc  = "FT245R based generic programmer";
    type  = "ft245r";
    reset = 4; sck = 0; mosi = 2; miso = 1;
    buff  = 5;
;

programmer
    id                     = "raspberry_pi_gpio";
    desc                   = "Bitbang Raspberry Pi GPIO via linuxgpio";
    type                   = "linuxgpio";
    connection_type        = linuxgpio;
    reset                  = 22;
    sck                    = 24;
    sdo                    = 23;
    sdi                    = 18;
;

programmer
    id                     = "linuxspi";
    desc                   = "Use Linux SPI device in /dev/spidev*";
    type                   = "linuxspi";
    reset                  = 25;    # Pi GPIO number - this is J8:22
;

serialadapter
    id                     = "ch340";
    usbvid                 = 0x1a86;
;

part
    desc                   = "ATmega328P";
    id                     = "m328p";
    variants               =
        "ATmega328P-AU: TQFP32, Fmax=20 MHz",
        "ATmega328P-PU: DIP28,  Fmax=20 MHz";
    signature              = 0x1e 0x95 0x0f;
    reset                  = dedicated;
    chip_erase             = "1010.1100--1000.0000--xxxx.xxxx--xxxx.xxxx";

    memory "eeprom"
        size               = 1024;
        read               = "1 0 1 0 0 0 0 0", "0 0 0 x x x a9 a8",
                             "a7 a6 a5 a4 a3 a2 a1 a0", "o o o o o o o o";
    ;

    memory "flash"
        paged              = yes;
        size               = 32768;
        page_size          = 128;
    ;

    memory "lfuse"
        size               = 1;
        initval            = 0x62;
    ;
    memory "fuse0"
        alias "lfuse";
    ;
;

part parent "m328p"
    id                     = "m328";
    signature              = 0x1e 0x95 0x14;
    memory "efuse" = NULL;
;
)conf";

const TUploadProgrammer* Find(const std::vector<TUploadProgrammer>& list, const std::string& id) {
  for (const TUploadProgrammer& p : list)
    if (p.Id == id) return &p;
  return nullptr;
}

TEST(UploadConfig, ReadsTheBitBangProgrammersOfACompleteFile) {
  std::vector<TUploadProgrammer> list;
  std::string error;
  ASSERT_TRUE(ParseUploadConfig(kFullFile, "site.conf", list, error)) << error;
  std::vector<std::string> ids;
  for (const TUploadProgrammer& p : list) ids.push_back(p.Id);
  EXPECT_EQ(ids, (std::vector<std::string>{"bsd", "stk200", "pony-stk200", "frank-stk200", "atisp", "powered",
                                           "ponyser", "siprog", "dasa", "arduino-ft232r", "diecimila",
                                           "ft245r", "raspberry_pi_gpio", "linuxspi"}));
  const auto pins = [&](const char* id) {
    const TUploadProgrammer* p = Find(list, id);
    EXPECT_NE(p, nullptr) << id;
    return p ? p->Kind + " " + p->Pins : std::string{};
  };
  EXPECT_EQ(pins("bsd"), "par reset=7,sck=8,mosi=9,miso=10,vcc=2,vcc=3,vcc=4,vcc=5");
  EXPECT_EQ(pins("stk200"), "par reset=9,sck=6,mosi=7,miso=10,buff=4,buff=5");
  EXPECT_EQ(pins("pony-stk200"), pins("stk200"));
  EXPECT_EQ(pins("frank-stk200"), "par reset=9,sck=6,mosi=7,miso=10,vcc=5");
  EXPECT_EQ(pins("atisp"), "par reset=~6,sck=~8,mosi=~7,miso=~10");
  EXPECT_EQ(pins("powered"), "par reset=4,sck=5,mosi=6,miso=11,vcc=~2,vcc=~3");
  // RESET of a serial cable in Pinlet's sense: on holds the chip.
  EXPECT_EQ(pins("ponyser"), "serbb reset=3,sck=7,mosi=4,miso=8");
  EXPECT_EQ(pins("siprog"), pins("ponyser"));
  EXPECT_EQ(pins("dasa"), "serbb reset=~7,sck=4,mosi=3,miso=8");
  EXPECT_EQ(pins("diecimila"), "ft245r reset=7,sck=5,mosi=6,miso=3");
  EXPECT_EQ(pins("ft245r"), "ft245r reset=4,sck=0,mosi=2,miso=1");
  EXPECT_EQ(pins("raspberry_pi_gpio"), "linuxgpio reset=22,sck=24,mosi=23,miso=18");
  EXPECT_EQ(pins("linuxspi"), "linuxspi reset=25");

  // The same wirings as the built-in table, where both have the cable.
  for (const char* id : {"bsd", "stk200", "pony-stk200", "frank-stk200", "atisp", "ponyser", "siprog", "dasa",
                         "arduino-ft232r", "diecimila"}) {
    const TUploadProgrammer* built_in = FindUploadProgrammer(id, {});
    ASSERT_NE(built_in, nullptr) << id;
    const std::string file_pins = Find(list, id)->Pins;
    std::vector<std::string> a, b;
    for (const auto& [text, items] : {std::pair{file_pins, &a}, std::pair{built_in->Pins, &b}}) {
      size_t start = 0;
      while (start < text.size()) {
        const size_t comma = text.find(',', start);
        items->push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        start = comma == std::string::npos ? text.size() : comma + 1;
      }
      std::sort(items->begin(), items->end());
    }
    EXPECT_EQ(a, b) << id;
  }

  const TUploadProgrammer& siprog = *Find(list, "siprog");
  EXPECT_EQ(siprog.Description, "Lancos SI-Prog <http://www.lancos.com/siprogsch.html>");
  EXPECT_EQ(siprog.Source, "site.conf:98");
  EXPECT_EQ(siprog.DefaultPort, "/dev/ttyUSB3");
  EXPECT_EQ(Find(list, "dasa")->Description, "");
  EXPECT_EQ(Find(list, "bsd")->DefaultPort, "/dev/parport1");
  EXPECT_EQ(Find(list, "linuxspi")->DefaultPort, "spi:/dev/spidev0.0"); // "@...@" is no port
  EXPECT_EQ(Find(list, "raspberry_pi_gpio")->DefaultPort, "gpio:/dev/gpiochip0");
  EXPECT_EQ(Find(list, "ft245r")->DefaultPort, "usb");
  EXPECT_NE(Find(list, "ft245r")->Source.find("not driven"), std::string::npos) << "its buff pin is dropped";
}

TEST(UploadConfig, AddsToWhatWasReadBeforeAndInheritsFromIt) {
  std::vector<TUploadProgrammer> list = {
      {"mine", "my cable", "par", "reset=~4,sck=3,mosi=2,miso=10", "LPT1", "a:1"}};
  std::string error;
  const char* more = "programmer parent \"mine\" id = \"mine2\"; sck = 5; ;\n"
                     "programmer parent \"dasa3\" id = \"dasa3-slow\"; ;\n"
                     "programmer parent \"pinlet-lpt\" id = \"lpt-buffered\"; buff = 4; ;\n";
  ASSERT_TRUE(ParseUploadConfig(more, "b.conf", list, error)) << error;
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[1].Id, "mine2");
  EXPECT_EQ(list[1].Pins, "reset=~4,sck=5,mosi=2,miso=10");
  EXPECT_EQ(list[1].Description, "my cable");
  EXPECT_EQ(list[1].Source, "b.conf:1");
  // A built-in serial parent keeps its sense of RESET through the round trip.
  EXPECT_EQ(list[2].Kind, "serbb");
  EXPECT_EQ(list[2].Pins, FindUploadProgrammer("dasa3", {})->Pins);
  EXPECT_EQ(list[3].Pins, "buff=4");
}

TEST(UploadConfig, ErrorsNameTheFileAndLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"programmer\n  id = \"x;\n;\n", "bad.conf:2: a string has no closing quote"},
      {"programmer\n  id = \"x\";\n  type = \"par\";\n",
       "bad.conf:1: the programmer that starts here has no closing ;"},
      {"default_serial = \"/dev/ttyS0\"\n", "bad.conf:1: \"default_serial = ...\" has no closing ;"},
      {"# ok\nprogrammer id = \"x\"; type = \"par\";\n  reset = nine; ;",
       "bad.conf:3: reset takes pin numbers"},
      {"programmer id = \"x\"; type = \"serbb\"; sck = 3, 4; ;", "bad.conf:1: sck takes one pin"},
      {"programmer id = \"x\"; type = \"par\"; vcc = 2-; ;", "bad.conf:1: vcc takes pin numbers"},
      {"\n\nprogrammer parent \"nowhere\" id = \"x\"; ;", "bad.conf:3: parent \"nowhere\" is no programmer"},
      {"{ \"json\": true }", "bad.conf:1: expected programmer, part or a keyword = value"},
      {"programmer id = \"x\"; 42 = 3; ;", "bad.conf:1: expected a field name"},
      {"part id = \"t\"; memory \"flash\" memory \"x\" size = 1; ; ; ;",
       "bad.conf:1: a memory block cannot hold another"},
      {std::string("programmer\n\x01\x02", 13), "bad.conf:2: the byte 0x01 belongs to no token"},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<TUploadProgrammer> list;
    std::string error;
    EXPECT_FALSE(ParseUploadConfig(text, "bad.conf", list, error)) << expected;
    EXPECT_EQ(error.rfind(expected, 0), 0u) << "wanted \"" << expected << "\", got: " << error;
    EXPECT_TRUE(list.empty()) << expected;
  }
}

TEST(UploadConfig, ReadsFilesAndSaysWhyOneCannotBeRead) {
  std::vector<TUploadProgrammer> list;
  std::string error;
  EXPECT_FALSE(ReadUploadConfig("/nonexistent/dir/avrdude.conf", list, error));
  EXPECT_NE(error.find("/nonexistent/dir/avrdude.conf"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;

  char path[] = "/tmp/upload-config-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << kFullFile;
  ASSERT_TRUE(ReadUploadConfig(path, list, error)) << error;
  EXPECT_EQ(list.size(), 14u);
  EXPECT_EQ(list.front().Source, std::string(path) + ":11");
  std::remove(path);

  // Pinlet's own file has the wirings of the built-in table, in the format's sense of the pins.
  std::vector<TUploadProgrammer> own;
  ASSERT_TRUE(ReadUploadConfig(PINLET_SOURCE_DIR "/resources/pinlet-upload.conf", own, error)) << error;
  ASSERT_FALSE(own.empty());
  for (const TUploadProgrammer& p : own) {
    const TUploadProgrammer* built_in = FindUploadProgrammer(p.Id, {});
    ASSERT_NE(built_in, nullptr) << p.Id;
    EXPECT_EQ(p.Kind, built_in->Kind) << p.Id;
    if (!built_in->Pins.empty()) {
      EXPECT_EQ(p.Pins, built_in->Pins) << p.Id;
    }
  }
  EXPECT_EQ(Find(own, "pinlet-com")->Pins, "reset=3,sck=7,mosi=4,miso=8"); // the default serial wiring
  EXPECT_EQ(Find(own, "sim")->DefaultPort, "SIM1");

  // A distribution's own file, where one is installed, reads without error.
  if (std::ifstream("/etc/avrdude.conf")) {
    std::vector<TUploadProgrammer> system;
    ASSERT_TRUE(ReadUploadConfig("/etc/avrdude.conf", system, error)) << error;
    const TUploadProgrammer* ponyser = Find(system, "ponyser");
    ASSERT_NE(ponyser, nullptr);
    EXPECT_EQ(ponyser->Pins, FindUploadProgrammer("ponyser", {})->Pins);
  }
}

} // namespace
