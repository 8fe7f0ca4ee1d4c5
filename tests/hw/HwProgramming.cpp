// The whole programming path through the real port back ends: ISP layer -> bus -> ppdev or tty
// requests -> modelled adapter wires -> simulated chip.
#include "core/uAVR_at90.h"
#include "core/uWait.h"
#include "devicedb/uAVR_base.h"
#include "fakes/FakePortDevice.h"
#include "hw/uPortEnum.h"
#include "hw/uSpiBus_parallel.h"
#include "hw/uSpiBus_serial.h"
#include "sim/uSimChip.h"
#include "tests/support/IspRig.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

namespace {

enum class TPort { Parallel, Serial };

// One adapter on one port, a chip on its lines, the tables holding the chip's record.
class Rig : public TIspRig<TSpiBusBase> {
public:
  Rig(TPort port, const TAvrSigType& record)
      : node(port == TPort::Parallel ? fake->AddParallel("/dev/parport0") : fake->AddSerial("/dev/ttyUSB0")) {
    RefreshPortLists(TPortRoots{"/nonexistent-sysfs", "/dev"});
    Keep(fake);
    MakeChip(record);
    node.chip = chip.get();
    node.keep_events = false;
    if (port == TPort::Parallel)
      Attach(CreateSpiBus<TSpiBus_LPT>(1, fake));
    else
      Attach(CreateSpiBus<TSpiBus_COM>(1, fake, "/dev/ttyUSB0"));
  }

  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TFakeNode& node;
};

TEST(ProgrammingThroughPort, SignatureWriteVerifyReadErase) {
  struct Case {
    TPort port;
    TAvrSigType (*record)();
    size_t image_bytes;
  };
  // Every chip through both back ends: small pages, large pages, and flash beyond 64 K words.
  for (const Case& c :
       {Case{TPort::Parallel, SimRecordMega8, 8192}, Case{TPort::Serial, SimRecordMega8, 8192},
        Case{TPort::Parallel, SimRecordMega328P, 4096}, Case{TPort::Serial, SimRecordMega328P, 4096},
        Case{TPort::Parallel, SimRecordMega2560, 2048}, Case{TPort::Serial, SimRecordMega2560, 2048}}) {
    SCOPED_TRACE(c.port == TPort::Parallel ? "lpt" : "com");
    const TAvrSigType record = c.record();
    SCOPED_TRACE(record.CpuName);
    Rig rig(c.port, record);
    ASSERT_EQ(rig.bus->CheckHardware(), S_OK);
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);

    TAvrSignature sig;
    ASSERT_EQ(rig.isp->ReadSignature(sig), S_OK);
    EXPECT_EQ(sig, record.Sig);

    // A cell that differs must be found where it is: the read path is as real as the write path.
    const size_t middle = c.image_bytes / 2;
    ASSERT_NO_FATAL_FAILURE(CheckWriteVerify(*rig.isp, *rig.chip, Pattern(c.image_bytes, 7), middle, 0x10,
                                             int32_t(middle) & ~1, true));

    ASSERT_EQ(rig.isp->ChipErase(), S_OK);
    EXPECT_TRUE(
        std::all_of(rig.chip->Flash().begin(), rig.chip->Flash().end(), [](uint8_t b) { return b == 0xFF; }));
    uint16_t word = 0;
    ASSERT_EQ(rig.isp->ReadProgramWord(0, word), S_OK);
    EXPECT_EQ(word, 0xFFFF);

    rig.isp->LeaveProgMode();
    EXPECT_FALSE(rig.chip->InProgMode());
    EXPECT_FALSE(rig.bus->LineFault());
  }
}

// A page load and a page read as one run each: two port writes per bit clocked, one read per bit
// sampled, one write to rest the lines; on an adapter that inverts MOSI, SCK and MISO too.
TEST(ProgrammingThroughPort, PageRunsCostTwoWritesPerBitAndOneReadPerSample) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    for (bool inverted : {false, true}) {
      SCOPED_TRACE(port == TPort::Parallel ? "lpt" : "com");
      SCOPED_TRACE(inverted ? "inverted" : "straight");
      Rig rig(port, SimRecordMega328P());
      rig.node.invert_mosi = rig.node.invert_sck = rig.node.invert_miso = inverted;
      if (inverted) rig.bus->Options |= soMosiInverted | soSckInverted | soMisoInverted;
      ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
      ASSERT_TRUE(rig.isp->Identify(false));

      const std::vector<uint8_t> data = Pattern(128, 3); // one page of the ATmega328P
      auto [load, read] = PageFrames(data);
      read.back().Sample |= kIspEchoSample;
      const uint64_t frames = load.size();

      rig.fake->ResetCounts();
      ASSERT_EQ(rig.isp->Instructions(load), S_OK);
      EXPECT_EQ(rig.fake->Counts().ioctls, 64 * frames + 1);
      ASSERT_EQ(rig.isp->WritePage(0), S_OK);
      EXPECT_TRUE(std::equal(data.begin(), data.end(), rig.chip->Flash().begin())) << "a load lost";

      rig.fake->ResetCounts();
      ASSERT_EQ(rig.isp->Instructions(read), S_OK);
      EXPECT_EQ(rig.fake->Counts().ioctls, 64 * frames + 1 + 8 * frames + 8);
      for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i].In[3], data[i]) << i;

      // The cable pulled mid-run: the run ends with the frame it happened in.
      rig.fake->ResetCounts();
      rig.node.eio_after_ioctls = int64_t(rig.node.ioctls) + 100;
      size_t failed_at = 0;
      EXPECT_EQ(rig.isp->Instructions(load, &failed_at), SPI_E_NOPORT);
      EXPECT_EQ(failed_at, load.size());
      EXPECT_LE(rig.fake->Counts().ioctls, 100u + 64 + 1);
      EXPECT_EQ(rig.isp->LastFault(), SPI_E_NOPORT);
    }
  }
}

TEST(ProgrammingThroughPort, HighFlashOfALargeChipIsReachedThroughTheExtendedAddress) {
  Rig rig(TPort::Parallel, SimRecordMega2560());
  const uint32_t word_address = 0x1F000; // bank 1
  rig.chip->Flash()[2 * word_address] = 0x34;
  rig.chip->Flash()[2 * word_address + 1] = 0x12;
  ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
  ASSERT_TRUE(rig.isp->Identify(false));
  uint16_t word = 0;
  ASSERT_EQ(rig.isp->ReadProgramWord(word_address, word), S_OK);
  EXPECT_EQ(word, 0x1234);
  ASSERT_EQ(rig.isp->ReadProgramWord(0, word), S_OK);
  EXPECT_EQ(word, 0xFFFF) << "going back to bank 0 must reselect it";
}

TEST(ProgrammingThroughPort, NoChipOrAPulledAdapterEndWithAnErrorAndFreeThePort) {
  for (TPort port : {TPort::Parallel, TPort::Serial}) {
    SCOPED_TRACE(port == TPort::Parallel ? "lpt" : "com");
    {
      Rig rig(port, SimRecordMega328P());
      rig.node.chip = nullptr;
      EXPECT_EQ(rig.bus->CheckHardware(), S_OK) << "the adapter is there";
      EXPECT_EQ(rig.isp->EnterProgMode(), 1);
      TAvrSignature sig;
      EXPECT_EQ(rig.isp->ReadSignature(sig), 1) << "an undriven MISO echoes nothing";
      EXPECT_EQ(rig.isp->LastFault(), ISP_E_NOANSWER);
    }
    Rig rig(port, SimRecordMega328P());
    ASSERT_EQ(rig.isp->EnterProgMode(), S_OK);
    ASSERT_TRUE(rig.isp->Identify(false));
    rig.node.eio_after_ioctls = int64_t(rig.node.ioctls) + 20000;
    ExpectWriteBreaksOff(*rig.isp, 8192, 5);
    rig.isp.reset();
    rig.bus.reset();
    EXPECT_EQ(rig.fake->OpenDescriptors(), 0) << "the port is given back even when it is gone";
  }
}

} // namespace
