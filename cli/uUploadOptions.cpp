#include "cli/uUploadOptions.h"

#include "app/uChipList.h"
#include "cli/uUploadIds.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

struct TMemoryName {
  const char* Name;
  TUploadMemory Memory;
};

// The memory names of the -U argument. "lockbits" is the spelling some build scripts use for "lock".
constexpr TMemoryName kMemories[] = {
    {"flash", TUploadMemory::Flash},         {"eeprom", TUploadMemory::Eeprom},
    {"lfuse", TUploadMemory::LowFuse},       {"hfuse", TUploadMemory::HighFuse},
    {"efuse", TUploadMemory::ExtFuse},       {"fuse", TUploadMemory::Fuse},
    {"lock", TUploadMemory::Lock},           {"lockbits", TUploadMemory::Lock},
    {"signature", TUploadMemory::Signature}, {"calibration", TUploadMemory::Calibration},
};

struct TFormatLetter {
  char Letter;
  TUploadFormat Format;
};

constexpr TFormatLetter kFormats[] = {
    {'a', TUploadFormat::Auto},   {'i', TUploadFormat::IntelHex}, {'s', TUploadFormat::Srec},
    {'r', TUploadFormat::Raw},    {'e', TUploadFormat::Elf},      {'m', TUploadFormat::Immediate},
    {'h', TUploadFormat::Hex},    {'d', TUploadFormat::Decimal},  {'o', TUploadFormat::Octal},
    {'b', TUploadFormat::Binary},
};

std::string Lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return result;
}

std::string KnownMemories() {
  std::string list;
  for (const TMemoryName& m : kMemories) {
    if (std::string_view(m.Name) == "lockbits") continue;
    list += std::string(list.empty() ? "" : ", ") + m.Name;
  }
  return list;
}

const TMemoryName* FindMemory(std::string_view name) {
  const std::string lower = Lower(name);
  for (const TMemoryName& m : kMemories)
    if (lower == m.Name) return &m;
  return nullptr;
}

const TFormatLetter* FindFormat(char letter) {
  for (const TFormatLetter& f : kFormats)
    if (f.Letter == std::tolower(static_cast<unsigned char>(letter))) return &f;
  return nullptr;
}

// A drive letter path ("C:\fw.hex", "c:/fw.hex") given to -U as the whole argument.
bool LooksLikeDrivePath(std::string_view text) {
  return text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':' &&
         (text[2] == '\\' || text[2] == '/');
}

// -B: microseconds per SCK period ("10", "0.5") or a frequency with its unit ("125kHz", "1MHz",
// "500Hz"). The run maps the value to a speed level; here only its form is checked.
bool BitClockWellFormed(std::string_view text) {
  size_t i = 0;
  bool digits = false, point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isdigit(static_cast<unsigned char>(c)))
      digits = true;
    else if (c == '.' && !point)
      point = true;
    else
      break;
  }
  if (!digits) return false;
  const std::string unit = Lower(text.substr(i));
  return unit.empty() || unit == "us" || unit == "hz" || unit == "khz" || unit == "mhz";
}

bool ParseExitSpec(std::string_view text, std::optional<bool>& exit_reset, std::string& error) {
  std::string_view rest = text;
  bool any = false;
  while (!rest.empty() || !any) {
    const size_t comma = rest.find(',');
    const std::string item = Lower(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    any = true;
    if (item == "reset")
      exit_reset = true;
    else if (item == "noreset")
      exit_reset = false;
    else if (item == "vcc")
      ; // power pins stay on after the port is released anyway
    else {
      error = "-E takes reset (RESET released at the end, the chip runs) or noreset (RESET held); \"" + item +
              "\" is neither.";
      return false;
    }
  }
  return true;
}

// The value of an option letter: the rest of the argument ("-pm328p") or the next one ("-p m328p").
bool TakeValue(const std::vector<std::string>& args, size_t& i, size_t at, char letter, std::string& value,
               std::string& error) {
  const std::string& arg = args[i];
  if (at < arg.size()) {
    value = arg.substr(at);
    return true;
  }
  if (i + 1 >= args.size()) {
    error = std::string("-") + letter + " needs a value.";
    return false;
  }
  value = args[++i];
  return true;
}

TUploadParse Fail(std::string error) {
  TUploadParse parse;
  parse.Error = std::move(error);
  return parse;
}

} // namespace

bool ParseUploadAction(const std::string& text, TUploadAction& action, std::string& error) {
  action = TUploadAction{};
  action.Text = text;
  const size_t first = text.find(':');
  // A bare file name writes the flash ("-U fw.hex", "-U C:\fw.hex").
  if (first == std::string::npos || (LooksLikeDrivePath(text) && !FindMemory(text.substr(0, first)))) {
    if (text.empty()) {
      error = "-U needs memory:operation:file[:format], such as flash:w:firmware.hex:i.";
      return false;
    }
    action.File = text;
    return true;
  }
  const TMemoryName* memory = FindMemory(text.substr(0, first));
  if (!memory) {
    error = "-U " + text + ": \"" + text.substr(0, first) + "\" is no memory; the memories are " +
            KnownMemories() + ".";
    return false;
  }
  action.Memory = memory->Memory;
  const size_t second = text.find(':', first + 1);
  const std::string op =
      text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (op.size() != 1 || !std::strchr("rwvRWV", op[0])) {
    error = "-U " + text + ": the operation is r (read), w (write) or v (verify), not \"" + op + "\".";
    return false;
  }
  const char op_letter = char(std::tolower(static_cast<unsigned char>(op[0])));
  action.Op = op_letter == 'r' ? TUploadOp::Read : op_letter == 'w' ? TUploadOp::Write : TUploadOp::Verify;
  if (second == std::string::npos || second + 1 >= text.size()) {
    error = "-U " + text + ": no file is named (memory:operation:file[:format]).";
    return false;
  }
  std::string rest = text.substr(second + 1);
  // The format is one letter after the last colon; a colon with more after it belongs to the file
  // name (a drive letter, a URL-like path), so the name may hold colons.
  if (const size_t last = rest.rfind(':'); last != std::string::npos && last + 2 == rest.size()) {
    const TFormatLetter* format = FindFormat(rest[last + 1]);
    if (!format) {
      error =
          "-U " + text + ": \"" + rest.substr(last + 1) +
          "\" is no file format; the formats are i (Intel HEX), s (Motorola SREC), r (raw binary), "
          "e (ELF), m (immediate values), a (auto-detect), h, d, o, b (hex, decimal, octal, binary text).";
      return false;
    }
    action.Format = format->Format;
    rest.resize(last);
  }
  if (rest.empty()) {
    error = "-U " + text + ": no file is named (memory:operation:file[:format]).";
    return false;
  }
  if (action.Format == TUploadFormat::Immediate && action.Op == TUploadOp::Read) {
    error =
        "-U " + text + ": format m gives the values to write or verify; a read needs a file or - (output).";
    return false;
  }
  if (action.Format == TUploadFormat::Auto && action.Op == TUploadOp::Read && rest == "-") {
    // Standard output has no name to tell a format by: hex text, as one expects on a terminal.
    action.Format = TUploadFormat::Hex;
  }
  action.File = rest;
  return true;
}

TUploadParse ParseUploadCommandLine(const std::vector<std::string>& args) {
  TUploadParse parse;
  TUploadOptions& o = parse.Options;
  bool config_seen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-?" || arg == "-h") {
      o.Help = true;
      continue;
    }
    if (arg == "--allow-lockout") {
      o.AllowLockout = true;
      continue;
    }
    if (arg == "--db" || arg.rfind("--db=", 0) == 0) {
      if (arg.size() > 4) {
        o.DatabasePath = arg.substr(5);
      } else if (i + 1 < args.size()) {
        o.DatabasePath = args[++i];
      } else {
        return Fail("--db needs the device database file.");
      }
      if (o.DatabasePath.empty()) return Fail("--db needs the device database file.");
      continue;
    }
    if (arg.rfind("--", 0) == 0) return Fail("unknown option " + arg + ".");
    if (arg.size() < 2 || arg[0] != '-')
      return Fail("\"" + arg + "\" is no option; files go in -U memory:operation:file[:format].");

    // Letters may be grouped as getopt allows ("-qq", "-eV"); a letter that takes a value ends the
    // group, its value being the rest of the argument or the next argument.
    for (size_t at = 1; at < arg.size(); ++at) {
      const char letter = arg[at];
      std::string value, error;
      switch (letter) {
      case 'e':
        o.Erase = true;
        continue;
      case 'D':
        o.NoAutoErase = true;
        continue;
      case 'V':
        o.NoVerify = true;
        continue;
      case 'F':
        o.Force = true;
        continue;
      case 'q':
        ++o.Quiet;
        continue;
      case 'v':
        ++o.Verbose;
        continue;
      case 'n':
        o.DryRun = true;
        continue;
      case 'h':
      case '?':
        o.Help = true;
        continue;
      case 'p':
      case 'c':
      case 'C':
      case 'P':
      case 'b':
      case 'B':
      case 'E':
      case 'x':
      case 'U':
        break;
      default:
        return Fail(std::string("unknown option -") + letter + ".");
      }
      if (!TakeValue(args, i, at + 1, letter, value, error)) return Fail(error);
      switch (letter) {
      case 'p':
        if (value == "?")
          o.ListParts = true;
        else
          o.Part = value;
        break;
      case 'c':
        if (value == "?")
          o.ListProgrammers = true;
        else
          o.Programmer = value;
        break;
      case 'C': {
        const bool adds = !value.empty() && value[0] == '+';
        if (value.empty() || value == "+")
          return Fail("-C needs a configuration file (-C FILE or -C +FILE).");
        if (!config_seen) o.ConfigReplaces = !adds;
        config_seen = true;
        o.ConfigFiles.push_back(value);
        break;
      }
      case 'P':
        o.Port = value;
        break;
      case 'b':
        if (value.empty() ||
            !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
          return Fail("-b takes a baud rate in digits, not \"" + value + "\".");
        o.Baud = value;
        break;
      case 'B':
        if (!BitClockWellFormed(value))
          return Fail("-B takes microseconds per clock period (10) or a frequency (125kHz), not \"" + value +
                      "\".");
        o.BitClock = value;
        break;
      case 'E':
        if (!ParseExitSpec(value, o.ExitReset, error)) return Fail(error);
        break;
      case 'x':
        o.Extended.push_back(value);
        break;
      case 'U': {
        TUploadAction action;
        if (!ParseUploadAction(value, action, error)) return Fail(error);
        o.Actions.push_back(std::move(action));
        break;
      }
      default:
        break;
      }
      break; // the value ended this argument
    }
  }
  if (!o.Help && !o.ListParts && !o.ListProgrammers) {
    if (o.Part.empty()) return Fail("no part given: -p PART names the chip (-p ? lists the part ids).");
    if (o.Programmer.empty())
      return Fail("no programmer given: -c PROGRAMMER names the cable (-c ? lists the programmer ids).");
  }
  parse.Ok = true;
  return parse;
}

std::string UploadUsageText(const std::string& program_name, const std::vector<std::string>& chip_names) {
  const std::string& p = program_name;
  std::string text =
      "Usage: " + p +
      " -p PART -c PROGRAMMER [-P PORT] [options] -U memory:op:file[:format] ...\n"
      "Programs an AVR through the cables and adapters Pinlet drives, with the options IDEs and build\n"
      "systems pass to an uploader.\n\n"
      "Options:\n"
      "  -p PART           the chip: a part id (m328p), a chip name in any case (atmega328p);\n"
      "                    the signature read must match it; -p ? lists the part ids\n"
      "  -c PROGRAMMER     the cable or adapter; -c ? lists the programmer ids\n"
      "  -C FILE, -C +FILE read programmers from a configuration file; + adds to the files before\n"
      "  -P PORT           the port: LPT1, COM1, /dev/parport0, /dev/ttyUSB0, usb, usb:SERIAL,\n"
      "                    ftdi:SERIAL, gpio:/dev/gpiochipN, spi:/dev/spidevB.C, SIM1\n"
      "  -b BAUD           accepted; bit-banged cables have no baud rate\n"
      "  -B BITCLOCK       microseconds per SCK period (10) or a frequency (125kHz)\n"
      "  -e                erase the chip\n"
      "  -D                no automatic erase before a flash write\n"
      "  -V                no verify after writing\n"
      "  -F                go on when the signature does not match the part\n"
      "  -q, -q -q         quieter\n"
      "  -v, -v -v         more detail\n"
      "  -E reset|noreset  at the end release RESET (the chip runs) or hold it\n"
      "  -x OPTION         an option of the adapter\n"
      "  -n                write nothing: read and report what would be done\n"
      "  -U memory:op:file[:format]\n"
      "                    memory: flash, eeprom, lfuse, hfuse, efuse, fuse, lock, signature,\n"
      "                    calibration; op: r (read), w (write), v (verify); format: i Intel HEX,\n"
      "                    s SREC, r raw, e ELF, m immediate values, a auto (default), h, d, o, b\n"
      "                    (hex, decimal, octal, binary text); file - is standard output\n"
      "  --allow-lockout   write lock and fuse settings that end serial programming\n"
      "  --db FILE         the device database file\n"
      "  -h, --help, -?    this text\n\n"
      "Programmers:\n";
  for (const TUploadProgrammer& programmer : BuiltInUploadProgrammers()) {
    std::string id = "  " + programmer.Id;
    id.resize(std::max<size_t>(id.size() + 1, 20), ' ');
    text += id + programmer.Description + "\n";
  }
  text += "\nParts:\n";
  if (chip_names.empty()) {
    text += "  (no device database was found: " + p + " --db FILE -p ? lists its parts)\n";
  } else {
    std::string line = " ";
    for (const std::string& name : chip_names) {
      const std::string id = ShortPartId(name);
      if (line.size() + id.size() + 1 > 100) {
        text += line + "\n";
        line = " ";
      }
      line += " " + id;
    }
    text += line + "\n";
  }
  return text;
}

std::string UploadUsageText(const std::string& program_name) {
  std::string error;
  return UploadUsageText(program_name, DatabaseChipNames({}, error));
}
