// The FTDI synchronous bit-bang bus through the libftdi seam, against a modelled FT232R with the
// simulated chip on its pins: ISP layer -> bus -> queued bytes -> modelled FIFOs and pins -> chip.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakeFtdi.h"
#include "hw/uSpiBus_ftdi.h"
#include "sim/uSimChip.h"
#include "tests/support/IspRig.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>
#include <map>

namespace {

TFtdiDeviceInfo Ft232r(const char* serial) {
  return {kFtdiVendor, 0x6001, serial, "FT232R USB UART", "FTDI"};
}

// One FT232R with a chip on its pins, wired as the bus is told.
class Rig : public TIspRig<TSpiBus_FTDI> {
public:
  explicit Rig(const TAvrSigType& record, TPinMap pins = DefaultPinMap(TPinKind::Ftdi),
               std::string serial = {})
      : device(fake->AddDevice(Ft232r("A10K3XQ1"))) {
    Keep(fake);
    MakeChip(record);
    device.chip = chip.get();
    device.wiring = pins;
    fake->clock = clock;
    Attach(CreateSpiBus<TSpiBus_FTDI>(1, fake, std::move(serial), pins));
  }
  // The chip's RESET as the pins hold it now.
  bool ResetHeld() const {
    const bool pin = (device.Pins() >> device.wiring.Reset.Pin & 1) != 0;
    return pin == device.wiring.Reset.Inverted;
  }

  std::shared_ptr<TFakeFtdi> fake = std::make_shared<TFakeFtdi>();
  TFakeFtdiDevice& device;
};

TEST(FtdiBus, SignatureWriteVerifyReadOnEveryWiring) {
  // The default wiring, one with buffers inverting three lines, and one on other pins.
  for (const char* wiring : {"", "sck=~0,mosi=~2,miso=~1,reset=~4", "reset=5,sck=6,mosi=7,miso=3"}) {
    SCOPED_TRACE(wiring);
    const TAvrSigType record = SimRecordMega328P();
    Rig rig(record, ParsePins(TPinKind::Ftdi, wiring));
    ASSERT_TRUE(rig.bus->IsOpen()) << rig.bus->LastErrorText();
    EXPECT_FALSE(rig.device.kernel_driver_attached) << "ftdi_sio lets go while the device is ours";
    EXPECT_EQ(rig.device.output_mask,
              uint8_t(1u << rig.device.wiring.Reset.Pin | 1u << rig.device.wiring.Sck.Pin |
                      1u << rig.device.wiring.Mosi.Pin));
    EXPECT_EQ(rig.device.bitmode, kFtdiBitmodeSyncBB);
    EXPECT_FALSE(rig.ResetHeld()) << "an open port leaves the target running";
    ASSERT_EQ(rig.bus->CheckHardware(), S_OK);
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    TAvrSignature sig;
    ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
    EXPECT_EQ(sig, record.Sig);

    ASSERT_NO_FATAL_FAILURE(CheckWriteVerify(*rig.isp, *rig.chip, Pattern(4096, 11), 1000, 0x04, 1000, true));

    rig.isp->LeaveProgMode();
    EXPECT_FALSE(rig.chip->InProgMode());
    EXPECT_FALSE(rig.bus->LineFault());
  }
}

TEST(FtdiBus, SingleLinesAndMisoHonourTheWiring) {
  for (const bool inverted : {false, true}) {
    SCOPED_TRACE(inverted ? "inverted" : "straight");
    Rig rig(SimRecordMega328P(),
            ParsePins(TPinKind::Ftdi, inverted ? "sck=~0,mosi=~2,miso=~1,reset=~4" : ""));
    EXPECT_EQ(rig.bus->Device().Serial, "A10K3XQ1");
    EXPECT_EQ(rig.bus->Device().Description, "FT232R USB UART");
    rig.device.chip = nullptr; // MISO floats high
    auto pin = [&](int bit) { return (rig.device.Pins() >> bit & 1) != 0; };
    rig.bus->SetReset(1);
    EXPECT_TRUE(rig.ResetHeld());
    EXPECT_EQ(pin(4), inverted);
    rig.bus->SetSck(1);
    EXPECT_EQ(pin(0), !inverted);
    rig.bus->SetMosi(0);
    EXPECT_EQ(pin(2), inverted);
    rig.fake->ResetCounts();
    uint8_t level = 9;
    ASSERT_TRUE(rig.bus->GetMiso(level));
    EXPECT_EQ(level, inverted ? 0 : 1);
    rig.device.stuck[1] = 0;
    ASSERT_TRUE(rig.bus->GetMiso(level));
    EXPECT_EQ(level, inverted ? 1 : 0);
    EXPECT_EQ(rig.fake->Counts().round_trips, 2u) << "one request per MISO read";
    rig.bus->SetReset(0);
    EXPECT_FALSE(rig.ResetHeld());
  }
}

// A page load and a page read are one round trip each, two bytes per bit clocked; the page write
// and its polls a few more. At the slow levels every phase still lasts its wait.
TEST(FtdiBus, PageRunsAreOneRoundTripAndPhasesLastTheirWait) {
  Rig rig(SimRecordMega328P());
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  ASSERT_TRUE(rig.isp->Identify(false));

  const std::vector<uint8_t> data = Pattern(128, 5);
  auto [load, read] = PageFrames(data);
  rig.fake->ResetCounts();
  ASSERT_EQ(rig.isp->Instructions(load), S_OK);
  EXPECT_EQ(rig.fake->Counts().round_trips, 1u);
  EXPECT_EQ(rig.fake->Counts().bytes_written, 64 * load.size() + 1);
  rig.fake->ResetCounts();
  ASSERT_EQ(rig.isp->WritePage(0), S_OK);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), rig.chip->Flash().begin())) << "a load lost";
  // The instruction, and polls a millisecond apart over the chip's 3.6 ms.
  EXPECT_LE(rig.fake->Counts().round_trips, 7u);
  rig.fake->ResetCounts();
  ASSERT_EQ(rig.isp->Instructions(read), S_OK);
  EXPECT_EQ(rig.fake->Counts().round_trips, 1u);
  for (size_t i = 0; i < read.size(); ++i) ASSERT_EQ(read[i].In[3], data[i]) << i;

  for (uint8_t level = 0; level < kSpiSpeedCount; ++level) {
    SCOPED_TRACE(SpiSpeedName(level));
    const uint64_t phase_ns = rig.bus->SckPhaseNs(level);
    EXPECT_GE(phase_ns, uint64_t(SpiSpeedHalfPeriodUs(level)) * 1000);
    rig.bus->Speed = level;
    rig.fake->ResetCounts();
    const uint64_t start = rig.clock->NowNs();
    TSpiFrame frame = SpiFrame(0x30, 0x00, 0x00, 0xFF, kIspAnswerSample | kIspEchoSample);
    ASSERT_EQ(rig.isp->Instructions(&frame, 1), S_OK);
    EXPECT_EQ(frame.In[3], rig.chip->Record().Sig.byte1);
    // 64 phases of the level, each as many byte ticks as it lasts, and one round trip.
    EXPECT_EQ(rig.fake->Counts().bytes_written, 64 * phase_ns / TSpiBus_FTDI::kByteNs + 1);
    EXPECT_GE(rig.clock->NowNs() - start, 64 * phase_ns + rig.fake->round_trip_ns);
  }
}

TEST(FtdiBus, APulledCableEndsTheTransferAndTheDeviceIsStillGivenBack) {
  Rig rig(SimRecordMega328P());
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  ASSERT_TRUE(rig.isp->Identify(false));
  rig.device.unplug_after_requests = int64_t(rig.device.requests) + 40;
  ExpectWriteBreaksOff(*rig.isp, 8192, 3);
  EXPECT_EQ(rig.isp->LastFault(), SPI_E_NOPORT);
  EXPECT_TRUE(rig.bus->LineFault());
  EXPECT_NE(rig.bus->LastErrorText().find("unplugged"), std::string::npos) << rig.bus->LastErrorText();
  EXPECT_EQ(rig.bus->ProbeHardware(), SPI_E_NOHARDWARE);
  rig.isp.reset();
  rig.bus.reset();
  EXPECT_FALSE(rig.device.open) << "closed even though it is gone";
  EXPECT_TRUE(rig.device.kernel_driver_attached);
}

TEST(FtdiBus, CloseLetsTheTargetRunAndLeavesBitBangModeOnEveryPath) {
  {
    Rig rig(SimRecordMega328P());
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    EXPECT_TRUE(rig.ResetHeld());
    rig.bus->ClosePort();
    EXPECT_FALSE(rig.ResetHeld());
    EXPECT_FALSE(rig.chip->InProgMode());
    const int mode_reset = rig.device.Last("bitmode 00");
    ASSERT_GE(mode_reset, 0);
    EXPECT_GT(mode_reset, rig.device.Last("bitmode 04"));
    EXPECT_EQ(rig.device.events.back(), "close");
    EXPECT_TRUE(rig.device.kernel_driver_attached);
    EXPECT_EQ(rig.isp->EnterProgMode(), 1) << "nothing is clocked on a closed port";
  }
  // An open whose set-up fails half way: the device goes back all the same.
  for (int64_t requests = 0; requests < 7; ++requests) {
    SCOPED_TRACE(requests);
    auto fake = std::make_shared<TFakeFtdi>();
    TFakeFtdiDevice& device = fake->AddDevice(Ft232r("A1"));
    device.unplug_after_requests = requests;
    TSpiBus_FTDI bus(fake);
    EXPECT_EQ(bus.OpenPort(1), E_FAIL);
    EXPECT_FALSE(bus.IsOpen());
    EXPECT_FALSE(bus.LastErrorText().empty());
    EXPECT_FALSE(device.open);
    EXPECT_TRUE(device.kernel_driver_attached);
  }
}

TEST(FtdiBus, ADeviceThatCannotBeOpenedSaysWhy) {
  auto fake = std::make_shared<TFakeFtdi>();
  auto open_text = [&](const std::string& serial) {
    TSpiBus_FTDI bus(fake, serial);
    EXPECT_EQ(bus.OpenPort(1), E_FAIL);
    return bus.LastErrorText();
  };
  EXPECT_NE(open_text("").find("No FTDI device"), std::string::npos) << open_text("");
  std::vector<TFtdiDeviceInfo> listed;
  std::string error;
  EXPECT_EQ(ListFtdiDevices(*fake, listed, error), 0);
  EXPECT_NE(error.find("No FTDI device"), std::string::npos);

  TFakeFtdiDevice& first = fake->AddDevice(Ft232r("A1"));
  TFakeFtdiDevice& second = fake->AddDevice({kFtdiVendor, 0x6015, "B2", "FT231X USB UART", "FTDI"});
  EXPECT_NE(open_text("Z9").find("serial number Z9"), std::string::npos) << open_text("Z9");
  first.permission_denied = true;
  const std::string denied = open_text("A1");
  EXPECT_NE(denied.find(kFtdiUdevRuleFile), std::string::npos) << denied;
  EXPECT_NE(denied.find(kFtdiUdevRule), std::string::npos);
  EXPECT_NE(denied.find("plugdev"), std::string::npos);
  // The permission of the first product does not stop the second from being used.
  {
    TSpiBus_FTDI bus(fake);
    ASSERT_EQ(bus.OpenPort(1), S_OK) << bus.LastErrorText();
    EXPECT_EQ(bus.Device().Product, 0x6015);
  }
  EXPECT_EQ(ListFtdiDevices(*fake, listed, error), 2);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_TRUE(listed[0].Serial.empty()) << "unreadable without permission";
  EXPECT_EQ(listed[1].Serial, "B2");
  EXPECT_EQ(listed[1].Description, "FT231X USB UART");
  EXPECT_NE(error.find(kFtdiUdevRuleFile), std::string::npos) << error;

  first.permission_denied = false;
  second.busy = true;
  const std::string busy = open_text("B2");
  EXPECT_NE(busy.find("another program"), std::string::npos) << busy;
}

TEST(FtdiBus, ASerialNumberPicksItsDeviceAndAReopenAfterAFaultStartsClean) {
  const TAvrSigType record = SimRecordMega328P();
  SignatureTable = {record};
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  auto fake = std::make_shared<TFakeFtdi>();
  TSimAvrChip chip(record);
  TFakeFtdiDevice& other = fake->AddDevice(Ft232r("FIRST"));
  TFakeFtdiDevice& target = fake->AddDevice(Ft232r("SECOND"));
  target.chip = &chip;
  {
    auto bus = CreateSpiBus<TSpiBus_FTDI>(1, fake, std::string("SECOND"));
    TmCAtgeneric isp(bus.get());
    EXPECT_TRUE(target.open);
    EXPECT_FALSE(other.open) << "the other adapter stays with its serial driver";
    ASSERT_EQ(isp.EnterProgMode(), S_OK);
    TAvrSignature sig;
    ASSERT_EQ(isp.ReadSignature(sig), S_OK);
    EXPECT_EQ(sig, record.Sig);
    // Pulled and plugged in again: a new open works as the first did.
    target.unplug_after_requests = int64_t(target.requests);
    EXPECT_NE(isp.ReadSignature(sig), S_OK);
    EXPECT_TRUE(bus->LineFault());
    target.unplug_after_requests = -1;
    ASSERT_EQ(bus->OpenPort(1), S_OK) << bus->LastErrorText();
    bus->ClearLineFault();
    ASSERT_EQ(isp.EnterProgMode(), S_OK);
    ASSERT_EQ(isp.ReadSignature(sig), S_OK);
    EXPECT_EQ(sig, record.Sig);
  }
  EXPECT_FALSE(target.open);
  SignatureTable.clear();
}

TEST(FtdiBus, SelfTestFindsStuckAndShortedWires) {
  auto verdicts = [](const std::vector<TWireFinding>& findings) {
    std::map<std::string, TWireVerdict> by_wire;
    for (const auto& finding : findings) by_wire[finding.Wire] = finding.Verdict;
    return by_wire;
  };
  auto text_of = [](const std::vector<TWireFinding>& findings, const std::string& wire) {
    for (const auto& finding : findings)
      if (finding.Wire == wire) return finding.Text;
    return std::string();
  };
  {
    Rig rig(SimRecordMega328P());
    const auto findings = rig.bus->TestWires();
    for (const auto& [wire, verdict] : verdicts(findings)) EXPECT_EQ(verdict, TWireVerdict::Ok) << wire;
    EXPECT_EQ(findings.size(), 4u);
    EXPECT_FALSE(rig.ResetHeld()) << "the target runs again afterwards";
  }
  {
    Rig rig(SimRecordMega328P());
    rig.device.stuck[0] = 0; // SCK on TXD held low
    const auto findings = rig.bus->TestWires();
    auto by_wire = verdicts(findings);
    EXPECT_EQ(by_wire["SCK"], TWireVerdict::Broken);
    EXPECT_NE(text_of(findings, "SCK").find("TXD, bit 0) stays low"), std::string::npos)
        << text_of(findings, "SCK");
    EXPECT_EQ(by_wire["MOSI"], TWireVerdict::Ok);
    EXPECT_EQ(by_wire["RESET"], TWireVerdict::Ok);
  }
  {
    Rig rig(SimRecordMega328P());
    rig.device.shorts = {{2, 4}}; // MOSI (RTS) and RESET (DTR)
    const auto findings = rig.bus->TestWires();
    auto by_wire = verdicts(findings);
    EXPECT_EQ(by_wire["MOSI"], TWireVerdict::Shorted);
    EXPECT_EQ(by_wire["RESET"], TWireVerdict::Shorted);
    EXPECT_EQ(by_wire["SCK"], TWireVerdict::Ok);
    EXPECT_NE(text_of(findings, "MOSI").find("RESET (DTR, bit 4)"), std::string::npos);
  }
  {
    Rig rig(SimRecordMega328P());
    rig.device.chip = nullptr;    // no chip needed; one would pull MISO down through the short
    rig.device.shorts = {{1, 0}}; // MISO (RXD) and SCK (TXD)
    const auto findings = rig.bus->TestWires();
    auto by_wire = verdicts(findings);
    EXPECT_EQ(by_wire["MISO"], TWireVerdict::Shorted);
    EXPECT_NE(text_of(findings, "MISO").find("follows SCK"), std::string::npos) << text_of(findings, "MISO");
    EXPECT_EQ(by_wire["SCK"], TWireVerdict::Ok);
  }
}

// The chip's FIFOs as the back end relies on them: a run written without its read-back being
// read stops once both are full, and the read-back of each byte shows the pins before it.
TEST(FakeFtdi, SynchronousModeStallsOnAFullReadFifoAndReadsBackThePinsBefore) {
  TFakeFtdi fake;
  fake.AddDevice(Ft232r("A1"));
  std::unique_ptr<IFtdiDevice> device;
  std::string error;
  ASSERT_EQ(fake.Open(kFtdiVendor, 0x6001, "", device, error), 0);
  ASSERT_EQ(device->SetBitmode(0xFF, kFtdiBitmodeSyncBB), 0);
  const std::vector<uint8_t> out = {0x55, 0xAA, 0x0F};
  ASSERT_EQ(device->WriteData(out.data(), int(out.size())), 3);
  std::vector<uint8_t> in(3);
  ASSERT_EQ(device->ReadData(in.data(), 3), 3);
  EXPECT_EQ(in[1], 0x55);
  EXPECT_EQ(in[2], 0xAA);
  const std::vector<uint8_t> run(TFakeFtdiDevice::kRxFifo + TFakeFtdiDevice::kTxFifo + 1, 0x00);
  EXPECT_LT(device->WriteData(run.data(), int(run.size())), 0);
  EXPECT_EQ(fake.Device(0).rx.size(), TFakeFtdiDevice::kRxFifo);
}

} // namespace

namespace {

// The real library behind the seam: whatever this machine has plugged in, the search answers with
// a count that matches its list, or says why it found nothing.
TEST(LibFtdi, ListingThroughTheRealLibraryKeepsItsContract) {
  const auto lib = MakeLibFtdi();
  std::vector<TFtdiDeviceInfo> devices;
  std::string error;
  const int found = ListFtdiDevices(*lib, devices, error);
  if (found <= 0) {
    EXPECT_FALSE(error.empty());
  }
  if (found == 0) {
    EXPECT_NE(error.find("No FTDI device"), std::string::npos) << error;
  }
  if (found >= 0) {
    EXPECT_EQ(devices.size(), size_t(found));
  }
  for (const auto& device : devices) EXPECT_EQ(device.Vendor, kFtdiVendor);
  // Without a device the bus reports what the user must check, and holds nothing open.
  if (found == 0) {
    TSpiBus_FTDI bus(lib);
    EXPECT_EQ(bus.OpenPort(1), E_FAIL);
    EXPECT_FALSE(bus.IsOpen());
    EXPECT_NE(bus.LastErrorText().find("No FTDI device"), std::string::npos) << bus.LastErrorText();
  }
}

} // namespace
