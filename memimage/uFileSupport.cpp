#include "memimage/uFileSupport.h"

#include "memimage/uAvrMemFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string Printf(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(buffer, std::min(size_t(n), sizeof buffer - 1));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string CharName(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 32 && u < 127 ? Printf("'%c'", c) : Printf("byte 0x%02X", unsigned(u));
}

std::string SystemReason(int error) {
  return std::strerror(error);
}

std::string FailureText(HRESULT hr) {
  if (hr == E_OUTOFMEMORY) return "out of memory";
  return Printf("failed (0x%08X)", static_cast<unsigned>(hr));
}

HRESULT ReadTextLine(TStream& source, std::string& line) {
  line.clear();
  for (;;) {
    char c = 0;
    if (source.Read(&c, 1) != 1) return line.empty() ? E_UNEXPECTED : S_OK;
    if (c == '\n') return S_OK;
    if (c == '\r') continue;
    if (line.size() == kMaxRecordLine) return HEX_E_LENGTH;
    line.push_back(c);
  }
}

HRESULT LoadFromNamedFile(const std::string& file_name, std::string& error,
                          const std::function<HRESULT(const std::shared_ptr<IStream>&)>& load) {
  error.clear();
  const HRESULT hr = Guarded([&]() -> HRESULT {
    auto file = TFileStream::Open(file_name, TFileStream::TMode::fmOpenRead);
    if (!file) {
      error = file_name + ": " + SystemReason(errno);
      return E_UNEXPECTED;
    }
    HRESULT read = load(std::make_shared<TIStream>(*file, 0));
    // A failing disk looks like the end of the input to the reader; say what really happened.
    if (file->Failed()) {
      error = SystemReason(file->Error());
      read = E_FAIL;
    }
    if (read != S_OK) error = file_name + ": " + error;
    return read;
  });
  if (hr != S_OK && error.empty()) error = file_name + ": " + FailureText(hr);
  return hr;
}
