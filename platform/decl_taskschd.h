// The event trigger of Task Scheduler 2.0, which mingw-w64's taskschd.h lacks. Declared
// once for both builds; on Windows the layout is the SDK's, in the simulated machine its
// trigger implements it.
#pragma once

struct ITaskNamedValueCollection;

// {D45B0167-9653-4EEF-B94F-0732CA7AF251}
inline constexpr IID IID_IEventTrigger = {0xD45B0167, 0x9653, 0x4EEF, {0xB9, 0x4F, 0x07, 0x32, 0xCA, 0x7A, 0xF2, 0x51}};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
struct IEventTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE get_Subscription(BSTR* query) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Subscription(BSTR query) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ValueQueries(ITaskNamedValueCollection** namedXPaths) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ValueQueries(ITaskNamedValueCollection* namedXPaths) = 0;
};
#pragma GCC diagnostic pop
