#include "cli/uCliRun.h"

#include "app/uPortSelect.h"
#include "cli/uCliConsole.h"
#include "cli/uCliSignals.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

namespace {

int ListPortsCommand(const TCliTerminal& terminal) {
  const std::vector<TPortEntry> ports = ListPorts();
  size_t name_width = 4, kind_width = 4;
  for (const auto& port : ports) {
    name_width = std::max(name_width, port.Name.size());
    kind_width = std::max(kind_width, std::strlen(PortTypeName(port.Type)));
  }
  std::fprintf(terminal.Out, "%-*s  %-*s  %s\n", int(name_width), "PORT", int(kind_width), "KIND", "NAME");
  for (const auto& port : ports)
    std::fprintf(terminal.Out, "%-*s  %-*s  %s\n", int(name_width), port.Name.c_str(), int(kind_width),
                 PortTypeName(port.Type), port.DisplayName.c_str());
  return kExitOk;
}

} // namespace

int RunCli(const TCliOptions& options, const TCliTerminal& terminal, const std::string& program_name,
           const TPinletController::TBusFactory& bus_factory) {
  if (options.Help) {
    std::fputs(UsageText(program_name).c_str(), terminal.Out);
    return kExitOk;
  }
  if (options.Version) {
    std::fprintf(terminal.Out, "pinlet %s\n", PINLET_VERSION);
    return kExitOk;
  }
  if (options.Command == TCliCommand::Ports) return ListPortsCommand(terminal);

  if (!options.SimChip.empty()) {
    // SIM2 and up come into being when they are given a chip, so the name decides here.
    if (SimPortNumberFromName(PortNameFromText(options.Port)) == 0) {
      std::fprintf(terminal.Err, "%s: --sim-chip applies to the simulated ports (SIM1, SIM2, ...) only\n",
                   program_name.c_str());
      return kExitUsage;
    }
    std::string error;
    if (!SelectSimulatedChip(PortNameFromText(options.Port), options.SimChip, options.DatabasePath, error)) {
      std::fprintf(terminal.Err, "%s: %s\n", program_name.c_str(), error.c_str());
      return kExitUsage;
    }
  }

  TConsoleLog log(terminal);
  auto progress = std::make_shared<TConsoleProgress>(terminal, log);
  log.SetBeforeWrite([p = progress.get()] { p->Wipe(); });
  TConsoleConfirm confirm(terminal, options.Yes);
  TPinletController controller(log, confirm);
  controller.DatabasePath = options.DatabasePath;
  controller.Pins = options.Pins;
  if (bus_factory) controller.BusFactory = bus_factory;
  controller.SetEventSink(progress);
  controller.SetAbortFlag(terminal.Abort);
  progress->SetController(&controller);

  // One run is one command: the database is read once and the chip reset once, however many
  // steps the command has (a write and its verify).
  controller.BeginSession();
  // Every way out closes the port (RESET released, port settings restored) before the status.
  auto finish = [&](TCommandResult result) {
    if (const TCommandResult ended = controller.EndSession();
        result == TCommandResult::Done && ended == TCommandResult::Failed)
      result = ended;
    controller.Free();
    progress->Wipe();
    log.FinishLine();
    if (const int signo = Interrupted(terminal)) return ExitStatusForSignal(signo);
    return ExitStatusFor(result);
  };
  // A signal ends the run before its next step.
  auto stopped = [&] { return Interrupted(terminal) != 0; };

  // The file is read before the port is opened, so a missing file costs no reset sequence.
  switch (options.Command) {
  case TCliCommand::Write:
  case TCliCommand::Verify:
  case TCliCommand::Dump:
    if (const TCommandResult loaded = controller.LoadFile(options.File, options.Memory);
        loaded != TCommandResult::Done || stopped())
      return finish(loaded);
    break;
  case TCliCommand::Read:
    // Checked before the read: a bad name (unknown kind, missing folder, a FIFO) would otherwise
    // only be refused after the whole flash has been read.
    if (!controller.CheckSaveTarget(options.File).Ok) return finish(TCommandResult::Failed);
    break;
  default:
    break;
  }

  if (options.Command == TCliCommand::Dump) return finish(controller.DumpMetaFile(options.Memory));
  // The self-test opens the port itself, once per wiring it tries.
  if (options.Command == TCliCommand::AdapterTest)
    return finish(controller.AdapterTest(options.Port, options.Speed));

  if (const TCommandResult connected = controller.Init(options.Port, options.Speed, options.Debug);
      !controller.HasBus() || stopped())
    return finish(connected);

  TCommandResult result = TCommandResult::Refused;
  switch (options.Command) {
  case TCliCommand::Signature:
    result = controller.ReadSignature();
    break;
  case TCliCommand::Calibration:
    result = controller.ReadCalibration();
    break;
  case TCliCommand::Locks:
  case TCliCommand::Fuses:
    if (options.SetConfig)
      result = controller.WriteConfig(options.ConfigRequest, options.AllowLockout ? TLockoutConsent::Allowed
                                                                                  : TLockoutConsent::Refuse);
    else
      result = options.Command == TCliCommand::Locks ? controller.ReadLockBits() : controller.ReadFuseBits();
    break;
  case TCliCommand::Erase:
    result = controller.EraseFlash();
    break;
  case TCliCommand::Read:
    result = controller.Read(options.Memory);
    if (result == TCommandResult::Done && !stopped())
      result = controller.SaveFile(options.File, options.Memory);
    break;
  case TCliCommand::Write:
    result = controller.Write(options.Memory);
    if (result == TCommandResult::Done && !options.NoVerify && !stopped())
      result = controller.Verify(options.Memory);
    break;
  case TCliCommand::Verify:
    result = controller.Verify(options.Memory);
    break;
  default:
    break;
  }
  return finish(result);
}
