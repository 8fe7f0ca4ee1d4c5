// The fuse and lock commands that write: the chip's bytes are read, the request is planned
// (app/uFuseEdit.h), the plan is shown, the user is asked, and only the bytes that change are
// written, each read back. A plan with a refusal writes nothing at all.
#include "app/uController.h"

#include "core/uAVR_at90.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uAvrMemories.h"

#include <cstdio>

namespace {

constexpr const char* kInitFailureConfig = "Could not initialize interface class(";

std::string Hex(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string StateText(bool programmed) {
  return programmed ? "programmed" : "unprogrammed";
}

std::string ErrorText(TmCAtgeneric& isp, HRESULT status) {
  std::string text;
  if (isp.GetErrorText(status, text) == 0) return text;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X!", uint32_t(status));
  return buffer;
}

// What a request is about, for the questions and the messages.
const char* WhatOf(const TConfigPlan& plan) {
  bool fuses = false, lock = false;
  for (const TConfigBytePlan& b : plan.Bytes)
    if (b.Write) (b.Id == TConfigByteId::Lock ? lock : fuses) = true;
  return fuses && lock ? "fuse and lock bytes" : lock ? "lock byte" : "fuse bytes";
}

} // namespace

bool TPinletController::ReadConfigBytes(TmCAtgeneric& isp, TConfigChip& chip) {
  if (!isp.Identify(false) || !isp.CpuInfo) return false;
  chip = DescribeConfigChip(*isp.CpuInfo, isp.Memories());
  for (TConfigByte& byte : chip.Bytes) {
    if (!byte.Present) continue;
    uint8_t value = 0xFF;
    const HRESULT status = isp.ReadConfigByte(ConfigByteMemory(byte.Id), value);
    if (status == S_OK) {
      byte.Current = value;
    } else if (status != ISP_E_NOTSUPPORTED) {
      Log(std::string("Error reading the ") + ConfigByteLabel(byte.Id) + "!\r\n", clLogRed);
      LogFaultCause(isp, status);
      return false;
    }
  }
  return true;
}

TCommandResult TPinletController::ReadConfig(TConfigChip& chip) {
  return RunFlashCommand(false, kInitFailureConfig, [&](TmCAtgeneric& isp) {
    if (!IdentifyChip(isp)) return TCommandResult::Failed;
    return ReadConfigBytes(isp, chip) ? TCommandResult::Done : TCommandResult::Failed;
  });
}

void TPinletController::LogConfigPlan(const TConfigPlan& plan) {
  for (const TConfigBytePlan& b : plan.Bytes) {
    const std::string name = ConfigByteName(b.Id);
    if (!b.Write) {
      Log(name + ": " + Hex(b.New) + " already, not written\r\n", clLogBlue);
      continue;
    }
    Log(name + ": " + (b.Current ? Hex(*b.Current) : std::string("(cannot be read)")) + " -> " + Hex(b.New) +
            "\r\n",
        clLogBlue);
    for (const TConfigBitChange& change : b.Changes)
      Log("  " + change.Name + (change.Description.empty() ? "" : " (" + change.Description + ")") + ": " +
              (change.WasProgrammed ? StateText(*change.WasProgrammed) + " -> " : std::string()) +
              StateText(change.Programmed) + "\r\n",
          clLogBlue);
  }
  for (const std::string& note : plan.Notes) Log(note + "\r\n", clLogBlack);
  for (const std::string& warning : plan.Warnings) Log(warning + "\r\n", clLogRed);
  for (const std::string& lockout : plan.Lockouts) Log(lockout + "\r\n", clLogRed);
  for (const std::string& error : plan.Errors) Log(error + "\r\n", clLogRed);
}

TCommandResult TPinletController::WriteConfig(const TConfigRequest& request, TLockoutConsent consent) {
  return RunFlashCommand(false, kInitFailureConfig, [&](TmCAtgeneric& isp) {
    if (!IdentifyChip(isp)) return TCommandResult::Failed;
    TConfigChip chip;
    if (!ReadConfigBytes(isp, chip)) return TCommandResult::Failed;
    const TConfigPlan plan = PlanConfigChange(chip, request);
    LogConfigPlan(plan);
    if (!plan.Errors.empty()) {
      Log("Nothing was written.\r\n", clLogRed);
      return TCommandResult::Failed;
    }
    if (!plan.Lockouts.empty() && consent == TLockoutConsent::Refuse) {
      Log("Refused: nothing was written. Add --allow-lockout to write it anyway.\r\n", clLogRed);
      return TCommandResult::Failed;
    }
    // A dry run has met the same refusals as a write: that it passes says the write would be taken.
    if (DryRun) {
      Log(plan.HasWrites() ? "Dry run: these bytes would be written. Nothing was written.\r\n"
                           : "The chip holds these values already: nothing to write.\r\n",
          clLogBlue);
      return TCommandResult::Done;
    }
    if (!plan.HasWrites()) {
      Log("The chip holds these values already: nothing to write.\r\n", clLogGreen);
      return TCommandResult::Done;
    }
    const std::string what = WhatOf(plan);
    if (!confirm_.AskYesNo("Shall I write the " + what + " of " + chip.ChipName + "?"))
      return TCommandResult::Declined;
    if (!plan.Lockouts.empty() && consent == TLockoutConsent::AskAgain) {
      std::string consequences;
      for (const std::string& lockout : plan.Lockouts)
        consequences += (consequences.empty() ? "" : " ") + lockout;
      if (!confirm_.AskYesNo(consequences + " Do you really want this?")) return TCommandResult::Declined;
    }
    // Fuses first, the lock byte last: programmed lock bits lock the fuses.
    for (const TConfigBytePlan& b : plan.Bytes) {
      if (!b.Write) continue;
      const TAvrMemory memory = ConfigByteMemory(b.Id);
      const std::string name = ConfigByteName(b.Id);
      if (const HRESULT status = isp.WriteConfigByte(memory, b.New); status != S_OK) {
        Log("Error writing the " + std::string(ConfigByteLabel(b.Id)) + "! " + ErrorText(isp, status) +
                "\r\n",
            clLogRed);
        LogFaultCause(isp, status);
        return TCommandResult::Failed;
      }
      const TConfigByte& byte = chip[b.Id];
      if (byte.ReadableBits == 0) {
        Log(name + " written: " + Hex(b.New) + " (this chip cannot report it: not verified)\r\n", clLogGreen);
        continue;
      }
      uint8_t back = 0xFF;
      if (const HRESULT status = isp.ReadConfigByte(memory, back); status != S_OK) {
        Log("Error reading the " + std::string(ConfigByteLabel(b.Id)) + " back! " + ErrorText(isp, status) +
                "\r\n",
            clLogRed);
        LogFaultCause(isp, status);
        return TCommandResult::Failed;
      }
      if (((back ^ b.New) & byte.ReadableBits) != 0) {
        Log(ErrorText(isp, ISP_E_FUSEVERIFY) + " (" + name + ": wrote " + Hex(b.New) + ", read back " +
                Hex(back) + ")\r\n",
            clLogRed);
        return TCommandResult::Failed;
      }
      Log(name + " written and read back: " + Hex(back) + "\r\n", clLogGreen);
    }
    return TCommandResult::Done;
  });
}
