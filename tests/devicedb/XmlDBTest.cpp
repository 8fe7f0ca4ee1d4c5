#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"

#include "DbTestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

const std::string kValidDb = R"(<DB><LocksEnum><E Name="LB1"/></LocksEnum><FusesEnum><E Name="F"/></FusesEnum>
<Signatures><C><CpuName>Chip</CpuName><CpuType>actATmega8</CpuType><Sig byte1="0x1E" byte2="1" byte3="2" byte4="3"/></C></Signatures></DB>)";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Restores the working directory when the test ends.
class ChangeDirectory {
public:
  explicit ChangeDirectory(const std::filesystem::path& to) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~ChangeDirectory() {
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
  }
  ChangeDirectory(const ChangeDirectory&) = delete;
  ChangeDirectory& operator=(const ChangeDirectory&) = delete;

private:
  std::filesystem::path saved_;
};

} // namespace

TEST(XmlDB, FileThatCannotBeOpenedNamesItsFullPathAndTheReason) {
  dbtest::TempDir dir;
  ChangeDirectory cd(dir.Path());
  std::string text;
  EXPECT_EQ(LoadSignatureDB("./missing.xml", text), E_INVALIDARG);
  const std::string full = (std::filesystem::current_path() / "missing.xml").string();
  EXPECT_EQ(text, "Cannot open file \"" + full + "\". No such file or directory");

  std::filesystem::create_directory(dir.Path() / "folder.xml");
  EXPECT_EQ(LoadSignatureDB("folder.xml", text), E_INVALIDARG);
  EXPECT_TRUE(Contains(text, "folder.xml\". Is a directory")) << text;
}

TEST(XmlDB, OnlyUtf16LittleEndianTextParses) {
  dbtest::TempDir dir;
  std::string text;
  // The same document stored as 8-bit text, as UTF-8 with its signature, and as UTF-16 BE.
  std::string be = "\xFF\xFE" + dbtest::Utf8ToUtf16Le(kValidDb);
  for (size_t i = 0; i + 1 < be.size(); i += 2) std::swap(be[i], be[i + 1]);
  for (const std::string& bytes : {kValidDb, "\xEF\xBB\xBF" + kValidDb, be}) {
    text.clear();
    EXPECT_EQ(LoadSignatureDB(dir.WriteBytes("db.xml", bytes), text), XML_E_PARSE);
    EXPECT_TRUE(Contains(text, "must be UTF-16 little-endian")) << text;
  }

  // Without a byte-order mark, with a trailing odd byte, and with a declaration naming another
  // encoding, the UTF-16 LE document loads.
  EXPECT_EQ(LoadSignatureDB(dir.WriteBytes("db.xml", dbtest::Utf8ToUtf16Le(kValidDb) + "\x01"), text), S_OK);
  EXPECT_EQ(
      LoadSignatureDB(
          dir.WriteXml("db.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n" + kValidDb), text),
      S_OK);
  // Characters beyond the basic plane arrive as UTF-8.
  const std::string clef = "\xF0\x9D\x84\x9E";
  std::string with_clef = kValidDb;
  with_clef.replace(with_clef.find("Chip"), 4, "Chip " + clef + " \xC2\xB5");
  ASSERT_EQ(LoadSignatureDB(dir.WriteXml("db.xml", with_clef), text), S_OK);
  EXPECT_EQ(SignatureTable[0].CpuName, "Chip " + clef + " \xC2\xB5");
}

TEST(XmlDB, ParseErrorsGiveTheReasonLineAndLineStart) {
  dbtest::TempDir dir;
  std::string text;
  const std::string path =
      dir.WriteXml("db.xml", "<DB>\r\n  <LocksEnum>\r\n    <E Name=\"LB1\"></X>\r\n</DB>");
  EXPECT_EQ(LoadSignatureDB(path, text), XML_E_PARSE);
  EXPECT_TRUE(Contains(text, "line 3, column 21: \"    <E Name=\"LB1\"></X>\"")) << text;
  EXPECT_TRUE(Contains(text, path)) << text;

  // Things the parser alone would let through: text or a second element beside the root, and
  // characters that XML does not allow.
  const struct {
    std::string bytes;
    const char* reason;
  } cases[] = {
      {dbtest::Utf8ToUtf16Le("junk" + kValidDb), "outside the root"},
      {dbtest::Utf8ToUtf16Le(kValidDb + "\n<Second/>"), "line 3"},
      {dbtest::Utf8ToUtf16Le("<DB>a") + std::string("\0\0", 2) + dbtest::Utf8ToUtf16Le("</DB>"), "U+0000"},
      {dbtest::Utf8ToUtf16Le("<DB>") + std::string("\x00\xD8", 2) + dbtest::Utf8ToUtf16Le("</DB>"),
       "surrogate"},
      {dbtest::Utf8ToUtf16Le("  \r\n "), "No root element"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LoadSignatureDB(dir.WriteBytes("db.xml", c.bytes), text), XML_E_PARSE) << c.reason;
    EXPECT_TRUE(Contains(text, c.reason)) << text;
  }
}

TEST(XmlDB, EmptyFilesReachTheSectionReaderAndHugeFilesAreRefused) {
  dbtest::TempDir dir;
  std::string text = "untouched";
  EXPECT_EQ(LoadSignatureDB(dir.WriteBytes("empty.xml", ""), text), DB_E_LOCKS);
  EXPECT_EQ(LoadSignatureDB(dir.WriteBytes("bom.xml", "\xFF\xFE"), text), DB_E_LOCKS);
  EXPECT_EQ(LoadSignatureDB(dir.WriteBytes("odd.xml", "<"), text), DB_E_LOCKS);
  EXPECT_EQ(text, "untouched");

  // A sparse file costs no disk space; it must be refused before it is read.
  const std::string huge = dir.WriteBytes("huge.xml", "");
  ASSERT_EQ(::truncate(huge.c_str(), off_t(kMaxSignatureDBFileSize) + 2), 0);
  EXPECT_EQ(LoadSignatureDB(huge, text), XML_E_PARSE);
  EXPECT_TRUE(Contains(text, "larger than")) << text;
}

TEST(XmlDB, DeeplyNestedAndOversizedDocumentsAreHandled) {
  dbtest::TempDir dir;
  std::string text;
  constexpr int kDepth = 200000;
  std::string deep;
  for (int i = 0; i < kDepth; ++i) deep += "<n>";
  for (int i = 0; i < kDepth; ++i) deep += "</n>";
  std::string xml = kValidDb;
  xml.insert(xml.find("<LocksEnum>"), deep);
  EXPECT_EQ(LoadSignatureDB(dir.WriteXml("deep.xml", xml), text), S_OK);

  std::string crowded = "<DB><LocksEnum>";
  for (size_t i = 0; i <= kMaxSectionEntries; ++i) crowded += "<E/>";
  crowded += "</LocksEnum></DB>";
  std::string section;
  EXPECT_EQ(LoadSignatureDB(dir.WriteXml("crowded.xml", crowded), text, &section), DB_E_LOCKS);
  EXPECT_TRUE(Contains(section, "too many")) << section;
}

TEST(XmlDB, WrapperFindsSectionsAndChildElements) {
  const std::shared_ptr<IXmlDB> db = NewXmlDB();
  TXmlNode node{&node};
  EXPECT_EQ(db->FindSection("LocksEnum", node), E_NOINTERFACE); // nothing loaded
  EXPECT_FALSE(node);

  const std::string bytes =
      dbtest::Utf8ToUtf16Le("<R><A/><LocksEnum>x<one/><!-- c --><two/></LocksEnum><LocksEnum/></R>");
  ASSERT_EQ(db->LoadXmlBytes(bytes.data(), bytes.size()), S_OK);
  EXPECT_EQ(db->FindSection("Missing", node), E_INVALIDARG);
  ASSERT_EQ(db->FindSection("LocksEnum", node), S_OK);
  TXmlNode child;
  ASSERT_EQ(db->GetChildNode(node, 1, child), S_OK);
  EXPECT_EQ(XmlNodeName(child), "two");
  EXPECT_EQ(db->GetChildNode(node, 2, child), E_INVALIDARG);
  EXPECT_EQ(db->GetChildNode(TXmlNode{}, 0, child), E_NOINTERFACE);
  EXPECT_FALSE(child);

  // A failed load leaves no document and says why.
  const std::string broken = dbtest::Utf8ToUtf16Le("<R>");
  EXPECT_EQ(db->LoadXmlBytes(broken.data(), broken.size()), XML_E_PARSE);
  std::string text;
  db->GetLastErrorText(text);
  EXPECT_TRUE(Contains(text, "line 1")) << text;
  EXPECT_EQ(db->FindSection("LocksEnum", node), E_NOINTERFACE);
}

TEST(XmlDB, TheCopyInTheCurrentDirectoryIsFoundFirst) {
  dbtest::TempDir dir;
  ChangeDirectory cd(dir.Path());
  const std::string path = dir.WriteXml(kSignatureDBFileName, kValidDb);
  EXPECT_EQ(std::filesystem::path(LocateSignatureDB()),
            std::filesystem::current_path() / kSignatureDBFileName);

  std::string text, loaded;
  ASSERT_EQ(LoadDefaultSignatureDB(text, &loaded), S_OK) << text;
  EXPECT_EQ(std::filesystem::path(loaded), std::filesystem::current_path() / kSignatureDBFileName);
  EXPECT_EQ(SignatureTable[0].CpuName, "Chip");
}
