#include "app/uController.h"

#include "app/uBusFactory.h"
#include "app/uPortSelect.h"
#include "core/uAVR_at90.h"
#include "core/uAvr_base_TLB.h"
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrClock.h"
#include "devicedb/uAvrMemories.h"
#include "devicedb/uXmlDB.h"
#include "memimage/uAvrMemFile.h"
#include "memimage/uElfFile.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

// The status a progress sink returns from Idle to ask the running transfer to stop.
constexpr HRESULT kAbortStatus = static_cast<HRESULT>(0x80004004u);

const char* const kMicro = "\xC2\xB5"; // MICRO SIGN; the log is UTF-8

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  if (size_t(n) < sizeof buffer) return std::string(buffer, size_t(n));
  std::string text(size_t(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.resize(size_t(n));
  return text;
}

// Forwards to the front end's sink (if any) and turns a cancel request into a failing Idle, which
// is how a transfer learns that it should stop after the current page or row.
class TCancellableEvents : public IAvrEvent {
public:
  TCancellableEvents(std::shared_ptr<IProgressSink> inner, const bool& cancel_requested)
      : inner_(std::move(inner)), cancel_requested_(cancel_requested) {}

  HRESULT SetProgress(int32_t position) override { return inner_ ? inner_->SetProgress(position) : S_OK; }
  HRESULT SetStatusText(const std::string& text) override {
    return inner_ ? inner_->SetStatusText(text) : S_OK;
  }
  HRESULT AddMessage(const std::string& text, uint32_t colour) override {
    return inner_ ? inner_->AddMessage(text, colour) : S_OK;
  }
  HRESULT Idle() override {
    // The front end's Idle may deliver the click that asks for the cancel, so look afterwards.
    const HRESULT hr = inner_ ? inner_->Idle() : S_OK;
    return cancel_requested_ ? kAbortStatus : hr;
  }

private:
  std::shared_ptr<IProgressSink> inner_;
  const bool& cancel_requested_;
};

int32_t StreamSize(IuCMemStream& stream) {
  int32_t size = 0;
  stream.GetSize(&size);
  return size;
}

} // namespace

static_assert(kSpeedLevelCount == kSpiSpeedCount && kDefaultSpeedLevel == sdNormal,
              "the front ends' speed levels are the bus's");

const char* SpeedLevelName(uint8_t level) {
  return level == kSpeedAuto ? "Auto" : SpiSpeedName(level);
}

// Marks the controller busy for the lifetime of one command, so that a command started from
// inside a transfer's Idle is refused instead of using (or freeing) the bus under the transfer.
class TPinletController::TBusyScope {
public:
  explicit TBusyScope(TPinletController& owner) : owner_(owner) {
    owner_.busy_ = true;
    owner_.cancel_requested_ = false;
  }
  ~TBusyScope() { owner_.busy_ = false; }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

private:
  TPinletController& owner_;
};

TPinletController::TPinletController(ILogSink& log, IConfirm& confirm) : log_(log), confirm_(confirm) {
  // Pins is read when a port is opened, so a wiring chosen after construction applies.
  BusFactory = [this](const std::string& name, const std::string& database_path, std::string& detail) {
    return CreateBusForPort(name, Pins, database_path, detail);
  };
}

TPinletController::~TPinletController() = default;

void TPinletController::Log(const std::string& text, uint32_t colour) {
  if (!text.empty()) log_.LogStatus(text, colour);
}

// ---------------------------------------------------------------------------------------------
// Connection

TCommandResult TPinletController::Init(const std::string& port_text, uint8_t speed, bool debug) {
  if (busy_ || bus_) return TCommandResult::Refused;
  TBusyScope busy(*this);

  std::string detail;
  const uint64_t database_loads = SignatureDBLoadCount();
  std::unique_ptr<TSpiBusBase> bus =
      BusFactory ? BusFactory(PortNameFromText(port_text), DatabasePath, detail) : nullptr;
  // A simulated port reads the database to build its chip; within a session that read is the one
  // the session's commands use.
  if (bus && session_ && SignatureDBLoadCount() != database_loads) session_database_ = true;
  HRESULT status = E_FAIL;
  if (bus) {
    bus->SetAbortFlag(abort_flag_);
    bus->HoldResetAtClose = HoldResetAtExit;
    auto_speed_ = speed == kSpeedAuto;
    bus->Speed = auto_speed_ ? FastestLevelForClock(kAutoEntryHz, bus.get()) : speed;
    status = bus->CheckHardware();
    if (status != S_OK) detail = bus->LastErrorText();
  }
  if (status == S_OK) {
    bus_ = std::move(bus);
    Log("Connected and Ready.\r\n", clLogGreen);
    // An opened port may still have something to say (a simulated chip's unusable state file).
    if (!detail.empty()) Log(detail + "\r\n", clLogRed);
    return TCommandResult::Done;
  }
  std::string text;
  if (bus && bus->GetErrorText(status, text) == 0)
    Log("Error: " + text + "\r\n", clLogRed);
  else
    Log("Unknown error occoured!\r\n", clLogRed);
  // The reason (a missing device, a permission) is what a Linux user needs to fix the port.
  if (!detail.empty()) Log(detail + "\r\n", clLogRed);
  // Debug keeps a port whose adapter did not answer, so every command can be tried on the bare port.
  if (bus && debug && status == SPI_E_NOHARDWARE) bus_ = std::move(bus);
  return TCommandResult::Failed;
}

bool TPinletController::CanHoldResetAtExit() const {
  return bus_ && bus_->CanHoldResetAtClose();
}

TCommandResult TPinletController::Free() {
  if (busy_ || !bus_) return TCommandResult::Refused;
  // The ISP object points at the bus; programming mode ends with the port's closing.
  isp_.reset();
  in_prog_mode_ = false;
  bus_.reset();
  return TCommandResult::Done;
}

void TPinletController::SetSpeed(uint8_t speed) {
  if (busy_ || !bus_) return;
  auto_speed_ = speed == kSpeedAuto;
  bus_->Speed = auto_speed_ ? FastestLevelForClock(kAutoEntryHz, bus_.get()) : speed;
}

TControlState TPinletController::ControlState(TImageMemory memory) const {
  TControlState state;
  if (busy_) return state;
  const bool bus = bus_ != nullptr;
  const bool image = HasImage(memory);
  state.Init = state.AdapterTest = !bus;
  state.Free = state.ReadSig = state.ReadCalib = state.ReadLock = state.ReadFuse = bus;
  state.ReadFlash = state.Load = state.EraseFlash = bus;
  state.Save = state.WriteFlash = state.VerifyFlash = bus && image;
  state.DumpMetaFile = image;
  state.PortAndSpeed = true;
  return state;
}

// ---------------------------------------------------------------------------------------------
// Common frame of the device commands

TmCAtgeneric* TPinletController::OpenIsp(bool with_events, const char* init_failure_prefix,
                                         bool enter_prog_mode) {
  // Within a session the chip stays identified and in programming mode between its commands.
  if (session_ && isp_) {
    SetIspEvents(*isp_, with_events);
    if (enter_prog_mode) EnterProgMode(*isp_);
    return isp_.get();
  }
  isp_ = std::make_unique<TmCAtgeneric>(bus_.get());
  in_prog_mode_ = false;
  isp_->DatabasePath = DatabasePath;
  SetIspEvents(*isp_, with_events);
  if (!session_database_) {
    std::string error_text, section_error;
    const HRESULT status = isp_->LoadDatabase(error_text, &section_error);
    if (status != S_OK) {
      Log(init_failure_prefix + error_text + ")\r\n", clLogRed);
      std::string text;
      if (isp_->GetErrorText(status, text) == 0)
        Log(text + "\r\n", clLogRed);
      else if (status != XML_E_PARSE)
        // A parse failure has no text of its own: the parser's description above is the reason,
        // and an "unknown error" after it would only contradict it.
        Log(Format("Unknown error 0x%08X!\r\n", uint32_t(status)), clLogRed);
      // The section's text says only which section; the reader knows the entry and the value.
      if (!section_error.empty()) Log(section_error + "\r\n", clLogRed);
      isp_.reset();
      return nullptr;
    }
    session_database_ = session_;
  }
  if (enter_prog_mode) EnterProgMode(*isp_);
  return isp_.get();
}

void TPinletController::SetIspEvents(TmCAtgeneric& isp, bool with_events) {
  if (with_events)
    isp.SetEventSink(std::make_shared<TCancellableEvents>(events_, cancel_requested_), true);
  else
    isp.Events.reset();
}

void TPinletController::EnterProgMode(TmCAtgeneric& isp) {
  if (in_prog_mode_) return;
  // The chip may have been changed, or its clock with its fuses, since the last command.
  if (auto_speed_) bus_->Speed = FastestLevelForClock(kAutoEntryHz, bus_.get());
  // An unsynchronised target shows up as an unidentified chip later, so the result is not examined.
  isp.EnterProgMode();
  in_prog_mode_ = true;
  MatchSpeedToClock(isp);
}

void TPinletController::MatchSpeedToClock(TmCAtgeneric& isp) {
  // Once per entry is enough: the fuses are latched when the chip enters programming mode, and a
  // fuse written meanwhile changes its clock only after it has left it (ATmega328P datasheet
  // 7810C, 27.2.1 "Latching of Fuses").
  const uint8_t level = bus_->Speed;
  // The slowest level suits every clock a chip can be programmed at; an unknown chip is reported
  // by the command itself.
  if ((!auto_speed_ && level >= kSpiSpeedCount - 1) || !isp.Identify(false)) return;
  TAvrClock clock;
  if (uint8_t low = 0xFF; isp.ReadConfigByte(TAvrMemory::LowFuse, low) == S_OK)
    clock = DescribeClock(*isp.CpuInfo, low);
  const uint32_t hz = clock.SystemHz();
  auto phase = [this](uint8_t l) {
    const uint64_t ns = LevelPhaseNs(l, bus_.get());
    return ns % 1000 == 0 ? Format("SCK phase %u %ss", unsigned(ns / 1000), kMicro)
                          : Format("SCK phase %llu ns", static_cast<unsigned long long>(ns));
  };
  auto hz_text = [](uint32_t f) {
    return f >= 1'000'000 ? Format("%g MHz", f / 1e6) : Format("%g kHz", f / 1e3);
  };
  std::string note;
  uint32_t colour = clLogGreen;
  if (auto_speed_ && hz != 0) {
    const uint8_t chosen = FastestLevelForClock(hz, bus_.get());
    bus_->Speed = chosen;
    note = Format("Speed: %s (%s) for the chip's %s.", SpeedLevelName(chosen), phase(chosen).c_str(),
                  DescribeClockText(clock).c_str());
  } else if (auto_speed_) {
    note = Format("Speed: %s (%s), safe for the %s of a new chip; the fuses do not say how fast %s runs.",
                  SpeedLevelName(level), phase(level).c_str(), hz_text(kAutoEntryHz).c_str(),
                  clock.Kind == TAvrClockKind::Unknown ? "this chip"
                                                       : ("the " + DescribeClockText(clock)).c_str());
    if (level > 0 && LowestClockForLevel(uint8_t(level - 1), bus_.get()) != 0)
      note += Format(
          " If you know the clock, choose a level by hand (--speed LEVEL): %s suits a clock of %s or more.",
          SpeedLevelName(uint8_t(level - 1)),
          hz_text(LowestClockForLevel(uint8_t(level - 1), bus_.get())).c_str());
  } else if (hz != 0 && !LevelSuitsClock(level, hz, bus_.get())) {
    const uint8_t fastest = FastestLevelForClock(hz, bus_.get());
    note =
        Format("Warning: %s is too fast for the chip's %s: each SCK phase must last at least %llu ns there. "
               "%s or slower suits it, or Auto chooses.",
               SpeedLevelName(level), DescribeClockText(clock).c_str(),
               static_cast<unsigned long long>(MinSckPhaseNs(hz)), SpeedLevelName(fastest));
    colour = clLogRed;
  }
  if (note.empty() || note == last_speed_note_) return;
  last_speed_note_ = note;
  Log(note + "\r\n", colour);
}

TCommandResult TPinletController::LeaveProgMode(TmCAtgeneric& isp, TCommandResult result) {
  // A session leaves programming mode once, at its end.
  if (session_) return result;
  in_prog_mode_ = false;
  const HRESULT status = isp.LeaveProgMode();
  if (status == S_OK) return result;
  // The bus could not finish what the command did, e.g. the simulated chip could not keep its
  // memories: what the command reported so far is not what the user will find next time.
  std::string text = bus_->LastErrorText();
  if (text.empty() && isp.GetErrorText(status, text) != 0)
    text = Format("Unknown error 0x%08X!", uint32_t(status));
  Log(text + "\r\n", clLogRed);
  return TCommandResult::Failed;
}

void TPinletController::BeginSession() {
  if (busy_ || session_) return;
  session_ = true;
  session_database_ = false;
  // What an earlier command left behind (its identification, its state) is not this session's.
  isp_.reset();
  in_prog_mode_ = false;
}

TCommandResult TPinletController::EndSession() {
  if (!session_ || busy_) return TCommandResult::Refused;
  session_ = false;
  session_database_ = false;
  TCommandResult result = TCommandResult::Done;
  if (isp_ && in_prog_mode_ && bus_) result = LeaveProgMode(*isp_, result);
  isp_.reset();
  in_prog_mode_ = false;
  return result;
}

TCommandResult TPinletController::Write(TImageMemory memory, bool verify) {
  const bool own_session = !session_ && !busy_;
  if (own_session) BeginSession();
  TCommandResult result = Write(memory);
  // A cancelled or aborted write has ended with Failed; nothing more is started after a signal.
  if (result == TCommandResult::Done && verify && !(bus_ && bus_->AbortRequested())) result = Verify(memory);
  if (own_session) {
    const TCommandResult ended = EndSession();
    if (result == TCommandResult::Done && ended != TCommandResult::Done) result = ended;
  }
  return result;
}

void TPinletController::ClearStatusText() {
  if (events_) events_->SetStatusText("");
}

TCommandResult TPinletController::TransferImage(TmCAtgeneric& isp, TImageTransfer transfer,
                                                const std::shared_ptr<IuCMemStream>& image) {
  int32_t error_address = -1;
  const HRESULT status = (isp.*transfer)(image, &error_address);
  if (status == S_OK) return TCommandResult::Done;
  std::string text;
  // An abort makes the next instruction fail, with whatever code and fault that gives.
  const bool cancelled = (status == kAbortStatus && cancel_requested_) || bus_->AbortRequested();
  if (cancelled)
    text = "Cancelled by the user!";
  else
    isp.GetErrorText(status, text);
  // -1: the transfer stopped before it reached any address (no chip, no sizes), so none is named.
  const bool has_address = error_address >= 0;
  if (!text.empty())
    Log(text + (has_address ? Format("(at address 0x%08X)", uint32_t(error_address)) : "") + "\r\n",
        clLogRed);
  else if (has_address)
    Log(Format("Unknown error 0x%08X (at address 0x%08X)\r\n", uint32_t(status), uint32_t(error_address)),
        clLogRed);
  else
    Log(Format("Unknown error 0x%08X!\r\n", uint32_t(status)), clLogRed);
  if (!cancelled) LogFaultCause(isp, status);
  return TCommandResult::Failed;
}

void TPinletController::LogFaultCause(TmCAtgeneric& isp, HRESULT status) {
  // The record's own problem, naming it, is what the user has to correct in the database.
  std::string cause;
  if (status == ISP_E_BADSIZES && isp.CpuInfo && !RecordSizesUsable(*isp.CpuInfo, &cause)) {
    Log(cause + "\r\n", clLogRed);
    return;
  }
  // Why a flash access failed (no echo from the chip, a port that went away).
  const HRESULT fault = isp.LastFault();
  if (fault != S_OK && fault != status && isp.GetErrorText(fault, cause) == 0) Log(cause + "\r\n", clLogRed);
}

bool TPinletController::ConfirmSignatureMatch(const TAvrSignature& sig) {
  const std::vector<const TAvrSigType*> records = MatchingRecords(sig);
  bool agree = true;
  for (const TAvrSigType* record : records) agree = agree && FlashSizesAgree(*records.front(), *record);
  if (agree) return true;
  auto describe = [](const TAvrSigType& r) {
    return Format("%s (%d bytes of flash, %d-byte pages)", r.CpuName.c_str(), r.MemSize.Flash,
                  r.PageSize.Flash);
  };
  std::string names;
  for (const TAvrSigType* record : records) names += (names.empty() ? "" : ", ") + describe(*record);
  Log(Format("The signature 0x%02X:%02X:%02X matches %zu device records whose sizes differ: ", sig.byte1,
             sig.byte2, sig.byte3, records.size()) +
          names + "\r\n",
      clLogRed);
  return confirm_.AskYesNo("The signature matches " + names + ". Shall I go on as " +
                           describe(*records.front()) + "?");
}

namespace {
constexpr const char* kInitFailure = "Could not initialize interface class(";
constexpr const char* kInitFailureRead = "Could not initialize interface class (";
} // namespace

// ---------------------------------------------------------------------------------------------
// Device information

const TAvrSigType* TPinletController::IdentifyChip(TmCAtgeneric& isp, TAvrSignature* read_signature) {
  TAvrSignature sig;
  isp.ReadSignature(sig);
  if (read_signature) *read_signature = sig;
  const TAvrSigType* info = GetCpuInfo(sig);
  if (!info) {
    Log(std::string("Could not identify this ") + kMicro + "C!\r\n", clLogRed);
    LogFaultCause(isp, S_OK); // a chip that does not answer is no unknown chip
  }
  return info;
}

TCommandResult TPinletController::ReadDeviceInfo(const char* what, bool identify, const TDeviceRead& read) {
  if (busy_ || !bus_) return TCommandResult::Refused;
  TBusyScope busy(*this);
  TmCAtgeneric* isp = OpenIsp(false, kInitFailure);
  if (!isp) return TCommandResult::Failed;
  const TAvrSigType* info = nullptr;
  // Programming mode is not left here: the target stays in reset until the next command or Free.
  if (identify && !(info = IdentifyChip(*isp))) return TCommandResult::Failed;
  TCommandResult result = TCommandResult::Done;
  std::vector<std::string> report;
  if (!read(*isp, info, report)) {
    // A read that says why it cannot be done says so instead of the general error.
    if (report.empty()) Log(Format("Error reading %s!\r\n", what), clLogRed);
    for (const std::string& line : report) Log(line + "\r\n", clLogRed);
    LogFaultCause(*isp, S_OK);
    result = TCommandResult::Failed;
  } else {
    for (const std::string& line : report) Log(line + "\r\n", clLogBlue);
  }
  return LeaveProgMode(*isp, result);
}

TCommandResult TPinletController::ReadSignature() {
  return ReadDeviceInfo("signature", false, [](TmCAtgeneric& isp, const TAvrSigType*, auto& report) {
    TAvrSignature sig;
    if (isp.ReadSignature(sig) != S_OK) return false;
    report = {Format("Signature: 0x%02X:%02X:%02X:%02X", sig.byte1, sig.byte2, sig.byte3, sig.byte4),
              " - CPU name: " + DescribeCpu(sig)};
    return true;
  });
}

TCommandResult TPinletController::ReadCalibration() {
  return ReadDeviceInfo("calibration", false, [](TmCAtgeneric& isp, const TAvrSigType*, auto& report) {
    uint8_t bytes[4] = {};
    for (uint8_t index = 0; index < 4; ++index)
      if (isp.ReadCalibrationByte(index, bytes[index]) != S_OK) return false;
    report = {Format("Calibration: 0x%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3])};
    return true;
  });
}

namespace {
// A read of configuration bits (lock or fuse): the value in hex, then what it means for the
// identified chip.
template <class TValue>
auto ConfigBitsRead(const char* label, int hex_digits, HRESULT (TmCAtgeneric::*reader)(TValue&),
                    std::string (*explain)(const TAvrSigType*, TValue), const char* what) {
  return [=](TmCAtgeneric& isp, const TAvrSigType* info, std::vector<std::string>& report) {
    TValue value = 0;
    const HRESULT status = (isp.*reader)(value);
    if (status == ISP_E_NOTSUPPORTED) {
      // The oldest parts have no read for these bits over ISP: no value is better than an invented one.
      report = {"This chip (" + info->CpuName + ") cannot report its " + what + " over ISP."};
      return false;
    }
    if (status != S_OK) return false;
    report = {Format("%s: 0x%0*X", label, hex_digits, unsigned(value)), " - " + explain(info, value)};
    return true;
  };
}
} // namespace

TCommandResult TPinletController::ReadLockBits() {
  return ReadDeviceInfo(
      "lock bits", true,
      ConfigBitsRead("Lock bits", 2, &TmCAtgeneric::ReadLockBits, ExplainLocks, "lock bits"));
}

TCommandResult TPinletController::ReadFuseBits() {
  return ReadDeviceInfo(
      "fuse bits", true,
      ConfigBitsRead("Fuse bits", 8, &TmCAtgeneric::ReadFuseBits, ExplainFuses, "fuse bits"));
}

// ---------------------------------------------------------------------------------------------
// Flash

namespace {
// Clears the rate pane when a flash command ends, however it ends.
class TStatusTextClear {
public:
  explicit TStatusTextClear(std::function<void()> clear) : clear_(std::move(clear)) {}
  ~TStatusTextClear() { clear_(); }
  TStatusTextClear(const TStatusTextClear&) = delete;
  TStatusTextClear& operator=(const TStatusTextClear&) = delete;

private:
  std::function<void()> clear_;
};
} // namespace

TCommandResult
TPinletController::RunFlashCommand(bool needs_image, const char* init_failure_prefix,
                                   const std::function<TCommandResult(TmCAtgeneric&)>& transfer) {
  if (busy_ || !bus_) return TCommandResult::Refused;
  TBusyScope busy(*this);
  if (needs_image && !meta_) {
    Log("Load a file first!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  TStatusTextClear clear([this] { ClearStatusText(); });
  TmCAtgeneric* isp = OpenIsp(true, init_failure_prefix);
  if (!isp) return TCommandResult::Failed;
  return LeaveProgMode(*isp, transfer(*isp));
}

TCommandResult TPinletController::ReadFlash() {
  return RunFlashCommand(false, kInitFailureRead, [this](TmCAtgeneric& isp) {
    if (isp.Identify(false) && RecordSizesUsable(*isp.CpuInfo) && !ConfirmSignatureMatch(isp.Signature))
      return TCommandResult::Declined;
    // The old image goes before anything is read: a failed read leaves what was read so far.
    meta_ = NewMetaMemory();
    // An absent or unknown chip has no size to announce; the read then fails with the reason.
    if (const int32_t size = isp.GetFlashSize(); size > 0)
      Log(Format("Reading %d bytes...\r\n", size), clLogGreen);
    return TransferImage(isp, &TmCAtgeneric::ReadFlash);
  });
}

TCommandResult TPinletController::WriteFlash() {
  // An image without data would only erase the chip (where the database asks for the erase) and
  // then verify as equal; it is refused before anything reaches the chip.
  if (!busy_ && bus_ && meta_ && StreamSize(*meta_) <= 0) {
    Log("The image is empty: there is nothing to write!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  return RunFlashCommand(true, kInitFailure, [this](TmCAtgeneric& isp) {
    if (!ImageBuiltForChip(isp, TImageMemory::Flash)) return TCommandResult::Failed;
    Log(Format("Writing %d bytes...\r\n", StreamSize(*meta_)), clLogGreen);
    if (isp.Identify(false)) {
      // Sizes the transfer refuses are reported before the user is asked anything.
      if (!RecordSizesUsable(*isp.CpuInfo)) return TransferImage(isp, &TmCAtgeneric::WriteFlash);
      if (!ConfirmSignatureMatch(isp.Signature)) return TCommandResult::Declined;
    }
    if (isp.CpuInfo && isp.CpuInfo->EraseBeforeFlash == 1) LogEraseEffectOnEeprom(isp);
    if (!confirm_.AskYesNo("Shall I really overwrite the whole flash memory?"))
      return TCommandResult::Declined;
    return TransferImage(isp, &TmCAtgeneric::WriteFlash);
  });
}

TCommandResult TPinletController::VerifyFlash() {
  // Nothing compared is no proof of equality.
  if (!busy_ && bus_ && meta_ && StreamSize(*meta_) <= 0) {
    Log("The image is empty: there is nothing to compare!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  return RunFlashCommand(true, kInitFailure, [this](TmCAtgeneric& isp) {
    Log(Format("Comparing %d bytes...\r\n", StreamSize(*meta_)), clLogGreen);
    const TCommandResult result = TransferImage(isp, &TmCAtgeneric::VerifyFlash);
    if (result == TCommandResult::Done) Log("Meta stream and flash is equal.\r\n", clLogBlue);
    return result;
  });
}

TCommandResult TPinletController::EraseFlash() {
  if (busy_ || !bus_) return TCommandResult::Refused;
  TBusyScope busy(*this);
  TStatusTextClear clear([this] { ClearStatusText(); });
  TmCAtgeneric* isp = OpenIsp(true, kInitFailure, false);
  if (!isp) return TCommandResult::Failed;
  Log("Check memory size of device to write...\r\n", clLogGreen);
  EnterProgMode(*isp);
  // On either refusal below the target is left in programming mode, as for the lock and fuse reads.
  TAvrSignature sig;
  const TAvrSigType* info = IdentifyChip(*isp, &sig);
  if (!info) return TCommandResult::Failed;
  std::string unusable;
  // Parts written byte by byte have no page size, and need none to be erased.
  const bool paged = DescribeMemories(*info)[TAvrMemory::Flash].Commit.Present;
  if (info->MemSize.Flash == -1 || (paged && info->PageSize.Flash == -1) ||
      !RecordSizesUsable(*info, &unusable)) {
    Log("Flash mem/page size not properly defined in \"Signatures\" DB!\r\n", clLogRed);
    if (!unusable.empty()) Log(unusable + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if (!ConfirmSignatureMatch(sig)) return LeaveProgMode(*isp, TCommandResult::Declined);
  LogEraseEffectOnEeprom(*isp);
  if (!confirm_.AskYesNo("Shall I erase the whole flash memory?"))
    return LeaveProgMode(*isp, TCommandResult::Declined);
  // The erase ends with a new entry into programming mode; a chip that does not answer it may not
  // be erased either, so that counts as a failed erase.
  const HRESULT erased = isp->ChipErase();
  if (erased == S_OK) {
    Log("Device has been erased.\r\n", clLogGreen);
    return LeaveProgMode(*isp, TCommandResult::Done);
  }
  Log("Chip erase failed!\r\n", clLogRed);
  std::string text;
  if (isp->GetErrorText(erased, text) == 0)
    Log(text + "\r\n", clLogRed);
  else if (erased == 1)
    Log("The chip did not answer the Programming Enable instruction after the erase.\r\n", clLogRed);
  else
    Log(Format("Unknown error 0x%08X!\r\n", uint32_t(erased)), clLogRed);
  LeaveProgMode(*isp, TCommandResult::Failed);
  return TCommandResult::Failed;
}

// ---------------------------------------------------------------------------------------------
// Image

bool TPinletController::ImageBuiltForChip(TmCAtgeneric& isp, TImageMemory memory) {
  const TImageSignature& signature = image_signature_[memory == TImageMemory::Eeprom ? 1 : 0];
  if (signature.bytes.size() < 3 || signature.image.lock() != Image(memory) || !isp.Identify(false))
    return true;
  const TAvrSignature built{signature.bytes[0], signature.bytes[1], signature.bytes[2]};
  const TAvrSignature& chip = isp.Signature;
  if (built.byte1 == chip.byte1 && built.byte2 == chip.byte2 && built.byte3 == chip.byte3) return true;
  // The names are the database's, the first of a record that lists its variants ("ATmega168/
  // ATmega168V/ATmega168A"); a signature it does not know is shown as it is.
  auto first_name = [](const std::string& names) { return names.substr(0, names.find('/')); };
  const TAvrSigType* target = GetCpuInfo(built);
  const std::string built_for =
      target ? first_name(target->CpuName)
             : Format("a chip with signature 0x%02X:%02X:%02X", built.byte1, built.byte2, built.byte3);
  Log(Format("%s: built for %s, this chip is an %s\r\n", signature.file_name.c_str(), built_for.c_str(),
             first_name(isp.CpuInfo->CpuName).c_str()),
      clLogRed);
  return false;
}

TCommandResult TPinletController::LoadFile(const std::string& file_name, TImageMemory memory) {
  if (busy_) return TCommandResult::Refused;
  TBusyScope busy(*this);
  std::shared_ptr<IuCFile> file =
      NewFileForName(file_name, memory == TImageMemory::Eeprom ? TImagePart::Eeprom : TImagePart::Flash);
  if (!file) {
    Log("Unknown file format!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if (file->LoadFromFile(file_name) != S_OK) {
    Log("Error loading file!\r\n", clLogRed);
    if (const std::string reason = file->LastErrorText(); !reason.empty()) Log(reason + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  std::shared_ptr<IuCMemStream>& slot = memory == TImageMemory::Eeprom ? eeprom_ : meta_;
  slot.reset();
  slot = QueryInterface<IuCMemStream>(file);
  if (!slot) {
    Log("Error retreiving stream interface!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  TImageSignature& signature = image_signature_[memory == TImageMemory::Eeprom ? 1 : 0];
  signature = {};
  if (const auto elf = std::dynamic_pointer_cast<TuCElfFile>(file))
    signature = {slot, elf->Content().Signature, file_name};
  if (OnFileLoaded) OnFileLoaded(file_name);
  Log(Format("Loaded %s; %dbytes\r\n", file_name.c_str(), StreamSize(*slot)), clLogGreen);
  return TCommandResult::Done;
}

TCommandResult TPinletController::LoadDebugImage() {
  if (busy_) return TCommandResult::Refused;
  TBusyScope busy(*this);
  meta_ = NewMetaMemory();
  const uint32_t tick_ms = uint32_t(WaitClock().NowNs() / 1000000u);
  const std::string text = Format("tamso.was.here.%.4x", tick_ms & 0xFFFFu);
  meta_->Rewind();
  for (char c : text) {
    const uint8_t byte = uint8_t(c);
    meta_->PutByte(&byte);
  }
  return TCommandResult::Done;
}

TSaveCheck TPinletController::CheckSaveTarget(const std::string& file_name) {
  TSaveCheck check;
  const std::shared_ptr<IuCFile> file = NewFileForName(file_name);
  if (!file) {
    check.Message = "Unknown file format!";
  } else if (std::dynamic_pointer_cast<TuCElfFile>(file)) {
    // Refused before a read, not after it: what the refusal says is the file kind's own text.
    check.Message = "Error saving file!";
    file->SaveToFile(file_name);
    check.Reason = file->LastErrorText();
  } else if (::CheckSaveTarget(file_name, check.Reason) != S_OK) {
    check.Message = "Error saving file!";
  } else {
    check.Ok = true;
    return check;
  }
  Log(check.Message + "\r\n", clLogRed);
  if (!check.Reason.empty()) Log(check.Reason + "\r\n", clLogRed);
  return check;
}

TCommandResult TPinletController::SaveFile(const std::string& file_name, TImageMemory memory) {
  const std::shared_ptr<IuCMemStream> image = Image(memory);
  if (busy_ || !image) return TCommandResult::Refused;
  TBusyScope busy(*this);
  if (!CheckSaveTarget(file_name).Ok) return TCommandResult::Failed;
  return SaveImageToFile(image, NewFileForName(file_name), file_name);
}

TCommandResult TPinletController::SaveImageToFile(const std::shared_ptr<IuCMemStream>& image,
                                                  const std::shared_ptr<IuCFile>& file,
                                                  const std::string& file_name) {
  auto stream = QueryInterface<IuCMemStream>(file);
  if (!stream) {
    Log("Error retreiving stream interface!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  image->CopyAllTo(stream);
  if (file->SaveToFile(file_name) != S_OK) {
    Log("Error saving file!\r\n", clLogRed);
    if (const std::string reason = file->LastErrorText(); !reason.empty()) Log(reason + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  Log("Saved " + file_name + "\r\n", clLogGreen);
  return TCommandResult::Done;
}

TCommandResult TPinletController::DumpMetaFile(TImageMemory memory) {
  if (busy_ || !HasImage(memory)) return TCommandResult::Refused;
  TBusyScope busy(*this);
  if (memory == TImageMemory::Eeprom) return DumpEepromImage();
  TCancellableEvents events(events_, cancel_requested_);
  // Keep the image alive even if something replaced meta_ meanwhile (nothing can while busy).
  const std::shared_ptr<IuCMemStream> image = meta_;
  int32_t size = 0;
  image->GetSize(&size);
  image->Rewind();
  const int32_t words = size / 2; // a last odd byte is not shown
  events.SetProgress(0);
  std::string column;
  TCommandResult result = TCommandResult::Done;
  for (int32_t i = 0; i < words; ++i) {
    if (i % 8 == 0) Log(Format("0x%04X:", uint32_t(2 * i)), clLogGreen);
    uint16_t word = 0;
    if (image->GetWord(&word) != S_OK) break;
    Log(Format("%04X ", word), clLogBlack);
    for (uint8_t byte : {uint8_t(word >> 8), uint8_t(word & 0xFF)})
      column += (byte >= 32 && byte <= 127) ? char(byte) : '.';
    if (i % 8 == 7) {
      Log(column + "\r\n", clLogBlue);
      column.clear();
      events.SetProgress(int32_t(int64_t(i) * 100 / words));
      if (events.Idle() == kAbortStatus) {
        result = TCommandResult::Failed;
        break;
      }
    }
  }
  events.SetProgress(0);
  return result;
}
