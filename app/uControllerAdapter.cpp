// "adapter-test": the adapter's wires tested on their own (IAdapterSelfTest), then, with a chip,
// programming mode and its echo and the chip's signature. When no chip answers and the wiring is
// configurable, the likely mistakes are tried with an altered wiring, so that the user is told
// which --pins to use.
#include "app/uController.h"

#include "app/uPortSelect.h"
#include "app/uSckSpeed.h"
#include "core/uAVR_at90.h"
#include "core/uSpiBus_base.h"
#include "devicedb/uAVR_base.h"
#include "hw/uAdapterTest.h"
#include "hw/uPinMap.h"

#include <cstdio>
#include <optional>
#include <utility>

namespace {

// The kind of adapter behind a bus, for the back ends whose wiring is configurable.
std::optional<TPinKind> PinKindOfBus(TSpiBusBase& bus) {
  if (const auto* self_test = dynamic_cast<const IAdapterSelfTest*>(&bus)) return self_test->WiringKind();
  return std::nullopt;
}

std::string AssignText(const TPinAssign& assign) {
  return (assign.Inverted ? "~" : "") + (assign.Pin >= 0 ? std::to_string(assign.Pin) : assign.Name);
}

// The --pins text of a wiring: the signals that differ from the kind's default wiring; "" for the
// default wiring itself.
std::string PinMapText(const TPinMap& map, TPinKind kind) {
  const TPinMap standard = DefaultPinMap(kind);
  std::string text;
  auto add = [&](const char* key, const TPinAssign& assign, const TPinAssign& default_assign) {
    if (assign == default_assign) return;
    text += (text.empty() ? "" : ",") + std::string(key) + "=" + AssignText(assign);
  };
  add("reset", map.Reset, standard.Reset);
  if (kind != TPinKind::Spi) {
    add("sck", map.Sck, standard.Sck);
    add("mosi", map.Mosi, standard.Mosi);
    add("miso", map.Miso, standard.Miso);
  }
  if (map.Buffers != standard.Buffers)
    for (const TPinAssign& buffer : map.Buffers)
      text += (text.empty() ? "" : ",") + ("buff=" + AssignText(buffer));
  return text;
}

uint32_t VerdictColour(TWireVerdict verdict) {
  switch (verdict) {
  case TWireVerdict::Ok:
    return clLogGreen;
  case TWireVerdict::Broken:
  case TWireVerdict::Shorted:
    return clLogRed;
  case TWireVerdict::Unseen:
    break;
  }
  return clLogBlue;
}

std::string HexSignature(const TAvrSignature& sig) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X:%02X:%02X", sig.byte1, sig.byte2, sig.byte3);
  return text;
}

} // namespace

TCommandResult TPinletController::AdapterTest(const std::string& port_text, uint8_t speed) {
  if (busy_ || bus_) return TCommandResult::Refused;
  // Marks the controller busy, as every command does, so that the window cannot start another
  // one from inside this one.
  struct TBusy {
    TPinletController& owner;
    explicit TBusy(TPinletController& o) : owner(o) {
      owner.busy_ = true;
      owner.cancel_requested_ = false;
    }
    ~TBusy() { owner.busy_ = false; }
  } busy(*this);

  const std::string name = PortNameFromText(port_text);
  Log("Adapter test on " + name + ".\r\n", clLogGreen);

  // Opens the bus for a wiring, as Init does; null after saying why it could not be opened.
  auto open = [&](std::string pins, bool report) -> std::unique_ptr<TSpiBusBase> {
    const std::string saved = std::exchange(Pins, pins);
    std::string detail;
    std::unique_ptr<TSpiBusBase> bus = BusFactory ? BusFactory(name, DatabasePath, detail) : nullptr;
    Pins = saved;
    HRESULT status = E_FAIL;
    if (bus) {
      bus->SetAbortFlag(abort_flag_);
      bus->Speed = speed == kSpeedAuto ? FastestLevelForClock(kAutoEntryHz, bus.get()) : speed;
      status = bus->CheckHardware();
      // A missing loop-back is a finding of the wire test, not a reason to stop.
      if (status == SPI_E_NOHARDWARE) status = S_OK;
      if (status != S_OK && detail.empty()) detail = bus->LastErrorText();
    }
    if (status == S_OK) return bus;
    if (report) {
      std::string text;
      if (bus && bus->GetErrorText(status, text) == 0) Log("Error: " + text + "\r\n", clLogRed);
      if (detail.empty()) detail = name + " could not be opened.";
      Log(detail + "\r\n", clLogRed);
    }
    return nullptr;
  };

  // Programming mode with its echo, the signature, programming mode left: what a chip on the
  // bus says. The bus is the caller's and stays open.
  struct TChipAnswer {
    bool answered = false;
    std::optional<TAvrSignature> signature;
  };
  bool database_tried = false, database = false; // the device database, to name the chip
  auto ask_chip = [&](TSpiBusBase& bus) {
    TChipAnswer answer;
    TmCAtgeneric isp(&bus);
    if (!database_tried) {
      isp.DatabasePath = DatabasePath;
      std::string error_text;
      database = isp.LoadDatabase(error_text) == S_OK;
      database_tried = true;
    }
    // EnterProgMode is satisfied only by the chip's echo of the Programming Enable's second byte,
    // which a line resting high or low, or MISO shorted to MOSI, cannot give.
    answer.answered = isp.EnterProgMode() == S_OK;
    TAvrSignature sig;
    if (answer.answered && isp.ReadSignature(sig) == S_OK) answer.signature = sig;
    if (isp.LeaveProgMode() != S_OK && !bus.LastErrorText().empty())
      Log(bus.LastErrorText() + "\r\n", clLogRed);
    return answer;
  };

  std::unique_ptr<TSpiBusBase> bus = open(Pins, true);
  if (!bus) return TCommandResult::Failed;

  const std::optional<TPinKind> kind = PinKindOfBus(*bus);
  TPinMap map;
  std::string error;
  const bool map_known = kind && ParsePinMap(Pins, *kind, map, error);
  if (map_known)
    Log(std::string("Wiring (") + PinKindName(*kind) + "): " + DescribePinMap(map, *kind) + ".\r\n",
        clLogGreen);

  // The wires on their own, with the target held in reset.
  bool wires_fine = true, miso_shorted = false, miso_low = false;
  if (auto* self_test = dynamic_cast<IAdapterSelfTest*>(bus.get())) {
    for (const TWireFinding& finding : self_test->TestWires()) {
      Log(finding.Text + "\r\n", VerdictColour(finding.Verdict));
      if (finding.Verdict == TWireVerdict::Broken || finding.Verdict == TWireVerdict::Shorted)
        wires_fine = false;
      if (finding.Wire == "MISO") {
        miso_shorted = finding.Verdict == TWireVerdict::Shorted;
        miso_low = finding.Verdict == TWireVerdict::Broken;
      }
    }
  } else {
    Log("This adapter cannot test its wires on its own; only a chip's answer can tell.\r\n", clLogBlue);
  }

  // The chip.
  auto report_chip = [&](const TChipAnswer& answer) {
    if (!answer.signature) {
      Log("The chip answered, but its signature could not be read.\r\n", clLogRed);
      return;
    }
    Log("Signature: " + HexSignature(*answer.signature) +
            (database ? " - " + DescribeCpu(*answer.signature) : " (the device database could not be read)") +
            "\r\n",
        clLogBlue);
  };
  const TChipAnswer answer = ask_chip(*bus);
  const bool aborted = bus->AbortRequested();
  bus.reset(); // the port is closed: lines idle, RESET released
  // A signal stops the instructions, which would otherwise read as a chip that does not answer.
  if (aborted) {
    Log("Cancelled by the user!\r\n", clLogRed);
    return TCommandResult::Failed;
  }
  if (answer.answered) {
    Log("The chip answered in programming mode: RESET, SCK, MOSI and MISO reach it.\r\n", clLogGreen);
    report_chip(answer);
    if (!wires_fine) Log("The chip answers, but the wires above need a look.\r\n", clLogRed);
    return wires_fine ? TCommandResult::Done : TCommandResult::Failed;
  }

  if (miso_shorted)
    Log("No chip answered in programming mode, as the short on MISO above explains.\r\n", clLogRed);
  else if (miso_low)
    Log("No chip answered in programming mode, as MISO held low above explains.\r\n", clLogRed);
  else
    Log("No chip answered in programming mode: no chip on the cable, no power on the target, a broken "
        "RESET, SCK, MOSI or MISO wire, RESET inverted, or MOSI and MISO swapped.\r\n",
        clLogRed);

  // The mistakes a wiring can make, tried where the wiring is configurable.
  if (map_known) {
    struct TTrial {
      const char* finding; // what a trial that works shows
      std::string cannot;  // what to do where the kind cannot try it
      TPinMap map;
    };
    std::vector<TTrial> trials;
    TPinMap swapped = map;
    std::swap(swapped.Mosi, swapped.Miso);
    // The SPI controller's own pins are fixed; the old ports have outputs and inputs on other pins.
    if (*kind != TPinKind::Spi)
      trials.push_back({"MOSI and MISO look swapped",
                        std::string("MOSI and MISO cannot trade pins on a ") + PinKindName(*kind) +
                            " port: if they are swapped, exchange the two wires.",
                        swapped});
    TPinMap inverted = map;
    inverted.Reset.Inverted = !inverted.Reset.Inverted;
    trials.push_back({"RESET looks inverted", "", inverted});
    for (const TTrial& trial : trials) {
      const std::string text = PinMapText(trial.map, *kind);
      TPinMap check;
      if (!ParsePinMap(text, *kind, check, error)) {
        if (!trial.cannot.empty()) Log(trial.cannot + "\r\n", clLogBlue);
        continue;
      }
      std::unique_ptr<TSpiBusBase> tried = open(text, false);
      if (!tried) continue;
      const TChipAnswer tried_answer = ask_chip(*tried);
      tried.reset();
      if (!tried_answer.answered) continue;
      Log(std::string(trial.finding) + ": try " + (text.empty() ? "without --pins" : "--pins " + text) +
              ".\r\n",
          clLogRed);
      report_chip(tried_answer);
      return TCommandResult::Failed;
    }
  }
  // A trial's wiring released RESET the way that wiring does it, which on this cable may hold the
  // target in reset: the user's wiring has the last word.
  if (map_known) open(Pins, false).reset();
  if (!wires_fine) return TCommandResult::Failed;
  Log("No chip answered.\r\n", clLogRed);
  return TCommandResult::NoChip;
}
