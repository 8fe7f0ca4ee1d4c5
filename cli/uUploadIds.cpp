#include "cli/uUploadIds.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

std::string Lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

// Ports as Pinlet names them; LPT1 and COM1 open /dev/parport0 and /dev/ttyS0 on Linux.
constexpr const char* kParallelPort = "LPT1";
constexpr const char* kSerialPort = "COM1";
constexpr const char* kFtdiPort = "usb";
constexpr const char* kGpioPort = "gpio:/dev/gpiochip0";
constexpr const char* kSpiPort = "spi:/dev/spidev0.0";

// The wiring of each cable in Pinlet's --pins form. Parallel pins are DB25 pin numbers, serial
// pins DB9 numbers, FTDI pins bit numbers of the bit-bang port, GPIO pins line offsets.
//
// Serial cables: Pinlet's serial back end holds the chip in reset by turning its RESET line on
// (break on TXD, DTR or RTS asserted), as the transistor or the level shifter of the common cables
// inverts it. The uploaders' configuration files give RESET's level at the chip instead, so a
// cable's "~" on RESET is the opposite there (ponyser's reset=~3 is reset=3 here).
//
// LED pins (the rdyled, errled, pgmled, vfyled of the configuration files) are not driven: an LED
// that stays dark changes nothing of the programming.
const std::vector<TUploadProgrammer> kProgrammers = {
    // Parallel cables. The wirings were checked against the cable documentation named in each
    // entry and the programmer entries of the uploader configuration file that names the ids.
    {"bsd", "Brian S. Dean's parallel programmer", "par",
     "vcc=2,vcc=3,vcc=4,vcc=5,reset=7,sck=8,mosi=9,miso=10", kParallelPort,
     "Brian Dean's AVR programmer page (bsdhome.com/avrdude, 2003) and its schematic avrprog.pdf (2001); "
     "the target's power on D0-D3"},
    {"stk200", "Atmel STK200 ISP dongle", "par", "buff=4,buff=5,reset=9,sck=6,mosi=7,miso=10", kParallelPort,
     "Atmel STK200 starter kit's parallel ISP dongle (74HC244 buffer, its two enables on pins 4 and 5); "
     "Kanda STK200-X documentation"},
    {"pony-stk200", "PonyProg STK200 dongle", "par", "buff=4,buff=5,reset=9,sck=6,mosi=7,miso=10",
     kParallelPort,
     "PonyProg's STK200-compatible interface (lancos.com/prog.html, Olimex AVR-PG2B): the STK200 wiring; "
     "its programming LED on pin 8 is not driven"},
    {"frank-stk200", "Frank STK200", "par", "vcc=5,reset=9,sck=6,mosi=7,miso=10", kParallelPort,
     "electropol.free.fr article 27: the PonyProg STK200 with the buffer powered from pin 5 instead of "
     "enabled by pins 4 and 5; its LED on pin 8 is not driven"},
    {"dt006", "Dontronics DT006", "par", "reset=4,sck=5,mosi=2,miso=11", kParallelPort,
     "Dontronics DT006 programming pages (dontronics.com/dt006.html, dt006_programming.html)"},
    {"bascom", "Bascom sample programming cable", "par", "reset=4,sck=5,mosi=2,miso=11", kParallelPort,
     "MCS Electronics BASCOM-AVR help, sample electronics cable programmer: the DT006 wiring"},
    {"alf", "Nightshade ALF-PgmAVR", "par", "vcc=2,vcc=3,vcc=4,vcc=5,buff=6,reset=7,sck=8,mosi=9,miso=10",
     kParallelPort,
     "Nightshade ALF-PgmAVR page (nightshade.homeip.net/ALF-PgmAVR.htm, 2005); its four LEDs on pins 1, "
     "14, 16 and 17 are not driven"},
    {"sp12", "Steve Bolt's SP12 programmer", "par",
     "vcc=4,vcc=5,vcc=6,vcc=7,vcc=8,reset=3,sck=2,mosi=9,miso=11", kParallelPort,
     "Steve Bolt's SP12 programmer page (sbolt.home.xs4all.nl/e-spider_prog.html)"},
    {"picoweb", "Picoweb programming cable", "par", "reset=2,sck=3,mosi=4,miso=13", kParallelPort,
     "PicoWeb downloads and article (picoweb.net/downloads.html, lightner.net/picoweb)"},
    {"abcmini", "ABCmini board, aka Dick Smith HOTCHIP", "par", "reset=4,sck=3,mosi=2,miso=10", kParallelPort,
     "BiPOM application note AN0108 (bipom.com/appnotes/bascomavr/an0108.php)"},
    {"futurlec", "Futurlec.com programming cable", "par", "reset=3,sck=2,mosi=1,miso=10", kParallelPort,
     "no published schematic found; the wiring as the uploader configuration file gives it"},
    {"xil", "Xilinx JTAG cable", "par", "vcc=6,buff=5,reset=4,sck=3,mosi=2,miso=13", kParallelPort,
     "the cable contributor's note in the uploader configuration file: the JTAG lines TMS to RESET, TDI "
     "to MOSI, TDO to MISO, TCK to SCK; pin 6 is no supply but switches one of the cable's buffers, so it "
     "is held high as a vcc pin, and pin 5 enables the other"},
    {"dapa", "Direct AVR Parallel Access cable", "par", "vcc=3,reset=16,sck=1,mosi=2,miso=11", kParallelPort,
     "uisp's uisp-parport-connect.txt and Arduino's ParallelProgrammer page: RESET on INIT (16), SCK on "
     "STROBE (1), MOSI on D0, MISO on BUSY, power on D1"},
    {"atisp", "AT-ISP v1.1 cable for AVR-SDK1", "par", "reset=~6,sck=~8,mosi=~7,miso=~10", kParallelPort,
     "no published schematic found; the cable of micro-research.co.th's AVR-SDK1 kit, every line through "
     "an inverting buffer, as the uploader configuration file gives it"},
    {"ere-isp-avr", "ERE ISP-AVR", "par", "reset=~4,sck=3,mosi=2,miso=10", kParallelPort,
     "ERE's schematic sch050713.pdf (ere.co.th, no longer online): RESET through an inverter"},
    {"blaster", "Altera ByteBlaster", "par", "buff=14,reset=3,sck=2,mosi=8,miso=11", kParallelPort,
     "ByteBlaster adapter description (ln.com.ua/~real/avreal/adapters_e.html#ABB): buffer enabled by "
     "AUTOFD (14)"},
    {"89isp", "Atmel AT89ISP cable", "par", "reset=17,sck=1,mosi=2,miso=10", kParallelPort,
     "Atmel AT89ISP cable, application note doc3310: RESET on SELECTIN (17), SCK on STROBE (1)"},
    {"pinlet-lpt", "Pinlet's parallel cable (STK200 wiring, loop-backs 2-12 and 3-11)", "par", "",
     kParallelPort, "Pinlet's default parallel wiring (docs/ports.md): RESET 9, SCK 6, MOSI 7, MISO 10"},

    // Serial cables (see the note on RESET above).
    {"ponyser", "PonyProg serial: reset=!txd sck=rts mosi=dtr miso=cts", "serbb",
     "reset=3,sck=7,mosi=4,miso=8", kSerialPort,
     "PonyProg serial interface (lancos.com/prog.html): RESET from TXD, SCK RTS, MOSI DTR, MISO CTS"},
    {"siprog", "Lancos SI-Prog (the PonyProg serial wiring)", "serbb", "reset=3,sck=7,mosi=4,miso=8",
     kSerialPort, "Lancos SI-Prog schematic (lancos.com/siprogsch.html)"},
    {"dasa", "serial: reset=rts sck=dtr mosi=txd miso=cts", "serbb", "reset=~7,sck=4,mosi=3,miso=8",
     kSerialPort,
     "uisp's dasa serial cable; no schematic published, the wiring as uisp and the uploader configuration "
     "file give it"},
    {"dasa3", "serial: reset=!dtr sck=rts mosi=txd miso=cts", "serbb", "reset=4,sck=7,mosi=3,miso=8",
     kSerialPort,
     "uisp's dasa3 serial cable; no schematic published, the wiring as uisp and the uploader configuration "
     "file give it"},
    {"c2n232i", "C2N232I serial: reset=dtr sck=!rts mosi=!txd miso=!cts", "serbb",
     "reset=~4,sck=~7,mosi=~3,miso=~8", kSerialPort,
     "the C2N232I adapter with its jumpers on \"auto\", as the uploader configuration file gives it"},
    {"pinlet-com", "Pinlet's serial cable (the SI-Prog wiring, loop-back RTS-DSR)", "serbb", "", kSerialPort,
     "Pinlet's default serial wiring (docs/ports.md): RESET TXD, SCK RTS, MOSI DTR, MISO CTS"},

    // FTDI chips in bit-bang mode: bit 0 TXD (D0), 1 RXD, 2 RTS, 3 CTS, 4 DTR, 5 DSR, 6 DCD, 7 RI.
    {"ft232r", "FT232R based generic programmer", "ft245r", "reset=4,sck=0,mosi=2,miso=1", kFtdiPort,
     "FTDI AN232R-01 bit-bang mode; the FT232R breakout ISP wiring: RESET DTR, SCK TXD, MOSI RTS, MISO RXD"},
    {"ft245r", "FT245R based generic programmer", "ft245r", "reset=4,sck=0,mosi=2,miso=1", kFtdiPort,
     "FTDI AN232R-01 bit-bang mode: RESET D4, SCK D0, MOSI D2, MISO D1"},
    {"arduino-ft232r", "Arduino Diecimila/Duemilanove: its FT232RL wired to ISP", "ft245r",
     "reset=7,sck=5,mosi=6,miso=3", kFtdiPort,
     "kosakalab's Arduino Diecimila bootloader page (make.kosakalab.com/arduino/bootloader/index_en.html): "
     "X3 header RI to RESET, DSR to SCK, DCD to MOSI, CTS to MISO"},
    {"diecimila", "Arduino Diecimila (the arduino-ft232r wiring)", "ft245r", "reset=7,sck=5,mosi=6,miso=3",
     kFtdiPort, "the id kosakalab's Arduino Diecimila bootloader page uses for the arduino-ft232r wiring"},
    {"bwmega", "BitWizard ftdi_atmega built-in programmer", "ft245r", "reset=7,sck=6,mosi=3,miso=5",
     kFtdiPort, "BitWizard wiki, FTDI_ATmega (bitwizard.nl/wiki/index.php/FTDI_ATmega)"},
    {"uncompatino", "uncompatino with all pairs of pins shorted", "ft245r", "reset=7,sck=5,mosi=6,miso=3",
     kFtdiPort, "Akizuki uncompatino kit manual k6096_manual_20130816.pdf"},
    {"ttl232r", "FTDI TTL-232R-5V with an ISP adapter", "ft245r", "reset=0,sck=1,mosi=3,miso=2", kFtdiPort,
     "FTDI DS_TTL-232R_CABLES: TXD (orange) to RESET, RXD (yellow) to SCK, CTS (brown) to MOSI, RTS (green) "
     "to MISO"},
    {"pinlet-ftdi", "Pinlet's FTDI wiring (the FT232R breakout ISP wiring)", "ft245r", "", kFtdiPort,
     "Pinlet's default FTDI wiring (docs/ports.md)"},

    // Linux GPIO and SPI.
    {"linuxgpio", "Linux GPIO lines (Raspberry Pi SPI0 header pins, GPIO 25 for RESET)", "linuxgpio", "",
     kGpioPort, "Pinlet's default GPIO wiring (docs/ports.md): BCM 11 SCK, 10 MOSI, 9 MISO, 25 RESET"},
    {"raspberry_pi_gpio", "Raspberry Pi GPIO: RESET 22, SCK 24, MOSI 23, MISO 18", "linuxgpio",
     "reset=22,sck=24,mosi=23,miso=18", kGpioPort, "the Raspberry Pi GPIO wiring common for AVR programming"},
    {"pinlet-gpio", "Pinlet Linux GPIO (Raspberry Pi SPI0 header pins, RESET on GPIO 25)", "linuxgpio", "",
     kGpioPort, "Pinlet's default GPIO wiring (docs/ports.md), the linuxgpio wiring"},
    {"pinlet-spi", "Pinlet Linux spidev (hardware SPI, RESET on GPIO 25)", "linuxspi", "reset=25", kSpiPort,
     "Pinlet's default spidev wiring (docs/ports.md), the linuxspi wiring"},
    {"linuxspi", "Linux SPI controller (/dev/spidev*), RESET on GPIO 25", "linuxspi", "reset=25", kSpiPort,
     "Raspberry Pi: GPIO 25 is header pin J8:22, beside the SPI0 pins"},

    {"sim", "Pinlet's simulated chip", "sim", "", "SIM1", "Pinlet's simulated chip (docs/simulated-chip.md)"},
};

} // namespace

const std::vector<TUploadProgrammer>& BuiltInUploadProgrammers() {
  return kProgrammers;
}

const TUploadProgrammer* FindUploadProgrammer(const std::string& id,
                                              const std::vector<TUploadProgrammer>& extra, bool only_extra) {
  const std::string wanted = Lower(id);
  for (auto it = extra.rbegin(); it != extra.rend(); ++it)
    if (Lower(it->Id) == wanted) return &*it;
  if (only_extra) return nullptr;
  for (const TUploadProgrammer& programmer : kProgrammers)
    if (Lower(programmer.Id) == wanted) return &programmer;
  return nullptr;
}

std::string ShortPartId(const std::string& chip_name) {
  // A record named by its variants is listed by its first name.
  const std::string name = chip_name.substr(0, chip_name.find('/'));
  // The families' prefixes as build systems abbreviate them; longer prefixes first.
  static constexpr struct {
    const char* Prefix;
    const char* Short;
  } kPrefixes[] = {
      {"ATxmega", "x"},   {"ATmega", "m"}, {"ATtiny", "t"}, {"AT90USB", "usb"}, {"AT90CAN", "c"},
      {"AT90PWM", "pwm"}, {"AT90LS", ""},  {"AT90S", ""},   {"AT90C", ""},
  };
  for (const auto& rule : kPrefixes)
    if (StartsWithNoCase(name, rule.Prefix))
      return rule.Short + Lower(std::string_view(name).substr(std::strlen(rule.Prefix)));
  return Lower(name);
}

namespace {

std::vector<std::string> Alternatives(const std::string& record_name) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= record_name.size()) {
    const size_t slash = record_name.find('/', start);
    std::string name =
        record_name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!name.empty()) names.push_back(std::move(name));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return names;
}

} // namespace

std::string ResolveUploadPart(const std::string& text, const std::vector<std::string>& chip_names) {
  const std::string wanted = Lower(text);
  if (wanted.empty()) return {};
  std::vector<std::string> names;
  for (const std::string& record : chip_names)
    for (std::string& name : Alternatives(record)) names.push_back(std::move(name));
  // A full name wins over a short id, so that no abbreviation can shadow a chip's own name.
  for (const std::string& name : names)
    if (Lower(name) == wanted) return name;
  for (const std::string& name : names)
    if (ShortPartId(name) == wanted) return name;
  // Records named only by a low-voltage variant (ATtiny15L, ATtiny28L/ATtiny28V) answer to the
  // id without the variant's letter (t15, t28), as build systems give it.
  for (const std::string& name : names) {
    const std::string id = ShortPartId(name);
    const char last = id.empty() ? '\0' : id.back();
    if ((last == 'l' || last == 'v') && id.size() > 1 && id.substr(0, id.size() - 1) == wanted &&
        std::isdigit(static_cast<unsigned char>(id[id.size() - 2])))
      return name;
  }
  return {};
}

namespace {

std::string ListText(const char* title, const std::vector<std::pair<std::string, std::string>>& rows) {
  size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  std::string text = title;
  for (const auto& [id, what] : rows)
    text += "  " + id + std::string(width - id.size(), ' ') + " = " + what + "\n";
  return text;
}

} // namespace

std::string UploadProgrammerListText(const std::vector<TUploadProgrammer>& extra, bool only_extra) {
  std::vector<std::pair<std::string, std::string>> rows;
  std::vector<std::string> seen;
  const auto add = [&](const TUploadProgrammer& p) {
    if (std::find(seen.begin(), seen.end(), Lower(p.Id)) != seen.end()) return;
    seen.push_back(Lower(p.Id));
    rows.emplace_back(p.Id, p.Description);
  };
  // Later files win, as FindUploadProgrammer finds them.
  for (auto it = extra.rbegin(); it != extra.rend(); ++it) add(*it);
  if (!only_extra)
    for (const TUploadProgrammer& p : kProgrammers) add(p);
  return ListText("Valid programmers are:\n", rows);
}

std::string UploadPartListText(const std::vector<std::string>& chip_names) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const std::string& record : chip_names)
    for (const std::string& name : Alternatives(record)) rows.emplace_back(ShortPartId(name), name);
  return ListText("Valid parts are:\n", rows);
}
