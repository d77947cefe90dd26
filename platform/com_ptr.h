// An owning COM interface pointer: releases what it holds exactly once.
#pragma once

#include "platform/platform.h"

#include <utility>

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : m_pointer(other.detach()) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      m_pointer = other.detach();
    }
    return *this;
  }

  T* get() const { return m_pointer; }
  T* operator->() const { return m_pointer; }
  explicit operator bool() const { return m_pointer != nullptr; }

  // Releases what is held and gives the address to receive a new interface.
  T** put() {
    reset();
    return &m_pointer;
  }
  // The same, for calls that take void** (CoCreateInstance, QueryInterface).
  void** putVoid() { return reinterpret_cast<void**>(put()); }

  void reset() {
    if (T* old = std::exchange(m_pointer, nullptr)) old->Release();
  }
  T* detach() { return std::exchange(m_pointer, nullptr); }

 private:
  T* m_pointer = nullptr;
};
