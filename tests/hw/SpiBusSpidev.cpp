// The bus on a Linux SPI controller, through the modelled spidev node, with the simulated chip on
// the controller's lines and its RESET on a modelled GPIO line.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakeGpio.h"
#include "fakes/FakeSpidev.h"
#include "hw/uSpiBus_spidev.h"
#include "sim/uSimChip.h"
#include "tests/support/IspRig.h"
#include "tests/support/SimTestSupport.h"
#include "tests/support/VectorMemStream.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <linux/spi/spidev.h>
#include <numeric>

namespace {

constexpr const char* kSpi = "/dev/spidev0.0";

class Rig : public TIspRig<TSpiBus_SPIDEV> {
public:
  explicit Rig(TPinMap pins = DefaultPinMap(TPinKind::Spi), bool open = true,
               TSimChipOptions options = TSimChipOptions{})
      : pins_(std::move(pins)) {
    Keep(spi);
    Keep(fake_gpio);
    MakeChip(SimRecordMega328P(), options);
    node.chip = chip.get();
    node.clock = clock.get(); // time passes at the SPI clock, so the chip's busy times end
    gpio.chip = chip.get();
    gpio.wiring.reset = 25;
    if (open) Open();
  }
  void Open() { Attach(CreateSpiBus<TSpiBus_SPIDEV>(1, spi, fake_gpio, kSpi, pins_)); }

  std::shared_ptr<TFakeSpidev> spi = std::make_shared<TFakeSpidev>();
  TFakeSpidevNode& node = spi->AddDevice(kSpi);
  std::shared_ptr<TFakeGpio> fake_gpio = std::make_shared<TFakeGpio>();
  TFakeGpioChip& gpio = fake_gpio->AddChip("/dev/gpiochip0");
  TPinMap pins_;
};

TEST(SpidevBus, OpenSetsModeZeroEightBitsAndNoChipSelectWhereTheControllerAllows) {
  for (bool no_cs : {true, false}) {
    SCOPED_TRACE(no_cs ? "SPI_NO_CS" : "with CS");
    Rig rig(DefaultPinMap(TPinKind::Spi), false);
    rig.node.no_cs_supported = no_cs;
    rig.Open();
    ASSERT_EQ(rig.bus->CheckHardware(), S_OK) << rig.bus->LastErrorText();
    EXPECT_EQ(rig.node.mode, no_cs ? SPI_MODE_0 | SPI_NO_CS : SPI_MODE_0) << "CPOL 0, CPHA 0, MSB first";
    EXPECT_EQ(rig.bus->ChipSelectOff(), no_cs);
    EXPECT_EQ(rig.node.bits_per_word, 8);
    EXPECT_EQ(rig.node.max_speed_hz, SpidevClockHz(sdNormal)) << "the level at open";
    EXPECT_EQ(rig.gpio.lines[25].consumer, "pinlet");
    EXPECT_EQ(rig.gpio.Level(25), 1) << "RESET starts released";
  }
}

// Every level's SCK phase is at least the level's wait; the fastest keeps three clocks of a 16 MHz
// target, and no level is faster than the one above it.
TEST(SpidevBus, SpeedLevelsMapToClockRatesThatKeepThePhaseRule) {
  Rig rig;
  for (uint8_t level = 0; level < kSpiSpeedCount; ++level) {
    SCOPED_TRACE(SpiSpeedName(level));
    const uint32_t hz = SpidevClockHz(level);
    EXPECT_GE(1e9 / (2.0 * hz), SpiSpeedHalfPeriodUs(level) * 1000.0);
    EXPECT_GE(rig.bus->SckPhaseNs(level), SpiSpeedHalfPeriodUs(level) * 1000);
    EXPECT_GE(double(rig.bus->SckPhaseNs(level)), 1e9 / (2.0 * hz)) << "the phase is not understated";
    if (level > 0) {
      EXPECT_LT(hz, SpidevClockHz(uint8_t(level - 1)));
    }
  }
  EXPECT_GE(1e9 / (2.0 * SpidevClockHz(sdFastest)), 3 * 1e9 / 16e6);
  EXPECT_LT(1e9 / (2.0 * SpidevClockHz(sdFastest)), 4 * 1e9 / 16e6) << "not slower than it need be";
  // Each transfer carries the rate of the level in force then.
  for (uint8_t level : {sdFastest, sdSlow}) {
    rig.bus->Speed = level;
    rig.bus->WriteByte(0x00);
    EXPECT_EQ(rig.node.speeds.back(), SpidevClockHz(level));
  }
}

TEST(SpidevBus, ProgramsTheChipWithOneMessagePerRun) {
  for (const char* pins : {"", "reset=~25", "reset=gpiochip1:7", "reset=/dev/gpiochip1:TGT_RESET"}) {
    SCOPED_TRACE(pins);
    Rig rig(ParsePins(TPinKind::Spi, pins), false);
    const std::string text = pins;
    if (text.find("gpiochip1") != std::string::npos) {
      TFakeGpioChip& other = rig.fake_gpio->AddChip("/dev/gpiochip1", 16);
      other.lines[7].name = "TGT_RESET";
      other.chip = rig.chip.get();
      other.wiring.reset = 7;
      rig.gpio.chip = nullptr;
    }
    rig.gpio.wiring.invert_reset = text.find('~') != std::string::npos;
    rig.Open();
    ASSERT_EQ(rig.bus->CheckHardware(), S_OK) << rig.bus->LastErrorText();
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    TAvrSignature sig;
    ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
    EXPECT_EQ(sig, SignatureTable[0].Sig);

    // A page load and a page read are one message each, whatever their length.
    const std::vector<uint8_t> page = Pattern(128, 3);
    auto [load, read] = PageFrames(page);
    uint64_t ioctls = rig.spi->Counts().ioctls;
    ASSERT_EQ(rig.isp->Instructions(load), S_OK);
    EXPECT_EQ(rig.spi->Counts().ioctls - ioctls, 1u);
    EXPECT_EQ(rig.node.message_bytes.back(), 512u);
    ASSERT_EQ(rig.isp->WritePage(0), S_OK);
    ioctls = rig.spi->Counts().ioctls;
    ASSERT_EQ(rig.isp->Instructions(read), S_OK);
    EXPECT_EQ(rig.spi->Counts().ioctls - ioctls, 1u);
    for (size_t i = 0; i < read.size(); ++i) {
      ASSERT_EQ(read[i].In[3], page[i]) << i;
      EXPECT_EQ(read[i].In[2], 0) << "bits not sampled read 0";
    }

    const std::vector<uint8_t> data = Pattern(8192, 9);
    auto image = std::make_shared<TVectorMemStream>(data);
    int32_t error_at = 0;
    ioctls = rig.spi->Counts().ioctls;
    ASSERT_EQ(rig.isp->WriteFlash(image, &error_at), S_OK) << error_at;
    ASSERT_TRUE(std::equal(data.begin(), data.end(), rig.chip->Flash().begin()));
    // Per page one message for the load, one for the write instruction, one per RDY/BSY poll,
    // which the ISP layer sends at a 32nd of the page's datasheet time, and the odd echo check.
    const uint64_t pages = data.size() / 128;
    const uint32_t max_us = rig.chip->Memories()[TAvrMemory::Flash].MaxWriteUs;
    const uint64_t busy_polls = rig.chip->BusyNs(TAvrMemory::Flash) / 1000 / (max_us / 32) + 1;
    EXPECT_LE(rig.spi->Counts().ioctls - ioctls, pages * (3 + busy_polls));
    EXPECT_EQ(std::count(rig.node.message_bytes.begin(), rig.node.message_bytes.end(), size_t(512)),
              std::ptrdiff_t(pages + 2))
        << "one message per page load (and the two above)";
    EXPECT_EQ(rig.isp->VerifyFlash(image, &error_at), S_OK);
    rig.chip->Flash()[4000] ^= 0x80;
    EXPECT_EQ(rig.isp->VerifyFlash(image, &error_at), ISP_E_MISMATCH);
    EXPECT_EQ(error_at, 4000);
    rig.isp->LeaveProgMode();
    EXPECT_FALSE(rig.chip->InProgMode());
  }
}

// A run beyond the driver's buffer goes in messages of at most bufsiz bytes, in order; a driver
// loaded with a smaller buffer than the default is found out from its EMSGSIZE.
TEST(SpidevBus, RunsLargerThanTheDriverBufferAreSplit) {
  for (size_t bufsiz : {size_t(4096), size_t(1000)}) {
    SCOPED_TRACE(bufsiz);
    Rig rig(DefaultPinMap(TPinKind::Spi), false);
    rig.node.bufsiz = bufsiz;
    rig.Open();
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    const std::vector<uint8_t> data = Pattern(4000, 21);
    std::copy(data.begin(), data.end(), rig.chip->Flash().begin());
    std::vector<TSpiFrame> read;
    for (uint32_t i = 0; i < data.size(); ++i)
      read.push_back(
          SpiFrame((i & 1) ? 0x28 : 0x20, uint8_t(i >> 9), uint8_t(i >> 1), 0xFF, kIspAnswerSample));
    rig.node.message_bytes.clear();
    ASSERT_EQ(rig.isp->Instructions(read), S_OK);
    for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(read[i].In[3], data[i]) << i;
    const auto& sizes = rig.node.message_bytes;
    EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), size_t(0)), 4 * data.size());
    for (size_t size : sizes) {
      EXPECT_LE(size, bufsiz);
      EXPECT_EQ(size % 4, 0u) << "split between frames";
    }
    EXPECT_EQ(sizes.size(), (4 * data.size() + rig.bus->MessageLimit() - 1) / rig.bus->MessageLimit());
    if (bufsiz == 4096) {
      EXPECT_EQ(sizes.size(), 4u);
    }
  }
}

TEST(SpidevBus, BytesThroughTheBitPathGoWholeAndLoneBitsClockNothing) {
  Rig rig;
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  // Programming enabled: the chip echoes the byte before.
  const uint64_t before = rig.node.messages;
  rig.bus->WriteByte(0x30);
  EXPECT_EQ(rig.bus->TransferByte(0x00), 0x30);
  EXPECT_EQ(rig.node.messages - before, 2u) << "one message per byte";
  const uint64_t bits = rig.chip->Counters().bits;
  EXPECT_EQ(rig.bus->ReadBit(), 1) << "a lone bit reads as an undriven line";
  EXPECT_EQ(rig.chip->Counters().bits, bits);
  EXPECT_FALSE(rig.bus->LineFault());

  // An abort stops the next message before it is sent; closing still works.
  volatile std::sig_atomic_t abort_flag = 1;
  rig.bus->SetAbortFlag(&abort_flag);
  TSpiFrame frame = SpiFrame(0x30, 0x00, 0x00, 0xFF, kIspAnswerSample);
  const uint64_t messages = rig.node.messages;
  EXPECT_EQ(rig.isp->Instructions(&frame, 1), SPI_E_NOPORT);
  EXPECT_EQ(rig.node.messages, messages);
  EXPECT_EQ(frame.In[3], 0xFF) << "reads as an undriven line";
  rig.bus.reset();
  EXPECT_FALSE(rig.chip->InProgMode());
}

TEST(SpidevBus, TheRealSeamReportsAMissingDevice) {
  auto gpio = std::make_shared<TFakeGpio>();
  gpio->AddChip("/dev/gpiochip0");
  TSpiBus_SPIDEV bus(nullptr, gpio, "/nonexistent/spidev9.9");
  EXPECT_EQ(bus.OpenPort(1), E_FAIL);
  EXPECT_NE(bus.LastErrorText().find("/nonexistent/spidev9.9 does not exist"), std::string::npos)
      << bus.LastErrorText();
  EXPECT_EQ(gpio->OpenHandles(), 0);
}

TEST(SpidevBus, OpenFailuresSayWhyAndLeaveNothingOpen) {
  struct Case {
    const char* name;
    const char* pins;
    void (*setup)(Rig&);
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"no node", "", [](Rig& r) { r.node.open_errno = ENOENT; }, {kSpi, "does not exist", "dtparam=spi=on"}},
      {"permission", "", [](Rig& r) { r.node.open_errno = EACCES; }, {"Permission denied", "spi"}},
      {"busy", "", [](Rig& r) { r.node.open_errno = EBUSY; }, {"in use"}},
      {"reset chip", "reset=gpiochip4:3", [](Rig&) {}, {"RESET", "/dev/gpiochip4 does not exist"}},
      {"reset busy", "", [](Rig& r) { r.gpio.lines[25].consumer = "led0"; }, {"RESET", "line 25", "led0"}},
      {"reset name", "reset=NOPE", [](Rig&) {}, {"RESET", "NOPE"}},
      {"gpio denied", "", [](Rig& r) { r.gpio.open_errno = EACCES; }, {"RESET", "gpio"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(ParsePins(TPinKind::Spi, c.pins), false);
    c.setup(rig);
    rig.Open();
    EXPECT_EQ(rig.bus->CheckHardware(), SPI_E_NOPORT);
    for (const std::string& word : c.words)
      EXPECT_NE(rig.bus->LastErrorText().find(word), std::string::npos) << rig.bus->LastErrorText();
    EXPECT_EQ(rig.spi->OpenDescriptors(), 0);
    EXPECT_EQ(rig.fake_gpio->OpenHandles(), 0);
    EXPECT_EQ(rig.fake_gpio->RequestedLines(), 0);
  }
}

TEST(SpidevBus, APulledBoardEndsTheWriteAndCloseStillReleasesEverything) {
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "pulled" : "clean");
    Rig rig;
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    if (fail) {
      rig.node.fail_after_ioctls = int64_t(rig.node.ioctls) + 30;
      ExpectWriteBreaksOff(*rig.isp, 8192, 5);
      EXPECT_NE(rig.bus->LastErrorText().find("stopped answering"), std::string::npos)
          << rig.bus->LastErrorText();
    }
    EXPECT_TRUE(rig.chip->InProgMode());
    const size_t from = rig.gpio.events.size();
    rig.isp.reset();
    rig.bus.reset();
    EXPECT_EQ(rig.gpio.Find("set 25=1", from), int(from)) << "RESET released first";
    EXPECT_GT(rig.gpio.Find("release 25", from), int(from));
    EXPECT_FALSE(rig.chip->InProgMode());
    EXPECT_EQ(rig.spi->OpenDescriptors(), 0);
    EXPECT_EQ(rig.fake_gpio->OpenHandles(), 0);
    EXPECT_EQ(rig.fake_gpio->RequestedLines(), 0);
  }
}

TEST(SpidevBus, WireTestReadsWhatMisoReturnsWithResetHeld) {
  struct Case {
    const char* name;
    TWireVerdict miso;
    const char* word;
  };
  for (const Case& c :
       {Case{"chip", TWireVerdict::Unseen, "held in reset"}, Case{"loop", TWireVerdict::Shorted, "MOSI"},
        Case{"stuck low", TWireVerdict::Unseen, "ground"}, Case{"no chip", TWireVerdict::Unseen, "high"}}) {
    SCOPED_TRACE(c.name);
    TSimChipOptions options;
    if (std::string(c.name) == "stuck low") options.no_chip = true, options.resting_miso = 0;
    Rig rig(DefaultPinMap(TPinKind::Spi), true, options);
    if (std::string(c.name) == "loop") rig.node.loop_mosi_miso = true;
    if (std::string(c.name) == "no chip") rig.node.chip = nullptr;
    const uint64_t messages = rig.node.messages;
    const auto findings = rig.bus->TestWires();
    EXPECT_EQ(rig.node.messages - messages, 1u);
    ASSERT_EQ(findings.size(), 4u);
    for (const auto& f : findings) {
      if (f.Wire == "RESET") {
        EXPECT_EQ(f.Verdict, TWireVerdict::Ok) << f.Text;
      }
      if (f.Wire == "SCK" || f.Wire == "MOSI") {
        EXPECT_EQ(f.Verdict, TWireVerdict::Unseen) << f.Text;
      }
      if (f.Wire == "MISO") {
        EXPECT_EQ(f.Verdict, c.miso) << f.Text;
        EXPECT_NE(f.Text.find(c.word), std::string::npos) << f.Text;
      }
    }
    EXPECT_FALSE(rig.chip->InProgMode()) << "released afterwards";
    EXPECT_EQ(rig.chip->Counters().instructions, 0u) << "nothing executed";
    if (std::string(c.name) == "chip") {
      EXPECT_EQ(rig.isp->EnterProgMode(), S_OK) << "the bus is usable after it";
    }
  }
}

} // namespace
