#include "modes/StringConvert.h"

#include "platform/platform.h"

#include <vector>

std::string WStringToString(const std::wstring& text) {
  if (text.empty()) return std::string();
  int length = static_cast<int>(text.size());
  int needed = WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, NULL, 0, NULL, NULL);
  if (needed <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(needed) + 2, 0);
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, buffer.data(), needed, NULL, NULL);
  return std::string(buffer.data());
}

std::wstring StringToWString(std::string text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) {
    // Sign-extend to 16 bits, as a UTF-16 unit, whatever the width of wchar_t.
    auto unit = static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(c)));
    wide += static_cast<wchar_t>(unit);
  }
  return wide;
}
