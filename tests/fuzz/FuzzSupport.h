// What the fuzz targets share: reading the input, failing loudly, and waiting for the
// threads a run started to let go of what they hold.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace fuzz {

// Takes values off the front of the input; past its end every value is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  uint32_t dword() {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
  std::vector<BYTE> bytes(size_t n) {
    n = std::min(n, m_size - std::min(m_at, m_size));
    std::vector<BYTE> out(m_data + m_at, m_data + m_at + n);
    m_at += n;
    return out;
  }
  std::vector<BYTE> rest() { return bytes(m_size); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

[[noreturn]] inline void fail(const char* target, const char* what) {
  std::fprintf(stderr, "%s fuzz: %s\n", target, what);
  std::abort();
}

// Waits (really) for a condition that threads of the run make true; false after 10 s.
inline bool eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

}  // namespace fuzz
