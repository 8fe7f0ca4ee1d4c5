// Intel HEX: the writer's exact text, the reader's results, extended addresses, malformed input, files.
#include "memimage_test_util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const std::string kEnd = ":00000001FF";

std::string Save(const std::vector<uint8_t>& bytes) {
  auto hex = NewHexFile();
  Fill(Image(hex), bytes);
  auto out = NewMemoryIStream();
  EXPECT_EQ(hex->SaveToStream(out), S_OK);
  return Text(out);
}

struct Loaded {
  HRESULT result;
  std::vector<uint8_t> bytes;
};

Loaded Load(const std::string& text) {
  auto hex = NewHexFile();
  const HRESULT hr = hex->LoadFromStream(TextStream(text));
  return {hr, Bytes(Image(hex))};
}

TEST(HexWriter, SixteenBytesPerRecordWithUpperCaseDigits) {
  EXPECT_EQ(Save({}), ":0000000000\r\n:00000001FF\r\n");
  const auto bytes = Counting(32, 0xA0);
  EXPECT_EQ(Save(bytes), HexRecord(0, 0x0000, {bytes.begin(), bytes.begin() + 16}) + "\r\n" +
                             HexRecord(0, 0x0010, {bytes.begin() + 16, bytes.end()}) + "\r\n" + kEnd +
                             "\r\n");
  // One byte more gives a short last record.
  EXPECT_EQ(Save(Counting(17)), HexRecord(0, 0, Counting(16)) + "\r\n" +
                                    HexRecord(0, 0x10, {Counting(17)[16]}) + "\r\n" + kEnd + "\r\n");
  // A known record, checked against its hand-computed checksum.
  EXPECT_EQ(Save({0x0C, 0x94, 0x34, 0x00}), ":040000000C94340028\r\n:00000001FF\r\n");

  // Saving leaves the position at the end.
  auto hex = NewHexFile();
  Fill(Image(hex), Counting(40));
  Image(hex)->Rewind();
  ASSERT_EQ(hex->SaveToStream(NewMemoryIStream()), S_OK);
  int32_t position = 0;
  Image(hex)->GetPosition(&position);
  EXPECT_EQ(position, 40);
  EXPECT_EQ(hex->SaveToStream(nullptr), E_INVALIDARG);
}

TEST(HexWriter, ImagesUpTo64KiBCarryNoExtendedAddress) {
  const auto bytes = Counting(0x10000);
  const std::string text = Save(bytes);
  EXPECT_EQ(text.find(":02000004"), std::string::npos);
  const std::string last = HexRecord(0, 0xFFF0, {bytes.end() - 16, bytes.end()}) + "\r\n" + kEnd + "\r\n";
  ASSERT_GT(text.size(), last.size());
  EXPECT_TRUE(text.ends_with(last));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0x1000 + 1);
}

TEST(HexWriter, LargerImagesAnnounceEachFurther64KiBSegment) {
  const auto bytes = Counting(0x20000 + 5);
  const std::string text = Save(bytes);
  const size_t first = text.find(":020000040001F9\r\n");
  const size_t second = text.find(":020000040002F8\r\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.find(":02000004"), first); // none before the second segment
  // Each announcement directly precedes the segment's first record, at 16-bit address 0000.
  EXPECT_EQ(text.compare(first + 17, 43, HexRecord(0, 0, {bytes.begin() + 0x10000, bytes.begin() + 0x10010})),
            0);
  EXPECT_EQ(text.compare(second + 17, 21, HexRecord(0, 0, {bytes.begin() + 0x20000, bytes.end()})), 0);
  // And they bring the image back whole.
  const Loaded back = Load(text);
  EXPECT_EQ(back.result, S_OK);
  EXPECT_EQ(back.bytes, bytes);
}

TEST(HexReader, DataRecordsLandAtTheirAddressesAndGapsReadErased) {
  const auto data = Counting(16, 0x30);
  const Loaded loaded = Load(HexRecord(0, 0x0100, data) + "\n" + kEnd + "\n");
  EXPECT_EQ(loaded.result, S_OK);
  std::vector<uint8_t> expected(0x110, 0xFF);
  std::copy(data.begin(), data.end(), expected.begin() + 0x100);
  EXPECT_EQ(loaded.bytes, expected);

  // Any order; a later record overwrites an earlier one; the size is the highest end.
  const Loaded mixed = Load(HexRecord(0, 4, {4, 5}) + "\r\n" + HexRecord(0, 0, {0, 1, 2, 3, 9}) + "\r\n" +
                            HexRecord(0, 1, {0x11}) + "\r\n" + kEnd + "\r\n");
  EXPECT_EQ(mixed.result, S_OK);
  EXPECT_EQ(mixed.bytes, (std::vector<uint8_t>{0, 0x11, 2, 3, 9, 5}));
}

TEST(HexReader, AcceptsLowerCaseDigitsAndCarriageReturnsAnywhere) {
  std::string record = HexRecord(0, 0x00AB, {0xCD, 0xEF, 0x5A});
  for (auto& c : record) c = static_cast<char>(std::tolower(c));
  record.insert(5, "\r");
  const Loaded loaded = Load(record + "\r\n:00000001ff\n");
  EXPECT_EQ(loaded.result, S_OK);
  ASSERT_EQ(loaded.bytes.size(), 0xAEu);
  EXPECT_EQ(loaded.bytes[0xAB], 0xCD);
  EXPECT_EQ(loaded.bytes[0xAD], 0x5A);
}

TEST(HexReader, StopsAtTheEndRecordAndReadsNothingAfterIt) {
  auto source = TextStream(HexRecord(0, 0, {1}) + "\n" + kEnd + "\n" + "garbage\n");
  auto hex = NewHexFile();
  EXPECT_EQ(hex->LoadFromStream(source), S_OK);
  uint64_t position = 0;
  source->Seek(0, STREAM_SEEK_CUR, &position);
  EXPECT_EQ(position, 14u + 12u); // the data line and the end line, each with its LF

  // Reading starts at the source position and replaces the previous image.
  Fill(Image(hex), Counting(50));
  source = TextStream("ignored\n" + HexRecord(0, 2, {7}) + "\n" + kEnd + "\n");
  source->Seek(8, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(hex->LoadFromStream(source), S_OK);
  EXPECT_EQ(Bytes(Image(hex)), (std::vector<uint8_t>{0xFF, 0xFF, 7}));
  EXPECT_EQ(hex->LoadFromStream(nullptr), E_INVALIDARG);
}

TEST(HexReader, InputWithoutEndRecordIsUnexpected) {
  EXPECT_EQ(Load("").result, E_UNEXPECTED);
  const Loaded cut = Load(HexRecord(0, 0, {1, 2}) + "\n");
  EXPECT_EQ(cut.result, E_UNEXPECTED);
  EXPECT_EQ(cut.bytes, (std::vector<uint8_t>{1, 2}));
  // A data record as the last line without LF is still read, but the end record is missing.
  const Loaded unfinished = Load(HexRecord(0, 0, {1, 2}) + "\n" + HexRecord(0, 2, {3}));
  EXPECT_EQ(unfinished.result, E_UNEXPECTED);
  EXPECT_EQ(unfinished.bytes, (std::vector<uint8_t>{1, 2, 3}));
  // An end record without a final line feed is a valid file.
  const Loaded loaded = Load(HexRecord(0, 0, {1, 2}) + "\r\n" + HexRecord(0, 2, {3}) + "\r\n" + kEnd);
  EXPECT_EQ(loaded.result, S_OK);
  EXPECT_EQ(loaded.bytes, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(HexReader, MalformedRecordsStopTheReadKeepWhatCameBeforeAndSayWhy) {
  // The bad line comes third, after a data record and an address record that changes nothing.
  const std::string before = HexRecord(0, 0, {0xAA, 0xBB}) + "\n:020000040000FA\r\n";
  struct Case {
    const char* what;
    std::string line;
    HRESULT expected;
    std::string detail; // what LastErrorText says
  };
  std::string bad_checksum = HexRecord(0, 0x10, {1, 2, 3}); // sums to 0x19: needs 0xE7
  bad_checksum.back() = '0';
  const Case cases[] = {
      {"empty line", "", HEX_E_NOCOLON, "line 3: empty line; a record begins with ':'"},
      {"no colon", "10000000", HEX_E_NOCOLON, "line 3: does not begin with ':' but with '1'"},
      {"control character first", "\x01", HEX_E_NOCOLON,
       "line 3: does not begin with ':' but with byte 0x01"},
      {"trailing blank", HexRecord(0, 0x10, {1, 2, 3}) + " ", HEX_E_LENGTH,
       "line 3: record too long: 18 characters where byte count 0x03 needs 17"},
      {"missing data", ":03001000010203", HEX_E_LENGTH,
       "line 3: record too short: 15 characters where byte count 0x03 needs 17"},
      {"bad checksum", bad_checksum, HEX_E_CHECKSUM,
       "line 3: bad checksum 0xE0, the record's bytes need 0xE7"},
      {"end record cut short", ":000000", HEX_E_LENGTH, "line 3: record too short (7 characters)"},
      {"non-hex in count", ":0G00000000", HEX_E_LENGTH, "line 3: 'G' at column 3 is not a hex digit"},
      {"non-hex in type of an ignored record", ":0000000Z00", HEX_E_LENGTH,
       "line 3: 'Z' at column 9 is not a hex digit"},
      {"non-hex in data", ":02001000XY00DE", HEX_E_LENGTH, "line 3: 'X' at column 10 is not a hex digit"},
      {"non-hex in checksum", ":0100100001--", HEX_E_LENGTH, "line 3: '-' at column 12 is not a hex digit"},
      {"extended address without data", ":00000004FC", HEX_E_LENGTH,
       "line 3: an extended address record holds 2 bytes, not 0"},
      {"extended address with bad checksum", ":020000040001F8", HEX_E_CHECKSUM,
       "line 3: bad checksum 0xF8, the record's bytes need 0xF9"},
      {"line of 1024 characters", ":" + std::string(1023, '0'), HEX_E_LENGTH,
       "line 3: longer than 1023 characters"},
  };
  for (const auto& c : cases) {
    auto hex = NewHexFile();
    EXPECT_EQ(hex->LoadFromStream(TextStream(before + c.line + "\n" + kEnd + "\n")), c.expected) << c.what;
    EXPECT_EQ(Bytes(Image(hex)), (std::vector<uint8_t>{0xAA, 0xBB})) << c.what;
    EXPECT_EQ(hex->LastErrorText(), c.detail) << c.what;
  }

  // Input that ends without an end record names the last line read; a success says nothing.
  auto hex = NewHexFile();
  EXPECT_EQ(hex->LoadFromStream(TextStream("")), E_UNEXPECTED);
  EXPECT_EQ(hex->LastErrorText(), "the file is empty; it needs an end record (:00000001FF)");
  EXPECT_EQ(hex->LoadFromStream(TextStream(before)), E_UNEXPECTED);
  EXPECT_EQ(hex->LastErrorText(), "no end record (:00000001FF) after line 2");
  EXPECT_EQ(hex->LoadFromStream(TextStream(before + kEnd)), S_OK);
  EXPECT_EQ(hex->LastErrorText(), "");
  EXPECT_EQ(hex->LoadFromStream(TextStream(":020000040100F9\n" + HexRecord(0, 0, {2}) + "\n")),
            HEX_E_ADDRESS);
  EXPECT_EQ(hex->LastErrorText(), "line 2: data at 0x1000000 lies beyond the largest image (16 MiB)");
}

TEST(HexReader, LongestAllowedLineIsReadAndALongerOneIsNotOverrun) {
  // An ignored record type may be as long as the line store allows.
  const std::string longest = ":00000005" + std::string(1023 - 9, '0');
  EXPECT_EQ(Load(longest + "\n" + kEnd + "\n").result, S_OK);
  const Loaded huge = Load(":" + std::string(100000, 'F') + "\n" + kEnd + "\n");
  EXPECT_EQ(huge.result, HEX_E_LENGTH);
  EXPECT_TRUE(huge.bytes.empty());
}

TEST(HexReader, OtherRecordTypesArePassedOver) {
  const Loaded loaded = Load(":0400000300000000F9\n" + HexRecord(0, 0, {5}) + "\n:04000005000000CD2A\n" +
                             ":00000009F7\n" + kEnd + "\n");
  EXPECT_EQ(loaded.result, S_OK);
  EXPECT_EQ(loaded.bytes, (std::vector<uint8_t>{5}));
}

TEST(HexReader, ExtendedLinearAddressesPlaceDataAbove64KiB) {
  // Segment 0 explicitly changes nothing.
  const Loaded zero = Load(":020000040000FA\n" + HexRecord(0, 2, {7}) + "\n" + kEnd + "\n");
  EXPECT_EQ(zero.result, S_OK);
  EXPECT_EQ(zero.bytes, (std::vector<uint8_t>{0xFF, 0xFF, 7}));

  const Loaded high = Load(HexRecord(0, 0, {1}) + "\n:020000040001F9\n" + HexRecord(0, 0x0010, {2, 3}) +
                           "\n" + ":020000040000FA\n" + HexRecord(0, 1, {4}) + "\n" + kEnd + "\n");
  EXPECT_EQ(high.result, S_OK);
  ASSERT_EQ(high.bytes.size(), 0x10012u);
  EXPECT_EQ(high.bytes[0], 1);
  EXPECT_EQ(high.bytes[1], 4);
  EXPECT_EQ(high.bytes[0x10010], 2);
  EXPECT_EQ(high.bytes[0x10011], 3);
  EXPECT_EQ(high.bytes[0x8000], 0xFF);

  // Extended segment addresses shift by four bits: 0x1000 starts at 0x10000, as avr-objcopy writes.
  const Loaded loaded = Load(":020000021000EC\n" + HexRecord(0, 0x0004, {0xAB}) + "\n" + kEnd + "\n");
  EXPECT_EQ(loaded.result, S_OK);
  ASSERT_EQ(loaded.bytes.size(), 0x10005u);
  EXPECT_EQ(loaded.bytes[0x10004], 0xAB);
}

TEST(HexReader, AddressesBeyondTheImageLimitAreRefused) {
  // 0x0100 * 64 KiB = 16 MiB: the first address past the limit.
  const Loaded loaded =
      Load(HexRecord(0, 0, {1}) + "\n:020000040100F9\n" + HexRecord(0, 0, {2}) + "\n" + kEnd + "\n");
  EXPECT_EQ(loaded.result, HEX_E_ADDRESS);
  EXPECT_EQ(loaded.bytes, (std::vector<uint8_t>{1}));
  // The last byte below the limit is fine.
  const Loaded edge = Load(":0200000400FFFB\n" + HexRecord(0, 0xFFFF, {3}) + "\n" + kEnd + "\n");
  EXPECT_EQ(edge.result, S_OK);
  EXPECT_EQ(edge.bytes.size(), static_cast<size_t>(kMaxImageSize));
}

TEST(HexFile, LoadFromFileReportsTheReadersResultWithTheFileName) {
  ScratchDir dir;
  WriteFile(dir / "good.hex", HexRecord(0, 0, {1, 2}) + "\r\n" + kEnd);
  WriteFile(dir / "checksum.hex", HexRecord(0, 0, {1, 2}) + "\r\n:0100020003FB\r\n" + kEnd + "\r\n");
  WriteFile(dir / "noend.hex", HexRecord(0, 0, {1, 2}) + "\r\n");

  auto hex = NewHexFile();
  EXPECT_EQ(hex->LoadFromFile(dir / "good.hex"), S_OK);
  EXPECT_EQ(Bytes(Image(hex)), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(hex->LastErrorText(), "");
  EXPECT_EQ(hex->LoadFromFile(dir / "checksum.hex"), HEX_E_CHECKSUM);
  EXPECT_EQ(Bytes(Image(hex)), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(hex->LastErrorText(),
            dir / "checksum.hex" + ": line 2: bad checksum 0xFB, the record's bytes need 0xFA");
  EXPECT_EQ(hex->LoadFromFile(dir / "noend.hex"), E_UNEXPECTED);
  EXPECT_EQ(hex->LastErrorText(), dir / "noend.hex" + ": no end record (:00000001FF) after line 1");

  // A file that cannot be opened leaves the image as it was; the system says why.
  Fill(Image(hex), {3});
  EXPECT_EQ(hex->LoadFromFile(dir / "missing.hex"), E_UNEXPECTED);
  EXPECT_EQ(hex->LastErrorText(), dir / "missing.hex" + ": " + std::strerror(ENOENT));
  EXPECT_EQ(hex->LoadFromFile(dir.Path().string()), E_UNEXPECTED);
  EXPECT_EQ(hex->LastErrorText(), dir.Path().string() + ": " + std::strerror(EISDIR));
  EXPECT_EQ(Bytes(Image(hex)), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(HexFile, SaveToFileWritesTheSameTextAsTheStream) {
  ScratchDir dir;
  auto hex = NewHexFile();
  Fill(Image(hex), Counting(0x10020));
  ASSERT_EQ(hex->SaveToFile(dir / "out.hex"), S_OK);
  auto stream = NewMemoryIStream();
  ASSERT_EQ(hex->SaveToStream(stream), S_OK);
  const auto text = Text(stream);
  EXPECT_EQ(ReadFile(dir / "out.hex"), std::vector<uint8_t>(text.begin(), text.end()));

  auto again = NewHexFile();
  EXPECT_EQ(again->LoadFromFile(dir / "out.hex"), S_OK);
  EXPECT_EQ(Bytes(Image(again)), Counting(0x10020));
}

} // namespace
