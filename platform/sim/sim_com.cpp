#include "platform/sim/sim_com.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace sim::com {
namespace {

struct State {
  std::mutex lock;
  std::vector<std::shared_ptr<Tracked>> objects;
  std::vector<std::string> releases;
  std::vector<std::string> misuse;
  std::unordered_set<const void*> strings;
  int mtaThreads = 0;
};
State& state() {
  static auto* s = new State;  // outlives every static destructor
  return *s;
}

struct ClassKey {
  CLSID id;
  bool operator<(const ClassKey& o) const { return std::memcmp(&id, &o.id, sizeof id) < 0; }
};
std::map<ClassKey, ClassFactory>& classes() {
  static auto* c = new std::map<ClassKey, ClassFactory>;
  return *c;
}

// The calling thread's apartment: how often it initialised COM, and in which model.
struct Apartment {
  int count = 0;
  bool multithreaded = false;
  ~Apartment() {
    if (count > 0 && multithreaded) {
      std::lock_guard<std::mutex> g(state().lock);
      state().mtaThreads--;
    }
  }
};
thread_local Apartment t_apartment;

// A BSTR is preceded by a 4-byte count of the bytes of its text.
DWORD prefixOf(BSTR text) {
  DWORD bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - sizeof(DWORD), sizeof bytes);
  return bytes;
}

void resetCom() {
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.objects.clear();
  s.releases.clear();
  s.misuse.clear();
  s.strings.clear();
  s.mtaThreads = t_apartment.count > 0 && t_apartment.multithreaded ? 1 : 0;
}
ResetHook g_reset(resetCom);

}  // namespace

ULONG Tracked::addRef() {
  long before = m_refs.load();
  do {
    if (before <= 0) {
      recordMisuse(m_name + "::AddRef on a released object");
      return 0;
    }
  } while (!m_refs.compare_exchange_weak(before, before + 1));
  return static_cast<ULONG>(before + 1);
}

ULONG Tracked::release() {
  {
    std::lock_guard<std::mutex> g(state().lock);
    state().releases.push_back(label());
  }
  long before = m_refs.load();
  do {
    if (before <= 0) {
      recordMisuse(m_name + "::Release on a released object");
      return 0;
    }
  } while (!m_refs.compare_exchange_weak(before, before - 1));
  if (before == 1) onFinalRelease();
  return static_cast<ULONG>(before - 1);
}

void Tracked::hold() {
  m_held++;
  m_refs++;
}

void Tracked::unhold() {
  m_held--;
  long after = --m_refs;
  if (after < 0) recordMisuse(m_name + " released more often than referenced");
  if (after == 0) onFinalRelease();
}

HRESULT Tracked::enter(const char* method) const {
  std::string api = m_name + "::" + method;
  if (m_refs.load() <= 0) recordMisuse(api + " on a released object");
  if (auto e = checkFault(api.c_str())) return static_cast<HRESULT>(*e);
  return S_OK;
}

void registerObject(std::shared_ptr<Tracked> object) {
  std::lock_guard<std::mutex> g(state().lock);
  state().objects.push_back(std::move(object));
}

void registerClass(const CLSID& clsid, ClassFactory create) { classes()[ClassKey{clsid}] = create; }

std::vector<std::string> liveObjects() {
  std::lock_guard<std::mutex> g(state().lock);
  std::vector<std::string> names;
  for (auto& object : state().objects) {
    long client = object->clientReferences();
    for (long i = 0; i < client; i++) names.push_back(object->name());
    if (client < 0) names.push_back(object->name() + " (released more often than referenced)");
  }
  return names;
}

std::vector<std::string> releases() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().releases;
}

void clearReleases() {
  std::lock_guard<std::mutex> g(state().lock);
  state().releases.clear();
}

std::vector<std::string> misuse() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().misuse;
}

void recordMisuse(const std::string& what) {
  std::lock_guard<std::mutex> g(state().lock);
  state().misuse.push_back(what);
}

void clearMisuse() {
  std::lock_guard<std::mutex> g(state().lock);
  state().misuse.clear();
}

size_t liveStrings() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().strings.size();
}

bool isString(BSTR text) {
  if (!text) return true;
  std::lock_guard<std::mutex> g(state().lock);
  return state().strings.count(text) != 0;
}

std::wstring text(BSTR value, const char* where) {
  if (!value) return std::wstring();
  if (!isString(value)) {
    recordMisuse(std::string(where) + ": the argument is not a BSTR");
    return std::wstring(value);
  }
  return std::wstring(value, SysStringLen(value));
}

bool usable() {
  if (t_apartment.count > 0) return true;
  std::lock_guard<std::mutex> g(state().lock);
  return state().mtaThreads > 0;
}

}  // namespace sim::com

using namespace sim;
using namespace sim::com;

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
  if (auto e = checkFault("CoInitializeEx")) return static_cast<HRESULT>(*e);
  if (reserved) return E_INVALIDARG;
  bool multithreaded = (coInit & COINIT_APARTMENTTHREADED) == 0;
  if (t_apartment.count > 0) {
    if (t_apartment.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
    t_apartment.count++;
    return S_FALSE;
  }
  t_apartment.count = 1;
  t_apartment.multithreaded = multithreaded;
  if (multithreaded) {
    std::lock_guard<std::mutex> g(state().lock);
    state().mtaThreads++;
  }
  return S_OK;
}

void CoUninitialize() {
  checkFault("CoUninitialize");
  if (t_apartment.count == 0) return;
  if (--t_apartment.count == 0 && t_apartment.multithreaded) {
    std::lock_guard<std::mutex> g(state().lock);
    state().mtaThreads--;
  }
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = NULL;
  if (auto e = checkFault("CoCreateInstance")) return static_cast<HRESULT>(*e);
  if (!usable()) return CO_E_NOTINITIALIZED;
  if (outer) return CLASS_E_NOAGGREGATION;
  auto it = classes().find(ClassKey{clsid});
  // Every simulated class is an in-process server.
  if (it == classes().end() || !(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  return it->second(riid, object);
}

BSTR SysAllocString(const OLECHAR* text) {
  if (checkFault("SysAllocString")) return NULL;
  if (!text) return NULL;
  size_t length = std::wcslen(text);
  DWORD bytes = static_cast<DWORD>(length * sizeof(OLECHAR));
  char* block = static_cast<char*>(std::malloc(sizeof(DWORD) + bytes + sizeof(OLECHAR)));
  if (!block) return NULL;
  std::memcpy(block, &bytes, sizeof bytes);
  BSTR result = reinterpret_cast<BSTR>(block + sizeof(DWORD));
  std::memcpy(result, text, bytes + sizeof(OLECHAR));
  std::lock_guard<std::mutex> g(state().lock);
  state().strings.insert(result);
  return result;
}

void SysFreeString(BSTR text) {
  checkFault("SysFreeString");
  if (!text) return;
  {
    std::lock_guard<std::mutex> g(state().lock);
    if (state().strings.erase(text) == 0) {
      state().misuse.push_back("SysFreeString of a pointer that is no live BSTR");
      return;
    }
  }
  std::free(reinterpret_cast<char*>(text) - sizeof(DWORD));
}

UINT SysStringLen(BSTR text) {
  checkFault("SysStringLen");
  return text ? prefixOf(text) / sizeof(OLECHAR) : 0;
}

UINT SysStringByteLen(BSTR text) {
  checkFault("SysStringByteLen");
  return text ? prefixOf(text) : 0;
}

void VariantInit(VARIANTARG* value) {
  checkFault("VariantInit");
  if (value) value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* value) {
  if (auto e = checkFault("VariantClear")) return static_cast<HRESULT>(*e);
  if (!value) return E_INVALIDARG;
  if (!(value->vt & VT_BYREF)) {
    switch (value->vt) {
      case VT_BSTR:
        SysFreeString(value->bstrVal);
        break;
      case VT_UNKNOWN:
      case VT_DISPATCH:
        if (value->punkVal) value->punkVal->Release();
        break;
      default:
        break;
    }
  }
  value->vt = VT_EMPTY;
  return S_OK;
}
