#include "hw/uPinMap.h"

#include <gtest/gtest.h>

TEST(PinMap, KeysOverTheDefaultsWithSignalNamesInversionAndOlderSpellings) {
  TPinMap map;
  std::string error;
  ASSERT_TRUE(ParsePinMap("reset=~DTR, sdo=rts", TPinKind::Ftdi, map, error)) << error;
  EXPECT_EQ(map.Reset.Pin, 4);
  EXPECT_TRUE(map.Reset.Inverted);
  EXPECT_EQ(map.Mosi.Pin, 2);
  EXPECT_EQ(map.Sck, DefaultPinMap(TPinKind::Ftdi).Sck); // not given: the default
  EXPECT_EQ(DescribePinMap(map, TPinKind::Ftdi), "reset=~DTR(4) sck=TXD(0) mosi=RTS(2) miso=RXD(1)");

  ASSERT_TRUE(ParsePinMap("reset=3,sck=5,mosi=2,miso=11", TPinKind::Parallel, map, error)) << error;
  EXPECT_EQ(DescribePinMap(map, TPinKind::Parallel), "reset=3 sck=5 mosi=2 miso=11");
  ASSERT_TRUE(ParsePinMap("mosi=1,vcc=2,vcc=~3,buff=14", TPinKind::Parallel, map, error)) << error;
  EXPECT_EQ(DescribePinMap(map, TPinKind::Parallel), "reset=9 sck=6 mosi=1 miso=10 buff=14 vcc=2 vcc=~3");
  ASSERT_TRUE(ParsePinMap("miso=reset_line_name", TPinKind::Gpio, map, error)) << error;
  EXPECT_EQ(map.Miso.Pin, -1);
  EXPECT_EQ(map.Miso.Name, "reset_line_name");
  ASSERT_TRUE(ParsePinMap("", TPinKind::Serial, map, error));
  EXPECT_EQ(map, DefaultPinMap(TPinKind::Serial));
}

TEST(PinMap, RefusesWhatTheAdapterCannotDoAndSaysWhy) {
  TPinMap map = DefaultPinMap(TPinKind::Parallel);
  const TPinMap before = map;
  std::string error;
  EXPECT_FALSE(ParsePinMap("sck=12", TPinKind::Parallel, map, error));
  EXPECT_NE(error.find("cannot be driven"), std::string::npos) << error;
  EXPECT_FALSE(ParsePinMap("miso=4", TPinKind::Parallel, map, error));
  EXPECT_FALSE(ParsePinMap("miso=DTR", TPinKind::Serial, map, error));
  EXPECT_NE(error.find("not an input"), std::string::npos) << error;
  EXPECT_FALSE(ParsePinMap("sck=8", TPinKind::Ftdi, map, error));
  EXPECT_FALSE(ParsePinMap("clock=1", TPinKind::Ftdi, map, error));
  EXPECT_FALSE(ParsePinMap("sck", TPinKind::Ftdi, map, error));
  EXPECT_FALSE(ParsePinMap("sck=10", TPinKind::Spi, map, error));
  EXPECT_FALSE(ParsePinMap("buff=4", TPinKind::Serial, map, error));
  EXPECT_FALSE(ParsePinMap("vcc=4", TPinKind::Ftdi, map, error));
  EXPECT_FALSE(ParsePinMap("vcc=2,reset=2", TPinKind::Parallel, map, error)) << "power and RESET on one pin";
  // The default MOSI pin is still MOSI's, so moving SCK onto it is a clash.
  EXPECT_FALSE(ParsePinMap("sck=7", TPinKind::Parallel, map, error));
  EXPECT_NE(error.find("both on 7"), std::string::npos) << error;
  EXPECT_EQ(map, before); // a refused text changes nothing
}
