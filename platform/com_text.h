// Owners of the OLE Automation values that travel to COM calls: a BSTR, and a VARIANT
// that is either empty or holds a BSTR. Each frees what it holds exactly once.
#pragma once

#include "platform/platform.h"

#include <string>
#include <utility>

class ComString {
 public:
  ComString() = default;
  // A null result (no memory) leaves the holder empty: test with operator bool.
  explicit ComString(const wchar_t* text) : m_text(SysAllocString(text)) {}
  explicit ComString(const std::wstring& text) : ComString(text.c_str()) {}
  ~ComString() { reset(); }
  ComString(const ComString&) = delete;
  ComString& operator=(const ComString&) = delete;
  ComString(ComString&& other) noexcept : m_text(std::exchange(other.m_text, nullptr)) {}

  BSTR get() const { return m_text; }
  explicit operator bool() const { return m_text != nullptr; }
  // Frees what is held and gives the address for a BSTR that a call returns.
  BSTR* put() {
    reset();
    return &m_text;
  }
  void reset() { SysFreeString(std::exchange(m_text, nullptr)); }
  std::wstring text() const { return m_text ? std::wstring(m_text, SysStringLen(m_text)) : std::wstring(); }

 private:
  BSTR m_text = nullptr;
};

class ComVariant {
 public:
  // VT_EMPTY.
  ComVariant() { VariantInit(&m_value); }
  // VT_BSTR holding `text`; when the string cannot be made the variant stays empty
  // and ok() is false.
  explicit ComVariant(const wchar_t* text) {
    VariantInit(&m_value);
    if (BSTR copy = SysAllocString(text)) {
      m_value.vt = VT_BSTR;
      m_value.bstrVal = copy;
    } else {
      m_ok = false;
    }
  }
  ~ComVariant() { VariantClear(&m_value); }
  ComVariant(const ComVariant&) = delete;
  ComVariant& operator=(const ComVariant&) = delete;

  // Variants go to COM calls by value; the holder keeps ownership.
  const VARIANT& get() const { return m_value; }
  bool ok() const { return m_ok; }

 private:
  VARIANT m_value;
  bool m_ok = true;
};
