#include "devicedb/uAVR_base.h"

#include <gtest/gtest.h>

#include <string>

TEST(CpuCatalogue, CpuTypeFromNameMatchesTheWholeIdentifierIgnoringCase) {
  EXPECT_EQ(CpuTypeFromName("actATmega8"), 14);
  EXPECT_EQ(CpuTypeFromName("ACTATMEGA8"), 14);
  EXPECT_EQ(CpuTypeFromName("actatmega8"), 14);
  EXPECT_EQ(CpuTypeFromName("actUnknown"), 0);
  EXPECT_EQ(CpuTypeFromName("actAT90S0000"), 55);
  EXPECT_EQ(CpuTypeFromName("actATmega2561"), 54);

  EXPECT_EQ(CpuTypeFromName("ATmega8"), kNoCpuType);
  EXPECT_EQ(CpuTypeFromName(""), kNoCpuType);
  EXPECT_EQ(CpuTypeFromName("14"), kNoCpuType);
  EXPECT_EQ(CpuTypeFromName(" actATmega8"), kNoCpuType);
  EXPECT_EQ(CpuTypeFromName("actATmega8 "), kNoCpuType);
  EXPECT_EQ(CpuTypeFromName("actATmega85"), kNoCpuType); // a longer name is no prefix match
  EXPECT_EQ(CpuTypeFromName("actATmega"), kNoCpuType);
}

TEST(CpuCatalogue, EveryOrdinalHasAnIdentifierThatMapsBack) {
  for (int type = 0; type < kAvrCpuTypeCount; ++type) {
    const std::string id = CpuTypeIdentifier(uint8_t(type));
    ASSERT_EQ(id.rfind("act", 0), 0u) << type;
    EXPECT_EQ(CpuTypeFromName(id), type) << id;
  }
  EXPECT_STREQ(CpuTypeIdentifier(actATtiny2313), "actATtiny2313");
  EXPECT_STREQ(CpuTypeIdentifier(actAT90CAN128), "actAT90CAN128");
  EXPECT_STREQ(CpuTypeIdentifier(kAvrCpuTypeCount), "");
  EXPECT_STREQ(CpuTypeIdentifier(kNoCpuType), "");
}
