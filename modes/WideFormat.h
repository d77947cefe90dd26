// printf-style formatting of wide texts with the Windows convention, identical in
// every build: in a wide format "%s" takes a wide string and "%S"/"%hs" a narrow one;
// "%d", "%u", "%x" and "%lx" take 32-bit values, "%llx"/"%I64x" 64-bit ones; "%f" a double.
#pragma once

#include <cstdarg>
#include <string>

std::wstring FormatWideV(const wchar_t* format, va_list args);
std::wstring FormatWide(const wchar_t* format, ...);
