#include "modes/Log.h"

#include "modes/StringConvert.h"
#include "modes/WideFormat.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdarg>
#include <mutex>

namespace {

struct Sink {
  LogSink fn = nullptr;
  void* context = nullptr;
};
std::atomic<bool> g_hasSink{false};
std::mutex g_sinkLock;
Sink g_sink;

void deliver(LogLevel level, const wchar_t* format, va_list args) {
  if (!g_hasSink.load(std::memory_order_acquire)) return;  // the product: nothing to do
  // The entry points cannot fail: a message that cannot be formatted is dropped.
  try {
    std::wstring text = FormatWideV(format, args);
    // Delivered under the lock: removing the sink waits for a message on its way to it,
    // from a thread that outlives the sink's owner.
    std::lock_guard<std::mutex> guard(g_sinkLock);
    if (g_sink.fn) g_sink.fn(level, text, g_sink.context);
  } catch (...) {
  }
}

}  // namespace

void SetLogSink(LogSink sink, void* context) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_sink = Sink{sink, context};
  g_hasSink.store(sink != nullptr, std::memory_order_release);
}

void LogInfo(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  deliver(LogLevel::Info, format, ap);
  va_end(ap);
}

void LogError(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  deliver(LogLevel::Error, format, ap);
  va_end(ap);
}

void LogOpen(const wchar_t*, int) {}

void LogSpare1(const wchar_t*, ...) {}

void LogSpare2(const wchar_t*, ...) {}

namespace {

// Creates `path` when it cannot be read and written; false when that creation fails.
bool ensureDirectory(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_READONLY))
    return true;
  return CreateDirectoryW(path.c_str(), NULL) != FALSE;
}

}  // namespace

std::wstring GetLogDirectory(const wchar_t* directory) {
  if (directory && *directory) {
    std::wstring path = directory;
    if (path.back() != L'\\') path += L'\\';
    if (!MakeSureDirectoryPathExists(WStringToString(path).c_str()))
      OutputDebugStringW(L"Log - MakeSureDirectoryPathExists - Error");
    return path;
  }
  wchar_t buffer[MAX_PATH] = {};
  SHGetSpecialFolderPathW(NULL, buffer, CSIDL_COMMON_APPDATA, FALSE);
  std::wstring base = buffer;
  std::wstring path = base + L"\\Oltaro";
  if (!ensureDirectory(path)) return base;
  path += L"\\QTHRMON";
  if (!ensureDirectory(path)) return base;
  return path + L"\\";
}
