// The logging entry points. The product writes no log: every message is discarded.
// A sink may be installed (tests do) to receive each message, formatted, in order.
#pragma once

#include <string>

void LogInfo(const wchar_t* format, ...);
void LogError(const wchar_t* format, ...);
void LogOpen(const wchar_t* fileName, int option);
void LogSpare1(const wchar_t* format, ...);
void LogSpare2(const wchar_t* format, ...);

enum class LogLevel { Info, Error };
using LogSink = void (*)(LogLevel level, const std::wstring& text, void* context);
// Installs (or, with null, removes) the sink; once it returns, no message reaches the
// sink it replaced.
void SetLogSink(LogSink sink, void* context);

// Where the log files would go: the given directory, else the common application-data
// folder's "Oltaro\QTHRMON", always with a trailing backslash.
std::wstring GetLogDirectory(const wchar_t* directory);
