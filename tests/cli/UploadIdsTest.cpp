// The programmer table checked entry by entry against what each kind of port can carry, and the
// part ids against the shipped device database.
#include "app/uChipList.h"
#include "cli/uUploadIds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace {

constexpr const char* kDatabase = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct TPinUse {
  std::string Key;
  int Pin = -1;
  bool Inverted = false;
};

std::vector<TPinUse> PinUses(const std::string& pins) {
  std::vector<TPinUse> uses;
  size_t start = 0;
  while (start < pins.size()) {
    const size_t comma = pins.find(',', start);
    const std::string item =
        pins.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? pins.size() : comma + 1;
    const size_t eq = item.find('=');
    TPinUse use;
    use.Key = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    use.Inverted = !value.empty() && value[0] == '~';
    if (use.Inverted) value.erase(0, 1);
    use.Pin = !value.empty() && std::all_of(value.begin(), value.end(), ::isdigit) ? std::stoi(value) : -1;
    uses.push_back(use);
  }
  return uses;
}

TEST(UploadIds, EveryBuiltInWiringFitsItsPort) {
  const std::set<int> parallel_outputs = {1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 16, 17},
                      parallel_inputs = {10, 11, 12, 13, 15};
  const std::set<int> serial_outputs = {3, 4, 7}, serial_inputs = {1, 6, 8, 9};
  std::set<std::string> ids;
  for (const TUploadProgrammer& p : BuiltInUploadProgrammers()) {
    SCOPED_TRACE(p.Id);
    EXPECT_TRUE(ids.insert(Lower(p.Id)).second) << "the id is twice in the table";
    EXPECT_FALSE(p.Description.empty());
    EXPECT_FALSE(p.Source.empty());
    EXPECT_FALSE(p.DefaultPort.empty());
    const std::set<std::string> kinds = {"par", "serbb", "ft245r", "linuxgpio", "linuxspi", "sim"};
    ASSERT_TRUE(kinds.count(p.Kind)) << p.Kind;
    std::set<int> used;
    for (const TPinUse& use : PinUses(p.Pins)) {
      SCOPED_TRACE(use.Key + "=" + std::to_string(use.Pin));
      ASSERT_GE(use.Pin, 0) << "not a pin number: " << p.Pins;
      EXPECT_TRUE(used.insert(use.Pin).second) << "pin used twice: " << p.Pins;
      const bool input = use.Key == "miso";
      if (p.Kind == "par") {
        EXPECT_TRUE(std::set<std::string>({"reset", "sck", "mosi", "miso", "buff", "vcc"}).count(use.Key));
        EXPECT_TRUE(input ? parallel_inputs.count(use.Pin) : parallel_outputs.count(use.Pin));
      } else if (p.Kind == "serbb") {
        EXPECT_TRUE(std::set<std::string>({"reset", "sck", "mosi", "miso"}).count(use.Key));
        EXPECT_TRUE(input ? serial_inputs.count(use.Pin) : serial_outputs.count(use.Pin));
      } else if (p.Kind == "ft245r") {
        EXPECT_TRUE(std::set<std::string>({"reset", "sck", "mosi", "miso"}).count(use.Key));
        EXPECT_LE(use.Pin, 7);
      } else if (p.Kind == "linuxspi") {
        EXPECT_EQ(use.Key, "reset") << "the SPI controller owns SCK, MOSI and MISO";
      } else if (p.Kind == "linuxgpio") {
        EXPECT_TRUE(std::set<std::string>({"reset", "sck", "mosi", "miso"}).count(use.Key));
      } else {
        ADD_FAILURE() << "the simulated chip has no wires";
      }
    }
    // A cable either gives all four signals or leaves them all to the kind's default wiring.
    if (p.Kind != "linuxspi" && !p.Pins.empty()) {
      for (const char* key : {"reset", "sck", "mosi", "miso"}) {
        const auto uses = PinUses(p.Pins);
        EXPECT_TRUE(std::any_of(uses.begin(), uses.end(), [&](const TPinUse& u) { return u.Key == key; }))
            << key;
      }
    }
  }
  // The ids the build systems and IDEs name.
  for (const char* id : {"dapa",      "stk200",   "bsd",   "xil",        "futurlec",       "abcmini",
                         "picoweb",   "sp12",     "alf",   "dt006",      "pony-stk200",    "ponyser",
                         "siprog",    "dasa",     "dasa3", "ft232r",     "arduino-ft232r", "diecimila",
                         "linuxgpio", "linuxspi", "sim",   "pinlet-lpt", "pinlet-com"})
    EXPECT_TRUE(ids.count(id)) << id;
}

TEST(UploadIds, FindPrefersTheConfigurationFilesLaterOnesFirst) {
  std::vector<TUploadProgrammer> extra = {{"mycable", "first", "par", "reset=2", "LPT1", "a.conf:1"},
                                          {"MyCable", "second", "par", "reset=3", "LPT1", "b.conf:1"},
                                          {"dapa", "rewired", "par", "reset=4", "LPT2", "b.conf:9"}};
  ASSERT_NE(FindUploadProgrammer("MYCABLE", extra), nullptr);
  EXPECT_EQ(FindUploadProgrammer("MYCABLE", extra)->Description, "second");
  EXPECT_EQ(FindUploadProgrammer("dapa", extra)->Description, "rewired");
  EXPECT_EQ(FindUploadProgrammer("DAPA", {})->Description, "Direct AVR Parallel Access cable");
  EXPECT_EQ(FindUploadProgrammer("stk200", extra, true), nullptr);
  EXPECT_NE(FindUploadProgrammer("stk200", extra, false), nullptr);
  EXPECT_EQ(FindUploadProgrammer("usbasp", extra), nullptr);
}

TEST(UploadIds, TheListsOfQuestionMark) {
  const std::vector<TUploadProgrammer> extra = {{"dapa", "my rewired dapa", "par", "reset=4", "LPT1", "a:1"},
                                                {"mine", "my cable", "par", "", "LPT1", "a:2"}};
  const std::string all = UploadProgrammerListText(extra);
  EXPECT_EQ(all.rfind("Valid programmers are:\n", 0), 0u);
  EXPECT_NE(all.find("  mine  "), std::string::npos) << all;
  EXPECT_NE(all.find(" = my rewired dapa\n"), std::string::npos) << all;
  EXPECT_EQ(all.find("Direct AVR Parallel Access cable"), std::string::npos) << "dapa listed twice";
  for (const TUploadProgrammer& p : BuiltInUploadProgrammers())
    if (p.Id != "dapa") {
      EXPECT_NE(all.find("  " + p.Id + " "), std::string::npos) << p.Id;
    }
  const std::string only = UploadProgrammerListText(extra, true);
  EXPECT_EQ(only.find("stk200"), std::string::npos) << only;

  const std::string parts = UploadPartListText({"ATmega328P", "ATmega8/ATmega8L"});
  EXPECT_EQ(parts, "Valid parts are:\n  m328p = ATmega328P\n  m8    = ATmega8\n  m8l   = ATmega8L\n");
}

TEST(UploadIds, ShortIdsAsBuildSystemsWriteThem) {
  const std::map<std::string, std::string> ids = {
      {"ATmega328P", "m328p"},
      {"ATmega168", "m168"},
      {"ATmega8/ATmega8L/ATmega8A", "m8"},
      {"ATmega2560/ATmega2560V", "m2560"},
      {"ATmega1280", "m1280"},
      {"ATmega32U4", "m32u4"},
      {"ATtiny85/ATtiny85V", "t85"},
      {"ATtiny13", "t13"},
      {"ATtiny2313", "t2313"},
      {"AT90USB1286/AT90USB1287", "usb1286"},
      {"AT90USB162", "usb162"},
      {"AT90CAN128", "c128"},
      {"AT90PWM2B/AT90PWM3B", "pwm2b"},
      {"AT90S8515/AT90LS8515", "8515"},
      {"AT90S1200", "1200"},
      {"ATmega128RFA1", "m128rfa1"},
      {"ATmega1284P", "m1284p"},
      {"ATtiny1634", "t1634"},
  };
  for (const auto& [name, id] : ids) EXPECT_EQ(ShortPartId(name), id) << name;
}

TEST(UploadIds, PartsResolveAgainstTheShippedDatabase) {
  std::string error;
  const std::vector<std::string> names = DatabaseChipNames(kDatabase, error);
  ASSERT_FALSE(names.empty()) << error;
  EXPECT_TRUE(error.empty());
  EXPECT_NE(std::find(names.begin(), names.end(), "ATmega8/ATmega8L/ATmega8A"), names.end());

  const std::map<std::string, std::string> parts = {
      {"m328p", "ATmega328P"},
      {"atmega328p", "ATmega328P"},
      {"ATMEGA328P", "ATmega328P"},
      {"m328", "ATmega328"},
      {"m8", "ATmega8"},
      {"atmega8l", "ATmega8L"},
      {"m8a", "ATmega8A"},
      {"t85", "ATtiny85"},
      {"m2560", "ATmega2560"},
      {"usb1287", "AT90USB1287"},
      {"c128", "AT90CAN128"},
      {"t15", "ATtiny15L"},
      {"t28", "ATtiny28L"},
      {"8515", "AT90S8515"},
      {"m32u4", "ATmega32U4"},
      {"m1284p", "ATmega1284P"},
  };
  for (const auto& [text, name] : parts) EXPECT_EQ(ResolveUploadPart(text, names), name) << text;
  for (const char* unknown : {"", "m329x", "atmega", "stm32", "m"})
    EXPECT_EQ(ResolveUploadPart(unknown, names), "") << unknown;

  // Every name's short id leads back into its own record, and no two records share one.
  std::map<std::string, std::string> record_of_id;
  for (const std::string& record : names) {
    size_t start = 0;
    while (start <= record.size()) {
      const size_t slash = record.find('/', start);
      const std::string name =
          record.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      const std::string id = ShortPartId(name);
      const auto [it, fresh] = record_of_id.emplace(id, record);
      EXPECT_TRUE(fresh || it->second == record) << id << " names " << it->second << " and " << record;
      const std::string resolved = ResolveUploadPart(id, names);
      EXPECT_NE(("/" + record + "/").find("/" + resolved + "/"), std::string::npos)
          << id << " -> " << resolved;
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
  }

  EXPECT_TRUE(DatabaseChipNames("/nonexistent/CpuSignatures.xml", error).empty());
  EXPECT_FALSE(error.empty());
}

} // namespace
