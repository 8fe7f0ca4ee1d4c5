// Wiring as configuration on the parallel and serial back ends: cables wired otherwise than the
// default, buffer-enable pins, what each wiring costs per bit, and the wiring self-test.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakePortDevice.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSimChip.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/VectorMemStream.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kLpt = "/dev/parport0";
constexpr const char* kTty = "/dev/ttyUSB0";

TPinMap Parse(TPinKind kind, const char* text) {
  TPinMap map;
  std::string error;
  EXPECT_TRUE(ParsePinMap(text, kind, map, error)) << error;
  return map;
}

// A cable of the given wiring on one port with a chip behind it; the bus wired as told.
struct WiredRig {
  WiredRig(TPinKind kind, const TPinMap& cable, const TPinMap& bus_pins)
      : node(kind == TPinKind::Parallel ? fake->AddParallel(kLpt) : fake->AddSerial(kTty)) {
    SignatureTable = {record};
    node.keep_events = false;
    if (cable != DefaultPinMap(kind)) node.WireAs(cable);
    node.chip = &chip;
    if (kind == TPinKind::Parallel)
      bus = CreateSpiBus<TSpiBus_LPT>(1, fake, kLpt, bus_pins);
    else
      bus = CreateSpiBus<TSpiBus_COM>(1, fake, kTty, bus_pins);
    bus->Speed = sdFastest;
    isp = std::make_unique<TmCAtgeneric>(bus.get());
  }
  ~WiredRig() {
    isp.reset();
    bus.reset();
    SignatureTable.clear();
  }
  std::vector<TWireFinding> TestWires() { return dynamic_cast<IAdapterSelfTest&>(*bus).TestWires(); }

  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped{clock};
  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TFakeNode& node;
  TAvrSigType record = SimRecordMega328P();
  TSimAvrChip chip{record};
  std::unique_ptr<TSpiBusBase> bus;
  std::unique_ptr<TmCAtgeneric> isp;
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 37 + (i >> 7));
  return bytes;
}

const TWireFinding* Find(const std::vector<TWireFinding>& findings, const std::string& wire) {
  for (const auto& finding : findings)
    if (finding.Wire.rfind(wire, 0) == 0) return &finding;
  return nullptr;
}

int Count(const std::vector<TWireFinding>& findings, TWireVerdict verdict) {
  return int(
      std::count_if(findings.begin(), findings.end(), [&](const auto& f) { return f.Verdict == verdict; }));
}

TEST(PortWiring, OtherCablesProgramTheChipWhenTheBusIsWiredLikeThem) {
  struct Case {
    TPinKind kind;
    const char* pins;
  };
  // A "dapa" parallel cable, a "dasa" serial cable, and inverted lines on both kinds.
  for (const Case& c : {Case{TPinKind::Parallel, "reset=3,sck=5,mosi=2,miso=11"},
                        Case{TPinKind::Serial, "reset=RTS,sck=DTR,mosi=TXD,miso=CTS"},
                        Case{TPinKind::Parallel, "reset=~9,miso=~12"},
                        Case{TPinKind::Serial, "reset=~DTR,sck=TXD,mosi=RTS,miso=DCD"},
                        // MOSI on STROBE, a control pin the port inverts ("futurlec"), and a cable
                        // powered from four data pins ("bsd").
                        Case{TPinKind::Parallel, "reset=3,sck=2,mosi=1,miso=10"},
                        Case{TPinKind::Parallel, "vcc=2,vcc=3,vcc=4,vcc=5,reset=7,sck=8,mosi=9,miso=10"}}) {
    SCOPED_TRACE(c.pins);
    const TPinMap map = Parse(c.kind, c.pins);
    {
      WiredRig rig(c.kind, map, map);
      ASSERT_EQ(rig.bus->CheckHardware(), S_OK) << "a cable without loop-backs counts as present";
      ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
      TAvrSignature sig;
      ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
      EXPECT_EQ(sig, rig.record.Sig);
      const std::vector<uint8_t> data = Pattern(1024);
      auto image = std::make_shared<TVectorMemStream>(data);
      ASSERT_EQ(rig.isp->WriteFlash(image), S_OK);
      EXPECT_TRUE(std::equal(data.begin(), data.end(), rig.chip.Flash().begin()));
      EXPECT_EQ(rig.isp->VerifyFlash(image), S_OK);
      rig.isp->LeaveProgMode();
      rig.isp.reset();
      rig.bus.reset();
      EXPECT_FALSE(rig.chip.InProgMode());
      EXPECT_EQ(rig.node.ChipSide().reset, 1) << "RESET released after close";
    }
    // The bus on its default wiring does not reach the chip through this cable.
    WiredRig wrong(c.kind, map, DefaultPinMap(c.kind));
    EXPECT_NE(wrong.isp->EnterProgMode(), S_OK);
  }
}

TEST(PortWiring, BufferPinsAreHeldWhileThePortIsInUseAndReleasedAfter) {
  const TPinMap map = Parse(TPinKind::Parallel, "buff=4,buff=~8");
  WiredRig rig(TPinKind::Parallel, map, map);
  // Pin 4 is data bit 2, pin 8 bit 6: enabled low and high.
  EXPECT_EQ(rig.node.data & 0x44, 0x40);
  EXPECT_EQ(rig.node.data & 0x80, 0x00) << "RESET held through the buffer";
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  rig.isp->LeaveProgMode();
  rig.isp.reset();
  rig.bus.reset();
  EXPECT_EQ(rig.node.data & 0x44, 0x04) << "both buffer pins at their off level";
  EXPECT_EQ(rig.node.data & 0x80, 0x80) << "RESET released before the buffer let go";

  // A cable whose buffer the bus does not enable shows the chip nothing.
  WiredRig unbuffered(TPinKind::Parallel, map, DefaultPinMap(TPinKind::Parallel));
  EXPECT_NE(unbuffered.isp->EnterProgMode(), S_OK);
}

// Outputs on the control register: the port inverts three of its four pins, the bits that are not
// the wiring's go back as found, and the power pins stay on so that the target runs on.
TEST(PortWiring, ControlPinsAreDrivenAtTheirPinLevelsAndTheRestOfTheRegisterIsRestored) {
  const TPinMap map = Parse(TPinKind::Parallel, "reset=17,sck=14,mosi=16,miso=13,vcc=~2");
  WiredRig rig(TPinKind::Parallel, map, map);
  rig.bus.reset();
  rig.node.control = 0x31; // as another program left it: STROBE low, two upper bits set
  rig.bus = CreateSpiBus<TSpiBus_LPT>(1, rig.fake, kLpt, map);
  rig.bus->Speed = sdFastest;
  rig.isp = std::make_unique<TmCAtgeneric>(rig.bus.get());
  EXPECT_EQ(rig.node.OutputLevel(17), 0) << "RESET held: SELECTIN low";
  EXPECT_EQ(rig.node.OutputLevel(2), 0) << "power on a pin the cable inverts";
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  TAvrSignature sig;
  ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
  EXPECT_EQ(sig, rig.record.Sig);
  rig.isp->LeaveProgMode();
  rig.isp.reset();
  rig.bus.reset();
  EXPECT_EQ(rig.node.OutputLevel(17), 1) << "RESET released at close";
  EXPECT_EQ(rig.node.control & ~0x0E, 0x31 & ~0x0E) << "STROBE and the upper bits as found";
  EXPECT_EQ(rig.node.OutputLevel(2), 0) << "the target stays powered";
  EXPECT_EQ(rig.node.ChipSide().reset, 1);
}

TEST(PortWiring, WiringThePortCannotCarryIsRefusedAtOpen) {
  auto fake = std::make_shared<TFakePortDevice>();
  TFakeNode& lpt = fake->AddParallel(kLpt);
  fake->AddSerial(kTty);
  TPinMap map = DefaultPinMap(TPinKind::Parallel);
  map.Sck.Pin = 12; // an input
  TSpiBus_LPT parallel(fake, kLpt, map);
  EXPECT_EQ(parallel.OpenPort(1), E_INVALIDARG);
  EXPECT_NE(parallel.LastErrorText().find("pin 12"), std::string::npos) << parallel.LastErrorText();
  EXPECT_EQ(lpt.open_count, 0);
  map = DefaultPinMap(TPinKind::Serial);
  map.Mosi.Pin = map.Sck.Pin; // one line, two signals
  TSpiBus_COM serial(fake, kTty, map);
  EXPECT_EQ(serial.OpenPort(1), E_INVALIDARG);
  EXPECT_EQ(serial.CheckHardware(), SPI_E_NOPORT);
  EXPECT_EQ(fake->OpenDescriptors(), 0);
}

// A page load costs what it did before the wiring became configurable: two port writes per bit
// on the parallel port whatever its pins, one TIOCMSET per edge on the serial port while MOSI and
// SCK are modem lines; with one of them on TXD each changing line is a request of its own.
TEST(PortWiring, PageLoadCostPerBitDependsOnlyOnWhichLinesShareARequest) {
  struct Case {
    TPinKind kind;
    const char* pins;
    double most_per_bit;
  };
  for (const Case& c :
       {Case{TPinKind::Parallel, "", 2.0}, Case{TPinKind::Parallel, "reset=3,sck=5,mosi=2,miso=11", 2.0},
        Case{TPinKind::Serial, "", 2.0}, Case{TPinKind::Serial, "sck=DTR,mosi=RTS", 2.0},
        Case{TPinKind::Serial, "reset=RTS,sck=DTR,mosi=TXD", 3.0}}) {
    SCOPED_TRACE(c.pins);
    const TPinMap map = Parse(c.kind, c.pins);
    WiredRig rig(c.kind, map, map);
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    std::vector<TSpiFrame> load;
    for (uint8_t w = 0; w < 64; ++w) {
      load.push_back(SpiFrame(0x40, 0x00, w, uint8_t(w * 3)));
      load.push_back(SpiFrame(0x48, 0x00, w, uint8_t(w * 5 + 1)));
    }
    rig.fake->ResetCounts();
    ASSERT_EQ(rig.isp->Instructions(load), S_OK);
    const double bits = 32.0 * double(load.size());
    const double per_bit = double(rig.fake->Counts().ioctls - 1) / bits; // the last: resting the lines
    if (c.most_per_bit == 2.0)
      EXPECT_EQ(rig.fake->Counts().ioctls, 64 * load.size() + 1);
    else
      EXPECT_LE(per_bit, c.most_per_bit);
    EXPECT_GE(per_bit, 2.0);
    ASSERT_EQ(rig.isp->WritePage(0), S_OK);
    EXPECT_EQ(rig.chip.Flash()[2], 3) << "the load arrived";
  }
}

TEST(PortWiring, SelfTestSeesLoopBacksAndMisoButClaimsNothingItCannotSee) {
  for (TPinKind kind : {TPinKind::Parallel, TPinKind::Serial}) {
    SCOPED_TRACE(PinKindName(kind));
    const TPinMap standard = DefaultPinMap(kind);
    {
      WiredRig good(kind, standard, standard);
      const auto findings = good.TestWires();
      EXPECT_EQ(Count(findings, TWireVerdict::Broken) + Count(findings, TWireVerdict::Shorted), 0);
      ASSERT_NE(Find(findings, "loop-back"), nullptr);
      EXPECT_EQ(Find(findings, "loop-back")->Verdict, TWireVerdict::Ok);
      for (const char* wire : {"RESET", "SCK", "MOSI", "MISO"}) {
        ASSERT_NE(Find(findings, wire), nullptr) << wire;
        EXPECT_EQ(Find(findings, wire)->Verdict, TWireVerdict::Unseen) << wire;
      }
      EXPECT_FALSE(good.chip.InProgMode()) << "the test never armed the chip";
      EXPECT_EQ(good.node.ChipSide().reset, 1) << "RESET released after the test";
      EXPECT_EQ(good.node.ChipSide().sck, 0);
      // The chip still enters programming mode afterwards.
      EXPECT_EQ(good.isp->EnterProgMode(), S_OK);
    }
    {
      WiredRig unplugged(kind, standard, standard);
      unplugged.node.adapter_present = false;
      const auto findings = unplugged.TestWires();
      for (const auto& finding : findings)
        if (finding.Wire.rfind("loop-back", 0) == 0) {
          EXPECT_EQ(finding.Verdict, TWireVerdict::Broken);
        }
    }
    for (TFakeWire output : {TFakeWire::Mosi, TFakeWire::Sck}) {
      WiredRig shorted(kind, standard, standard);
      shorted.node.shorted[0] = output;
      shorted.node.shorted[1] = TFakeWire::Miso;
      const auto findings = shorted.TestWires();
      const char* name = output == TFakeWire::Mosi ? "MOSI" : "SCK";
      EXPECT_EQ(Find(findings, name)->Verdict, TWireVerdict::Shorted) << name;
      EXPECT_EQ(Find(findings, "MISO")->Verdict, TWireVerdict::Shorted);
      EXPECT_NE(Find(findings, "MISO")->Text.find(name), std::string::npos) << Find(findings, "MISO")->Text;
      EXPECT_EQ(Count(findings, TWireVerdict::Shorted), 2);
    }
    {
      TSimChipOptions options;
      options.resting_miso = 0;
      WiredRig stuck(kind, standard, standard);
      stuck.node.chip = nullptr;
      TSimAvrChip low(stuck.record, options);
      stuck.node.chip = &low;
      const auto findings = stuck.TestWires();
      EXPECT_EQ(Find(findings, "MISO")->Verdict, TWireVerdict::Broken);
      EXPECT_NE(Find(findings, "MISO")->Text.find("stays low"), std::string::npos);
      stuck.node.chip = nullptr;
    }
    {
      // A cable without loop-backs: nothing can tell it is there, and the test says so.
      const TPinMap other = Parse(kind, kind == TPinKind::Parallel ? "reset=3,sck=5,mosi=2,miso=11"
                                                                   : "reset=RTS,sck=DTR,mosi=TXD,miso=CTS");
      WiredRig rig(kind, other, other);
      const auto findings = rig.TestWires();
      ASSERT_NE(Find(findings, "loop-back"), nullptr);
      EXPECT_EQ(Find(findings, "loop-back")->Verdict, TWireVerdict::Unseen);
      EXPECT_EQ(Count(findings, TWireVerdict::Ok), 0);
      EXPECT_EQ(Count(findings, TWireVerdict::Broken) + Count(findings, TWireVerdict::Shorted), 0);
    }
  }
}

TEST(PortWiring, SerialCloseLeavesTheTargetRunningWhateverLineCarriesReset) {
  // The kernel raised DTR and RTS at open; putting them back must not hold the target in reset.
  const TPinMap map = Parse(TPinKind::Serial, "reset=RTS,sck=DTR,mosi=TXD");
  WiredRig rig(TPinKind::Serial, map, map);
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  EXPECT_TRUE(rig.node.rts) << "RESET held on RTS";
  rig.node.keep_events = true;
  rig.isp.reset();
  rig.bus.reset();
  // The lines as the close put them back, before the kernel's hang-up dropped both.
  int restore = -1;
  for (int i = rig.node.Find("TIOCMSET"); i >= 0; i = rig.node.Find("TIOCMSET", size_t(i) + 1)) restore = i;
  ASSERT_GE(restore, 0);
  EXPECT_FALSE(rig.node.events[size_t(restore)].rts);
  EXPECT_TRUE(rig.node.events[size_t(restore)].dtr) << "the other line as the port was found";
  EXPECT_FALSE(rig.node.brk);
  EXPECT_FALSE(rig.chip.InProgMode());
}

} // namespace

namespace {

// -E noreset: a parallel port's data register keeps its levels after the port is let go, so it
// can leave the target held in reset; by default the target is released.
TEST(PortWiring, AParallelCableCanLeaveTheTargetHeldInResetAtClose) {
  for (const char* pins : {"", "reset=3,sck=5,mosi=2,miso=11,buff=4"}) {
    SCOPED_TRACE(pins);
    const TPinMap map = Parse(TPinKind::Parallel, pins);
    for (const bool hold : {false, true}) {
      WiredRig rig(TPinKind::Parallel, map, map);
      ASSERT_TRUE(rig.bus->CanHoldResetAtClose());
      rig.bus->HoldResetAtClose = hold;
      ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
      rig.isp->LeaveProgMode();
      rig.isp.reset();
      rig.bus.reset();
      EXPECT_EQ(rig.node.ChipSide().reset, hold ? 0 : 1) << (hold ? "held" : "released");
    }
  }
}

} // namespace
