// The commands of the programmer, once, for every front end. The controller knows no toolkit: it
// reports through a log sink (texts with their own line ends, colours 0x00BBGGRR of
// base/uLogColours.h), asks its Yes/No questions through IConfirm, reports transfer progress
// through IProgressSink, and holds the meta memory and the open bus. The window and the command
// line both drive it, and see nothing of the layers below it: the types of those are only named
// here, for the tests that put their own bus behind a port name.
#pragma once
#include "app/uFuseEdit.h"
#include "app/uSckSpeed.h"
#include "base/uLogColours.h"
#include "base/uStatus.h"

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TSpiBusBase;
class TmCAtgeneric;
class IuCFile;
class IuCMemStream;
struct TAvrSigType;
struct TAvrSignature;

// Clock speed levels: the index of the speed selector, 0 = fastest .. 6 = slowest, then kSpeedAuto
// (app/uSckSpeed.h), which picks the level from the chip's fuses at every entry into programming mode.
constexpr uint8_t kSpeedLevelCount = 7;
constexpr uint8_t kDefaultSpeedLevel = 3;
const char* SpeedLevelName(uint8_t level); // "sdFastest" .. "sdSlowest", "Auto"; nullptr beyond

// The memory a transfer and an image slot are about. The controller keeps one image per memory, so
// loading an EEPROM file does not lose a flash image that was loaded or read before.
enum class TImageMemory : uint8_t { Flash, Eeprom };
const char* ImageMemoryName(TImageMemory memory);                         // "flash", "eeprom"
std::optional<TImageMemory> ImageMemoryFromName(const std::string& name); // any letter case

// Where a transfer reports its progress (texts UTF-8 with their own line ends). A failing Idle
// stops the transfer after the current page or row, as RequestCancel does.
class IProgressSink {
public:
  virtual ~IProgressSink() = default;
  virtual HRESULT SetProgress(int32_t position) = 0; // 0..100; 0 also resets the display
  virtual HRESULT SetStatusText(const std::string& text) = 0;
  virtual HRESULT AddMessage(const std::string& text, uint32_t colour) = 0;
  virtual HRESULT Idle() = 0;
};

class ILogSink {
public:
  virtual ~ILogSink() = default;
  virtual void LogStatus(const std::string& text, uint32_t colour) = 0;
};

class IConfirm {
public:
  virtual ~IConfirm() = default;
  virtual bool AskYesNo(const std::string& question) = 0;
};

// Which controls may be used now. While a command runs everything is disabled, so input that the
// window processes during a transfer cannot start a second command or free the bus in use. Save,
// write, verify and dump follow the image of the memory the state was asked for.
struct TControlState {
  bool Init = false, Free = false;
  bool ReadSig = false, ReadCalib = false, ReadLock = false, ReadFuse = false;
  bool ReadFlash = false, Load = false, EraseFlash = false;
  bool Save = false, WriteFlash = false, VerifyFlash = false, DumpMetaFile = false;
  bool PortAndSpeed = false; // the selectors, the wiring and "Debug"
  bool AdapterTest = false;  // opens a port of its own, so only while none is open
};

// Whether a save to a file name can go ahead. When not: the message that was logged and the reason
// logged on a second line (empty when the message says it all).
struct TSaveCheck {
  bool Ok = false;
  std::string Message;
  std::string Reason;
};

// Whether a fuse or lock write may go on with settings after which ISP cannot reach the chip again
// (app/uFuseEdit.h, TConfigPlan::Lockouts): never, because the user said so (--allow-lockout), or
// after a second question that names the consequence (the window).
enum class TLockoutConsent { Refuse, Allowed, AskAgain };

enum class TCommandResult {
  Done,     // did what was asked
  Failed,   // reported an error in the log
  Declined, // the user answered No
  Refused,  // not possible now (no bus, no image, another command running); nothing was done
  NoChip,   // AdapterTest: the wires look fine, but no chip answered
};

class TPinletController {
public:
  TPinletController(ILogSink& log, IConfirm& confirm);
  ~TPinletController();
  TPinletController(const TPinletController&) = delete;
  TPinletController& operator=(const TPinletController&) = delete;

  // Progress sink for the flash transfers and the dump (may be empty).
  void SetEventSink(std::shared_ptr<IProgressSink> events) { events_ = std::move(events); }
  // Database file to use; empty = the usual places (current directory, beside the program, data folder).
  std::string DatabasePath;
  // The adapter's wiring, as --pins takes it ("reset=4,sck=0,mosi=2,miso=1", "~" for an inverted
  // line); empty = the adapter's default wiring. Applies when a port is opened.
  std::string Pins;
  // How a port name becomes an opened bus (null when the name is no port; detail says why). With an
  // opened bus, a non-empty detail is a warning that Init shows after connecting.
  // Replaceable so that tests can put a modelled adapter behind a port name.
  using TBusFactory = std::function<std::unique_ptr<TSpiBusBase>(
      const std::string& name, const std::string& database_path, std::string& detail)>;
  TBusFactory BusFactory;

  // Connection. port_text is a port name (SIM1, COM1, LPT1), an entry "NAME=..." or a device path.
  // speed: a level 0..6 or kSpeedAuto. A level chosen by hand that is too fast for the clock the
  // chip's fuses give is warned about when the chip enters programming mode.
  TCommandResult Init(const std::string& port_text, uint8_t speed, bool debug);
  TCommandResult Free();
  // The adapter's wiring self-test (app/uControllerAdapter.cpp), with no port open: opens the port
  // as Init does (with Pins), runs the back end's wire test (IAdapterSelfTest) and logs each
  // finding, then enters programming mode, checks the chip's echo and names the chip from its
  // signature. When no chip answers and the wiring is configurable, tries the likely mistakes
  // (MOSI and MISO exchanged, RESET inverted) and says which --pins works. Ends with the port
  // closed, its lines idle and RESET released. Done when everything seen is fine and the chip
  // answered; NoChip when the wires look fine but no chip answered; Failed otherwise.
  TCommandResult AdapterTest(const std::string& port_text, uint8_t speed);
  void SetSpeed(uint8_t speed); // applies to the open bus, if any
  bool HasBus() const { return bus_ != nullptr; }

  // Device information.
  TCommandResult ReadSignature();
  TCommandResult ReadCalibration();
  TCommandResult ReadLockBits();
  TCommandResult ReadFuseBits();
  // Fuse and lock writing (app/uControllerConfig.cpp). ReadConfig identifies the chip and reads its
  // fuse and lock bytes for an editor; WriteConfig plans the request on the chip, shows the plan,
  // asks, writes only the bytes that change and reads each back. A refusal writes nothing.
  TCommandResult ReadConfig(TConfigChip& chip);
  TCommandResult WriteConfig(const TConfigRequest& request, TLockoutConsent consent);

  // Flash and image.
  TCommandResult ReadFlash();
  TCommandResult WriteFlash();
  TCommandResult VerifyFlash();
  TCommandResult EraseFlash();
  TCommandResult LoadFile(const std::string& file_name, TImageMemory memory = TImageMemory::Flash);
  TCommandResult LoadDebugImage();
  TCommandResult SaveFile(const std::string& file_name, TImageMemory memory = TImageMemory::Flash);
  // What SaveFile checks before it writes, on its own: a known kind, and a target that is a
  // regular file or a new name in a writable folder (links are judged by what they name). A read
  // that is to be saved asks first, so that a bad name fails before the flash is read. Logs the
  // refusal like SaveFile does.
  TSaveCheck CheckSaveTarget(const std::string& file_name);
  // The flash image as words (the order the chip fetches them), the EEPROM image as bytes.
  TCommandResult DumpMetaFile(TImageMemory memory = TImageMemory::Flash);

  // EEPROM (app/uControllerEeprom.cpp), between the chip and the EEPROM image. A write is never
  // preceded by an erase; an image larger than the chip's EEPROM, or a chip without one, is
  // refused before anything is written.
  TCommandResult ReadEeprom();
  TCommandResult WriteEeprom();
  TCommandResult VerifyEeprom();
  // The command of the memory: ReadFlash or ReadEeprom, and so on.
  TCommandResult Read(TImageMemory memory);
  TCommandResult Write(TImageMemory memory);
  TCommandResult Verify(TImageMemory memory);
  // The write and, when it is done and verify is set, its verify as one session (below): one
  // reset, one entry into programming mode, one read of the database.
  TCommandResult Write(TImageMemory memory, bool verify);

  // A session makes the commands run until EndSession one command of the user's (the command line's
  // write with its verify, the Init before them): the database is read once, at the first command
  // that needs it (the simulated port's Init reads it), and the chip enters programming mode once
  // and stays identified and in it until EndSession, which leaves it (Failed after reporting a
  // leave that failed; Refused without a session). Without a session every command is its own,
  // reads the database at its start and leaves programming mode at its end.
  void BeginSession();
  TCommandResult EndSession();

  std::shared_ptr<IuCMemStream> MetaMemory() const { return meta_; }
  std::shared_ptr<IuCMemStream> Image(TImageMemory memory) const {
    return memory == TImageMemory::Eeprom ? eeprom_ : meta_;
  }
  bool HasImage(TImageMemory memory = TImageMemory::Flash) const { return Image(memory) != nullptr; }

  // Called after each successful file load with the file name (the window records it as the last file).
  std::function<void(const std::string&)> OnFileLoaded;

  TControlState ControlState(TImageMemory memory = TImageMemory::Flash) const;
  bool Busy() const { return busy_; }
  // Asks a running transfer to stop after the current page or row; it ends with an error report.
  void RequestCancel() { cancel_requested_ = true; }
  // A flag (of a signal handler) that, once non-zero, ends whatever runs on the bus at its next
  // instruction (TSpiBusBase::SetAbortFlag); programming mode is still left and the port closed.
  void SetAbortFlag(const volatile std::sig_atomic_t* flag) { abort_flag_ = flag; }
  bool CancelRequested() const { return cancel_requested_; }

  // What an uploader run (pinlet-upload) needs beyond the commands above
  // (app/uControllerUpload.cpp). They run inside a session like the others.
  //
  // While set, UploadWrite, UploadErase and UploadWriteConfig write nothing: they read what they
  // need and report what they would have written.
  bool DryRun = false;
  // Leave the target held in reset when the port is closed (the uploader's -E noreset). Applies
  // to ports opened after it is set; CanHoldResetAtExit says whether the open port can do it.
  bool HoldResetAtExit = false;
  bool CanHoldResetAtExit() const;
  // The chip's signature bytes as it reports them (byte 1 first) and the database names of the
  // records that carry it (none: an unknown chip, which is not a failed read).
  TCommandResult ReadSignatureValue(std::vector<uint8_t>& signature, std::vector<std::string>& chip_names);
  // The first count calibration bytes, index 0 first.
  TCommandResult ReadCalibrationValues(std::vector<uint8_t>& bytes, uint8_t count = 1);
  // A write as an uploader does it. For the flash, erase says whether the chip is erased first,
  // whatever its database record asks for (false: the image is programmed over what the flash
  // holds, which only clears bits). The EEPROM is never erased. Under DryRun the image is
  // compared with the chip instead, and whether the write would change anything is reported.
  TCommandResult UploadWrite(TImageMemory memory, bool erase);
  TCommandResult UploadErase();
  TCommandResult UploadWriteConfig(const TConfigRequest& request, TLockoutConsent consent);
  // LoadFile and SaveFile in the file kind that kind_extension (".hex", ".bin", ...) selects,
  // whatever the file's own name says. A given content is the file's (standard input, values of
  // the command line), and file_name only names it.
  TCommandResult LoadFileAs(const std::string& file_name, TImageMemory memory,
                            const std::string& kind_extension, const std::vector<uint8_t>* content = nullptr);
  TCommandResult SaveFileAs(const std::string& file_name, TImageMemory memory,
                            const std::string& kind_extension);
  // The image of memory as the content of a file of that kind (for standard output).
  TCommandResult ImageFileBytes(TImageMemory memory, const std::string& kind_extension,
                                std::vector<uint8_t>& bytes);
  // The bytes from address 0 of a file of that kind (the image's uncovered bytes read 0xFF), for
  // fuse and lock values given as files; nothing is kept.
  TCommandResult ReadValueFile(const std::string& file_name, const std::string& kind_extension,
                               std::vector<uint8_t>& bytes);

private:
  // Copies image into file and saves it under file_name, saying how that went.
  TCommandResult SaveImageToFile(const std::shared_ptr<IuCMemStream>& image,
                                 const std::shared_ptr<IuCFile>& file, const std::string& file_name);
  class TBusyScope;
  void Log(const std::string& text, uint32_t colour);
  // The common start of the device commands: the ISP object on the open bus with the database
  // loaded (null after reporting a database failure), normally already in programming mode.
  // The object is the controller's and lives until the next command outside a session, the
  // session's end or Free.
  TmCAtgeneric* OpenIsp(bool with_events, const char* init_failure_prefix, bool enter_prog_mode = true);
  void SetIspEvents(TmCAtgeneric& isp, bool with_events);
  // Enters programming mode unless the session is in it already; with kSpeedAuto at the level of
  // kAutoEntryHz, then at the level the chip's clock allows (MatchSpeedToClock).
  void EnterProgMode(TmCAtgeneric& isp);
  // Reads the low fuse byte of the identified chip: with kSpeedAuto sets the fastest level its
  // clock allows, or says why it stays at the entry level and how to go faster; with a level chosen
  // by hand warns when that is too fast for the clock. A note is logged when it differs from the
  // last one.
  void MatchSpeedToClock(TmCAtgeneric& isp);
  // Leaves programming mode at the end of a command (not within a session): result, or Failed
  // after reporting why the bus could not leave it cleanly.
  TCommandResult LeaveProgMode(TmCAtgeneric& isp, TCommandResult result);
  void ClearStatusText();
  // Runs one whole-flash transfer between the chip and the meta memory: Done when it ended with
  // S_OK; otherwise Failed, after reporting why and where it stopped.
  using TImageTransfer = HRESULT (TmCAtgeneric::*)(const std::shared_ptr<IuCMemStream>&, int32_t*);
  TCommandResult TransferImage(TmCAtgeneric& isp, TImageTransfer transfer) {
    return TransferImage(isp, transfer, meta_);
  }
  TCommandResult TransferImage(TmCAtgeneric& isp, TImageTransfer transfer,
                               const std::shared_ptr<IuCMemStream>& image);
  // Before a chip erase is asked for: whether it will also erase the EEPROM (nothing for a chip
  // without one, or one not identified).
  void LogEraseEffectOnEeprom(TmCAtgeneric& isp);
  // The EEPROM image's dump, bytes in rows of 16 (the caller holds the busy scope).
  TCommandResult DumpEepromImage();
  // The identified chip's EEPROM size; -1 after saying why there is none to use (unidentified,
  // no EEPROM, unusable sizes).
  int32_t EepromSizeOrReport(TmCAtgeneric& isp);
  // Before the frame of a write or verify: an EEPROM image with data (true also where the frame
  // will refuse the command). nothing_to: "write" or "compare".
  bool EepromImageReady(const char* nothing_to);
  // Whether the EEPROM image fits the identified chip's EEPROM; says why not.
  bool EepromImageFits(TmCAtgeneric& isp);
  // The second line of a failure report: why the record cannot be used (for ISP_E_BADSIZES), or
  // what made the last instruction fail (no echo, a port gone), when that is not status itself.
  void LogFaultCause(TmCAtgeneric& isp, HRESULT status);
  // A signature that several records with different flash sizes share does not say which sizes
  // are right: logs the records and asks whether to go on with the first. True when they agree
  // or the user said Yes.
  bool ConfirmSignatureMatch(const TAvrSignature& sig);
  // The frame of the flash transfers: "Load a file first!" when the transfer needs the image and
  // none is loaded, the ISP object with progress events in programming mode, the transfer, the
  // rate pane cleared and programming mode left however it ended.
  TCommandResult RunFlashCommand(bool needs_image, const char* init_failure_prefix,
                                 const std::function<TCommandResult(TmCAtgeneric&)>& transfer);
  // Reads the signature (into read_signature, if given) and looks the chip up in the database;
  // null after reporting that it is unknown.
  const TAvrSigType* IdentifyChip(TmCAtgeneric& isp, TAvrSignature* read_signature = nullptr);
  // One read of the chip's bytes: fills the report lines, false when the read failed. info is the
  // identified chip, or null when the command did not ask for identification.
  using TDeviceRead =
      std::function<bool(TmCAtgeneric& isp, const TAvrSigType* info, std::vector<std::string>& report)>;
  // The frame of the device information commands: the ISP object in programming mode, the chip
  // identified first when the explanation needs its record, the read, its report ("Error reading
  // <what>!" when it failed), programming mode left.
  TCommandResult ReadDeviceInfo(const char* what, bool identify, const TDeviceRead& read);

  // The identified chip's fuse and lock bytes with their current values; false after reporting a
  // read that failed.
  bool ReadConfigBytes(TmCAtgeneric& isp, TConfigChip& chip);
  void LogConfigPlan(const TConfigPlan& plan);

  ILogSink& log_;
  IConfirm& confirm_;
  std::shared_ptr<IProgressSink> events_;
  std::unique_ptr<TSpiBusBase> bus_;
  std::shared_ptr<IuCMemStream> meta_;
  std::shared_ptr<IuCMemStream> eeprom_; // the EEPROM image: its own slot beside the flash's
  std::unique_ptr<TmCAtgeneric> isp_;    // the running command's, or the session's
  bool in_prog_mode_ = false;            // isp_ entered programming mode and has not left it
  bool session_ = false;
  bool session_database_ = false; // the session has read the database
  bool auto_speed_ = false;       // kSpeedAuto was chosen
  std::string last_speed_note_;   // the speed note logged last, so that a repeat is not logged
  bool busy_ = false;
  bool cancel_requested_ = false;
  const volatile std::sig_atomic_t* abort_flag_ = nullptr;

  // The signature an ELF file was built for (byte 0 first), kept with the image loaded from it and
  // the file's name: a write of that image checks it against the chip before anything is written.
  struct TImageSignature {
    std::weak_ptr<IuCMemStream> image;
    std::vector<uint8_t> bytes;
    std::string file_name;
  };
  TImageSignature image_signature_[2]; // by TImageMemory
  // True when the image of memory was not built for another chip than the identified one; logs
  // "built for ..., this chip is an ..." when it was. A chip that cannot be identified passes, so
  // that the transfer reports it in its own words.
  bool ImageBuiltForChip(TmCAtgeneric& isp, TImageMemory memory);
};
