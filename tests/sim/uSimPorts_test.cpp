// SIM ports: the list, the lookups, the choice of chip and the bus they create.
#include "core/uWait.h"
#include "sim/uSimPorts.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

namespace {

class SimPorts : public testing::Test {
protected:
  void SetUp() override { ResetSimPorts(); }
  void TearDown() override { ResetSimPorts(); }
};

TEST_F(SimPorts, Sim1CarriesAnAtmega328P) {
  EXPECT_EQ(GetSimPortList(), (std::vector<std::string>{"SIM1=\"Simulated ATmega328P\""}));
  EXPECT_EQ(GetSimPortList(true), (std::vector<std::string>{"SIM1"}));
  EXPECT_EQ(GetSimPortFriendlyName("sim1"), "Simulated ATmega328P");
  EXPECT_EQ(GetSimPortKind("SIM1"), kPortKindSim);
  EXPECT_EQ(GetSimPortKind("SIM2"), 0);
  EXPECT_EQ(GetSimPortKind("COM1"), 0);
  EXPECT_EQ(GetSimPortNumber("SIM01"), 0);
}

TEST_F(SimPorts, ChoosingChipsAddsPorts) {
  ASSERT_EQ(SetSimPortChip(3, "ATmega2560"), S_OK);
  EXPECT_EQ(GetSimPortList(),
            (std::vector<std::string>{"SIM1=\"Simulated ATmega328P\"", "SIM2=\"Simulated ATmega328P\"",
                                      "SIM3=\"Simulated ATmega2560\""}));
  EXPECT_EQ(GetSimPortNumber("Sim3"), 3);
  ASSERT_EQ(SetSimPortChip(1, " atmega8 "), S_OK);
  EXPECT_EQ(GetSimPortChip(1), "atmega8");
  EXPECT_EQ(SetSimPortChip(0, "ATmega8"), E_INVALIDARG);
  EXPECT_EQ(SetSimPortChip(kMaxSimPorts + 1, "ATmega8"), E_INVALIDARG);
  EXPECT_EQ(SetSimPortChip(2, ""), E_INVALIDARG) << "only the last port can be removed";
  EXPECT_EQ(SetSimPortChip(3, ""), S_OK);
  EXPECT_EQ(GetSimPortKind("SIM3"), 0);
}

TEST_F(SimPorts, ChipNamesMatchAlternativesWithoutCase) {
  EXPECT_TRUE(SimChipNameMatches("ATmega8/ATmega8L", "atmega8"));
  EXPECT_TRUE(SimChipNameMatches("ATmega8/ATmega8L", "ATMEGA8L"));
  EXPECT_FALSE(SimChipNameMatches("ATmega8/ATmega8L", "ATmega8A"));
  EXPECT_FALSE(SimChipNameMatches("ATmega88", "ATmega8"));
  EXPECT_FALSE(SimChipNameMatches("ATmega8", ""));
}

TEST_F(SimPorts, FactoryBuildsTheConfiguredChip) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  TAvrSigType mega8 = SimRecordMega328P();
  mega8.CpuName = "ATmega8/ATmega8L";
  mega8.Sig = {0x1E, 0x93, 0x07, 0x00};
  const std::vector<TAvrSigType> table{mega8, SimRecordMega328P()};

  TSimChipOptions options; // no persistence
  std::unique_ptr<TSpiBusBase> bus;
  ASSERT_EQ(CreateSimPortBus(1, table, bus, options), S_OK);
  auto* sim = dynamic_cast<TSpiBus_Sim*>(bus.get());
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->CheckHardware(), 0);
  EXPECT_EQ(sim->Chip()->Record().CpuName, "ATmega328P");

  ASSERT_EQ(SetSimPortChip(2, "ATMEGA8L"), S_OK);
  ASSERT_EQ(CreateSimPortBus(2, table, bus, options), S_OK);
  sim = dynamic_cast<TSpiBus_Sim*>(bus.get());
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->PortNumber(), 2);
  EXPECT_EQ(sim->Chip()->Record().Sig.byte2, 0x93);

  EXPECT_EQ(CreateSimPortBus(5, table, bus, options), SPI_E_NOPORT);
  EXPECT_EQ(bus, nullptr);
  ASSERT_EQ(SetSimPortChip(2, "ATtiny13"), S_OK);
  EXPECT_EQ(CreateSimPortBus(2, table, bus, options), E_INVALIDARG);

  // A record of impossible sizes is refused before any memory is allocated for it.
  std::vector<TAvrSigType> huge{SimRecordMega328P()};
  huge[0].MemSize.Flash = 0x7FFFFFFF;
  EXPECT_EQ(CreateSimPortBus(1, huge, bus, options), E_FAIL);
  EXPECT_EQ(bus, nullptr);
}

TEST_F(SimPorts, InjectedFaultsReachThePortsChipUntilReset) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  const std::vector<TAvrSigType> table{SimRecordMega328P()};
  TSimChipOptions faults;
  faults.no_chip = true;
  faults.resting_miso = 0;
  faults.stop_after_bits = 99;
  faults.persist = true; // not a fault: the caller's options decide
  EXPECT_EQ(SetSimPortFaults(0, faults), E_INVALIDARG);
  EXPECT_EQ(SetSimPortFaults(kMaxSimPorts + 1, faults), E_INVALIDARG);
  ASSERT_EQ(SetSimPortFaults(1, faults), S_OK);
  TSimChipOptions options; // no persistence
  std::unique_ptr<TSpiBusBase> bus;
  ASSERT_EQ(CreateSimPortBus(1, table, bus, options), S_OK);
  auto* sim = dynamic_cast<TSpiBus_Sim*>(bus.get());
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->Chip()->StatePath(), "");
  sim->SetReset(1);
  uint8_t level = 1;
  ASSERT_TRUE(sim->GetMiso(level));
  EXPECT_EQ(level, 0) << "no chip, and the line sticks low";

  ResetSimPorts();
  ASSERT_EQ(CreateSimPortBus(1, table, bus, options), S_OK);
  sim = dynamic_cast<TSpiBus_Sim*>(bus.get());
  ASSERT_NE(sim, nullptr);
  ASSERT_TRUE(sim->GetMiso(level));
  EXPECT_EQ(level, 1);
}

TEST_F(SimPorts, DefaultPortPersistsUnderXdgStateHome) {
  auto clock = std::make_shared<TVirtualClock>();
  TScopedWaitClock scoped(clock);
  const std::vector<TAvrSigType> table{SimRecordMega328P()};
  std::unique_ptr<TSpiBusBase> bus;
  ASSERT_EQ(CreateSimPortBus(1, table, bus), S_OK);
  auto* sim = dynamic_cast<TSpiBus_Sim*>(bus.get());
  ASSERT_NE(sim, nullptr);
  const std::string path = sim->Chip()->StatePath();
  EXPECT_EQ(path, SimStateDirectory() + "/sim-ATmega328P.state");
  EXPECT_EQ(path.rfind(std::string(getenv("XDG_STATE_HOME")) + "/pinlet/", 0), 0u);
}

} // namespace
