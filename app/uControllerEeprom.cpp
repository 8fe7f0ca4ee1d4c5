// The EEPROM commands: read, write, verify and dump of the EEPROM image, and what a chip erase does
// to the EEPROM. They run in the frame of the flash transfers (uController.cpp) and log like them.
#include "app/uController.h"

#include "core/uAVR_at90.h"
#include "core/uAvr_base_TLB.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"
#include "memimage/uAvrMemFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr HRESULT kAbortStatus = static_cast<HRESULT>(0x80004004u); // a progress sink's cancel

// The texts here are short and hold no file names.
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

} // namespace

const char* ImageMemoryName(TImageMemory memory) {
  return memory == TImageMemory::Eeprom ? "eeprom" : "flash";
}

std::optional<TImageMemory> ImageMemoryFromName(const std::string& name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  for (TImageMemory memory : {TImageMemory::Flash, TImageMemory::Eeprom})
    if (lower == ImageMemoryName(memory)) return memory;
  return std::nullopt;
}

TCommandResult TPinletController::Read(TImageMemory memory) {
  return memory == TImageMemory::Eeprom ? ReadEeprom() : ReadFlash();
}

TCommandResult TPinletController::Write(TImageMemory memory) {
  return memory == TImageMemory::Eeprom ? WriteEeprom() : WriteFlash();
}

TCommandResult TPinletController::Verify(TImageMemory memory) {
  return memory == TImageMemory::Eeprom ? VerifyEeprom() : VerifyFlash();
}

int32_t TPinletController::EepromSizeOrReport(TmCAtgeneric& isp) {
  if (!isp.Identify(false)) {
    Log("Could not identify this \xC2\xB5"
        "C!\r\n",
        clLogRed);
    LogFaultCause(isp, S_OK); // a chip that does not answer is no unknown chip
    return -1;
  }
  const int32_t size = isp.CpuInfo->MemSize.EEPROM;
  if (size < 0) {
    Log("EEPROM size not properly defined in \"Signatures\" DB!\r\n", clLogRed);
  } else if (size == 0) {
    Log("The " + isp.CpuInfo->CpuName + " has no EEPROM!\r\n", clLogRed);
  } else if (std::string cause; !RecordSizesUsable(*isp.CpuInfo, &cause)) {
    Log(cause + "\r\n", clLogRed);
    return -1;
  } else {
    return size;
  }
  return -1;
}

TCommandResult TPinletController::ReadEeprom() {
  return RunFlashCommand(false, "Could not initialize interface class (", [this](TmCAtgeneric& isp) {
    const int32_t size = EepromSizeOrReport(isp);
    if (size <= 0) return TCommandResult::Failed;
    if (!ConfirmSignatureMatch(isp.Signature)) return TCommandResult::Declined;
    // As for the flash: a failed read leaves what was read so far, the old image is gone.
    eeprom_ = NewMetaMemory();
    Log(Text("Reading %d bytes of EEPROM...\r\n", int(size)), clLogGreen);
    return TransferImage(isp, &TmCAtgeneric::ReadEeprom, eeprom_);
  });
}

bool TPinletController::EepromImageReady(const char* nothing_to) {
  if (busy_ || !bus_) return true; // the frame refuses it
  if (!eeprom_) {
    Log("Load a file first!\r\n", clLogRed);
    return false;
  }
  if (ImageSize(*eeprom_) > 0) return true;
  Log(Text("The image is empty: there is nothing to %s!\r\n", nothing_to), clLogRed);
  return false;
}

bool TPinletController::EepromImageFits(TmCAtgeneric& isp) {
  const int32_t size = EepromSizeOrReport(isp);
  if (size <= 0) return false;
  const int32_t image = ImageSize(*eeprom_);
  if (image <= size) return true;
  Log(Text("The EEPROM image (%d bytes) is bigger than the EEPROM of the %s (%d bytes)!\r\n", int(image),
           isp.CpuInfo->CpuName.c_str(), int(size)),
      clLogRed);
  return false;
}

TCommandResult TPinletController::WriteEeprom() {
  if (!EepromImageReady("write")) return TCommandResult::Failed;
  return RunFlashCommand(false, "Could not initialize interface class(", [this](TmCAtgeneric& isp) {
    if (!ImageBuiltForChip(isp, TImageMemory::Eeprom)) return TCommandResult::Failed;
    Log(Text("Writing %d bytes to the EEPROM...\r\n", int(ImageSize(*eeprom_))), clLogGreen);
    if (!EepromImageFits(isp)) return TCommandResult::Failed;
    if (!ConfirmSignatureMatch(isp.Signature) || !confirm_.AskYesNo("Shall I really overwrite the EEPROM?"))
      return TCommandResult::Declined;
    return TransferImage(isp, &TmCAtgeneric::WriteEeprom, eeprom_);
  });
}

TCommandResult TPinletController::VerifyEeprom() {
  if (!EepromImageReady("compare")) return TCommandResult::Failed;
  return RunFlashCommand(false, "Could not initialize interface class(", [this](TmCAtgeneric& isp) {
    Log(Text("Comparing %d bytes of EEPROM...\r\n", int(ImageSize(*eeprom_))), clLogGreen);
    if (!EepromImageFits(isp)) return TCommandResult::Failed;
    const TCommandResult result = TransferImage(isp, &TmCAtgeneric::VerifyEeprom, eeprom_);
    if (result == TCommandResult::Done) Log("The EEPROM image and the EEPROM are equal.\r\n", clLogBlue);
    return result;
  });
}

void TPinletController::LogEraseEffectOnEeprom(TmCAtgeneric& isp) {
  if (!isp.Identify(false) || isp.CpuInfo->MemSize.EEPROM <= 0) return;
  if (!isp.EraseClearsEeprom())
    Log("The EEPROM is kept (EESAVE is programmed).\r\n", clLogBlue);
  else if (isp.Memories().EesaveBit < 0)
    Log("The chip erase also erases the EEPROM (this chip has no EESAVE fuse).\r\n", clLogRed);
  else
    Log("The chip erase also erases the EEPROM (EESAVE is not programmed).\r\n", clLogRed);
}

TCommandResult TPinletController::DumpEepromImage() {
  const std::shared_ptr<IuCMemStream> image = eeprom_;
  const std::shared_ptr<IProgressSink> events = events_;
  const int32_t size = ImageSize(*image);
  image->Rewind();
  if (events) events->SetProgress(0);
  // The EEPROM is addressed by bytes, so its rows are 16 bytes at their own addresses; a last
  // short row is finished like a full one.
  std::string column;
  TCommandResult result = TCommandResult::Done;
  for (int32_t i = 0; i < size; ++i) {
    if (i % 16 == 0) Log(Text("0x%04X:", unsigned(i)), clLogGreen);
    uint8_t byte = 0;
    if (image->GetByte(&byte) != S_OK) break;
    Log(Text("%02X ", unsigned(byte)), clLogBlack);
    column += (byte >= 32 && byte <= 127) ? char(byte) : '.';
    if (i % 16 == 15 || i + 1 == size) {
      Log(column + "\r\n", clLogBlue);
      column.clear();
      if (events) {
        events->SetProgress(int32_t(int64_t(i) * 100 / size));
        const HRESULT idle = events->Idle();
        if (idle == kAbortStatus || cancel_requested_) {
          result = TCommandResult::Failed;
          break;
        }
      }
    }
  }
  if (events) events->SetProgress(0);
  return result;
}
