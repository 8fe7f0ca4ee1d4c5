// "adapter-test" through the controller: real back ends on modelled cables, the simulated chip
// behind them, wiring faults in the cable.
#include "fakes/FakeFtdi.h"
#include "fakes/FakePortDevice.h"
#include "hw/uPinMap.h"
#include "hw/uSpiBus_ftdi.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSimChip.h"
#include "tests/app/ControllerFixture.h"

namespace {

constexpr const char* kLpt = "/dev/parport0";
constexpr const char* kTty = "/dev/ttyUSB0";

class AdapterTestCommand : public ControllerTest {
protected:
  AdapterTestCommand() {
    lpt.chip = tty.chip = &chip;
    usb.chip = &chip;
    ftdi->clock = clock_;
    // The factory the product has: the port's back end, wired as Pins says.
    controller_.BusFactory =
        [this, made = controller_.BusFactory](const std::string& name, const std::string& database_path,
                                              std::string& detail) -> std::unique_ptr<TSpiBusBase> {
      if (name.rfind("SIM", 0) == 0) return made(name, database_path, detail);
      pins_seen.push_back(controller_.Pins);
      const TPinKind kind = name == "LPT1"   ? TPinKind::Parallel
                            : name == "COM1" ? TPinKind::Serial
                                             : TPinKind::Ftdi;
      TPinMap map;
      if (!ParsePinMap(controller_.Pins, kind, map, detail)) return nullptr;
      if (kind == TPinKind::Parallel) return CreateSpiBus<TSpiBus_LPT>(1, fake, kLpt, map);
      if (kind == TPinKind::Serial) return CreateSpiBus<TSpiBus_COM>(1, fake, kTty, map);
      return CreateSpiBus<TSpiBus_FTDI>(1, ftdi, std::string{}, map);
    };
  }
  ~AdapterTestCommand() override { lpt.chip = tty.chip = usb.chip = nullptr; }

  std::string Log() const {
    std::string text;
    for (const auto& line : log_.lines) text += line.text;
    return text;
  }
  bool Logged(const std::string& part) const { return Log().find(part) != std::string::npos; }
  bool LoggedInRed(const std::string& part) const {
    for (const auto& line : log_.lines)
      if (line.text.find(part) != std::string::npos) return line.colour == clLogRed;
    return false;
  }
  // What every run must leave behind: no bus, the ports closed, the chip running.
  void ExpectReleased() {
    EXPECT_FALSE(controller_.HasBus());
    EXPECT_EQ(fake->OpenDescriptors(), 0);
    EXPECT_FALSE(usb.open);
    EXPECT_FALSE(chip.InProgMode());
    EXPECT_FALSE(controller_.Busy());
  }

  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TFakeNode& lpt = fake->AddParallel(kLpt);
  TFakeNode& tty = fake->AddSerial(kTty);
  std::shared_ptr<TFakeFtdi> ftdi = std::make_shared<TFakeFtdi>();
  TFakeFtdiDevice& usb = ftdi->AddDevice({kFtdiVendor, 0x6001, "A10K3XQ1", "FT232R USB UART", "FTDI"});
  TAvrSigType record = SimDatabaseRecord(kShippedDatabase, "ATmega328P");
  TSimAvrChip chip{record};
  std::vector<std::string> pins_seen; // the wiring of every bus the test opened
};

TEST_F(AdapterTestCommand, AGoodCableAndAChipPassAndNameTheChip) {
  for (const char* port : {"LPT1", "COM1", "ftdi"}) {
    SCOPED_TRACE(port);
    log_.lines.clear();
    EXPECT_EQ(controller_.AdapterTest(port, kConnectSpeed), TCommandResult::Done) << Log();
    EXPECT_TRUE(Logged("Adapter test on " + std::string(port)));
    if (std::string(port) != "ftdi") {
      EXPECT_TRUE(Logged("answers on the loop-back")) << Log();
    }
    EXPECT_TRUE(Logged("The chip answered in programming mode")) << Log();
    EXPECT_TRUE(Logged("Signature: 0x1E:95:0F - ATmega328P")) << Log();
    EXPECT_FALSE(Logged("No chip answered"));
    ExpectReleased();
  }
  // Wiring given: the bus is opened with it, and the log says which wiring was tested.
  controller_.Pins = "reset=9";
  log_.lines.clear();
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Done) << Log();
  EXPECT_TRUE(Logged("Wiring (parallel): reset=9 sck=6 mosi=7 miso=10")) << Log();
  EXPECT_EQ(pins_seen.back(), "reset=9");
}

TEST_F(AdapterTestCommand, BrokenWiresAreNamedWhereTheyCanBeSeenAndSuspectedWhereNot) {
  // A loop-back wire of the cable: seen, though the chip answers.
  lpt.loop_b = false;
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Failed);
  EXPECT_TRUE(LoggedInRed("No answer on the loop-back from pin 3 to pin 11, though the other")) << Log();
  EXPECT_TRUE(Logged("The chip answered"));
  ExpectReleased();

  // A wire to the chip that no port can see without the chip: the suspects are named.
  lpt.loop_b = true;
  for (TFakeWire wire : {TFakeWire::Mosi, TFakeWire::Reset, TFakeWire::Miso}) {
    lpt.broken = wire;
    log_.lines.clear();
    EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::NoChip) << Log();
    EXPECT_TRUE(Logged("a broken RESET, SCK, MOSI or MISO wire")) << Log();
    EXPECT_TRUE(LoggedInRed("No chip answered.\r\n"));
    ExpectReleased();
  }
  // SCK not reaching the chip lets it start serial programming whatever the bus does, and a chip
  // that drives MISO then holds it low while it should rest.
  lpt.broken = TFakeWire::Sck;
  log_.lines.clear();
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Failed) << Log();
  EXPECT_TRUE(LoggedInRed("because SCK does not reach it")) << Log();
  EXPECT_TRUE(Logged("as MISO held low above explains")) << Log();
  EXPECT_FALSE(Logged("No chip answered.\r\n"));
  ExpectReleased();
}

TEST_F(AdapterTestCommand, AShortToMisoIsFoundWithoutAChip) {
  for (const char* port : {"LPT1", "COM1"}) {
    SCOPED_TRACE(port);
    TFakeNode& node = std::string(port) == "LPT1" ? lpt : tty;
    node.shorted[0] = TFakeWire::Mosi;
    node.shorted[1] = TFakeWire::Miso;
    log_.lines.clear();
    EXPECT_EQ(controller_.AdapterTest(port, kConnectSpeed), TCommandResult::Failed) << Log();
    EXPECT_TRUE(LoggedInRed("look shorted: MISO follows MOSI")) << Log();
    EXPECT_TRUE(Logged("as the short on MISO above explains")) << Log();
    ExpectReleased();
    node.shorted[0] = node.shorted[1] = TFakeWire::None;
  }
}

TEST_F(AdapterTestCommand, WiringMistakesAreTriedAndTheWorkingPinsSuggested) {
  // MOSI and MISO exchanged on an FTDI adapter, whose pins can trade places.
  TPinMap swapped = DefaultPinMap(TPinKind::Ftdi);
  std::swap(swapped.Mosi, swapped.Miso);
  usb.wiring = swapped;
  EXPECT_EQ(controller_.AdapterTest("ftdi", kConnectSpeed), TCommandResult::Failed) << Log();
  EXPECT_TRUE(LoggedInRed("MOSI and MISO look swapped: try --pins mosi=1,miso=2.")) << Log();
  EXPECT_TRUE(Logged("Signature: 0x1E:95:0F - ATmega328P")) << "the chip is named from the trial";
  EXPECT_EQ(pins_seen, (std::vector<std::string>{"", "mosi=1,miso=2"}));
  EXPECT_EQ(controller_.Pins, "") << "the user's wiring is the user's";
  ExpectReleased();
  // The suggestion works.
  controller_.Pins = "mosi=1,miso=2";
  log_.lines.clear();
  EXPECT_EQ(controller_.AdapterTest("ftdi", kConnectSpeed), TCommandResult::Done) << Log();

  // A cable with an inverting buffer on RESET that the wiring does not mention.
  controller_.Pins.clear();
  TPinMap inverted = DefaultPinMap(TPinKind::Parallel);
  inverted.Reset.Inverted = true;
  lpt.wiring = inverted;
  log_.lines.clear();
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Failed) << Log();
  EXPECT_TRUE(LoggedInRed("RESET looks inverted: try --pins reset=~9.")) << Log();
  // The parallel port cannot exchange an output and an input; it says what to do instead.
  EXPECT_TRUE(Logged("MOSI and MISO cannot trade pins on a parallel port")) << Log();
  ExpectReleased();

  // Swapped on the parallel cable: not something a wiring can mend, so the wires are suspected.
  lpt.wiring = DefaultPinMap(TPinKind::Parallel);
  lpt.mosi_miso_swapped = true;
  log_.lines.clear();
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::NoChip) << Log();
  EXPECT_TRUE(Logged("or MOSI and MISO swapped")) << Log();
  EXPECT_FALSE(Logged("try --pins"));
  ExpectReleased();
}

TEST_F(AdapterTestCommand, NoChipIsItsOwnResultAndAnOpenPortRefusesTheTest) {
  lpt.chip = nullptr;
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::NoChip) << Log();
  EXPECT_TRUE(Logged("answers on the loop-back")) << "the cable itself is fine";
  EXPECT_TRUE(LoggedInRed("No chip answered.\r\n"));
  EXPECT_EQ(lpt.ChipSide().reset, 1) << "RESET released";
  ExpectReleased();

  // A port that does not open, and a wiring the port cannot have.
  log_.lines.clear();
  lpt.open_errno = EACCES;
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Failed);
  EXPECT_TRUE(LoggedInRed("Permission denied on /dev/parport0")) << Log();
  lpt.open_errno = 0;
  controller_.Pins = "sck=12";
  log_.lines.clear();
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Failed);
  EXPECT_TRUE(LoggedInRed("pin 12")) << Log();
  controller_.Pins.clear();

  // A signal during the test: it ends without blaming the wires and without trying other wiring.
  static volatile std::sig_atomic_t stop = 0;
  stop = 1;
  controller_.SetAbortFlag(&stop);
  lpt.chip = &chip;
  log_.lines.clear();
  pins_seen.clear();
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Failed);
  EXPECT_TRUE(LoggedInRed("Cancelled by the user!")) << Log();
  EXPECT_EQ(pins_seen.size(), 1u);
  ExpectReleased();
  controller_.SetAbortFlag(nullptr);

  // While a port is open the test would fight it for the port.
  Connect();
  EXPECT_FALSE(controller_.ControlState().AdapterTest);
  EXPECT_EQ(controller_.AdapterTest("LPT1", kConnectSpeed), TCommandResult::Refused);
  EXPECT_TRUE(log_.lines.empty());
}

} // namespace
