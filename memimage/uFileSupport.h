// What the file kinds of the meta memory share: the guard that keeps exceptions inside the layer,
// the words for failures, the reading of text lines, and the opening of a file to load.
#pragma once
#include "base/uStatus.h"
#include "memimage/uStreamClass.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <string>

// Interface methods are a layer boundary: nothing thrown below may pass them.
template <class F> HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

__attribute__((format(printf, 1, 2))) std::string Printf(const char* format, ...);
// 0..15 for a hexadecimal digit in either case, else -1.
int HexDigit(char c);
// A character of a text line as the user should see it in a message: 'x' or byte 0xNN.
std::string CharName(char c);
std::string SystemReason(int error);
// For failures that carry no words of their own.
std::string FailureText(HRESULT hr);

// Text records are never longer than this many characters without their CR and LF.
constexpr size_t kMaxRecordLine = 1023;
// One line without CR and LF: S_OK for a line (also a last one that the input ends without a
// LF), E_UNEXPECTED when the input is exhausted, HEX_E_LENGTH for an over-long line.
HRESULT ReadTextLine(TStream& source, std::string& line);

// Opens file_name and loads it through load; error names the file and says why it failed (the
// system's reason, or load's own words, which it leaves in error).
HRESULT LoadFromNamedFile(const std::string& file_name, std::string& error,
                          const std::function<HRESULT(const std::shared_ptr<IStream>&)>& load);
