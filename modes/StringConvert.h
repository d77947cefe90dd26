// Conversions between wide (UTF-16) and narrow text.
#pragma once

#include <string>

// To the system's ANSI code page; stops at the first NUL.
std::string WStringToString(const std::wstring& text);
// One wide character per byte, each byte widened as a signed 8-bit value
// (0x80..0xFF become the UTF-16 units 0xFF80..0xFFFF).
std::wstring StringToWString(std::string text);
