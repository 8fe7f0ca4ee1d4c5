// The bit-banged bus on GPIO lines, through the modelled GPIO chip with the simulated chip wired to
// four of its lines.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakeGpio.h"
#include "hw/uSpiBus_gpio.h"
#include "sim/uSimChip.h"
#include "tests/support/IspRig.h"
#include "tests/support/SimTestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

constexpr const char* kChip = "/dev/gpiochip0";

// A Raspberry Pi-like chip with the target on the default lines (RESET 25, SCK 11, MOSI 10, MISO 9).
class Rig : public TIspRig<TSpiBus_GPIO> {
public:
  explicit Rig(TPinMap pins = DefaultPinMap(TPinKind::Gpio), bool open = true) : pins_(std::move(pins)) {
    Keep(fake);
    MakeChip(SimRecordMega328P());
    gpio.chip = chip.get();
    gpio.wiring = {25, 11, 10, 9};
    if (open) Open();
  }
  void Open() { Attach(CreateSpiBus<TSpiBus_GPIO>(1, fake, kChip, pins_)); }

  std::shared_ptr<TFakeGpio> fake = std::make_shared<TFakeGpio>();
  TFakeGpioChip& gpio = fake->AddChip(kChip);
  TPinMap pins_;
};

TEST(GpioBus, ProgramsTheChipStraightInvertedAndByLineName) {
  struct Case {
    const char* name;
    const char* pins;
    bool invert;
    bool rename;
  };
  for (const Case& c :
       {Case{"default", "", false, false}, Case{"inverted", "sck=~11,mosi=~10,miso=~9", true, false},
        Case{"names", "reset=TGT_RST,sck=SPI_CLK,mosi=SPI_MOSI,miso=SPI_MISO", false, true}}) {
    SCOPED_TRACE(c.name);
    Rig rig(ParsePins(TPinKind::Gpio, c.pins), false);
    if (c.rename) {
      rig.gpio.lines[25].name = "TGT_RST";
      rig.gpio.lines[11].name = "SPI_CLK";
      rig.gpio.lines[10].name = "SPI_MOSI";
      rig.gpio.lines[9].name = "SPI_MISO";
    }
    rig.gpio.wiring.invert_sck = rig.gpio.wiring.invert_mosi = rig.gpio.wiring.invert_miso = c.invert;
    rig.Open();
    ASSERT_EQ(rig.bus->CheckHardware(), S_OK) << rig.bus->LastErrorText();
    EXPECT_EQ(rig.bus->ResetLine(), 25u);
    EXPECT_EQ(rig.bus->MisoLine(), 9u);
    EXPECT_EQ(rig.gpio.lines[25].consumer, "pinlet");
    EXPECT_EQ(rig.gpio.Level(25), 1) << "a running target is left running at open";
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    EXPECT_EQ(rig.gpio.Level(25), 0) << "RESET held by driving the line low";

    TAvrSignature sig;
    ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
    EXPECT_EQ(sig, SignatureTable[0].Sig);
    ASSERT_NO_FATAL_FAILURE(CheckWriteVerify(*rig.isp, *rig.chip, Pattern(2048, 11), 700, 0x01, 700, false));
    rig.isp->LeaveProgMode();
    EXPECT_FALSE(rig.chip->InProgMode());
  }
}

// SCK and MOSI move in one call: two calls per bit clocked, one read per bit sampled, one call to
// rest the lines at the end of the run.
TEST(GpioBus, PageRunsCostTwoSetsPerBitAndOneGetPerSample) {
  Rig rig;
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  ASSERT_TRUE(rig.isp->Identify(false));
  const std::vector<uint8_t> data = Pattern(128, 3);
  auto [load, read] = PageFrames(data);
  read.back().Sample |= kIspEchoSample;
  const uint64_t frames = load.size();
  const uint64_t sets = rig.gpio.sets, gets = rig.gpio.gets;
  ASSERT_EQ(rig.isp->Instructions(load), S_OK);
  EXPECT_EQ(rig.gpio.sets - sets, 64 * frames + 1);
  EXPECT_EQ(rig.gpio.gets - gets, 0u);
  ASSERT_EQ(rig.isp->WritePage(0), S_OK);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), rig.chip->Flash().begin()));
  const uint64_t gets2 = rig.gpio.gets;
  ASSERT_EQ(rig.isp->Instructions(read), S_OK);
  EXPECT_EQ(rig.gpio.gets - gets2, 8 * frames + 8);
  for (size_t i = 0; i < read.size(); ++i) ASSERT_EQ(read[i].In[3], data[i]) << i;
}

TEST(GpioBus, OpenFailuresSayWhyAndLeaveNothingHeld) {
  struct Case {
    const char* name;
    const char* pins;
    void (*setup)(TFakeGpioChip&);
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"permission",
       "",
       [](TFakeGpioChip& c) { c.open_errno = EACCES; },
       {"Permission denied", "gpio", "udev"}},
      {"busy",
       "",
       [](TFakeGpioChip& c) { c.lines[10].consumer = "spi0 CS0"; },
       {"MOSI", "line 10", "spi0 CS0"}},
      {"busy miso", "", [](TFakeGpioChip& c) { c.lines[9].consumer = "w1-gpio"; }, {"MISO", "w1-gpio"}},
      {"unknown name", "reset=NOPE", [](TFakeGpioChip&) {}, {"RESET", "NOPE", "gpioinfo"}},
      {"beyond the chip", "miso=60", [](TFakeGpioChip&) {}, {"MISO", "no line 60", "0 to 53"}},
      {"same line twice", "reset=GPIO11", [](TFakeGpioChip&) {}, {"RESET and SCK", "line 11"}},
      {"removed",
       "",
       [](TFakeGpioChip& c) { c.fail_after_calls = 1; },
       {"Can not request", "No such device"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(ParsePins(TPinKind::Gpio, c.pins), false);
    c.setup(rig.gpio);
    rig.Open();
    EXPECT_EQ(rig.bus->CheckHardware(), SPI_E_NOPORT);
    for (const std::string& word : c.words)
      EXPECT_NE(rig.bus->LastErrorText().find(word), std::string::npos) << rig.bus->LastErrorText();
    EXPECT_EQ(rig.fake->OpenHandles(), 0);
    EXPECT_EQ(rig.fake->RequestedLines(), 0);
    EXPECT_EQ(rig.isp->EnterProgMode(), 1) << "a closed bus clocks nothing";
  }
  // No such chip, by path and by bare name.
  for (const char* path : {"/dev/gpiochip7", "gpiochip7"}) {
    auto fake = std::make_shared<TFakeGpio>();
    TSpiBus_GPIO bus(fake, path);
    EXPECT_EQ(bus.OpenPort(1), E_FAIL);
    EXPECT_NE(bus.LastErrorText().find("/dev/gpiochip7 does not exist"), std::string::npos)
        << bus.LastErrorText();
  }
}

TEST(GpioBus, CloseReleasesResetFirstOnEveryPath) {
  // After programming, after the chip vanished mid-write, and with RESET still held by the owner.
  for (int path = 0; path < 3; ++path) {
    SCOPED_TRACE(path);
    Rig rig;
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    if (path == 1) {
      rig.gpio.fail_after_calls = int64_t(rig.gpio.calls) + 20000;
      ExpectWriteBreaksOff(*rig.isp, 4096, 5);
      EXPECT_NE(rig.bus->LastErrorText().find("stopped answering"), std::string::npos)
          << rig.bus->LastErrorText();
    }
    if (path == 0) rig.isp->LeaveProgMode();
    EXPECT_EQ(rig.chip->InProgMode(), path != 0);
    const size_t from = rig.gpio.events.size();
    rig.isp.reset();
    rig.bus.reset();
    const int reset = rig.gpio.Find("release 25", from);
    const int clock_data = rig.gpio.Find("release 11 10", from);
    const int miso = rig.gpio.Find("release 9", from);
    ASSERT_GE(reset, 0);
    EXPECT_LT(reset, clock_data);
    EXPECT_LT(clock_data, miso);
    if (path != 1) {
      EXPECT_EQ(rig.gpio.events[size_t(reset)], "release 25")
          << "the chip was out of reset when RESET let go";
      EXPECT_EQ(rig.gpio.Find("set 25=1", from), reset - 1);
    }
    EXPECT_FALSE(rig.chip->InProgMode());
    EXPECT_EQ(rig.fake->OpenHandles(), 0);
    EXPECT_EQ(rig.fake->RequestedLines(), 0);
  }
}

TEST(GpioBus, NoChipOnTheLinesEchoesNothing) {
  Rig rig;
  rig.gpio.chip = nullptr;
  EXPECT_EQ(rig.bus->CheckHardware(), S_OK) << "the lines are there";
  EXPECT_EQ(rig.isp->EnterProgMode(), 1);
  TAvrSignature sig;
  EXPECT_EQ(rig.isp->ReadSignature(sig), 1);
  EXPECT_EQ(rig.isp->LastFault(), ISP_E_NOANSWER);
}

TEST(GpioBus, WireTestTellsStuckAndShortedLinesAndOwnsUpToWhatItCannotSee) {
  auto verdict = [](const std::vector<TWireFinding>& findings, const std::string& wire) {
    for (const auto& f : findings)
      if (f.Wire == wire) return f;
    ADD_FAILURE() << "no finding for " << wire;
    return TWireFinding{};
  };
  {
    Rig rig;
    const auto findings = rig.bus->TestWires();
    EXPECT_EQ(verdict(findings, "RESET").Verdict, TWireVerdict::Ok);
    EXPECT_EQ(verdict(findings, "SCK").Verdict, TWireVerdict::Ok);
    EXPECT_EQ(verdict(findings, "MOSI").Verdict, TWireVerdict::Ok);
    EXPECT_EQ(verdict(findings, "MISO").Verdict, TWireVerdict::Unseen) << "no chip in programming mode";
    EXPECT_FALSE(rig.chip->InProgMode()) << "the target is released afterwards";
    EXPECT_EQ(rig.gpio.Level(25), 1);
    EXPECT_EQ(rig.isp->EnterProgMode(), S_OK) << "the test leaves the bus usable";
  }
  {
    Rig rig;
    rig.gpio.wiring.miso_follows = 10; // MISO and MOSI swapped or bridged
    const auto findings = rig.bus->TestWires();
    EXPECT_EQ(verdict(findings, "MOSI").Verdict, TWireVerdict::Shorted);
    EXPECT_EQ(verdict(findings, "SCK").Verdict, TWireVerdict::Ok);
    const TWireFinding miso = verdict(findings, "MISO");
    EXPECT_EQ(miso.Verdict, TWireVerdict::Shorted);
    EXPECT_NE(miso.Text.find("MOSI (line 10)"), std::string::npos) << miso.Text;
  }
  {
    Rig rig;
    rig.gpio.lines[11].stuck = 0;
    rig.gpio.lines[25].stuck = 1;
    const auto findings = rig.bus->TestWires();
    const TWireFinding sck = verdict(findings, "SCK");
    EXPECT_EQ(sck.Verdict, TWireVerdict::Broken);
    EXPECT_NE(sck.Text.find("ground"), std::string::npos) << sck.Text;
    EXPECT_EQ(verdict(findings, "RESET").Verdict, TWireVerdict::Broken);
    EXPECT_EQ(verdict(findings, "MOSI").Verdict, TWireVerdict::Ok);
  }
}

} // namespace

namespace {

// The real library, as far as a machine without GPIO chips can take it: its failures arrive as
// -errno and become the texts the user reads.
TEST(GpioLib, TheRealLibraryReportsChipsThatCannotBeOpened) {
  auto lib = MakeLibGpiod();
  std::unique_ptr<IGpioChip> chip;
  EXPECT_EQ(lib->OpenChip("/nonexistent/gpiochip9", chip), -ENOENT);
  EXPECT_EQ(chip, nullptr);
  const int not_a_chip = lib->OpenChip("/dev/null", chip);
  EXPECT_LT(not_a_chip, 0);
  EXPECT_EQ(chip, nullptr);
  TSpiBus_GPIO bus(nullptr, "/nonexistent/gpiochip9");
  EXPECT_EQ(bus.OpenPort(1), E_FAIL);
  EXPECT_NE(bus.LastErrorText().find("does not exist"), std::string::npos) << bus.LastErrorText();
  EXPECT_EQ(bus.CheckHardware(), SPI_E_NOPORT);
}

} // namespace
