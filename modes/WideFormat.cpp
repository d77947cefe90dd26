#include "modes/WideFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace {

enum class Size { Default, Short, Char, Long, LongLong, SizeT };

// Formats one numeric conversion through the narrow C library, which is safe for any value.
std::wstring numeric(const std::string& pattern) { return std::wstring(pattern.begin(), pattern.end()); }

template <class T>
std::wstring formatNumber(const std::string& flags, int width, int precision, char conversion, T value) {
  std::string pattern = "%" + flags;
  if (width >= 0) pattern += std::to_string(width);
  if (precision >= 0) pattern += "." + std::to_string(precision);
  if constexpr (std::is_integral_v<T> && sizeof(T) == 8) pattern += "ll";
  pattern += conversion;
  char buffer[512];
  int n = std::snprintf(buffer, sizeof buffer, pattern.c_str(), value);
  if (n < 0) return std::wstring();
  return numeric(std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1));
}

std::wstring pad(std::wstring text, const std::string& flags, int width, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(precision);
  if (width >= 0 && text.size() < static_cast<size_t>(width)) {
    std::wstring fill(width - text.size(), L' ');
    text = flags.find('-') != std::string::npos ? text + fill : fill + text;
  }
  return text;
}

}  // namespace

std::wstring FormatWideV(const wchar_t* format, va_list args) {
  std::wstring out;
  if (!format) return out;
  va_list ap;
  va_copy(ap, args);
  for (const wchar_t* p = format; *p; p++) {
    if (*p != L'%') {
      out += *p;
      continue;
    }
    const wchar_t* start = p++;
    if (*p == L'%') {
      out += L'%';
      continue;
    }
    std::string flags;
    while (*p && std::wcschr(L"-+ #0", *p)) flags += static_cast<char>(*p++);
    int width = -1, precision = -1;
    if (*p == L'*') {
      width = va_arg(ap, int);
      if (width < 0) {
        flags += '-';
        width = -width;
      }
      p++;
    } else {
      while (*p >= L'0' && *p <= L'9') width = (width < 0 ? 0 : width * 10) + (*p++ - L'0');
    }
    if (*p == L'.') {
      p++;
      precision = 0;
      if (*p == L'*') {
        precision = va_arg(ap, int);
        p++;
      } else {
        while (*p >= L'0' && *p <= L'9') precision = precision * 10 + (*p++ - L'0');
      }
    }
    Size size = Size::Default;
    if (*p == L'h') {
      size = Size::Short;
      if (*++p == L'h') {
        size = Size::Char;
        p++;
      }
    } else if (*p == L'l') {
      size = Size::Long;
      if (*++p == L'l') {
        size = Size::LongLong;
        p++;
      }
    } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      size = Size::LongLong;
      p += 3;
    } else if (*p == L'z' || *p == L'I') {
      size = Size::SizeT;
      p++;
    }
    // "l" is 32 bits on Windows; only "ll", "I64" and "z" are 64.
    bool wide64 = size == Size::LongLong || size == Size::SizeT;
    wchar_t c = *p;
    switch (c) {
      case L'd':
      case L'i':
        if (wide64)
          out += formatNumber(flags, width, precision, 'd', static_cast<long long>(va_arg(ap, long long)));
        else
          out += formatNumber(flags, width, precision, 'd', static_cast<int>(va_arg(ap, int)));
        break;
      case L'u':
      case L'x':
      case L'X':
      case L'o':
        if (wide64)
          out += formatNumber(flags, width, precision, static_cast<char>(c),
                              static_cast<unsigned long long>(va_arg(ap, unsigned long long)));
        else
          out += formatNumber(flags, width, precision, static_cast<char>(c),
                              static_cast<unsigned int>(va_arg(ap, unsigned int)));
        break;
      case L'f':
      case L'F':
      case L'e':
      case L'E':
      case L'g':
      case L'G':
        out += formatNumber(flags, width, precision, static_cast<char>(c), va_arg(ap, double));
        break;
      case L'p': {
        uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
        out += formatNumber(std::string("0"), 16, -1, 'X', static_cast<unsigned long long>(v));
        break;
      }
      case L'c':
      case L'C': {
        int v = va_arg(ap, int);
        bool narrow = (c == L'C') != (size == Size::Short);
        wchar_t ch = narrow ? static_cast<wchar_t>(static_cast<unsigned char>(v)) : static_cast<wchar_t>(v);
        out += pad(std::wstring(1, ch), flags, width, -1);
        break;
      }
      case L's':
      case L'S': {
        bool narrow = (c == L'S' && size != Size::Long) || (c == L's' && size == Size::Short);
        std::wstring text;
        if (narrow) {
          const char* s = va_arg(ap, const char*);
          if (!s) s = "(null)";
          size_t n = precision >= 0 ? strnlen(s, precision) : std::strlen(s);
          for (size_t i = 0; i < n; i++) text += static_cast<wchar_t>(static_cast<unsigned char>(s[i]));
        } else {
          const wchar_t* s = va_arg(ap, const wchar_t*);
          if (!s) s = L"(null)";
          size_t n = 0;
          while (s[n] && (precision < 0 || n < static_cast<size_t>(precision))) n++;
          text.assign(s, n);
        }
        out += pad(text, flags, width, precision);
        break;
      }
      default:
        // Unknown conversion: keep the text as written, consuming nothing.
        out.append(start, p + (*p ? 1 : 0));
        if (!*p) p--;
        break;
    }
  }
  va_end(ap);
  return out;
}

std::wstring FormatWide(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::wstring text = FormatWideV(format, ap);
  va_end(ap);
  return text;
}
