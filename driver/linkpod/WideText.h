// Constant UTF-16 texts built at compile time from narrow literals, so the
// driver needs no wide literals (whose width differs between toolchains) and
// no global constructors.
#pragma once

#include "driver/linkpod/KernelApi.h"

namespace driver::linkpod {

template <ULONG N> struct WideText {
    WCHAR text[N];

    // Length in bytes without the terminating NUL, as UNICODE_STRING counts it.
    constexpr USHORT ByteLength() const { return static_cast<USHORT>((N - 1) * sizeof(WCHAR)); }
};

template <ULONG N> constexpr WideText<N> Widen(const char (&narrow)[N]) {
    WideText<N> wide{};
    for (ULONG i = 0; i < N; ++i) {
        wide.text[i] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[i]));
    }
    return wide;
}

} // namespace driver::linkpod
