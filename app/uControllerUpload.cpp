// What an uploader run needs from the controller beyond the commands of the window and of
// `pinlet`: the values it reads (signature, calibration) for its own output and checks, writes that
// follow the uploader's rules (a flash write erases first, or explicitly not), a dry run that
// compares instead of writing, and image files in a kind chosen by a format letter rather than
// by the file's name.
#include "app/uController.h"

#include "core/uAVR_at90.h"
#include "core/uAvr_base_TLB.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"
#include "memimage/uAvrMemFile.h"

#include <cstdio>

namespace {

constexpr const char* kInitFailure = "Could not initialize interface class(";
constexpr const char* kInitFailureRead = "Could not initialize interface class (";

template <class... TArgs> std::string Text(const char* format, TArgs... args) {
  char buffer[256];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return n < 0 ? std::string() : std::string(buffer, std::min(size_t(n), sizeof buffer - 1));
}

int32_t ImageSize(IuCMemStream& image) {
  int32_t size = 0;
  image.GetSize(&size);
  return size;
}

// The file object of a kind: the kind an extension selects, whatever name the file has.
std::shared_ptr<IuCFile> FileOfKind(const std::string& kind_extension) {
  return NewFileForName("image" + kind_extension);
}

std::string StatusText(TmCAtgeneric& isp, HRESULT status) {
  std::string text;
  if (isp.GetErrorText(status, text) == 0) return text;
  return Text("Unknown error 0x%08X!", unsigned(status));
}

} // namespace

TCommandResult TPinletController::ReadSignatureValue(std::vector<uint8_t>& signature,
                                                     std::vector<std::string>& chip_names) {
  return RunFlashCommand(false, kInitFailureRead, [&](TmCAtgeneric& isp) {
    TAvrSignature sig;
    if (const HRESULT status = isp.ReadSignature(sig); status != S_OK) {
      Log("Error reading signature!\r\n", clLogRed);
      LogFaultCause(isp, status);
      return TCommandResult::Failed;
    }
    signature = {sig.byte1, sig.byte2, sig.byte3};
    chip_names.clear();
    for (const TAvrSigType* record : MatchingRecords(sig)) chip_names.push_back(record->CpuName);
    return TCommandResult::Done;
  });
}

TCommandResult TPinletController::ReadCalibrationValues(std::vector<uint8_t>& bytes, uint8_t count) {
  return RunFlashCommand(false, kInitFailureRead, [&](TmCAtgeneric& isp) {
    bytes.clear();
    for (uint8_t index = 0; index < count; ++index) {
      uint8_t value = 0xFF;
      if (const HRESULT status = isp.ReadCalibrationByte(index, value); status != S_OK) {
        Log("Error reading calibration!\r\n", clLogRed);
        LogFaultCause(isp, status);
        return TCommandResult::Failed;
      }
      bytes.push_back(value);
    }
    return TCommandResult::Done;
  });
}

TCommandResult TPinletController::UploadWrite(TImageMemory memory, bool erase) {
  const bool eeprom = memory == TImageMemory::Eeprom;
  if (DryRun) {
    const std::shared_ptr<IuCMemStream>& image = eeprom ? eeprom_ : meta_;
    if (eeprom && !EepromImageReady("write")) return TCommandResult::Failed;
    if (!eeprom && !busy_ && bus_ && meta_ && ImageSize(*meta_) <= 0) {
      Log("The image is empty: there is nothing to write!\r\n", clLogRed);
      return TCommandResult::Failed;
    }
    return RunFlashCommand(true, kInitFailure, [&](TmCAtgeneric& isp) {
      if (eeprom && !EepromImageFits(isp)) return TCommandResult::Failed;
      Log(Text("Dry run: %d bytes would be written to the %s%s; comparing them with the chip instead...\r\n",
               int(ImageSize(*image)), eeprom ? "EEPROM" : "flash",
               eeprom || !erase ? "" : " after a chip erase"),
          clLogGreen);
      int32_t at = -1;
      const HRESULT status = eeprom ? isp.VerifyEeprom(image, &at) : isp.VerifyFlash(image, &at);
      if (status == S_OK) {
        Log(std::string("The ") + (eeprom ? "EEPROM" : "flash") +
                " holds the image already. Nothing was written.\r\n",
            clLogBlue);
        return TCommandResult::Done;
      }
      if (status == ISP_E_MISMATCH || status == ISP_E_EEPROMMISMATCH) {
        Log(Text("The %s differs from the image at address 0x%08X: the write would change it. Nothing was "
                 "written.\r\n",
                 eeprom ? "EEPROM" : "flash", unsigned(at)),
            clLogBlue);
        return TCommandResult::Done;
      }
      Log(StatusText(isp, status) + "\r\n", clLogRed);
      LogFaultCause(isp, status);
      return TCommandResult::Failed;
    });
  }
  if (eeprom) return WriteEeprom();
  if (erase) {
    // Most records make the flash write erase on its own; for the others the erase comes first.
    bool record_erases = false;
    const TCommandResult probed = RunFlashCommand(false, kInitFailure, [&](TmCAtgeneric& isp) {
      record_erases = isp.Identify(false) && isp.CpuInfo->EraseBeforeFlash == 1;
      return TCommandResult::Done;
    });
    if (probed != TCommandResult::Done) return probed;
    if (!record_erases)
      if (const TCommandResult erased = EraseFlash(); erased != TCommandResult::Done) return erased;
    return WriteFlash();
  }
  if (!busy_ && bus_ && meta_ && ImageSize(*meta_) <= 0) {
    Log("The image is empty: there is nothing to write!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  return RunFlashCommand(true, kInitFailure, [this](TmCAtgeneric& isp) {
    Log(Text("Writing %d bytes (the flash is not erased first)...\r\n", int(ImageSize(*meta_))), clLogGreen);
    // An unknown chip or unusable sizes are reported by the transfer itself.
    if (!isp.Identify(false) || !RecordSizesUsable(*isp.CpuInfo))
      return TransferImage(isp, &TmCAtgeneric::WriteFlash);
    if (!ConfirmSignatureMatch(isp.Signature) ||
        !confirm_.AskYesNo("Shall I write the image over what the flash holds, without erasing it?"))
      return TCommandResult::Declined;
    // The transfer erases whenever the record asks for it; for this one write the record says no.
    const TAvrSigType* record = isp.CpuInfo;
    TAvrSigType unerased = *record;
    unerased.EraseBeforeFlash = 0;
    isp.CpuInfo = &unerased;
    const TCommandResult result = TransferImage(isp, &TmCAtgeneric::WriteFlash);
    isp.CpuInfo = record;
    return result;
  });
}

TCommandResult TPinletController::UploadErase() {
  if (!DryRun) return EraseFlash();
  return RunFlashCommand(false, kInitFailure, [this](TmCAtgeneric& isp) {
    if (!IdentifyChip(isp)) return TCommandResult::Failed;
    LogEraseEffectOnEeprom(isp);
    Log("Dry run: the chip would be erased now. Nothing was erased.\r\n", clLogBlue);
    return TCommandResult::Done;
  });
}

TCommandResult TPinletController::UploadWriteConfig(const TConfigRequest& request, TLockoutConsent consent) {
  return WriteConfig(request, consent); // which honours DryRun
}

TCommandResult TPinletController::LoadFileAs(const std::string& file_name, TImageMemory memory,
                                             const std::string& kind_extension,
                                             const std::vector<uint8_t>* content) {
  if (busy_) return TCommandResult::Refused;
  // No event reaches the front end meanwhile, so nothing can start a command inside this one.
  std::shared_ptr<IuCFile> file = FileOfKind(kind_extension);
  if (!file) {
    Log("Unknown file format!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if ((content ? file->LoadFromStream(NewMemoryIStream(*content)) : file->LoadFromFile(file_name)) != S_OK) {
    Log("Error loading file!\r\n", clLogRed);
    if (const std::string reason = file->LastErrorText(); !reason.empty()) Log(reason + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  std::shared_ptr<IuCMemStream>& slot = memory == TImageMemory::Eeprom ? eeprom_ : meta_;
  slot = QueryInterface<IuCMemStream>(file);
  if (!slot) {
    Log("Error retreiving stream interface!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if (OnFileLoaded && !content) OnFileLoaded(file_name);
  Log(Text("Loaded %s; %dbytes\r\n", file_name.c_str(), int(ImageSize(*slot))), clLogGreen);
  return TCommandResult::Done;
}

TCommandResult TPinletController::SaveFileAs(const std::string& file_name, TImageMemory memory,
                                             const std::string& kind_extension) {
  const std::shared_ptr<IuCMemStream> image = Image(memory);
  if (busy_ || !image) return TCommandResult::Refused;
  // No event reaches the front end meanwhile, so nothing can start a command inside this one.
  std::shared_ptr<IuCFile> file = FileOfKind(kind_extension);
  std::string reason;
  if (!file) {
    Log("Unknown file format!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if (::CheckSaveTarget(file_name, reason) != S_OK) {
    Log("Error saving file!\r\n", clLogRed);
    if (!reason.empty()) Log(reason + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  return SaveImageToFile(image, file, file_name);
}

TCommandResult TPinletController::ImageFileBytes(TImageMemory memory, const std::string& kind_extension,
                                                 std::vector<uint8_t>& bytes) {
  const std::shared_ptr<IuCMemStream> image = Image(memory);
  if (busy_ || !image) return TCommandResult::Refused;
  std::shared_ptr<IuCFile> file = FileOfKind(kind_extension);
  auto stream = QueryInterface<IuCMemStream>(file);
  if (!stream) {
    Log("Unknown file format!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  image->CopyAllTo(stream);
  const std::shared_ptr<IStream> out = NewMemoryIStream();
  if (file->SaveToStream(out) != S_OK) {
    Log("Error saving file!\r\n", clLogRed);
    if (const std::string why = file->LastErrorText(); !why.empty()) Log(why + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  bytes = ReadAllFromIStream(out);
  return TCommandResult::Done;
}

TCommandResult TPinletController::ReadValueFile(const std::string& file_name,
                                                const std::string& kind_extension,
                                                std::vector<uint8_t>& bytes) {
  std::shared_ptr<IuCFile> file = FileOfKind(kind_extension);
  auto stream = QueryInterface<IuCMemStream>(file);
  if (!stream) {
    Log("Unknown file format!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if (file->LoadFromFile(file_name) != S_OK) {
    Log("Error loading file!\r\n", clLogRed);
    if (const std::string reason = file->LastErrorText(); !reason.empty()) Log(reason + "\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  bytes.clear();
  stream->Rewind();
  for (uint8_t value = 0; stream->GetByte(&value) == S_OK;) bytes.push_back(value);
  return TCommandResult::Done;
}
