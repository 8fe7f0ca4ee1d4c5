// "Init", "Free", the speed and the enabling rule.
#include "fakes/FakePortDevice.h"
#include "hw/uSpiBus_parallel.h"
#include "tests/app/ControllerFixture.h"

#include <filesystem>
#include <iterator>

namespace {

bool AnyEnabled(const TControlState& s) {
  return s.Init || s.Free || s.ReadSig || s.ReadCalib || s.ReadLock || s.ReadFuse || s.ReadFlash || s.Load ||
         s.EraseFlash || s.Save || s.WriteFlash || s.VerifyFlash || s.DumpMetaFile || s.PortAndSpeed;
}

TEST_F(ControllerTest, InitOnSimulatedPortConnectsAndEnablesDeviceCommands) {
  const TControlState before = controller_.ControlState();
  EXPECT_TRUE(before.Init);
  EXPECT_FALSE(before.Free || before.ReadSig || before.ReadFlash || before.Load || before.EraseFlash);
  EXPECT_FALSE(before.Save || before.WriteFlash || before.VerifyFlash || before.DumpMetaFile);
  EXPECT_TRUE(before.PortAndSpeed);

  EXPECT_EQ(controller_.Init("SIM1", 2, false), TCommandResult::Done);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Connected and Ready.\r\n", 0x008000}}));
  ASSERT_TRUE(controller_.HasBus());
  EXPECT_EQ(Bus()->Speed, 2);

  const TControlState s = controller_.ControlState();
  EXPECT_FALSE(s.Init);
  EXPECT_TRUE(s.Free && s.ReadSig && s.ReadCalib && s.ReadLock && s.ReadFuse && s.ReadFlash && s.Load &&
              s.EraseFlash);
  // Without an image the image commands stay off, "Save " included.
  EXPECT_FALSE(s.Save || s.WriteFlash || s.VerifyFlash || s.DumpMetaFile);
}

TEST_F(ControllerTest, InitAcceptsASelectorEntryAndIsRefusedWhileConnected) {
  EXPECT_EQ(controller_.Init("sim1=\"Simulated ATmega328P\"", 3, false), TCommandResult::Done);
  log_.lines.clear();
  EXPECT_EQ(controller_.Init("SIM1", 3, false), TCommandResult::Refused);
  EXPECT_TRUE(log_.lines.empty());
  controller_.SetSpeed(5);
  EXPECT_EQ(Bus()->Speed, 5) << "speed changes apply to the open bus";
}

TEST_F(ControllerTest, InitFailuresAreLoggedInRedAndLeaveNoBus) {
  controller_.SetSpeed(6); // no bus: nothing to change, nothing breaks
  EXPECT_EQ(controller_.Init("NOSUCHPORT", 3, true), TCommandResult::Failed);
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines[0], (TLogLine{"Unknown error occoured!\r\n", 0x0000FF}));
  EXPECT_TRUE(controller_.ControlState().Init);
  log_.lines.clear();
  EXPECT_EQ(controller_.Init("", 3, false), TCommandResult::Failed);
  EXPECT_EQ(log_.lines, (std::vector<TLogLine>{{"Unknown error occoured!\r\n", 0x0000FF}}));

  // A port that cannot be opened is dropped even with debug; the reason names the device.
  log_.lines.clear();
  EXPECT_EQ(controller_.Init(work_dir_.Path() + "/ttyMISSING", 3, true), TCommandResult::Failed);
  ASSERT_GE(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0],
            (TLogLine{"Error: Can not open physical connection device (COM,LPT,..)!\r\n", 0x0000FF}));
  EXPECT_NE(log_.lines[1].text.find("ttyMISSING"), std::string::npos) << log_.lines[1].text;

  // LPT1 is a port name on every machine: without the port the report says which device is
  // missing, never that the name is unknown.
  if (!std::filesystem::exists("/dev/parport0")) {
    log_.lines.clear();
    EXPECT_EQ(controller_.Init("LPT1", 3, false), TCommandResult::Failed);
    ASSERT_EQ(log_.lines.size(), 2u);
    EXPECT_EQ(log_.lines[0],
              (TLogLine{"Error: Can not open physical connection device (COM,LPT,..)!\r\n", 0x0000FF}));
    EXPECT_NE(log_.lines[1].text.find("/dev/parport0"), std::string::npos) << log_.lines[1].text;
  }

  log_.lines.clear();
  ASSERT_EQ(SetSimPortChip(1, "ATnothing42"), S_OK);
  EXPECT_EQ(controller_.Init("SIM1", 3, false), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0], (TLogLine{"Unknown error occoured!\r\n", 0x0000FF}));
  EXPECT_NE(log_.lines[1].text.find("ATnothing42"), std::string::npos);
  EXPECT_FALSE(controller_.HasBus());
}

TEST_F(ControllerTest, FreeDisconnectsSilentlyAndKeepsTheImage) {
  Connect();
  LoadBytes({1, 2, 3, 4});
  EXPECT_TRUE(controller_.ControlState().Save);
  EXPECT_EQ(controller_.Free(), TCommandResult::Done);
  EXPECT_TRUE(log_.lines.empty());
  EXPECT_FALSE(controller_.HasBus());
  const TControlState s = controller_.ControlState();
  EXPECT_TRUE(s.Init && s.DumpMetaFile);
  EXPECT_FALSE(s.Free || s.Save || s.WriteFlash || s.VerifyFlash || s.ReadSig || s.Load);
  EXPECT_EQ(controller_.Free(), TCommandResult::Refused);
}

TEST_F(ControllerTest, DeviceCommandsWithoutABusAreRefusedSilently) {
  EXPECT_EQ(controller_.ReadSignature(), TCommandResult::Refused);
  EXPECT_EQ(controller_.ReadCalibration(), TCommandResult::Refused);
  EXPECT_EQ(controller_.ReadLockBits(), TCommandResult::Refused);
  EXPECT_EQ(controller_.ReadFuseBits(), TCommandResult::Refused);
  EXPECT_EQ(controller_.ReadFlash(), TCommandResult::Refused);
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Refused);
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Refused);
  EXPECT_EQ(controller_.EraseFlash(), TCommandResult::Refused);
  EXPECT_EQ(controller_.SaveFile(TempFile("x.hex")), TCommandResult::Refused); // no image either
  EXPECT_EQ(controller_.DumpMetaFile(), TCommandResult::Refused);
  EXPECT_TRUE(log_.lines.empty());
  EXPECT_TRUE(confirm_.questions.empty());
}

// Clicks delivered by the window's Idle during a transfer are all refused; the controls are off.
TEST_F(ControllerTest, CommandsStartedFromInsideATransferAreRefused) {
  Connect();
  LoadBytes(PatternBytes(1024));
  std::vector<TCommandResult> results;
  std::vector<TControlState> states;
  bool busy_seen = false;
  TSpiBusBase* const bus = Bus();
  events_->on_idle = [&] {
    if (!results.empty()) return; // once is enough
    busy_seen = controller_.Busy();
    states.push_back(controller_.ControlState());
    results.push_back(controller_.Free());
    results.push_back(controller_.Init("SIM1", 0, false));
    results.push_back(controller_.ReadSignature());
    results.push_back(controller_.ReadCalibration());
    results.push_back(controller_.ReadLockBits());
    results.push_back(controller_.ReadFuseBits());
    results.push_back(controller_.ReadFlash());
    results.push_back(controller_.WriteFlash());
    results.push_back(controller_.VerifyFlash());
    results.push_back(controller_.EraseFlash());
    results.push_back(controller_.LoadFile(TempFile("image.ucm")));
    results.push_back(controller_.LoadDebugImage());
    results.push_back(controller_.SaveFile(TempFile("out.ucm")));
    results.push_back(controller_.DumpMetaFile());
    controller_.SetSpeed(6);
  };
  EXPECT_EQ(controller_.WriteFlash(), TCommandResult::Done);

  ASSERT_EQ(results.size(), 14u);
  for (size_t i = 0; i < results.size(); ++i)
    EXPECT_EQ(results[i], TCommandResult::Refused) << "command " << i;
  EXPECT_TRUE(busy_seen);
  EXPECT_FALSE(AnyEnabled(states.at(0)));
  EXPECT_EQ(Bus(), bus);
  EXPECT_EQ(Bus()->Speed, kConnectSpeed);
  EXPECT_FALSE(std::ifstream(TempFile("out.ucm")).good());
  // The transfer itself was not disturbed, and the controller is usable again afterwards.
  EXPECT_FALSE(controller_.Busy());
  EXPECT_TRUE(controller_.ControlState().Free);
  EXPECT_EQ(controller_.VerifyFlash(), TCommandResult::Done);
}

} // namespace

namespace {

// A parallel adapter whose loop-back wires are missing, behind the name LPT1.
struct TAdapterlessLpt {
  std::shared_ptr<TFakePortDevice> fake = std::make_shared<TFakePortDevice>();
  TAdapterlessLpt() { fake->AddParallel("/dev/parport0").adapter_present = false; }
  TPinletController::TBusFactory Factory() {
    return [fake = fake](const std::string&, const std::string&, std::string&) {
      return std::unique_ptr<TSpiBusBase>(CreateSpiBus<TSpiBus_LPT>(1, fake));
    };
  }
};

} // namespace

TEST_F(ControllerTest, DebugKeepsAPortWhoseAdapterDoesNotAnswer) {
  TAdapterlessLpt lpt;
  controller_.BusFactory = lpt.Factory();
  const TLogLine no_adapter{"Error: Can not find hardware device (serial/parallel dongle)!\r\n", 0x0000FF};

  EXPECT_EQ(controller_.Init("LPT1", 3, false), TCommandResult::Failed);
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines[0], no_adapter);
  EXPECT_FALSE(controller_.HasBus());
  EXPECT_EQ(lpt.fake->OpenDescriptors(), 0) << "the dropped bus must release its port";

  log_.lines.clear();
  EXPECT_EQ(controller_.Init("LPT1", 3, true), TCommandResult::Failed);
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines[0], no_adapter);
  ASSERT_TRUE(controller_.HasBus()) << "with Debug the bare port stays open";
  EXPECT_TRUE(controller_.ControlState().ReadSig);
  EXPECT_FALSE(controller_.ControlState().Init);
  EXPECT_EQ(controller_.Free(), TCommandResult::Done);
  EXPECT_EQ(lpt.fake->OpenDescriptors(), 0);
}

// The simulated port: faults of the database and of the chip's state file are reported with
// what was wrong, and a second program on the same port is refused.
TEST_F(ControllerTest, SimulatedPortNamesDatabaseStateAndBusyFaults) {
  controller_.DatabasePath = TempFile("bad.xml");
  {
    std::ifstream in(kShippedDatabase, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string from("L\0o\0c\0k\0s\0E\0n\0u\0m\0", 18), to("L\0o\0c\0k\0s\0X\0n\0u\0m\0", 18);
    for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from))
      bytes.replace(at, 18, to);
    std::ofstream(controller_.DatabasePath, std::ios::binary) << bytes;
  }
  EXPECT_EQ(controller_.Init("SIM1", 3, false), TCommandResult::Failed);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0], (TLogLine{"Unknown error occoured!\r\n", 0x0000FF}));
  EXPECT_NE(log_.lines[1].text.find("The \"Locks\" hive contains invalid data!"), std::string::npos)
      << log_.lines[1].text;
  EXPECT_NE(log_.lines[1].text.find("LocksEnum"), std::string::npos) << log_.lines[1].text;

  // A state file of garbage: connected, with a warning naming the file; the file is kept aside.
  controller_.DatabasePath = kShippedDatabase;
  const std::string state = state_dir_.Path() + "/pinlet/sim-ATmega328P.state";
  std::filesystem::create_directories(state_dir_.Path() + "/pinlet");
  std::ofstream(state) << "garbage";
  log_.lines.clear();
  EXPECT_EQ(controller_.Init("SIM1", 3, false), TCommandResult::Done);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[1].colour, 0x0000FFu);
  EXPECT_NE(log_.lines[1].text.find(state + " is not a state file"), std::string::npos) << log_.lines[1].text;
  EXPECT_NE(log_.lines[1].text.find(state + ".bad-"), std::string::npos) << log_.lines[1].text;

  // Meanwhile another program (here: another controller) cannot have the port.
  TRecordingLog other_log;
  TPinletController other(other_log, confirm_);
  other.DatabasePath = kShippedDatabase;
  EXPECT_EQ(other.Init("SIM1", 3, false), TCommandResult::Failed);
  ASSERT_EQ(other_log.lines.size(), 2u);
  EXPECT_EQ(other_log.lines[0].text, "Error: Can not open physical connection device (COM,LPT,..)!\r\n");
  EXPECT_EQ(other_log.lines[1].text,
            "SIM1 is in use by another program; close that program and try again.\r\n");
  EXPECT_EQ(controller_.Free(), TCommandResult::Done);
  EXPECT_EQ(other.Init("SIM1", 3, false), TCommandResult::Done);
}
