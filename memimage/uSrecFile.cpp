#include "memimage/uSrecFile.h"

#include "memimage/uFileSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// A record holds at most 255 bytes after its count: 4 + 510 characters. Longer lines are damage.
constexpr char kHexDigits[] = "0123456789ABCDEF";
// The bytes of the S0 header's data: the name of the program that wrote the file.
constexpr char kHeaderText[] = "pinlet";

// The address field's length in bytes for record types 0..9 (S4 is reserved: 0).
constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

std::string Record(int type, uint32_t address, const uint8_t* data, size_t count) {
  const int address_bytes = kAddressBytes[type];
  std::string line = "S";
  line.push_back(char('0' + type));
  const auto length = static_cast<uint8_t>(address_bytes + count + 1);
  uint8_t sum = length;
  auto put = [&](uint8_t value) {
    line.push_back(kHexDigits[value >> 4]);
    line.push_back(kHexDigits[value & 15]);
  };
  put(length);
  for (int i = address_bytes - 1; i >= 0; --i) {
    const auto byte = static_cast<uint8_t>(address >> (8 * i));
    put(byte);
    sum = static_cast<uint8_t>(sum + byte);
  }
  for (size_t i = 0; i < count; ++i) {
    put(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  put(static_cast<uint8_t>(~sum));
  line += "\r\n";
  return line;
}

} // namespace

HRESULT TuCSrecFile::ReadRecords(TStream& source, std::string& detail) {
  const HRESULT read = ReadSrecRecords(source, detail);
  Buffer().Seek(0, TSeekOrigin::soBeginning);
  return read;
}

HRESULT TuCSrecFile::ReadSrecRecords(TStream& source, std::string& detail) {
  std::string line;
  line.reserve(kMaxRecordLine);
  uint8_t bytes[255];
  uint64_t data_records = 0; // S1/S2/S3 so far, for the S5/S6 count
  for (size_t number = 1;; ++number) {
    const HRESULT got = ReadTextLine(source, line);
    if (got == E_UNEXPECTED) {
      detail = number == 1 ? "the file is empty; it needs an end record (S9, S8 or S7)"
                           : Printf("no end record (S9, S8 or S7) after line %zu", number - 1);
      return SREC_E_NOEND;
    }
    auto failure = [&](HRESULT code, const std::string& what) {
      detail = Printf("line %zu: ", number) + what;
      return code;
    };
    if (got != S_OK) return failure(got, Printf("longer than %zu characters", kMaxRecordLine));
    if (line.empty()) return failure(SREC_E_NOS, "empty line; a record begins with 'S'");
    if (line[0] != 'S' && line[0] != 's')
      return failure(SREC_E_NOS, "does not begin with 'S' but with " + CharName(line[0]));
    if (line.size() < 2 || line[1] < '0' || line[1] > '9' || line[1] == '4')
      return failure(SREC_E_TYPE, line.size() < 2 ? std::string("no record type after 'S'")
                                                  : "unknown record type " + CharName(line[1]));
    const int type = line[1] - '0';
    // The byte of the digit pair at column at; -1 with why set.
    std::string why;
    auto pair = [&](size_t at) -> int {
      if (at + 2 > line.size()) {
        why = Printf("record too short (%zu characters)", line.size());
        return -1;
      }
      for (size_t i = at; i < at + 2; ++i)
        if (HexDigit(line[i]) < 0) {
          why = CharName(line[i]) + Printf(" at column %zu is not a hex digit", i + 1);
          return -1;
        }
      return HexDigit(line[at]) * 16 + HexDigit(line[at + 1]);
    };
    const int count = pair(2);
    if (count < 0) return failure(HEX_E_LENGTH, why);
    const int address_bytes = kAddressBytes[type];
    if (count < address_bytes + 1)
      return failure(HEX_E_LENGTH,
                     Printf("byte count 0x%02X is too small for an S%d record, which needs at least %d",
                            unsigned(count), type, address_bytes + 1));
    if (const size_t needed = 4 + 2 * static_cast<size_t>(count); line.size() != needed)
      return failure(HEX_E_LENGTH,
                     Printf("record too %s: %zu characters where byte count 0x%02X needs %zu",
                            line.size() < needed ? "short" : "long", line.size(), unsigned(count), needed));
    uint8_t sum = static_cast<uint8_t>(count);
    uint64_t address = 0;
    for (int i = 0; i < address_bytes; ++i) {
      const int value = pair(4 + 2 * static_cast<size_t>(i));
      if (value < 0) return failure(HEX_E_LENGTH, why);
      address = address << 8 | static_cast<uint64_t>(value);
      sum = static_cast<uint8_t>(sum + value);
    }
    const size_t data_count = static_cast<size_t>(count - address_bytes - 1);
    const size_t data_at = 4 + 2 * static_cast<size_t>(address_bytes);
    for (size_t i = 0; i < data_count; ++i) {
      const int value = pair(data_at + 2 * i);
      if (value < 0) return failure(HEX_E_LENGTH, why);
      bytes[i] = static_cast<uint8_t>(value);
      sum = static_cast<uint8_t>(sum + value);
    }
    const int checksum = pair(data_at + 2 * data_count);
    if (checksum < 0) return failure(HEX_E_LENGTH, why);
    if (static_cast<uint8_t>(~sum) != checksum)
      return failure(HEX_E_CHECKSUM, Printf("bad checksum 0x%02X, the record's bytes need 0x%02X",
                                            unsigned(checksum), unsigned(static_cast<uint8_t>(~sum))));
    switch (type) {
    case 0: // the header: its text is not image data
      continue;
    case 5:
    case 6:
      if (data_count != 0)
        return failure(HEX_E_LENGTH, Printf("an S%d count record holds no data, but this one holds %zu bytes",
                                            type, data_count));
      if (address != data_records)
        return failure(SREC_E_COUNT,
                       Printf("the S%d record counts %llu data records, but %llu came before it", type,
                              static_cast<unsigned long long>(address),
                              static_cast<unsigned long long>(data_records)));
      continue;
    case 7:
    case 8:
    case 9:
      return S_OK; // the start address means nothing to a programmer
    default:
      break;
    }
    ++data_records;
    if (address + data_count > static_cast<uint64_t>(kMaxImageSize))
      return failure(HEX_E_ADDRESS, Printf("data at 0x%llX lies beyond the largest image (%d MiB)",
                                           static_cast<unsigned long long>(address), kMaxImageSize >> 20));
    if (data_count == 0) continue;
    Buffer().Seek(static_cast<int64_t>(address), TSeekOrigin::soBeginning);
    if (Buffer().Write(bytes, data_count) != data_count) return failure(E_OUTOFMEMORY, "out of memory");
    MarkCovered(static_cast<int64_t>(address), data_count);
  }
}

HRESULT TuCSrecFile::WriteRecords(TStream& destination) {
  const auto& data = Buffer().Data();
  const size_t size = data.size();
  // The record type follows the highest covered address: the end of the image when it is covered.
  size_t end = size;
  while (end > 0 && !IsCovered(end - 1)) --end;
  const int data_type = end <= 0x10000 ? 1 : end <= 0x1000000 ? 2 : 3;
  auto put = [&](const std::string& line) {
    return destination.Write(line.data(), line.size()) == line.size();
  };
  bool ok = put(Record(0, 0, reinterpret_cast<const uint8_t*>(kHeaderText), sizeof kHeaderText - 1));
  uint64_t records = 0;
  for (size_t row = 0; ok && row < end; row += 16) {
    const size_t row_end = std::min(row + 16, end);
    for (size_t at = row; ok && at < row_end;) {
      if (!IsCovered(at)) {
        ++at;
        continue;
      }
      size_t stop = at;
      while (stop < row_end && IsCovered(stop)) ++stop;
      ok = put(Record(data_type, static_cast<uint32_t>(at), data.data() + at, stop - at));
      ++records;
      at = stop;
    }
  }
  // The count record is optional; a count that does not fit 24 bits is left out.
  if (ok && records <= 0xFFFF)
    ok = put(Record(5, static_cast<uint32_t>(records), nullptr, 0));
  else if (ok && records <= 0xFFFFFF)
    ok = put(Record(6, static_cast<uint32_t>(records), nullptr, 0));
  if (ok) ok = put(Record(10 - data_type, 0, nullptr, 0));
  Buffer().Seek(static_cast<int64_t>(size), TSeekOrigin::soBeginning);
  return ok ? S_OK : E_FAIL;
}

std::shared_ptr<IuCFile> NewSrecFile() {
  return std::make_shared<TuCSrecFile>();
}
