#include "app/uIniFile.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class IniFileTest : public testing::Test {
protected:
  std::shared_ptr<IIniFileReadWriteAccs> Open(const std::vector<std::string>& args = {}) {
    auto settings = CreateIniFile(args, FExe, (FRoot / "user").string());
    auto manager = QueryInterface<IIniFileManager>(settings);
    EXPECT_TRUE(manager && DefineWindowSettings(*manager) == S_OK);
    return settings;
  }
  fs::path Folder() const { return FRoot / "user" / "Config"; }
  fs::path File() const { return Folder() / "pinlet-gui.ini"; }

  TScratchDir scratch_;
  fs::path FRoot = scratch_.Path();
  std::string FExe = (FRoot / "bin" / "pinlet-gui").string();
};

const std::string kHeader = "[KWA2.7.15.24]\r\n";
const std::string kMisc = "[MISC]\r\nVersion=\"" PINLET_VERSION "\"\r\n";

} // namespace

TEST_F(IniFileTest, LivesInConfigUnderTheUserFolderNamedAfterTheExecutable) {
  auto settings = Open();
  std::string base, folder, file;
  ASSERT_EQ(settings->GetBaseFolder(base), S_OK);
  ASSERT_EQ(settings->GetSettingsFolder(folder), S_OK);
  ASSERT_EQ(settings->GetFileName(file), S_OK);
  EXPECT_EQ(base, (FRoot / "user").string());
  EXPECT_EQ(folder, Folder().string());
  EXPECT_EQ(file, File().string());
  EXPECT_TRUE(fs::is_directory(Folder())) << "the folder is created with its parents at once";
}

TEST_F(IniFileTest, WithoutOverrideUsesXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", (FRoot / "xdg").c_str(), 1), 0);
  auto settings = CreateIniFile({}, (FRoot / "bin" / "pinlet.gui").string());
  if (old)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
  std::string file;
  settings->GetFileName(file);
  EXPECT_EQ(file, (FRoot / "xdg" / "Pinlet" / "Config" / "pinlet.ini").string());
}

TEST_F(IniFileTest, AdapInAnArgumentMovesTheFileBesideTheExecutable) {
  {
    auto settings = Open({"-x", "--ADAPTER"});
    EXPECT_EQ(settings->WriteString(kSettingPortName, "COM2"), S_OK);
  }
  EXPECT_TRUE(fs::exists(FRoot / "bin" / "Config" / "pinlet-gui.ini"));
  EXPECT_FALSE(fs::exists(File()));
  // The next run with the switch finds the value there.
  std::string port;
  Open({"ADAP"})->ReadString(kSettingPortName, port);
  EXPECT_EQ(port, "COM2");

  // Only in the program path, or in other letter case, it does not move the file.
  FExe = (FRoot / "ADAPTERS" / "pinlet-gui").string();
  std::string base;
  Open({"adap"})->GetBaseFolder(base);
  EXPECT_EQ(base, (FRoot / "user").string());
}

TEST_F(IniFileTest, FirstStartGivesDefaultsAndReadsStoreNothing) {
  {
    auto settings = Open();
    std::string port = "x", last = "x";
    int32_t speed = -1;
    EXPECT_EQ(settings->ReadString(kSettingPortName, port), S_OK);
    EXPECT_EQ(settings->ReadInteger(kSettingSpeed, speed), S_OK);
    EXPECT_EQ(settings->ReadString(kSettingLastFile, last), S_OK);
    EXPECT_EQ(port, "");
    EXPECT_EQ(speed, 3);
    EXPECT_EQ(last, "");
    EXPECT_FALSE(fs::exists(File())) << "the file is written at the end only";
  }
  EXPECT_EQ(ReadFile(File()), kHeader + kMisc);
}

TEST_F(IniFileTest, WritesTheExactTextSortedWithoutRegardToCase) {
  {
    auto settings = Open();
    settings->WriteString(kSettingLastFile, "/home/ann/blink.hex");
    settings->WriteInteger(kSettingSpeed, 3);
    settings->WriteString(kSettingPortName, "COM1");
    settings->WriteString("banana", "b", "2");
    settings->WriteString("Banana", "A", "");
    settings->WriteString("apple", "say", "he said \"hi\"");
    settings->WriteInteger("Zeta", "n", -7);
  }
  EXPECT_EQ(ReadFile(File()), kHeader +
                                  "[apple]\r\nsay=\"he said \"\"hi\"\"\"\r\n"
                                  "[banana]\r\nA=\"\"\r\nb=\"2\"\r\n"
                                  "[CONNECTION]\r\nPortName=\"COM1\"\r\nSpeed=\"3\"\r\n"
                                  "[DIRECTORY]\r\nLastFile=\"/home/ann/blink.hex\"\r\n" +
                                  kMisc + "[Zeta]\r\nn=\"-7\"\r\n");
}

TEST_F(IniFileTest, RowsOfOtherTypeCodesKeepTheirColumns) {
  WriteFile(File(), kHeader + "[X]\r\nk=v;C;note;12\r\nplain=\"p\"\r\n");
  Open();
  EXPECT_EQ(ReadFile(File()), kHeader + kMisc + "[X]\r\nplain=\"p\"\r\nk=\"v\";C;note;12\r\n");
}

TEST_F(IniFileTest, TextByIdIsEncodedInTheFileAndReadBackUnchanged) {
  const std::string semicolon = "/tmp/a;b.hex";
  const std::string breaks = "one\r\ntwo\rthree\nfour";
  const std::string umlaut = "/home/j\xC3\xA4ger/{x}&'^`\"";
  {
    auto settings = Open();
    settings->WriteString(kSettingLastFile, semicolon);
    settings->WriteString(kSettingPortName, breaks);
    ASSERT_EQ(settings->DefineEntry(7, kIniKindText, "X", "Name", std::string()), S_OK);
    settings->WriteString(7, umlaut);
  }
  const std::string text = ReadFile(File());
  EXPECT_NE(text.find("LastFile=\"/tmp/a{59}b.hex\"\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("PortName=\"one{CRLF}two{CR}three{LF}four\"\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Name=\"/home/j{195}{164}ger/{123}x{125}{38}{39}{94}{96}{34}\"\r\n"), std::string::npos)
      << text;

  auto settings = Open();
  settings->DefineEntry(7, kIniKindText, "X", "Name", std::string());
  std::string value;
  settings->ReadString(kSettingLastFile, value);
  EXPECT_EQ(value, semicolon);
  settings->ReadString(kSettingPortName, value);
  EXPECT_EQ(value, breaks);
  settings->ReadString(7, value);
  EXPECT_EQ(value, umlaut);
}

TEST_F(IniFileTest, TextBySectionAndKeyKeepsQuotesSemicolonsAndLineBreaks) {
  EXPECT_EQ(EncodeIniText("C:\\Data\\my file.hex"), "C:\\Data\\my file.hex")
      << "a plain path is stored as it is";
  EXPECT_EQ(EncodeIniText(std::string("\x00\x7f", 2)), "{0}{127}");
  EXPECT_EQ(DecodeIniText("{256}{}{x}{12"), "{256}{}{x}{12") << "sequences that were never ours stay";
  const std::string value = "a;\"b\";c\r\nd";
  {
    auto settings = Open();
    settings->WriteString("S", "k", value);
    settings->WriteBool("S", "flag", true);
  }
  auto settings = Open();
  std::string read;
  bool flag = false;
  settings->ReadString("S", "k", "", read);
  settings->ReadBool("S", "flag", false, flag);
  EXPECT_EQ(read, value);
  EXPECT_TRUE(flag);
}

TEST_F(IniFileTest, ReadsRimaFilesUnquotedValuesAndUnixLineEnds) {
  WriteFile(File(), "[RIMA1.0]\r\n[CONNECTION]\r\nPortName=\"LPT1\"\r\nSpeed=1;\"5\";x;7\r\n");
  std::string port;
  int32_t speed = 0;
  {
    auto settings = Open();
    settings->ReadString(kSettingPortName, port);
    settings->ReadInteger(kSettingSpeed, speed);
  }
  EXPECT_EQ(port, "LPT1");
  EXPECT_EQ(speed, 5);

  WriteFile(File(), kHeader + "\n[CONNECTION]\nSpeed=6\n\n[DIRECTORY]\nLastFile=/x/y.hex\n");
  auto settings = Open();
  std::string last;
  settings->ReadInteger(kSettingSpeed, speed);
  settings->ReadString(kSettingLastFile, last);
  EXPECT_EQ(speed, 6);
  EXPECT_EQ(last, "/x/y.hex");
}

TEST_F(IniFileTest, WritingAKeyThatIsThereUpdatesIt) {
  WriteFile(File(), kHeader + "[connection]\r\nspeed=\"2\"\r\n");
  {
    auto settings = Open();
    settings->WriteInteger(kSettingSpeed, 5);
    settings->WriteInteger(kSettingSpeed, 4);
  }
  EXPECT_EQ(ReadFile(File()), kHeader + "[connection]\r\nspeed=\"4\"\r\n" + kMisc);
}

TEST_F(IniFileTest, StoredValuesAreNotRangeChecked) {
  // Mapping a speed outside 0..6 to sdNormal is the reader's job; it must see the real value.
  WriteFile(File(), kHeader + "[CONNECTION]\r\nSpeed=\"42\"\r\n[DIRECTORY]\r\nLastFile=\"\"\r\n");
  auto settings = Open();
  int32_t speed = 0;
  settings->ReadInteger(kSettingSpeed, speed);
  EXPECT_EQ(speed, 42);
  settings->WriteString("CONNECTION", "Speed", "fast");
  settings->ReadInteger(kSettingSpeed, speed);
  EXPECT_EQ(speed, kDefaultSpeedSetting) << "a value that is no number gives the default";
  std::string last = "x";
  settings->ReadString(kSettingLastFile, last);
  EXPECT_EQ(last, "");
}

TEST_F(IniFileTest, UnknownIdsAreRejected) {
  auto settings = Open();
  constexpr int32_t kUnknown = 99; // no entry of the window has it
  std::string text;
  int32_t number = 0;
  uint8_t kind = 9;
  EXPECT_EQ(settings->ReadString(kUnknown, text), E_INVALIDARG);
  EXPECT_EQ(settings->ReadStringExpanded(-1, true, text), E_INVALIDARG);
  EXPECT_EQ(settings->ReadInteger(kUnknown, number), E_INVALIDARG);
  EXPECT_EQ(settings->WriteString(kUnknown, "x"), E_INVALIDARG);
  EXPECT_EQ(settings->WriteInteger(kUnknown, 1), E_INVALIDARG);
  EXPECT_EQ(settings->DeleteEntry(kUnknown), E_INVALIDARG);
  EXPECT_EQ(settings->GetEntryKind(kUnknown, kind), S_FALSE);
  EXPECT_EQ(settings->GetEntryKind(kSettingSpeed, kind), S_OK);
  EXPECT_EQ(kind, kIniKindInteger);
}

TEST_F(IniFileTest, DefinitionsThatTheFileCannotHoldAreRefused) {
  auto settings = Open();
  EXPECT_EQ(settings->DefineEntry(-1, 4, "S", "k", 0), S_FALSE);
  EXPECT_EQ(settings->DefineEntry(5, 4, "S", "", 0), S_FALSE);
  EXPECT_EQ(settings->DefineEntry(5, 4, "S", "a=b", 0), S_FALSE);
  EXPECT_EQ(settings->DefineEntry(5, 4, "S", std::string(256, 'k'), 0), S_FALSE);
  EXPECT_EQ(settings->DefineEntry(5, 4, "S\n", "k", 0), S_FALSE);
  EXPECT_EQ(settings->WriteString("S", "[k", "v"), E_INVALIDARG);
  EXPECT_EQ(settings->DefineEntry(1000, 4, "S", std::string(255, 'k'), 0), S_OK);
}

TEST_F(IniFileTest, KindsConvertAndDeleteEntryRemovesValueAndDefinition) {
  auto settings = Open();
  ASSERT_EQ(settings->DefineEntry(10, 1, "S", "Ratio", 0.5), S_OK);
  ASSERT_EQ(settings->DefineEntry(11, 3, "S", "On", true), S_OK);
  double ratio = 0;
  bool on = false;
  std::string text;
  settings->ReadFloat(10, ratio);
  EXPECT_EQ(ratio, 0.5);
  settings->ReadBool(11, on);
  EXPECT_TRUE(on);
  settings->ReadString(kSettingSpeed, text);
  EXPECT_EQ(text, "3") << "an integer default reads as text";

  settings->WriteFloat(10, 2.25);
  settings->WriteBool(11, false);
  settings->ReadFloat(10, ratio);
  settings->ReadBool(11, on);
  EXPECT_EQ(ratio, 2.25);
  EXPECT_FALSE(on);

  EXPECT_EQ(settings->DeleteEntry(10), S_OK);
  EXPECT_EQ(settings->ReadFloat(10, ratio), E_INVALIDARG);
  EXPECT_EQ(settings->DeleteValue("S", "Ratio"), S_FALSE) << "the stored value went with the entry";
  EXPECT_EQ(settings->DeleteValue("S", "On"), S_OK);
  settings->ReadBool(11, on);
  EXPECT_TRUE(on) << "back to the default";
}

TEST_F(IniFileTest, ExpandedReadReplacesEnvironmentReferences) {
  ASSERT_EQ(setenv("PINLET_INI_TEST_DIR", "/data", 1), 0);
  unsetenv("PINLET_INI_TEST_UNSET");
  auto settings = Open();
  settings->WriteString(kSettingLastFile,
                        "$PINLET_INI_TEST_DIR/a-${PINLET_INI_TEST_DIR}-$PINLET_INI_TEST_UNSET");
  std::string raw, expanded;
  settings->ReadStringExpanded(kSettingLastFile, false, raw);
  settings->ReadStringExpanded(kSettingLastFile, true, expanded);
  EXPECT_EQ(raw, "$PINLET_INI_TEST_DIR/a-${PINLET_INI_TEST_DIR}-$PINLET_INI_TEST_UNSET");
  EXPECT_EQ(expanded, "/data/a-/data-$PINLET_INI_TEST_UNSET");
  unsetenv("PINLET_INI_TEST_DIR");
}

namespace {
struct TRecorder : IIniFileEvents {
  std::vector<std::pair<int32_t, TIniValue>> Calls;
  void SettingChanged(int32_t id, const TIniValue& value) override { Calls.emplace_back(id, value); }
};
} // namespace

TEST_F(IniFileTest, WritesByIdNotifyObservers) {
  auto settings = Open();
  auto source = QueryInterface<IIniFileEventSource>(settings);
  ASSERT_TRUE(source);
  auto recorder = std::make_shared<TRecorder>();
  ASSERT_EQ(source->Advise(recorder), S_OK);

  settings->WriteInteger(kSettingSpeed, 5);
  settings->WriteString(kSettingLastFile, "a;b");
  settings->WriteString("CONNECTION", "Speed", "6"); // not by id: no event
  settings->WriteString(99, "x");                    // unknown id: no event
  ASSERT_EQ(recorder->Calls.size(), 2u);
  EXPECT_EQ(recorder->Calls[0].first, kSettingSpeed);
  EXPECT_EQ(recorder->Calls[0].second, TIniValue(int32_t{5}));
  EXPECT_EQ(recorder->Calls[1].first, kSettingLastFile);
  EXPECT_EQ(recorder->Calls[1].second, TIniValue(std::string("a;b"))) << "the value as written, not encoded";

  EXPECT_EQ(source->Unadvise(recorder), S_OK);
  EXPECT_EQ(source->Unadvise(recorder), S_FALSE);
  settings->WriteInteger(kSettingSpeed, 1);
  EXPECT_EQ(recorder->Calls.size(), 2u);

  // An observer that went away is dropped, not called.
  auto gone = std::make_shared<TRecorder>();
  source->Advise(gone);
  gone.reset();
  EXPECT_EQ(settings->WriteInteger(kSettingSpeed, 2), S_OK);
}

TEST_F(IniFileTest, WriteLeavesNoTemporaryFilesAndAFailedWriteKeepsTheOldFile) {
  const std::string old = kHeader + "[CONNECTION]\r\nSpeed=\"2\"\r\n";
  WriteFile(File(), old);
  Open()->WriteInteger(kSettingSpeed, 4);
  EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"pinlet-gui.ini"});
  EXPECT_NE(ReadFile(File()).find("Speed=\"4\""), std::string::npos);

  WriteFile(File(), old);
  auto settings = Open();
  std::string big(64 * 1024, 'x');
  settings->WriteString(kSettingLastFile, big);

  // The file size limit makes the write fail half-way, even for root.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved;
  limit.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  settings.reset();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(ReadFile(File()), old);
  EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"pinlet-gui.ini"});
}

TEST_F(IniFileTest, UnparsableFileIsKeptAsideAndDefaultsApply) {
  for (const std::string& garbage : {std::string("\x7f"
                                                 "ELF\0\0\x01\xff[KWA]",
                                                 13),
                                     std::string("PortName=COM3\n")}) {
    fs::remove_all(Folder());
    WriteFile(File(), garbage);
    {
      auto settings = Open();
      std::string port = "x";
      settings->ReadString(kSettingPortName, port);
      EXPECT_EQ(port, "");
    }
    const auto names = FolderEntries(Folder());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "pinlet-gui.ini");
    EXPECT_TRUE(names[1].starts_with("pinlet-gui.ini.bad-")) << names[1];
    EXPECT_EQ(ReadFile(Folder() / names[1]), garbage);
    EXPECT_EQ(ReadFile(File()), kHeader + kMisc);
  }
}

TEST_F(IniFileTest, SettingsPathThatCannotBeReadIsNotReplaced) {
  fs::create_directories(File() / "inside");
  Open()->WriteInteger(kSettingSpeed, 1);
  EXPECT_TRUE(fs::is_directory(File() / "inside"));
  EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"pinlet-gui.ini"});
}
