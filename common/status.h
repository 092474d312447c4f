// Status codes of remote calls, with the values their clients know them by.
#pragma once

#include <cstdint>

namespace orvala {

using HResult = int32_t;

inline constexpr HResult S_OK = 0;
inline constexpr HResult S_FALSE = 1;
inline constexpr HResult E_NOTIMPL = static_cast<HResult>(0x80004001u);
inline constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002u);
inline constexpr HResult E_POINTER = static_cast<HResult>(0x80004003u);
inline constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult E_UNEXPECTED = static_cast<HResult>(0x8000FFFFu);
inline constexpr HResult E_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057u);
inline constexpr HResult E_ACCESSDENIED = static_cast<HResult>(0x80070005u);
inline constexpr HResult DISP_E_UNKNOWNINTERFACE = static_cast<HResult>(0x80020001u);
inline constexpr HResult DISP_E_MEMBERNOTFOUND = static_cast<HResult>(0x80020003u);
inline constexpr HResult DISP_E_PARAMNOTFOUND = static_cast<HResult>(0x80020004u);
inline constexpr HResult DISP_E_TYPEMISMATCH = static_cast<HResult>(0x80020005u);
inline constexpr HResult DISP_E_UNKNOWNNAME = static_cast<HResult>(0x80020006u);
inline constexpr HResult DISP_E_BADVARTYPE = static_cast<HResult>(0x80020008u);
inline constexpr HResult DISP_E_EXCEPTION = static_cast<HResult>(0x80020009u);
inline constexpr HResult DISP_E_OVERFLOW = static_cast<HResult>(0x8002000Au);
inline constexpr HResult DISP_E_BADINDEX = static_cast<HResult>(0x8002000Bu);
inline constexpr HResult DISP_E_BADPARAMCOUNT = static_cast<HResult>(0x8002000Eu);
inline constexpr HResult DISP_E_PARAMNOTOPTIONAL = static_cast<HResult>(0x8002000Fu);
inline constexpr HResult CLASS_E_CLASSNOTAVAILABLE = static_cast<HResult>(0x80040111u);
inline constexpr HResult CO_E_SERVER_EXEC_FAILURE = static_cast<HResult>(0x80080005u);
inline constexpr HResult RPC_E_DISCONNECTED = static_cast<HResult>(0x80010108u);

constexpr bool Failed(HResult status) { return status < 0; }
constexpr bool Succeeded(HResult status) { return status >= 0; }

}  // namespace orvala
