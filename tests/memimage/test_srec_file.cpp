// Motorola SREC: a published example file, the writer's record choice, round trips with gaps,
// counts, checksums and the errors that name the line.
#include "memimage/uSrecFile.h"
#include "memimage_test_util.h"

#include <algorithm>
#include <cctype>

namespace {

// The example S19 file of the format's common description (a "hello" header, three S1 data
// records, an S5 count and the S9 end), checksums as published.
const std::string kHello = "S00F000068656C6C6F202020202000003C\n"
                           "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\n"
                           "S11F001C4BFFFFE5398000007D83637880010014382100107C0803A64E800020E9\n"
                           "S111003848656C6C6F20776F726C642E0A0042\n"
                           "S5030003F9\n"
                           "S9030000FC\n";

struct TLoaded {
  HRESULT result;
  std::vector<uint8_t> bytes;
  std::string error;
};

TLoaded Load(const std::string& text) {
  auto srec = NewSrecFile();
  const HRESULT hr = srec->LoadFromStream(TextStream(text));
  return {hr, Bytes(Image(srec)), srec->LastErrorText()};
}

std::string Save(const std::shared_ptr<IuCFile>& file) {
  auto out = NewMemoryIStream();
  EXPECT_EQ(file->SaveToStream(out), S_OK);
  return Text(out);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return lines;
}

// A file object holding bytes at address, with nothing covered below it.
std::shared_ptr<IuCFile> At(int32_t address, const std::vector<uint8_t>& bytes) {
  auto srec = NewSrecFile();
  EXPECT_EQ(Image(srec)->Seek(address, 0, nullptr), S_OK);
  Fill(Image(srec), bytes);
  return srec;
}

} // namespace

TEST(SrecReader, ReadsThePublishedExample) {
  const TLoaded loaded = Load(kHello);
  ASSERT_EQ(loaded.result, S_OK) << loaded.error;
  ASSERT_EQ(loaded.bytes.size(), 0x38u + 14);
  EXPECT_EQ(std::vector<uint8_t>(loaded.bytes.begin(), loaded.bytes.begin() + 4),
            (std::vector<uint8_t>{0x7C, 0x08, 0x02, 0xA6}));
  const std::string text(loaded.bytes.begin() + 0x38, loaded.bytes.begin() + 0x38 + 13);
  EXPECT_EQ(text, "Hello world.\n");
  // Lower-case digits and CR LF line ends read the same.
  std::string lower = kHello;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return char(std::tolower(c)); });
  EXPECT_EQ(Load(lower).bytes, loaded.bytes);
  std::string crlf;
  for (char c : kHello) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(Load(crlf).bytes, loaded.bytes);
  // Nothing after the end record is read.
  EXPECT_EQ(Load(kHello + "garbage\n").result, S_OK);
}

TEST(SrecReader, ThreeAddressSizesAndCoverage) {
  // S2 and S3 records with a gap between them; S8 and S7 end records.
  const std::string s2 = "S2080100000102030AE6\nS804000000FB\n";
  TLoaded loaded = Load(s2);
  ASSERT_EQ(loaded.result, S_OK) << loaded.error;
  ASSERT_EQ(loaded.bytes.size(), 0x10004u);
  EXPECT_EQ(loaded.bytes[0x10000], 0x01);
  EXPECT_EQ(loaded.bytes[0x10003], 0x0A);
  EXPECT_EQ(loaded.bytes[0], kImageFill);

  auto srec = NewSrecFile();
  ASSERT_EQ(srec->LoadFromStream(TextStream("S3070000001055AAE9\nS30700000020FF00D9\nS70500000000FA\n")),
            S_OK)
      << srec->LastErrorText();
  std::vector<uint8_t> covered;
  ASSERT_EQ(Image(srec)->GetCoverage(0x0E, 0x16, covered), S_OK);
  std::vector<uint8_t> expected(0x16, 0);
  expected[2] = expected[3] = expected[0x12] = expected[0x13] = 1;
  EXPECT_EQ(covered, expected);
}

TEST(SrecWriter, RecordTypeFollowsTheHighestAddress) {
  // Up to 64 KiB: S0 header, S1 data, S5 count, S9 end.
  std::vector<std::string> lines = Lines(Save(At(0xFFF0, Counting(16))));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "S009000070696E6C65746A"); // "pinlet"
  EXPECT_EQ(lines[1].substr(0, 8), "S113FFF0");
  EXPECT_EQ(lines[2], "S5030001FB");
  EXPECT_EQ(lines[3], "S9030000FC");
  // One byte beyond 64 KiB needs 24-bit addresses: S2 and S8.
  lines = Lines(Save(At(0xFFF0, Counting(17))));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1].substr(0, 10), "S21400FFF0");
  EXPECT_EQ(lines[2].substr(0, 10), "S205010000");
  EXPECT_EQ(lines[3], "S5030002FA");
  EXPECT_EQ(lines[4], "S804000000FB");
  // Every written record's checksum is the reader's: the whole text loads back.
  EXPECT_EQ(Load(Save(At(0xFFF0, Counting(17)))).bytes, Bytes(Image(At(0xFFF0, Counting(17)))));
  // An empty image is a header, a zero count and the end.
  EXPECT_EQ(Save(NewSrecFile()), "S009000070696E6C65746A\r\nS5030000FC\r\nS9030000FC\r\n");
}

TEST(SrecWriter, RoundTripKeepsGaps) {
  auto srec = NewSrecFile();
  Fill(Image(srec), Counting(20));
  ASSERT_EQ(Image(srec)->Seek(0x100, 0, nullptr), S_OK);
  Fill(Image(srec), Counting(5, 0x40));
  const std::string text = Save(srec);
  // 16 + 4 bytes in two rows, then the 5 bytes: three data records.
  EXPECT_EQ(Lines(text).size(), 1u + 3 + 2);
  auto again = NewSrecFile();
  ASSERT_EQ(again->LoadFromStream(TextStream(text)), S_OK) << again->LastErrorText();
  EXPECT_EQ(Bytes(Image(again)), Bytes(Image(srec)));
  std::vector<uint8_t> before, after;
  ASSERT_EQ(Image(srec)->GetCoverage(0, 0x105, before), S_OK);
  ASSERT_EQ(Image(again)->GetCoverage(0, 0x105, after), S_OK);
  EXPECT_EQ(after, before);
  EXPECT_EQ(after[0x20], 0);
}

TEST(SrecReader, CountsChecksumsAndErrorsNameTheLine) {
  struct TCase {
    std::string text;
    HRESULT code;
    std::string error;
  };
  const std::string data = "S1050000AABB95\n"; // 2 bytes at 0
  const TCase cases[] = {
      {"", SREC_E_NOEND, "the file is empty; it needs an end record (S9, S8 or S7)"},
      {data, SREC_E_NOEND, "no end record (S9, S8 or S7) after line 1"},
      {data + "S5030002FA\nS9030000FC\n", SREC_E_COUNT,
       "line 2: the S5 record counts 2 data records, but 1 came before it"},
      {data + "S604000002F9\nS9030000FC\n", SREC_E_COUNT,
       "line 2: the S6 record counts 2 data records, but 1 came before it"},
      {"S1050000AABB94\nS9030000FC\n", HEX_E_CHECKSUM,
       "line 1: bad checksum 0x94, the record's bytes need 0x95"},
      {data + ":00000001FF\n", SREC_E_NOS, "line 2: does not begin with 'S' but with ':'"},
      {data + "\nS9030000FC\n", SREC_E_NOS, "line 2: empty line; a record begins with 'S'"},
      {data + "S4030000FC\n", SREC_E_TYPE, "line 2: unknown record type '4'"},
      {data + "SX030000FC\n", SREC_E_TYPE, "line 2: unknown record type 'X'"},
      {"S1050000AABB9\n", HEX_E_LENGTH,
       "line 1: record too short: 13 characters where byte count 0x05 needs 14"},
      {"S1050000AABB9500\n", HEX_E_LENGTH,
       "line 1: record too long: 16 characters where byte count 0x05 needs 14"},
      {"S10200FD\n", HEX_E_LENGTH,
       "line 1: byte count 0x02 is too small for an S1 record, which needs at least 3"},
      {"S1050000AGBB95\n", HEX_E_LENGTH, "line 1: 'G' at column 10 is not a hex digit"},
      {"S5050000AABB95\n", HEX_E_LENGTH,
       "line 1: an S5 count record holds no data, but this one holds 2 bytes"},
      // 16 MiB is the largest image: a 32-bit address there is refused, not allocated.
      {"S306010000000AEE\nS70500000000FA\n", HEX_E_ADDRESS,
       "line 1: data at 0x1000000 lies beyond the largest image (16 MiB)"},
      {std::string(2000, 'S'), HEX_E_LENGTH, "line 1: longer than 1023 characters"},
  };
  for (const TCase& c : cases) {
    const TLoaded loaded = Load(c.text);
    EXPECT_EQ(loaded.result, c.code) << c.text;
    EXPECT_EQ(loaded.error, c.error) << c.text;
  }
  // The same record with its right count and an S6 count loads.
  EXPECT_EQ(Load(data + "S5030001FB\nS9030000FC\n").result, S_OK);
  EXPECT_EQ(Load(data + "S604000001FA\nS9030000FC\n").result, S_OK);
}

TEST(SrecFile, NamesFilesAndSavesThem) {
  for (const char* name : {"a.srec", "a.S19", "a.MoT"})
    EXPECT_TRUE(std::dynamic_pointer_cast<TuCSrecFile>(NewFileForName(name))) << name;
  ScratchDir dir;
  auto srec = At(0x20, Counting(40));
  ASSERT_EQ(srec->SaveToFile(dir / "out.s19"), S_OK) << srec->LastErrorText();
  auto again = NewFileForName(dir / "out.s19");
  ASSERT_EQ(again->LoadFromFile(dir / "out.s19"), S_OK) << again->LastErrorText();
  EXPECT_EQ(Bytes(Image(again)), Bytes(Image(srec)));
  WriteFile(dir / "bad.srec", "S1050000AABB95\nS9030000FD\n");
  EXPECT_EQ(again->LoadFromFile(dir / "bad.srec"), HEX_E_CHECKSUM);
  EXPECT_EQ(again->LastErrorText(),
            dir / "bad.srec" + ": line 2: bad checksum 0xFD, the record's bytes need 0xFC");
  EXPECT_EQ(again->LoadFromFile(dir / "missing.srec"), E_UNEXPECTED);
  EXPECT_EQ(again->LastErrorText(), dir / "missing.srec" + ": No such file or directory");
}
