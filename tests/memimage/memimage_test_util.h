// Helpers for the image tests: building and reading images, HEX text in memory, scratch folders.
#pragma once
#include "memimage/uAvrMemFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

inline std::shared_ptr<IuCMemStream> Image(const std::shared_ptr<IuCFile>& file) {
  return QueryInterface<IuCMemStream>(file);
}

// The whole image, read through GetByte from offset 0; the position is left at the end.
inline std::vector<uint8_t> Bytes(const std::shared_ptr<IuCMemStream>& image) {
  int32_t size = 0;
  EXPECT_EQ(image->GetSize(&size), S_OK);
  EXPECT_EQ(image->Rewind(), S_OK);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  for (auto& b : bytes) EXPECT_EQ(image->GetByte(&b), S_OK);
  return bytes;
}

inline void Fill(const std::shared_ptr<IuCMemStream>& image, const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) ASSERT_EQ(image->PutByte(&b), S_OK);
}

inline std::vector<uint8_t> Counting(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(start + i * 7 + (i >> 8));
  return bytes;
}

inline std::shared_ptr<IStream> TextStream(const std::string& text) {
  return NewMemoryIStream(std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::string Text(const std::shared_ptr<IStream>& stream) {
  const auto bytes = ReadAllFromIStream(stream);
  return std::string(bytes.begin(), bytes.end());
}

// A HEX record with a correct checksum, upper-case digits and no line end.
inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string line = ":";
  auto pair = [&](uint8_t v) {
    line += digits[v >> 4];
    line += digits[v & 15];
  };
  uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + (address & 0xFF) + type);
  pair(static_cast<uint8_t>(data.size()));
  pair(static_cast<uint8_t>(address >> 8));
  pair(static_cast<uint8_t>(address));
  pair(type);
  for (uint8_t b : data) {
    pair(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  pair(static_cast<uint8_t>(-sum));
  return line;
}

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchDir {
public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pinlet-memimage-XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      names.push_back(entry.path().filename());
    return names;
  }

private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
