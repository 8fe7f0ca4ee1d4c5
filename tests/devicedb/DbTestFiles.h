// Temporary database files for the loader tests, stored as UTF-16 LE from UTF-8 source text.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace dbtest {

inline std::string Utf8ToUtf16Le(const std::string& utf8) {
  std::string out;
  auto unit = [&out](uint32_t u) {
    out += char(u & 0xFF);
    out += char(u >> 8);
  };
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t b = uint8_t(utf8[i]);
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k <= extra; ++k) cp = cp << 6 | (uint8_t(utf8[i + size_t(k)]) & 0x3F);
    i += size_t(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pinlet-devicedb-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  std::string WriteBytes(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    EXPECT_TRUE(out.good()) << file;
    return file.string();
  }
  // With a byte-order mark, as editors save UTF-16.
  std::string WriteXml(const std::string& name, const std::string& utf8) const {
    return WriteBytes(name, "\xFF\xFE" + Utf8ToUtf16Le(utf8));
  }

private:
  std::filesystem::path path_;
};

} // namespace dbtest
