#include "cli/uCommandLine.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

struct TCommandInfo {
  TCliCommand Command;
  const char* Name;
  bool TakesFile; // and --memory: the file is a flash or an EEPROM image
};

constexpr TCommandInfo kCommands[] = {
    {TCliCommand::Ports, "ports", false},
    {TCliCommand::AdapterTest, "adapter-test", false},
    {TCliCommand::Signature, "signature", false},
    {TCliCommand::Calibration, "calibration", false},
    {TCliCommand::Locks, "locks", false},
    {TCliCommand::Fuses, "fuses", false},
    {TCliCommand::Erase, "erase", false},
    {TCliCommand::Read, "read", true},
    {TCliCommand::Write, "write", true},
    {TCliCommand::Verify, "verify", true},
    {TCliCommand::Dump, "dump", true},
};

std::string Lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return result;
}

TCliParse Fail(std::string error) {
  TCliParse parse;
  parse.Error = std::move(error);
  return parse;
}

} // namespace

std::optional<uint8_t> ParseSpeed(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] < char('0' + kSpeedLevelCount))
    return uint8_t(text[0] - '0');
  for (uint8_t level = 0; level <= kSpeedAuto; ++level)
    if (Lower(text) == Lower(SpeedLevelName(level))) return level;
  return std::nullopt;
}

int ExitStatusFor(TCommandResult result) {
  if (result == TCommandResult::NoChip) return kExitNoChip;
  return result == TCommandResult::Done ? kExitOk : kExitFailed;
}

TCliParse ParseCommandLine(const std::vector<std::string>& args) {
  TCliParse parse;
  TCliOptions& o = parse.Options;
  std::vector<std::string> positional;
  bool options_ended = false;
  bool memory_given = false;
  std::string set_text;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    // "--name=value" and "--name value" both work for options that take a value.
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    auto value = [&](std::string& out) -> bool {
      if (inline_value) {
        out = *inline_value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto no_value = [&]() { return !inline_value; };

    if (name == "-h" || name == "--help") {
      if (!no_value()) return Fail(name + " takes no value");
      o.Help = true;
    } else if (name == "--version") {
      if (!no_value()) return Fail(name + " takes no value");
      o.Version = true;
    } else if (name == "-y" || name == "--yes") {
      if (!no_value()) return Fail(name + " takes no value");
      o.Yes = true;
    } else if (name == "--no-verify") {
      if (!no_value()) return Fail(name + " takes no value");
      o.NoVerify = true;
    } else if (name == "--allow-lockout") {
      if (!no_value()) return Fail(name + " takes no value");
      o.AllowLockout = true;
    } else if (name == "--set") {
      if (!value(set_text) || set_text.empty())
        return Fail(name + " needs the values to write (for example lfuse=0xE2 or CKDIV8=unprogrammed)");
      o.SetConfig = true;
    } else if (name == "--debug") {
      if (!no_value()) return Fail(name + " takes no value");
      o.Debug = true;
    } else if (name == "-p" || name == "--port") {
      if (!value(o.Port) || o.Port.empty())
        return Fail(name + " needs a port name (SIM1, COM1, LPT1 or a device path)");
    } else if (name == "-s" || name == "--speed") {
      std::string text;
      if (!value(text)) return Fail(name + " needs a speed level (auto, 0..6 or sdFastest..sdSlowest)");
      const auto speed = ParseSpeed(text);
      if (!speed) return Fail("unknown speed level '" + text + "' (use auto, 0..6 or sdFastest..sdSlowest)");
      o.Speed = *speed;
    } else if (name == "-m" || name == "--memory") {
      std::string text;
      if (!value(text)) return Fail(name + " needs a memory (flash or eeprom)");
      const auto memory = ImageMemoryFromName(text);
      if (!memory) return Fail("unknown memory '" + text + "' (use flash or eeprom)");
      o.Memory = *memory;
      memory_given = true;
    } else if (name == "--db") {
      if (!value(o.DatabasePath) || o.DatabasePath.empty()) return Fail(name + " needs a file name");
    } else if (name == "--pins") {
      if (!value(o.Pins) || o.Pins.empty())
        return Fail(name + " needs the wiring, for example reset=4,sck=0,mosi=2,miso=1 (see --help)");
    } else if (name == "--sim-chip") {
      if (!value(o.SimChip) || o.SimChip.empty())
        return Fail(name + " needs a chip name (for example ATmega8)");
    } else {
      return Fail("unknown option '" + arg + "'");
    }
  }

  if (o.Help || o.Version) {
    parse.Ok = true;
    return parse;
  }
  if (positional.empty()) return Fail("no command given");
  const std::string command = Lower(positional[0]);
  const TCommandInfo* info = nullptr;
  for (const auto& candidate : kCommands)
    if (command == candidate.Name) info = &candidate;
  if (!info) return Fail("unknown command '" + positional[0] + "'");
  o.Command = info->Command;
  // Said for a command that has no image, it would be silently ignored: erase is of the whole chip.
  if (memory_given && !info->TakesFile)
    return Fail(std::string("--memory applies to read, write, verify and dump, not to ") + info->Name);
  if (info->TakesFile) {
    if (positional.size() < 2) return Fail(std::string(info->Name) + " needs a file name");
    o.File = positional[1];
    if (o.File.empty()) return Fail(std::string(info->Name) + " needs a file name");
  }
  const size_t expected = info->TakesFile ? 2 : 1;
  if (positional.size() > expected) return Fail("unexpected argument '" + positional[expected] + "'");
  if (o.SetConfig) {
    if (o.Command != TCliCommand::Fuses && o.Command != TCliCommand::Locks)
      return Fail("--set belongs to the fuses and locks commands");
    std::string error;
    const TConfigScope scope = o.Command == TCliCommand::Locks ? TConfigScope::Locks : TConfigScope::Fuses;
    if (!ParseConfigSettings(set_text, scope, o.ConfigRequest, error)) return Fail("--set: " + error);
  }
  if (o.AllowLockout && !o.SetConfig) return Fail("--allow-lockout belongs to fuses --set and locks --set");
  parse.Ok = true;
  return parse;
}

std::string UsageText(const std::string& program_name) {
  const std::string p = program_name.empty() ? "pinlet" : program_name;
  return "Usage: " + p +
         " [OPTIONS] COMMAND [FILE]\n"
         "\n"
         "Programs AVR microcontrollers in-system over a bit-banged SPI adapter on a serial or\n"
         "parallel port, or over a simulated chip (ports SIM1, SIM2, ...). Every command opens the\n"
         "port, runs the same steps as the window's button and closes the port again.\n"
         "\n"
         "Commands:\n"
         "  ports            list every port with its kind and display name (simulated ones, FTDI\n"
         "                   adapters, GPIO chips and SPI devices too)\n"
         "  adapter-test     check the adapter's wiring, no chip needed: drive each wire in turn\n"
         "                   and read back what the adapter shows; then, with a chip, enter\n"
         "                   programming mode and check its answer. Says in plain words which\n"
         "                   wire looks broken, shorted or swapped, and a --pins that fixes a\n"
         "                   swap where the wiring is configurable\n"
         "  signature        read the signature bytes and name the chip\n"
         "  calibration      read the four calibration bytes\n"
         "  locks            read the lock bits and name the programmed ones\n"
         "  fuses            read the fuse bits (extended, high, low) and name the programmed ones\n"
         "  fuses --set LIST write fuse bytes or bits (asks first unless --yes), for example\n"
         "                   --set lfuse=0xE2,hfuse=0xD9,efuse=0xFD or --set CKDIV8=unprogrammed\n"
         "  locks --set LIST write the lock byte or bits, for example --set 0xFC or LB1=programmed\n"
         "  erase            erase the whole chip: the flash, and the EEPROM unless EESAVE is\n"
         "                   programmed (asks first unless --yes)\n"
         "  read FILE        read the whole flash (or EEPROM) and save it to FILE\n"
         "  write FILE       load FILE, write it into the flash (or EEPROM; asks first unless --yes),\n"
         "                   then verify\n"
         "  verify FILE      load FILE and compare it with the flash (or EEPROM)\n"
         "  dump FILE        load FILE and show it as words (an EEPROM image: bytes) and characters;\n"
         "                   needs no port\n"
         "\n"
         "FILE is an Intel HEX file (*.hex, *.eep), a Motorola SREC file (*.srec, *.s19, *.mot), a\n"
         "raw memory image (*.ucm, *.bin) or, for write, verify and dump, an ELF file as avr-gcc\n"
         "links it (*.elf: the flash, or with --memory eeprom its .eeprom section; a write is refused\n"
         "when its .signature names another chip); the extension decides, in any letter case. A\n"
         "chip erase (erase, and write of the flash where the chip needs it) also erases the EEPROM\n"
         "unless the chip's EESAVE fuse is programmed; both say which before they ask. An EEPROM\n"
         "write erases nothing.\n"
         "\n"
         "Options:\n"
         "  -p, --port NAME   port to use: SIM1, SIM2, ... (simulated chip), COM1, LPT1, ..., a\n"
         "                    device path (/dev/ttyUSB0; paths under /dev/parport are parallel\n"
         "                    ports), ftdi (the first FTDI chip in bit-bang mode) or ftdi:SERIAL,\n"
         "                    gpio:/dev/gpiochipN (four GPIO lines), spi:/dev/spidevB.C (hardware\n"
         "                    SPI, RESET on a GPIO line). Default: SIM1\n"
         "      --pins LIST   the adapter's wiring, for example reset=4,sck=0,mosi=2,miso=1; keys\n"
         "                    not given keep the adapter's default, ~ before a pin marks a line\n"
         "                    that the adapter inverts. Pins are: DB25 pin numbers on a parallel\n"
         "                    port (outputs 2-9, MISO on 10, 11, 12, 13 or 15; buff=N holds a\n"
         "                    buffer-enable pin low), DB9 pin numbers or TXD, DTR, RTS (outputs)\n"
         "                    and CTS, DSR, DCD, RI (MISO) on a serial port, bit numbers 0-7 or\n"
         "                    TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI on FTDI, line numbers or names\n"
         "                    on GPIO, and only reset (a GPIO line, CHIP:LINE for another chip)\n"
         "                    on spi. The defaults and wiring tables: docs/ports.md\n"
         "  -s, --speed LEVEL clock speed: auto, 0..6 or sdFastest, sdFaster, sdFast, sdNormal,\n"
         "                    sdSlow, sdSlower, sdSlowest (0 = sdFastest). auto starts at a speed\n"
         "                    safe for the 1 MHz of a new chip, reads the fuses and goes as fast\n"
         "                    as the clock they select allows; with a crystal or external clock,\n"
         "                    whose frequency the fuses do not give, it stays safe and says which\n"
         "                    level to choose by hand. A level too fast for a known clock is\n"
         "                    warned about. Default: auto\n"
         "  -y, --yes         answer Yes to the questions of write, erase and --set. Without it the\n"
         "                    question is asked on the terminal; when standard input is not a\n"
         "                    terminal the answer is No\n"
         "      --no-verify   do not verify after write\n"
         "  -m, --memory MEM  the memory that read, write, verify and dump are about: flash or\n"
         "                    eeprom. Default: flash\n"
         "      --set LIST    with fuses or locks: the values to write, comma-separated. A byte is\n"
         "                    lfuse=, hfuse=, efuse=, fuse= (chips with one fuse byte) or lock=\n"
         "                    with 0xNN, a decimal number or 0bNNNNNNNN, as the chip stores it\n"
         "                    (0 = programmed); a bit is NAME=programmed or NAME=unprogrammed (also\n"
         "                    =0 / =1) with its name as the database gives it, in any case. Shows\n"
         "                    the current and new values and every bit that changes before it asks;\n"
         "                    writes only the bytes that change and reads each back. Bits the chip\n"
         "                    does not have are written unprogrammed. See docs/fuses.md\n"
         "      --allow-lockout\n"
         "                    with --set: also write settings after which ISP cannot reach the\n"
         "                    chip again (SPIEN unprogrammed, RSTDISBL or DWEN programmed, a clock\n"
         "                    too slow for the slowest speed); refused without it\n"
         "      --db FILE     device database to use instead of the usual CpuSignatures.xml\n"
         "      --sim-chip NAME\n"
         "                    chip carried by the simulated port, as the database names it, in\n"
         "                    any letter case (ATmega8, atmega328p, ATmega8L, ...)\n"
         "      --debug       keep the connection when the adapter does not answer, so that the\n"
         "                    commands can be tried on the bare port\n"
         "  -h, --help        show this help\n"
         "      --version     show the version\n"
         "\n"
         "Device database: without --db, CpuSignatures.xml is looked for in the current directory\n"
         "first (an edited copy wins), then beside the pinlet executable, then in ../share/pinlet\n"
         "next to it, then in the installed data folder (" PINLET_DATADIR ").\n"
         "\n"
         "Simulated chips: each simulated chip keeps its flash, EEPROM, fuses and lock bits between\n"
         "runs in a state file, $XDG_STATE_HOME/pinlet/sim-<chip>.state (or\n"
         "~/.local/state/pinlet/sim-<chip>.state), named after the chip's database record\n"
         "(sim-ATmega328P.state). Delete the file to start with an erased chip.\n"
         "\n"
         "Ctrl-C during a transfer stops it after the current page or block; a second Ctrl-C, or\n"
         "SIGTERM, SIGHUP (the terminal closed) or SIGQUIT, stops it at the next instruction. A\n"
         "signal at a question answers No. Either way programming mode is left (the target's RESET\n"
         "is released), the port gets its settings back and nothing further is done.\n"
         "\n"
         "Exit status: 0 when the command did what was asked, 1 when it reported an error or the\n"
         "question was answered No, 2 for a usage error, 3 when adapter-test found the wires fine\n"
         "but no chip answered, 128 + the signal's number when a signal ended the run (130 for\n"
         "Ctrl-C, 143 for SIGTERM, 129 for SIGHUP, 131 for SIGQUIT).\n"
         "\n"
         "Examples:\n"
         "  " +
         p +
         " ports\n"
         "  " +
         p +
         " signature                          # the simulated chip on SIM1\n"
         "  " +
         p +
         " --sim-chip ATmega8 write blink.hex --yes\n"
         "  " +
         p +
         " --port /dev/ttyUSB0 --speed sdSlow fuses\n"
         "  " +
         p +
         " --port gpio:/dev/gpiochip0 --pins reset=24 signature   # Raspberry Pi header\n"
         "  " +
         p +
         " --port ftdi adapter-test                 # check an FT232R cable's wires\n"
         "  " +
         p +
         " --port spi:/dev/spidev0.0 write blink.hex --yes\n"
         "  " +
         p +
         " fuses --set lfuse=0xFF,hfuse=0xDE,efuse=0xFD   # 16 MHz crystal, 512-byte boot loader\n"
         "  " +
         p +
         " locks --set 0xCF --yes                  # keep the boot loader from overwriting itself\n"
         "  " +
         p +
         " --port LPT1 read backup.hex\n"
         "  " +
         p +
         " --memory eeprom write settings.eep --yes\n"
         "  " +
         p + " dump firmware.ucm\n";
}
