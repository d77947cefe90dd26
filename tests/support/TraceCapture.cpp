#include "tests/support/TraceCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

TraceCapture::TraceCapture() { SetLogSink(&TraceCapture::sink, this); }
TraceCapture::~TraceCapture() { SetLogSink(nullptr, nullptr); }

void TraceCapture::sink(LogLevel level, const std::wstring& text, void* self) {
  auto* capture = static_cast<TraceCapture*>(self);
  std::lock_guard<std::mutex> g(capture->m_lock);
  capture->m_traces.push_back({level, text});
  capture->m_traced.notify_all();
}

std::vector<Trace> TraceCapture::all() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_traces;
}

std::vector<std::wstring> TraceCapture::texts() const {
  std::vector<std::wstring> t;
  for (auto& trace : all()) t.push_back(trace.text);
  return t;
}

std::vector<std::wstring> TraceCapture::matching(const std::wstring& part) const {
  std::vector<std::wstring> t;
  for (auto& text : texts())
    if (text.find(part) != std::wstring::npos) t.push_back(text);
  return t;
}

bool TraceCapture::contains(const std::wstring& text) const { return count(text) > 0; }

size_t TraceCapture::count(const std::wstring& text) const {
  auto t = texts();
  return static_cast<size_t>(std::count(t.begin(), t.end(), text));
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> g(m_lock);
  m_traces.clear();
}

bool TraceCapture::waitFor(const std::wstring& part, size_t times, int timeoutMs) const {
  std::unique_lock<std::mutex> g(m_lock);
  return m_traced.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
    auto seen = std::count_if(m_traces.begin(), m_traces.end(),
                              [&](const Trace& t) { return t.text.find(part) != std::wstring::npos; });
    return static_cast<size_t>(seen) >= times;
  });
}

void PrintTo(const Trace& trace, std::ostream* os) {
  *os << (trace.level == LogLevel::Error ? "Error(" : "Info(") << ::testing::PrintToString(trace.text) << ")";
}
