// Result codes of platform calls: 32-bit values with the meanings (and the
// well-known numeric values) of the names the log lines print.
#pragma once

#include <cstdint>

namespace ovix {

using HRESULT = int32_t;

constexpr HRESULT MakeHr(uint32_t v) { return static_cast<HRESULT>(v); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHr(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHr(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHr(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHr(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057u);
inline constexpr HRESULT RPC_E_CHANGED_MODE = MakeHr(0x80010106u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154u);
inline constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHr(0x80040207u);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHr(0x80040209u);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHr(0x80040217u);
inline constexpr HRESULT VFW_E_NOT_FOUND = MakeHr(0x80040216u);
inline constexpr HRESULT MF_E_INVALIDMEDIATYPE = MakeHr(0xC00D36B4u);
inline constexpr HRESULT MF_E_BUFFERTOOSMALL = MakeHr(0xC00D36B1u);
inline constexpr HRESULT MF_E_INVALIDREQUEST = MakeHr(0xC00D36B2u);
inline constexpr HRESULT MF_E_INVALIDSTREAMNUMBER = MakeHr(0xC00D36B3u);
inline constexpr HRESULT MF_E_NOTACCEPTING = MakeHr(0xC00D36B5u);
inline constexpr HRESULT MF_E_TRANSFORM_NEED_MORE_INPUT = MakeHr(0xC00D6D72u);
inline constexpr HRESULT MF_E_TRANSFORM_TYPE_NOT_SET = MakeHr(0xC00D6D60u);
inline constexpr HRESULT MF_E_TRANSFORM_STREAM_CHANGE = MakeHr(0xC00D6D61u);
inline constexpr HRESULT MF_E_ATTRIBUTENOTFOUND = MakeHr(0xC00D36E6u);
inline constexpr HRESULT MF_E_SHUTDOWN = MakeHr(0xC00D3E85u);
inline constexpr HRESULT DXGI_ERROR_DEVICE_REMOVED = MakeHr(0x887A0005u);
inline constexpr HRESULT DXGI_ERROR_DEVICE_RESET = MakeHr(0x887A0007u);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// A Linux system error carried as a result code; the log prints it as winerr=.
constexpr HRESULT HrFromErrno(int err) {
  return MakeHr(0x80070000u | (static_cast<uint32_t>(err) & 0xFFFFu));
}
constexpr bool IsErrnoHr(HRESULT hr) {
  return (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u;
}

}  // namespace ovix
