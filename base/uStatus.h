// Status codes crossing layer boundaries: 32-bit values, 0 for success and anything else a
// failure. The system-wide HRESULT values keep their usual numbers so that a code read in a log
// means the same everywhere; the layers' own codes (0x9001.., 0xA001..) are positive and fail all
// the same. An operating-system error (errno) never crosses a boundary as such: it becomes one of
// these (HResultFromErrno), and the words for the user travel beside it as text.
#pragma once
#include <cerrno>
#include <cstdint>

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT E_FILE_NOT_FOUND = static_cast<HRESULT>(0x80070002u); // ERROR_FILE_NOT_FOUND
constexpr HRESULT E_GEN_FAILURE = static_cast<HRESULT>(0x8007001Fu);    // ERROR_GEN_FAILURE: I/O error
constexpr HRESULT E_BUSY = static_cast<HRESULT>(0x800700AAu);           // ERROR_BUSY

constexpr bool Succeeded(HRESULT hr) {
  return hr == S_OK;
}
constexpr bool Failed(HRESULT hr) {
  return hr != S_OK;
}

// The status of an operating-system error number (positive errno, or 0 for none).
constexpr HRESULT HResultFromErrno(int error) {
  switch (error) {
  case 0:
    return S_OK;
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return E_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
    return E_ACCESSDENIED;
  case EBUSY:
    return E_BUSY;
  case EINVAL:
    return E_INVALIDARG;
  case ENOMEM:
    return E_OUTOFMEMORY;
  case EIO:
    return E_GEN_FAILURE;
  case EBADF:
    return E_HANDLE;
  default:
    return E_FAIL;
  }
}
