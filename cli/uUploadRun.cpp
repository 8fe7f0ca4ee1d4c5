#include "cli/uUploadRun.h"

#include "app/uChipList.h"
#include "app/uImageFiles.h"
#include "base/uLogColours.h"
#include "cli/uCliConsole.h"
#include "cli/uCliSignals.h"
#include "cli/uUploadConfig.h"
#include "cli/uUploadIds.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <unistd.h>

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string Extension(const std::string& path) {
  return Lower(std::filesystem::path(path).extension().string());
}

// The extension that stands for a format's file kind (the controller chooses kinds by extension),
// and whether a file's own extension already selects that kind.
const char* KindExtension(TUploadFormat format) {
  switch (format) {
  case TUploadFormat::IntelHex:
    return ".hex";
  case TUploadFormat::Srec:
    return ".srec";
  case TUploadFormat::Raw:
    return ".bin";
  case TUploadFormat::Elf:
    return ".elf";
  default:
    return nullptr;
  }
}

bool ExtensionIsKind(const std::string& path, TUploadFormat format) {
  const std::string ext = Extension(path);
  switch (format) {
  case TUploadFormat::IntelHex:
    return ext == ".hex" || ext == ".eep";
  case TUploadFormat::Srec:
    return ext == ".srec" || ext == ".s19" || ext == ".mot";
  case TUploadFormat::Raw:
    return ext == ".bin" || ext == ".ucm";
  case TUploadFormat::Elf:
    return ext == ".elf";
  default:
    return true;
  }
}

bool IsTextFormat(TUploadFormat format) {
  return format == TUploadFormat::Hex || format == TUploadFormat::Decimal || format == TUploadFormat::Octal ||
         format == TUploadFormat::Binary;
}

const char* MemoryName(TUploadMemory memory) {
  switch (memory) {
  case TUploadMemory::Flash:
    return "flash";
  case TUploadMemory::Eeprom:
    return "eeprom";
  case TUploadMemory::LowFuse:
    return "lfuse";
  case TUploadMemory::HighFuse:
    return "hfuse";
  case TUploadMemory::ExtFuse:
    return "efuse";
  case TUploadMemory::Fuse:
    return "fuse";
  case TUploadMemory::Lock:
    return "lock";
  case TUploadMemory::Signature:
    return "signature";
  case TUploadMemory::Calibration:
    return "calibration";
  }
  return "?";
}

bool IsConfigMemory(TUploadMemory memory) {
  return memory == TUploadMemory::LowFuse || memory == TUploadMemory::HighFuse ||
         memory == TUploadMemory::ExtFuse || memory == TUploadMemory::Fuse || memory == TUploadMemory::Lock;
}

TConfigByteId ConfigIdOf(TUploadMemory memory) {
  switch (memory) {
  case TUploadMemory::HighFuse:
    return TConfigByteId::HighFuse;
  case TUploadMemory::ExtFuse:
    return TConfigByteId::ExtFuse;
  case TUploadMemory::Lock:
    return TConfigByteId::Lock;
  default: // a part with one fuse byte keeps it where the others keep their low one
    return TConfigByteId::LowFuse;
  }
}

std::string ValueText(const std::vector<uint8_t>& values, TUploadFormat format) {
  std::string text;
  for (uint8_t value : values) {
    char item[16];
    switch (format) {
    case TUploadFormat::Decimal:
      std::snprintf(item, sizeof item, "%u", unsigned(value));
      break;
    case TUploadFormat::Octal:
      std::snprintf(item, sizeof item, value ? "0%o" : "0", unsigned(value));
      break;
    case TUploadFormat::Binary: {
      std::string bits = "0b";
      for (int bit = 7; bit >= 0; --bit) bits += ((value >> bit) & 1) ? '1' : '0';
      std::snprintf(item, sizeof item, "%s", bits.c_str());
      break;
    }
    default:
      std::snprintf(item, sizeof item, "0x%02x", unsigned(value));
      break;
    }
    text += (text.empty() ? "" : ",") + std::string(item);
  }
  return text;
}

std::string HexList(const std::vector<uint8_t>& values) {
  std::string text;
  for (uint8_t value : values) {
    char item[8];
    std::snprintf(item, sizeof item, "0x%02X", unsigned(value));
    text += (text.empty() ? "" : " ") + std::string(item);
  }
  return text;
}

bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// One run: the controller and the terminal, and the steps of the options in order.
class TUploadRun {
public:
  TUploadRun(const TUploadOptions& options, const TCliTerminal& terminal, const std::string& program)
      : options_(options), terminal_(terminal), program_(program) {
    // The log and the progress bar share standard error; standard output is kept for "-".
    log_terminal_ = terminal;
    log_terminal_.Out = terminal.Err;
    log_terminal_.OutIsTerminal = terminal.ErrIsTerminal;
    log_terminal_.ErrIsTerminal = terminal.ErrIsTerminal && options.Quiet == 0;
    log_ = std::make_unique<TConsoleLog>(log_terminal_);
    const int quiet = options.Quiet;
    // -q keeps results and errors, -q -q errors only.
    log_->SetFilter([quiet](uint32_t colour) {
      if (quiet >= 2) return colour == clLogRed;
      if (quiet == 1) return colour == clLogRed || colour == clLogBlue;
      return true;
    });
    progress_ = std::make_shared<TConsoleProgress>(log_terminal_, *log_);
    log_->SetBeforeWrite([p = progress_.get()] { p->Wipe(); });
    // The command line is the user's instruction: its questions are answered by it.
    confirm_ = std::make_unique<TConsoleConfirm>(log_terminal_, true, "as the command line asks");
    controller_ = std::make_unique<TPinletController>(*log_, *confirm_);
  }

  TPinletController& Controller() { return *controller_; }
  TConsoleLog& Log() { return *log_; }
  void Note(const std::string& text, uint32_t colour = clLogBlack) { log_->LogStatus(text + "\n", colour); }
  bool Stopped() const { return Interrupted(terminal_) != 0; }

  int Run(const TUploadProgrammer& programmer, const std::string& part, uint8_t speed);

private:
  TCommandResult Finish(TCommandResult result);
  TCommandResult CheckPart(const std::string& part);
  TCommandResult RunImageAction(const TUploadAction& action);
  TCommandResult RunConfigWrites(const std::vector<const TUploadAction*>& actions);
  TCommandResult RunValueAction(const TUploadAction& action);
  // The bytes a config or value action's file or immediate text gives; false after saying why.
  bool ActionValues(const TUploadAction& action, std::vector<uint8_t>& values);
  // mask: the bits of each value that count in a comparison (a fuse or lock byte's bits the chip
  // has and reports; the bits it lacks are written unprogrammed whatever the value said).
  bool ReadChipValues(TUploadMemory memory, std::vector<uint8_t>& values, uint8_t* mask = nullptr);
  bool WriteValues(const TUploadAction& action, const std::vector<uint8_t>& values);
  TCommandResult LoadImage(const TUploadAction& action, TImageMemory memory);

  const TUploadOptions& options_;
  const TCliTerminal& terminal_;
  std::string program_;
  TCliTerminal log_terminal_;
  std::unique_ptr<TConsoleLog> log_;
  std::shared_ptr<TConsoleProgress> progress_;
  std::unique_ptr<TConsoleConfirm> confirm_;
  std::unique_ptr<TPinletController> controller_;
  bool auto_erase_ = false; // a flash write is to come and the chip was not erased yet
};

TCommandResult TUploadRun::CheckPart(const std::string& part) {
  std::vector<uint8_t> signature;
  std::vector<std::string> names;
  if (const TCommandResult read = controller_->ReadSignatureValue(signature, names);
      read != TCommandResult::Done)
    return read;
  const std::string sig = HexList(signature);
  if (names.empty()) {
    Note("The chip's signature " + sig + " is not in the device database" +
             (options_.Force ? "; going on as " + part + " (-F)."
                             : ": is it a " + part + "? -F goes on anyway."),
         clLogRed);
    return options_.Force ? TCommandResult::Done : TCommandResult::Failed;
  }
  if (!ResolveUploadPart(options_.Part, names).empty()) {
    if (options_.Verbose > 0) Note("Signature " + sig + ": " + names.front() + ", as -p says.", clLogBlue);
    return TCommandResult::Done;
  }
  if (options_.Force) {
    Note("Warning: this chip is an " + names.front() + " (signature " + sig + "), not the " + part +
             " that -p names; going on as -F says.",
         clLogRed);
    return TCommandResult::Done;
  }
  Note("-p names the " + part + ", this chip is an " + names.front() + " (signature " + sig +
           "). Nothing was done; -F goes on anyway.",
       clLogRed);
  return TCommandResult::Failed;
}

TCommandResult TUploadRun::LoadImage(const TUploadAction& action, TImageMemory memory) {
  std::string error;
  if (action.Format == TUploadFormat::Immediate || IsTextFormat(action.Format)) {
    // Values, on the command line or as text in a file, are the image's bytes from address 0.
    std::string text = action.File;
    std::vector<uint8_t> values;
    if ((action.Format != TUploadFormat::Immediate && !ReadWholeFile(action.File, text, error)) ||
        !ParseUploadValues(text, values, error)) {
      Note(action.Text + ": " + error, clLogRed);
      return TCommandResult::Failed;
    }
    return controller_->LoadFileAs(action.Format == TUploadFormat::Immediate ? "the command line"
                                                                             : action.File,
                                   memory, ".bin", &values);
  }
  if (action.Format == TUploadFormat::Elf &&
      (action.File == "-" || !ExtensionIsKind(action.File, action.Format))) {
    Note(action.Text + ": an ELF file must be named *.elf.", clLogRed);
    return TCommandResult::Failed;
  }
  if (action.File == "-") {
    std::vector<uint8_t> content;
    char buffer[4096];
    size_t n;
    while (terminal_.In && (n = std::fread(buffer, 1, sizeof buffer, terminal_.In)) > 0)
      content.insert(content.end(), buffer, buffer + n);
    const char* kind = KindExtension(action.Format);
    return controller_->LoadFileAs("standard input", memory, kind ? kind : ".hex", &content);
  }
  if (action.Format == TUploadFormat::Auto || ExtensionIsKind(action.File, action.Format))
    return controller_->LoadFile(action.File, memory);
  return controller_->LoadFileAs(action.File, memory, KindExtension(action.Format));
}

TCommandResult TUploadRun::RunImageAction(const TUploadAction& action) {
  const TImageMemory memory =
      action.Memory == TUploadMemory::Eeprom ? TImageMemory::Eeprom : TImageMemory::Flash;
  switch (action.Op) {
  case TUploadOp::Read: {
    if (action.Format == TUploadFormat::Immediate || IsTextFormat(action.Format) ||
        action.Format == TUploadFormat::Elf) {
      Note(action.Text + ": the " + std::string(ImageMemoryName(memory)) +
               " is read into a HEX, SREC or raw file.",
           clLogRed);
      return TCommandResult::Failed;
    }
    // A bad name fails before the memory is read (a kind chosen by the format letter is checked
    // when it is saved).
    const bool by_name = action.Format == TUploadFormat::Auto || ExtensionIsKind(action.File, action.Format);
    if (action.File != "-" && by_name && !controller_->CheckSaveTarget(action.File).Ok)
      return TCommandResult::Failed;
    if (const TCommandResult read = controller_->Read(memory); read != TCommandResult::Done) return read;
    if (action.File == "-") {
      const char* kind = KindExtension(action.Format);
      std::vector<uint8_t> bytes;
      const TCommandResult made = controller_->ImageFileBytes(memory, kind ? kind : ".hex", bytes);
      if (made != TCommandResult::Done) return made;
      std::fwrite(bytes.data(), 1, bytes.size(), terminal_.Out);
      std::fflush(terminal_.Out);
      return TCommandResult::Done;
    }
    if (by_name) return controller_->SaveFile(action.File, memory);
    return controller_->SaveFileAs(action.File, memory, KindExtension(action.Format));
  }
  case TUploadOp::Write: {
    if (const TCommandResult loaded = LoadImage(action, memory); loaded != TCommandResult::Done || Stopped())
      return loaded;
    // Build systems expect a flash write to erase the chip first. It is erased once, before the
    // first image written: later flash writes add to the first, and an EEPROM written before the
    // flash is not erased after it.
    bool erase = false;
    if (auto_erase_) {
      auto_erase_ = false;
      if (memory == TImageMemory::Flash)
        erase = true;
      else if (const TCommandResult erased = controller_->UploadErase();
               erased != TCommandResult::Done || Stopped())
        return erased;
    }
    const TCommandResult written = controller_->UploadWrite(memory, erase);
    if (written != TCommandResult::Done || options_.NoVerify || controller_->DryRun || Stopped())
      return written;
    return controller_->Verify(memory);
  }
  case TUploadOp::Verify:
    if (const TCommandResult loaded = LoadImage(action, memory); loaded != TCommandResult::Done || Stopped())
      return loaded;
    return controller_->Verify(memory);
  }
  return TCommandResult::Failed;
}

bool TUploadRun::ActionValues(const TUploadAction& action, std::vector<uint8_t>& values) {
  std::string error;
  values.clear();
  if (action.Format == TUploadFormat::Immediate) {
    if (ParseUploadValues(action.File, values, error)) return true;
    Note(action.Text + ": " + error, clLogRed);
    return false;
  }
  TUploadFormat format = action.Format;
  if (format == TUploadFormat::Auto) {
    // Chosen by the name, as the image files are; a file of numbers is the uploaders' other habit.
    if (ExtensionIsKind(action.File, TUploadFormat::Elf))
      format = TUploadFormat::Elf;
    else if (ExtensionIsKind(action.File, TUploadFormat::IntelHex))
      format = TUploadFormat::IntelHex;
    else if (ExtensionIsKind(action.File, TUploadFormat::Srec))
      format = TUploadFormat::Srec;
    else if (ExtensionIsKind(action.File, TUploadFormat::Raw))
      format = TUploadFormat::Raw;
    else
      format = TUploadFormat::Hex;
  }
  if (format == TUploadFormat::Elf) {
    // avr-libc's FUSES puts one byte per fuse in .fuse, low first; LOCKBITS the lock byte in .lock.
    TElfConfig config;
    if (!ReadElfConfig(action.File, config, error)) {
      Note(action.Text + ": " + error, clLogRed);
      return false;
    }
    size_t index = 0;
    switch (action.Memory) {
    case TUploadMemory::HighFuse:
      index = 1;
      break;
    case TUploadMemory::ExtFuse:
      index = 2;
      break;
    default:
      break;
    }
    if (action.Memory == TUploadMemory::Lock) {
      if (config.Lock) values = {*config.Lock};
    } else if (action.Memory == TUploadMemory::Signature) {
      values = config.Signature;
    } else if (index < config.Fuses.size()) {
      values = {config.Fuses[index]};
    }
    if (values.empty()) {
      Note(action.Text + ": the ELF file holds no " + MemoryName(action.Memory) + " value.", clLogRed);
      return false;
    }
    return true;
  }
  if (IsTextFormat(format)) {
    std::string content;
    if (!ReadWholeFile(action.File, content, error) || !ParseUploadValues(content, values, error)) {
      Note(action.Text + ": " + error, clLogRed);
      return false;
    }
    return true;
  }
  return controller_->ReadValueFile(action.File, KindExtension(format), values) == TCommandResult::Done;
}

bool TUploadRun::ReadChipValues(TUploadMemory memory, std::vector<uint8_t>& values, uint8_t* mask) {
  values.clear();
  if (mask) *mask = 0xFF;
  if (memory == TUploadMemory::Signature) {
    std::vector<std::string> names;
    return controller_->ReadSignatureValue(values, names) == TCommandResult::Done;
  }
  if (memory == TUploadMemory::Calibration)
    return controller_->ReadCalibrationValues(values) == TCommandResult::Done;
  TConfigChip chip;
  if (controller_->ReadConfig(chip) != TCommandResult::Done) return false;
  const TConfigByte& byte = chip[ConfigIdOf(memory)];
  if (!byte.Present || !byte.Current) {
    Note(std::string("This chip (") + chip.ChipName + ") " +
             (byte.Present ? "cannot report its " : "has no ") + ConfigByteLabel(ConfigIdOf(memory)) +
             (byte.Present ? " over ISP." : "."),
         clLogRed);
    return false;
  }
  values = {*byte.Current};
  if (mask) *mask = byte.ReadableBits & (byte.DescribedBits ? byte.DescribedBits : 0xFF);
  return true;
}

bool TUploadRun::WriteValues(const TUploadAction& action, const std::vector<uint8_t>& values) {
  TUploadFormat format = action.Format;
  if (action.File == "-") {
    if (format == TUploadFormat::Auto || format == TUploadFormat::Immediate) format = TUploadFormat::Hex;
    if (format == TUploadFormat::Raw)
      std::fwrite(values.data(), 1, values.size(), terminal_.Out);
    else
      std::fprintf(terminal_.Out, "%s\n", ValueText(values, format).c_str());
    std::fflush(terminal_.Out);
    return true;
  }
  if (format == TUploadFormat::Auto)
    format = ExtensionIsKind(action.File, TUploadFormat::Raw) ? TUploadFormat::Raw : TUploadFormat::Hex;
  if (format != TUploadFormat::Raw && !IsTextFormat(format)) {
    Note(action.Text + ": a " + MemoryName(action.Memory) +
             " value is saved as text (h, d, o, b) or raw (r).",
         clLogRed);
    return false;
  }
  std::ofstream out(action.File, std::ios::binary | std::ios::trunc);
  if (format == TUploadFormat::Raw)
    out.write(reinterpret_cast<const char*>(values.data()), std::streamsize(values.size()));
  else
    out << ValueText(values, format) << "\n";
  out.close();
  if (!out) {
    Note("Error saving file!\n" + action.File + ": " + std::strerror(errno), clLogRed);
    return false;
  }
  Note("Saved " + action.File, clLogGreen);
  return true;
}

TCommandResult TUploadRun::RunValueAction(const TUploadAction& action) {
  std::vector<uint8_t> chip;
  if (action.Op == TUploadOp::Write) {
    Note(action.Text + ": the " + std::string(MemoryName(action.Memory)) + " cannot be written.", clLogRed);
    return TCommandResult::Failed;
  }
  if (action.Op == TUploadOp::Read) {
    if (!ReadChipValues(action.Memory, chip)) return TCommandResult::Failed;
    Note(std::string(MemoryName(action.Memory)) + ": " + HexList(chip), clLogBlue);
    return WriteValues(action, chip) ? TCommandResult::Done : TCommandResult::Failed;
  }
  std::vector<uint8_t> expected;
  uint8_t mask = 0xFF;
  if (!ActionValues(action, expected) || !ReadChipValues(action.Memory, chip, &mask))
    return TCommandResult::Failed;
  const bool equal = expected.size() == chip.size() &&
                     std::equal(expected.begin(), expected.end(), chip.begin(),
                                [mask](uint8_t a, uint8_t b) { return ((a ^ b) & mask) == 0; });
  if (equal) {
    Note(std::string(MemoryName(action.Memory)) + " verified: " + HexList(chip), clLogBlue);
    return TCommandResult::Done;
  }
  Note(std::string(MemoryName(action.Memory)) + ": the chip holds " + HexList(chip) + ", " + action.Text +
           " expects " + HexList(expected) + "!",
       clLogRed);
  return TCommandResult::Failed;
}

// Consecutive fuse and lock writes form one request: planned together (a clock and its divider
// are judged as the chip will run), fuses written before the lock byte, each read back.
TCommandResult TUploadRun::RunConfigWrites(const std::vector<const TUploadAction*>& actions) {
  TConfigRequest request;
  for (const TUploadAction* action : actions) {
    std::vector<uint8_t> values;
    if (!ActionValues(*action, values)) return TCommandResult::Failed;
    if (values.size() != 1) {
      Note(action->Text + ": one byte is written to the " + MemoryName(action->Memory) + ", not " +
               std::to_string(values.size()) + ".",
           clLogRed);
      return TCommandResult::Failed;
    }
    TConfigSetting setting;
    setting.WholeByte = true;
    setting.Target =
        action->Memory == TUploadMemory::Fuse ? "fuse" : ConfigByteName(ConfigIdOf(action->Memory));
    setting.Value = values.front();
    setting.Text = action->Text;
    request.Settings.push_back(setting);
  }
  return controller_->UploadWriteConfig(request, options_.AllowLockout ? TLockoutConsent::Allowed
                                                                       : TLockoutConsent::Refuse);
}

TCommandResult TUploadRun::Finish(TCommandResult result) {
  if (const TCommandResult ended = controller_->EndSession();
      result == TCommandResult::Done && ended == TCommandResult::Failed)
    result = ended;
  controller_->Free();
  progress_->Wipe();
  log_->FinishLine();
  return result;
}

int TUploadRun::Run(const TUploadProgrammer& programmer, const std::string& part, uint8_t speed) {
  TPinletController& controller = *controller_;
  controller.DatabasePath = options_.DatabasePath;
  controller.Pins = programmer.Pins;
  controller.DryRun = options_.DryRun;
  controller.SetEventSink(progress_);
  controller.SetAbortFlag(terminal_.Abort);
  progress_->SetController(&controller);
  const std::string port = UploadPortName(programmer, options_.Port);
  if (options_.Verbose > 0)
    Note("Programmer " + programmer.Id + " (" + programmer.Description + "), wiring " +
         (programmer.Pins.empty() ? std::string("the port's default") : programmer.Pins) + ", port " + port +
         ", speed " + SpeedLevelName(speed) + ", part " + part);
  if (options_.DryRun) Note("Dry run (-n): nothing is written.", clLogBlue);

  auto status = [&](TCommandResult result) {
    result = Finish(result);
    if (const int signo = Interrupted(terminal_)) return ExitStatusForSignal(signo);
    return ExitStatusFor(result);
  };

  // Files that cannot be read, and targets that cannot be written, fail before the reset.
  for (const TUploadAction& action : options_.Actions) {
    const bool input = action.Op != TUploadOp::Read && action.Format != TUploadFormat::Immediate;
    if (input && action.File != "-" && access(action.File.c_str(), R_OK) != 0) {
      Note(action.Text + ": cannot read " + action.File + ": " + std::strerror(errno), clLogRed);
      return ExitStatusFor(TCommandResult::Failed);
    }
  }

  // One session: one reset sequence and one entry into programming mode for all the actions.
  controller.BeginSession();
  controller.HoldResetAtExit = options_.ExitReset && !*options_.ExitReset;
  if (const TCommandResult connected = controller.Init(port, speed, false); !controller.HasBus() || Stopped())
    return status(connected);
  if (controller.HoldResetAtExit && !controller.CanHoldResetAtExit())
    Note("-E noreset: this adapter gives its lines back when it is released, so RESET cannot stay held after "
         "the run; the target runs.",
         clLogRed);
  if (const TCommandResult checked = CheckPart(part); checked != TCommandResult::Done || Stopped())
    return status(checked);
  if (options_.Erase)
    if (const TCommandResult erased = controller.UploadErase(); erased != TCommandResult::Done || Stopped())
      return status(erased);
  const std::vector<TUploadAction>& actions = options_.Actions;
  auto_erase_ = !options_.Erase && !options_.NoAutoErase &&
                std::any_of(actions.begin(), actions.end(), [](const TUploadAction& a) {
                  return a.Memory == TUploadMemory::Flash && a.Op == TUploadOp::Write;
                });
  for (size_t i = 0; i < actions.size(); ++i) {
    const TUploadAction& action = actions[i];
    if (options_.Quiet == 0) Note("-U " + action.Text);
    TCommandResult result = TCommandResult::Failed;
    if (IsConfigMemory(action.Memory) && action.Op == TUploadOp::Write) {
      std::vector<const TUploadAction*> group = {&action};
      while (i + 1 < actions.size() && IsConfigMemory(actions[i + 1].Memory) &&
             actions[i + 1].Op == TUploadOp::Write) {
        group.push_back(&actions[++i]);
        if (options_.Quiet == 0) Note("-U " + actions[i].Text);
      }
      result = RunConfigWrites(group);
    } else if (action.Memory == TUploadMemory::Flash || action.Memory == TUploadMemory::Eeprom) {
      result = RunImageAction(action);
    } else {
      result = RunValueAction(action);
    }
    if (result != TCommandResult::Done || Stopped()) return status(result);
  }
  return status(TCommandResult::Done);
}

int UsageError(const TCliTerminal& terminal, const std::string& program, const std::string& text) {
  std::fprintf(terminal.Err, "%s: %s\n", program.c_str(), text.c_str());
  return kExitUsage;
}

// The programmers -C adds to or puts in place of the built-in ones.
bool ReadConfigFiles(const TUploadOptions& options, const TCliTerminal& terminal, const std::string& program,
                     std::vector<TUploadProgrammer>& programmers, bool& only_extra) {
  only_extra = options.ConfigReplaces;
  for (size_t i = 0; i < options.ConfigFiles.size(); ++i) {
    std::string path = options.ConfigFiles[i];
    const bool adds = StartsWith(path, "+");
    if (adds) path.erase(0, 1);
    std::error_code ec;
    // An IDE passes the configuration file of the uploader it ships. Where that file is missing,
    // the built-in table stands for it: its ids are the same cables with the wirings of their
    // published schematics. A file that is there but cannot be read is an error, as is a missing
    // file that was to add to the others.
    if (i == 0 && !adds && !std::filesystem::exists(path, ec)) {
      std::fprintf(terminal.Err, "%s: warning: %s does not exist; using the built-in programmer ids\n",
                   program.c_str(), path.c_str());
      only_extra = false;
      continue;
    }
    std::string error;
    if (!ReadUploadConfig(path, programmers, error)) {
      std::fprintf(terminal.Err, "%s: %s\n", program.c_str(), error.c_str());
      return false;
    }
  }
  return true;
}

} // namespace

std::optional<uint8_t> SpeedLevelForBitClock(const std::string& text, bool* slower_than_slowest) {
  std::string t;
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) t += char(std::tolower(static_cast<unsigned char>(c)));
  if (t.empty()) return std::nullopt;
  double scale = 0; // Hz per unit of the number, 0 for a period in µs
  for (const auto& [suffix, hz] : {std::pair<const char*, double>{"mhz", 1e6}, {"khz", 1e3}, {"hz", 1.0}}) {
    const size_t n = std::strlen(suffix);
    if (t.size() > n && t.compare(t.size() - n, n, suffix) == 0) {
      scale = hz;
      t.resize(t.size() - n);
      break;
    }
  }
  if (scale == 0 && t.size() > 2 && t.compare(t.size() - 2, 2, "us") == 0) t.resize(t.size() - 2);
  char* end = nullptr;
  const double number = std::strtod(t.c_str(), &end);
  if (t.empty() || !end || *end != '\0' || !std::isfinite(number) || number <= 0) return std::nullopt;
  const double period_us = scale == 0 ? number : 1e6 / (number * scale);
  for (uint8_t level = 0; level < kSpeedLevelCount; ++level) {
    const uint32_t max_hz = SpeedLevelMaxSckHz(level);
    if (max_hz != 0 && 1e6 / max_hz >= period_us) {
      if (slower_than_slowest) *slower_than_slowest = false;
      return level;
    }
  }
  if (slower_than_slowest) *slower_than_slowest = true;
  return uint8_t(kSpeedLevelCount - 1);
}

std::string UploadPortName(const TUploadProgrammer& programmer, const std::string& port) {
  const std::string name = port.empty() ? programmer.DefaultPort : port;
  const std::string kind = Lower(programmer.Kind);
  // The Linux kernel's devices of these kinds go by their paths; Pinlet's port names say the kind.
  if (kind == "linuxspi" && StartsWith(name, "/dev/")) return "spi:" + name;
  if (kind == "linuxgpio") {
    if (StartsWith(name, "/dev/")) return "gpio:" + name;
    if (StartsWith(name, "gpiochip")) return "gpio:/dev/" + name;
  }
  return name;
}

bool ParseUploadValues(const std::string& text, std::vector<uint8_t>& values, std::string& error) {
  values.clear();
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',')) ++i;
    if (i >= text.size()) break;
    size_t end = i;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != ',')
      ++end;
    const std::string item = Lower(text.substr(i, end - i));
    i = end;
    int base = 10;
    std::string digits = item;
    if (StartsWith(item, "0x")) {
      base = 16;
      digits = item.substr(2);
    } else if (StartsWith(item, "0b")) {
      base = 2;
      digits = item.substr(2);
    } else if (item.size() > 1 && item[0] == '0') {
      base = 8;
      digits = item.substr(1);
    }
    char* stop = nullptr;
    errno = 0;
    const unsigned long value = digits.empty() ? 0 : std::strtoul(digits.c_str(), &stop, base);
    if (digits.empty() || !stop || *stop != '\0' || errno != 0 || digits[0] == '-' || digits[0] == '+' ||
        value > 0xFF) {
      error = "'" + item + "' is no byte value (0x.., 0b.., 0.. octal or decimal, 0 to 255)";
      return false;
    }
    values.push_back(uint8_t(value));
  }
  if (values.empty()) {
    error = "no value given";
    return false;
  }
  return true;
}

int RunUpload(const TUploadOptions& options, const TCliTerminal& terminal, const std::string& program_name,
              const TPinletController::TBusFactory& bus_factory) {
  std::vector<TUploadProgrammer> extra;
  bool only_extra = false;
  if (!ReadConfigFiles(options, terminal, program_name, extra, only_extra)) return kExitUsage;

  std::string database_error;
  std::vector<std::string> chip_names;
  auto load_chip_names = [&] {
    chip_names = DatabaseChipNames(options.DatabasePath, database_error);
    return !chip_names.empty();
  };
  if (options.Help) {
    load_chip_names();
    std::fputs(UploadUsageText(program_name, chip_names).c_str(), terminal.Out);
    return kExitOk;
  }
  if (options.ListProgrammers || options.ListParts) {
    if (options.ListProgrammers) {
      std::fputs(UploadProgrammerListText(extra, only_extra).c_str(), terminal.Out);
    }
    if (options.ListParts) {
      if (!load_chip_names()) {
        std::fprintf(terminal.Err, "%s: %s\n", program_name.c_str(), database_error.c_str());
        return kExitFailed;
      }
      std::fputs(UploadPartListText(chip_names).c_str(), terminal.Out);
    }
    return kExitOk;
  }

  if (options.Programmer.empty())
    return UsageError(terminal, program_name, "no programmer given (-c ID); '-c ?' lists the ids");
  const TUploadProgrammer* programmer = FindUploadProgrammer(options.Programmer, extra, only_extra);
  if (!programmer)
    return UsageError(terminal, program_name,
                      "unknown programmer id '" + options.Programmer + "'; '-c ?' lists the ids");
  if (!options.Extended.empty())
    return UsageError(terminal, program_name,
                      "-x " + options.Extended.front() + ": the programmer " + programmer->Id +
                          " takes no -x options");
  if (options.Part.empty())
    return UsageError(terminal, program_name, "no part given (-p PART); '-p ?' lists the ids");
  if (!load_chip_names()) {
    std::fprintf(terminal.Err, "%s: %s\n", program_name.c_str(), database_error.c_str());
    return kExitFailed;
  }
  const std::string part = ResolveUploadPart(options.Part, chip_names);
  if (part.empty())
    return UsageError(terminal, program_name, "unknown part id '" + options.Part + "'; '-p ?' lists the ids");

  uint8_t speed = kSpeedAuto;
  bool slowest = false;
  if (options.BitClock) {
    const std::optional<uint8_t> level = SpeedLevelForBitClock(*options.BitClock, &slowest);
    if (!level)
      return UsageError(terminal, program_name,
                        "-B " + *options.BitClock +
                            ": give the SCK period in microseconds (-B 10) or a frequency (-B 125kHz)");
    speed = *level;
  }

  TUploadRun run(options, terminal, program_name);
  if (slowest)
    run.Note("-B " + *options.BitClock + " asks for a slower clock than the slowest level; using " +
                 SpeedLevelName(speed) + ".",
             clLogRed);
  if (bus_factory) run.Controller().BusFactory = bus_factory;
  return run.Run(*programmer, part, speed);
}
