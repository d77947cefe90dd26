// Owning wrappers for Win32 handles: each closes what it holds exactly once.
#pragma once

#include "platform/platform.h"

#include <utility>

template <class T, class Traits>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : m_value(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  T get() const { return m_value; }
  bool valid() const { return Traits::valid(m_value); }
  explicit operator bool() const { return valid(); }
  // Closes what is held and gives the address to receive a new value.
  T* put() {
    reset();
    return &m_value;
  }
  T release() { return std::exchange(m_value, Traits::empty()); }
  void reset(T value = Traits::empty()) {
    T old = std::exchange(m_value, value);
    if (Traits::valid(old)) Traits::close(old);
  }

 private:
  T m_value = Traits::empty();
};

struct KernelHandleTraits {
  static HANDLE empty() { return NULL; }
  static bool valid(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;

struct RegistryKeyTraits {
  static HKEY empty() { return NULL; }
  static bool valid(HKEY k) { return k != NULL; }
  static void close(HKEY k) { RegCloseKey(k); }
};
using UniqueKey = UniqueResource<HKEY, RegistryKeyTraits>;

struct ServiceHandleTraits {
  static SC_HANDLE empty() { return NULL; }
  static bool valid(SC_HANDLE h) { return h != NULL; }
  static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueResource<SC_HANDLE, ServiceHandleTraits>;

// A block of the process heap.
struct ProcessHeapTraits {
  static void* empty() { return nullptr; }
  static bool valid(void* p) { return p != nullptr; }
  static void close(void* p) { HeapFree(GetProcessHeap(), 0, p); }
};
using UniqueHeapBlock = UniqueResource<void*, ProcessHeapTraits>;
