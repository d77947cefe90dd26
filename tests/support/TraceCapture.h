// Collects the system's trace messages, in order, for the length of a test.
#pragma once

#include "modes/Log.h"

#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

struct Trace {
  LogLevel level;
  std::wstring text;
  bool operator==(const Trace& o) const { return level == o.level && text == o.text; }
};

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  std::vector<Trace> all() const;
  std::vector<std::wstring> texts() const;
  // Texts that contain `part`, in order.
  std::vector<std::wstring> matching(const std::wstring& part) const;
  bool contains(const std::wstring& text) const;
  size_t count(const std::wstring& text) const;
  void clear();
  // Blocks until `times` traces contain `part`; false after the timeout.
  bool waitFor(const std::wstring& part, size_t times = 1, int timeoutMs = 10000) const;

 private:
  static void sink(LogLevel level, const std::wstring& text, void* self);
  mutable std::mutex m_lock;
  mutable std::condition_variable m_traced;
  std::vector<Trace> m_traces;
};

inline Trace Info(std::wstring text) { return {LogLevel::Info, std::move(text)}; }
inline Trace Error(std::wstring text) { return {LogLevel::Error, std::move(text)}; }
// How a failed expectation shows a trace: its level and its text.
void PrintTo(const Trace& trace, std::ostream* os);
