#include "devicedb/uAVR_base.h"

#include <gtest/gtest.h>

#include <string>

TEST(CpuCatalogue, IdentifiersMapBothWaysMatchingTheWholeNameIgnoringCase) {
  EXPECT_EQ(CpuTypeFromName("ACTATMEGA8"), 14);
  EXPECT_EQ(CpuTypeFromName("actAT90S0000"), 55);
  for (const char* name : {"ATmega8", "", "14", " actATmega8", "actATmega85", "actATmega"})
    EXPECT_EQ(CpuTypeFromName(name), kNoCpuType) << name;

  for (int type = 0; type < kAvrCpuTypeCount; ++type) {
    const std::string id = CpuTypeIdentifier(uint8_t(type));
    ASSERT_EQ(id.rfind("act", 0), 0u) << type;
    EXPECT_EQ(CpuTypeFromName(id), type) << id;
  }
  EXPECT_STREQ(CpuTypeIdentifier(actAT90CAN128), "actAT90CAN128");
  EXPECT_STREQ(CpuTypeIdentifier(kAvrCpuTypeCount), "");
  EXPECT_STREQ(CpuTypeIdentifier(kNoCpuType), "");
}
