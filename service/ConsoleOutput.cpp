#include "service/ConsoleOutput.h"

#include "modes/StringConvert.h"
#include "modes/WideFormat.h"
#include "platform/platform.h"

#include <cstdarg>
#include <string>

void ConsolePrint(const wchar_t* format, ...) {
  // A line that finds no memory to be made is not printed: the caller goes on.
  std::string bytes;
  va_list args;
  va_start(args, format);
  try {
    bytes = WStringToString(FormatWideV(format, args));
  } catch (...) {
  }
  va_end(args);

  // The standard handle belongs to the process: it is not closed here.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == NULL || out == INVALID_HANDLE_VALUE) return;
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(out, next, static_cast<DWORD>(left), &written, NULL) || written == 0) return;
    next += written;
    left -= written;
  }
}
