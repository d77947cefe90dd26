#include "platform/sim/sim_taskschd.h"

#include "platform/decl_taskschd.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <mutex>
#include <sstream>

const CLSID CLSID_TaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
const IID IID_ITaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
const IID IID_ITaskFolder = {0x8CFAC062, 0xA080, 0x4C15, {0x9A, 0x88, 0xAA, 0x7C, 0x2A, 0xF8, 0x0D, 0xFC}};
const IID IID_ITaskDefinition = {0xF5BC8FC5, 0x536D, 0x4F77, {0xB8, 0x52, 0xFB, 0xC1, 0x35, 0x6F, 0xDE, 0xB6}};
const IID IID_IRegisteredTask = {0x9C86F320, 0xDEE3, 0x4DD1, {0xB9, 0x72, 0xA3, 0x03, 0xF2, 0x6B, 0x06, 0x1E}};
const IID IID_IRegistrationInfo = {0x416D8B73, 0xCB41, 0x4EA1, {0x80, 0x5C, 0x9B, 0xE9, 0xA5, 0xAC, 0x4A, 0x74}};
const IID IID_IPrincipal = {0xD98D51E5, 0xC9B4, 0x496A, {0xA9, 0xC1, 0x18, 0x98, 0x02, 0x61, 0xCF, 0x0F}};
const IID IID_ITriggerCollection = {0x85DF5081, 0x1B24, 0x4F32, {0x87, 0x8A, 0xD9, 0xD1, 0x4D, 0xF4, 0xCB, 0x77}};
const IID IID_ITrigger = {0x09941815, 0xEA89, 0x4B5B, {0x89, 0xE0, 0x2A, 0x77, 0x38, 0x01, 0xFA, 0xC3}};
const IID IID_ITaskSettings = {0x8FD4711D, 0x2D02, 0x4C8C, {0x87, 0xE3, 0xEF, 0xF6, 0x99, 0xDE, 0x12, 0x7E}};
const IID IID_IIdleSettings = {0x84594461, 0x0053, 0x4342, {0xA8, 0xFD, 0x08, 0x8F, 0xAB, 0xF1, 0x1F, 0x32}};
const IID IID_IActionCollection = {0x02820E19, 0x7B98, 0x4ED2, {0xB2, 0xE8, 0xFD, 0xCC, 0xCE, 0xFF, 0x61, 0x9B}};
const IID IID_IAction = {0xBAE54997, 0x48B1, 0x4CBE, {0x99, 0x65, 0xD6, 0xBE, 0x26, 0x3E, 0xBE, 0xA4}};
const IID IID_IExecAction = {0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};

namespace sim::taskschd {
namespace {

#define SIM_ERROR(code) HRESULT_FROM_WIN32(static_cast<DWORD>(code))
constexpr DWORD kErrorOnlyIfConnected = 1251;
constexpr DWORD kErrorNoneMapped = 1332;
constexpr DWORD kErrorBadNetPath = 53;

// One lock for the store and every object's properties: the scheduler is one service.
std::mutex& lock() {
  static auto* m = new std::mutex;
  return *m;
}

std::wstring lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

struct Store {
  bool running = true;
  std::map<std::wstring, std::wstring> folders;  // lower-cased path -> path as created
  std::map<std::wstring, TaskRecord> tasks;      // lower-cased full path -> task
  Text newVersion;
};
Store& store() {
  static auto* s = new Store;
  return *s;
}

std::wstring join(const std::wstring& folder, const std::wstring& name) {
  return folder == L"\\" ? L"\\" + name : folder + L"\\" + name;
}

// A path relative to `base`, or absolute when it starts with a backslash.
std::wstring resolve(const std::wstring& base, const std::wstring& path) {
  std::wstring full = !path.empty() && path[0] == L'\\' ? path : join(base, path);
  while (full.size() > 1 && full.back() == L'\\') full.pop_back();
  return full;
}

std::wstring parentOf(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == 0 || cut == std::wstring::npos ? L"\\" : path.substr(0, cut);
}

std::wstring leafOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  return out;
}

bool folderKnown(const std::wstring& path) { return store().folders.count(lower(path)) != 0; }

void resetStore() {
  std::lock_guard<std::mutex> g(lock());
  store() = Store();
  store().folders[L"\\"] = L"\\";
}
ResetHook g_reset(resetStore);

bool variantAccepted(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_BSTR; }

Text variantText(const VARIANT& v, const char* where) {
  if (v.vt != VT_BSTR) return std::nullopt;
  return com::text(v.bstrVal, where);
}

// Objects are owned through their Tracked base (virtual destructor), never deleted
// through an interface pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// IUnknown and IDispatch for one simulated object, and the property helpers its
// methods are made of. `Interface` is the most derived interface it implements.
template <class Interface>
class Com : public Interface, public com::Tracked {
 public:
  explicit Com(std::string name) : Tracked(std::move(name)) {}

  // The interfaces the object answers to, as pointers into it; null for any other.
  virtual void* find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_IDispatch) return static_cast<Interface*>(this);
    return nullptr;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (HRESULT hr = enter("QueryInterface")) return hr;
    void* found = find(riid);
    if (!found) return E_NOINTERFACE;
    grant();
    *object = found;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (HRESULT hr = enter("GetTypeInfoCount")) return hr;
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return notImplemented("GetTypeInfo"); }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return notImplemented("GetIDsOfNames");
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return notImplemented("Invoke");
  }

 protected:
  // What the simulated scheduler does not model answers E_NOTIMPL.
  HRESULT notImplemented(const char* method) const {
    if (HRESULT hr = enter(method)) return hr;
    return E_NOTIMPL;
  }
  HRESULT getText(const char* method, const Text& field, BSTR* out) const {
    if (HRESULT hr = enter(method)) return hr;
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    *out = field ? SysAllocString(field->c_str()) : nullptr;
    return field && !*out ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT putText(const char* method, Text& field, BSTR value) {
    if (HRESULT hr = enter(method)) return hr;
    std::wstring text = com::text(value, (name() + "::" + method).c_str());
    std::lock_guard<std::mutex> g(lock());
    field = std::move(text);
    return S_OK;
  }
  HRESULT getBool(const char* method, const bool& field, VARIANT_BOOL* out) const {
    if (HRESULT hr = enter(method)) return hr;
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    *out = field ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT putBool(const char* method, bool& field, VARIANT_BOOL value) {
    if (HRESULT hr = enter(method)) return hr;
    if (value != VARIANT_TRUE && value != VARIANT_FALSE)
      com::recordMisuse(name() + "::" + method + ": VARIANT_BOOL " + std::to_string(value));
    std::lock_guard<std::mutex> g(lock());
    field = value != VARIANT_FALSE;
    return S_OK;
  }
  template <class T>
  HRESULT getValue(const char* method, const T& field, T* out) const {
    if (HRESULT hr = enter(method)) return hr;
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    *out = field;
    return S_OK;
  }
  template <class T>
  HRESULT putValue(const char* method, T& field, T value) {
    if (HRESULT hr = enter(method)) return hr;
    std::lock_guard<std::mutex> g(lock());
    field = value;
    return S_OK;
  }
  // Hands out `object` (held by this one) through an out-pointer.
  template <class I, class Object>
  HRESULT getChild(const char* method, Object* object, I** out) {
    if (HRESULT hr = enter(method)) return hr;
    if (!out) return E_POINTER;
    object->grant();
    *out = object;
    return S_OK;
  }
};

template <class T, class... Args>
T* make(Args&&... args) {
  auto object = std::make_shared<T>(std::forward<Args>(args)...);
  T* raw = object.get();
  com::registerObject(std::move(object));
  return raw;
}

class RegistrationInfo : public Com<IRegistrationInfo> {
 public:
  RegistrationInfo() : Com("IRegistrationInfo") {}
  RegistrationInfoRecord record;
  void* find(REFIID riid) override {
    return riid == IID_IRegistrationInfo ? static_cast<IRegistrationInfo*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_Description(BSTR* v) override { return getText("get_Description", record.description, v); }
  HRESULT STDMETHODCALLTYPE put_Description(BSTR v) override { return putText("put_Description", record.description, v); }
  HRESULT STDMETHODCALLTYPE get_Author(BSTR* v) override { return getText("get_Author", record.author, v); }
  HRESULT STDMETHODCALLTYPE put_Author(BSTR v) override { return putText("put_Author", record.author, v); }
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* v) override { return getText("get_Version", record.version, v); }
  HRESULT STDMETHODCALLTYPE put_Version(BSTR v) override { return putText("put_Version", record.version, v); }
  HRESULT STDMETHODCALLTYPE get_Date(BSTR* v) override { return getText("get_Date", record.date, v); }
  HRESULT STDMETHODCALLTYPE put_Date(BSTR v) override { return putText("put_Date", record.date, v); }
  HRESULT STDMETHODCALLTYPE get_Documentation(BSTR* v) override {
    return getText("get_Documentation", record.documentation, v);
  }
  HRESULT STDMETHODCALLTYPE put_Documentation(BSTR v) override {
    return putText("put_Documentation", record.documentation, v);
  }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return notImplemented("get_XmlText"); }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return notImplemented("put_XmlText"); }
  HRESULT STDMETHODCALLTYPE get_URI(BSTR* v) override { return getText("get_URI", record.uri, v); }
  HRESULT STDMETHODCALLTYPE put_URI(BSTR v) override { return putText("put_URI", record.uri, v); }
  HRESULT STDMETHODCALLTYPE get_SecurityDescriptor(VARIANT*) override {
    return notImplemented("get_SecurityDescriptor");
  }
  HRESULT STDMETHODCALLTYPE put_SecurityDescriptor(VARIANT) override {
    return notImplemented("put_SecurityDescriptor");
  }
  HRESULT STDMETHODCALLTYPE get_Source(BSTR* v) override { return getText("get_Source", record.source, v); }
  HRESULT STDMETHODCALLTYPE put_Source(BSTR v) override { return putText("put_Source", record.source, v); }
};

class Principal : public Com<IPrincipal> {
 public:
  Principal() : Com("IPrincipal") {}
  PrincipalRecord record;
  void* find(REFIID riid) override { return riid == IID_IPrincipal ? static_cast<IPrincipal*>(this) : Com::find(riid); }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR* v) override { return getText("get_Id", record.id, v); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR v) override { return putText("put_Id", record.id, v); }
  HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR* v) override { return getText("get_DisplayName", record.displayName, v); }
  HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR v) override { return putText("put_DisplayName", record.displayName, v); }
  HRESULT STDMETHODCALLTYPE get_UserId(BSTR* v) override { return getText("get_UserId", record.userId, v); }
  HRESULT STDMETHODCALLTYPE put_UserId(BSTR v) override { return putText("put_UserId", record.userId, v); }
  HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE* v) override {
    return getValue("get_LogonType", record.logonType, v);
  }
  HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE v) override {
    return putValue("put_LogonType", record.logonType, v);
  }
  HRESULT STDMETHODCALLTYPE get_GroupId(BSTR* v) override { return getText("get_GroupId", record.groupId, v); }
  HRESULT STDMETHODCALLTYPE put_GroupId(BSTR v) override { return putText("put_GroupId", record.groupId, v); }
  HRESULT STDMETHODCALLTYPE get_RunLevel(TASK_RUNLEVEL_TYPE* v) override {
    return getValue("get_RunLevel", record.runLevel, v);
  }
  HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE v) override {
    return putValue("put_RunLevel", record.runLevel, v);
  }
};

// Every trigger type; only an event trigger answers to IEventTrigger.
class Trigger : public Com<IEventTrigger> {
 public:
  explicit Trigger(TASK_TRIGGER_TYPE2 type) : Com("ITrigger") { record.type = type; }
  TriggerRecord record;
  void* find(REFIID riid) override {
    if (riid == IID_ITrigger) return static_cast<ITrigger*>(this);
    if (riid == IID_IEventTrigger && record.type == TASK_TRIGGER_EVENT) return static_cast<IEventTrigger*>(this);
    return Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* v) override { return getValue("get_Type", record.type, v); }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR* v) override { return getText("get_Id", record.id, v); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR v) override { return putText("put_Id", record.id, v); }
  HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern**) override { return notImplemented("get_Repetition"); }
  HRESULT STDMETHODCALLTYPE put_Repetition(IRepetitionPattern*) override { return notImplemented("put_Repetition"); }
  HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR* v) override {
    return getText("get_ExecutionTimeLimit", record.executionTimeLimit, v);
  }
  HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR v) override {
    return putText("put_ExecutionTimeLimit", record.executionTimeLimit, v);
  }
  HRESULT STDMETHODCALLTYPE get_StartBoundary(BSTR* v) override {
    return getText("get_StartBoundary", record.startBoundary, v);
  }
  HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR v) override {
    return putText("put_StartBoundary", record.startBoundary, v);
  }
  HRESULT STDMETHODCALLTYPE get_EndBoundary(BSTR* v) override { return getText("get_EndBoundary", record.endBoundary, v); }
  HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR v) override { return putText("put_EndBoundary", record.endBoundary, v); }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* v) override { return getBool("get_Enabled", record.enabled, v); }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override { return putBool("put_Enabled", record.enabled, v); }
  HRESULT STDMETHODCALLTYPE get_Subscription(BSTR* v) override {
    return getText("get_Subscription", record.subscription, v);
  }
  HRESULT STDMETHODCALLTYPE put_Subscription(BSTR v) override {
    return putText("put_Subscription", record.subscription, v);
  }
  HRESULT STDMETHODCALLTYPE get_Delay(BSTR* v) override { return getText("get_Delay", record.delay, v); }
  HRESULT STDMETHODCALLTYPE put_Delay(BSTR v) override { return putText("put_Delay", record.delay, v); }
  HRESULT STDMETHODCALLTYPE get_ValueQueries(ITaskNamedValueCollection**) override {
    return notImplemented("get_ValueQueries");
  }
  HRESULT STDMETHODCALLTYPE put_ValueQueries(ITaskNamedValueCollection*) override {
    return notImplemented("put_ValueQueries");
  }
};

class TriggerCollection : public Com<ITriggerCollection> {
 public:
  TriggerCollection() : Com("ITriggerCollection") {}
  std::vector<Trigger*> items;  // each held
  void* find(REFIID riid) override {
    return riid == IID_ITriggerCollection ? static_cast<ITriggerCollection*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* v) override {
    if (HRESULT hr = enter("get_Count")) return hr;
    if (!v) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    *v = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** out) override {
    if (HRESULT hr = enter("get_Item")) return hr;
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    if (index < 1 || index > static_cast<LONG>(items.size())) return E_INVALIDARG;  // 1-based
    items[index - 1]->grant();
    *out = items[index - 1];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return notImplemented("get__NewEnum"); }
  HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** out) override {
    if (HRESULT hr = enter("Create")) return hr;
    if (!out) return E_POINTER;
    *out = nullptr;
    if (type < TASK_TRIGGER_EVENT || type > TASK_TRIGGER_SESSION_STATE_CHANGE || type == 10) return E_INVALIDARG;
    auto* trigger = make<Trigger>(type);
    trigger->hold();
    trigger->grant();
    std::lock_guard<std::mutex> g(lock());
    items.push_back(trigger);
    *out = trigger;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT) override { return notImplemented("Remove"); }
  HRESULT STDMETHODCALLTYPE Clear() override {
    if (HRESULT hr = enter("Clear")) return hr;
    std::vector<Trigger*> gone;
    {
      std::lock_guard<std::mutex> g(lock());
      gone.swap(items);
    }
    for (auto* trigger : gone) trigger->unhold();
    return S_OK;
  }

 protected:
  void onFinalRelease() override {
    std::vector<Trigger*> gone;
    {
      std::lock_guard<std::mutex> g(lock());
      gone.swap(items);
    }
    for (auto* trigger : gone) trigger->unhold();
  }
};

class IdleSettings : public Com<IIdleSettings> {
 public:
  IdleSettings() : Com("IIdleSettings") {}
  IdleSettingsRecord record;
  void* find(REFIID riid) override {
    return riid == IID_IIdleSettings ? static_cast<IIdleSettings*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_IdleDuration(BSTR* v) override { return getText("get_IdleDuration", record.idleDuration, v); }
  HRESULT STDMETHODCALLTYPE put_IdleDuration(BSTR v) override { return putText("put_IdleDuration", record.idleDuration, v); }
  HRESULT STDMETHODCALLTYPE get_WaitTimeout(BSTR* v) override { return getText("get_WaitTimeout", record.waitTimeout, v); }
  HRESULT STDMETHODCALLTYPE put_WaitTimeout(BSTR v) override { return putText("put_WaitTimeout", record.waitTimeout, v); }
  HRESULT STDMETHODCALLTYPE get_StopOnIdleEnd(VARIANT_BOOL* v) override {
    return getBool("get_StopOnIdleEnd", record.stopOnIdleEnd, v);
  }
  HRESULT STDMETHODCALLTYPE put_StopOnIdleEnd(VARIANT_BOOL v) override {
    return putBool("put_StopOnIdleEnd", record.stopOnIdleEnd, v);
  }
  HRESULT STDMETHODCALLTYPE get_RestartOnIdle(VARIANT_BOOL* v) override {
    return getBool("get_RestartOnIdle", record.restartOnIdle, v);
  }
  HRESULT STDMETHODCALLTYPE put_RestartOnIdle(VARIANT_BOOL v) override {
    return putBool("put_RestartOnIdle", record.restartOnIdle, v);
  }
};

class Settings : public Com<ITaskSettings> {
 public:
  Settings() : Com("ITaskSettings"), idle(make<IdleSettings>()) { idle->hold(); }
  SettingsRecord record;  // its idle part lives in `idle`
  IdleSettings* idle;
  void* find(REFIID riid) override {
    return riid == IID_ITaskSettings ? static_cast<ITaskSettings*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_AllowDemandStart(VARIANT_BOOL* v) override {
    return getBool("get_AllowDemandStart", record.allowDemandStart, v);
  }
  HRESULT STDMETHODCALLTYPE put_AllowDemandStart(VARIANT_BOOL v) override {
    return putBool("put_AllowDemandStart", record.allowDemandStart, v);
  }
  HRESULT STDMETHODCALLTYPE get_RestartInterval(BSTR* v) override {
    return getText("get_RestartInterval", record.restartInterval, v);
  }
  HRESULT STDMETHODCALLTYPE put_RestartInterval(BSTR v) override {
    return putText("put_RestartInterval", record.restartInterval, v);
  }
  HRESULT STDMETHODCALLTYPE get_RestartCount(INT* v) override { return getValue("get_RestartCount", record.restartCount, v); }
  HRESULT STDMETHODCALLTYPE put_RestartCount(INT v) override { return putValue("put_RestartCount", record.restartCount, v); }
  HRESULT STDMETHODCALLTYPE get_MultipleInstances(TASK_INSTANCES_POLICY* v) override {
    return getValue("get_MultipleInstances", record.multipleInstances, v);
  }
  HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY v) override {
    return putValue("put_MultipleInstances", record.multipleInstances, v);
  }
  HRESULT STDMETHODCALLTYPE get_StopIfGoingOnBatteries(VARIANT_BOOL* v) override {
    return getBool("get_StopIfGoingOnBatteries", record.stopIfGoingOnBatteries, v);
  }
  HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL v) override {
    return putBool("put_StopIfGoingOnBatteries", record.stopIfGoingOnBatteries, v);
  }
  HRESULT STDMETHODCALLTYPE get_DisallowStartIfOnBatteries(VARIANT_BOOL* v) override {
    return getBool("get_DisallowStartIfOnBatteries", record.disallowStartIfOnBatteries, v);
  }
  HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL v) override {
    return putBool("put_DisallowStartIfOnBatteries", record.disallowStartIfOnBatteries, v);
  }
  HRESULT STDMETHODCALLTYPE get_AllowHardTerminate(VARIANT_BOOL* v) override {
    return getBool("get_AllowHardTerminate", record.allowHardTerminate, v);
  }
  HRESULT STDMETHODCALLTYPE put_AllowHardTerminate(VARIANT_BOOL v) override {
    return putBool("put_AllowHardTerminate", record.allowHardTerminate, v);
  }
  HRESULT STDMETHODCALLTYPE get_StartWhenAvailable(VARIANT_BOOL* v) override {
    return getBool("get_StartWhenAvailable", record.startWhenAvailable, v);
  }
  HRESULT STDMETHODCALLTYPE put_StartWhenAvailable(VARIANT_BOOL v) override {
    return putBool("put_StartWhenAvailable", record.startWhenAvailable, v);
  }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return notImplemented("get_XmlText"); }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return notImplemented("put_XmlText"); }
  HRESULT STDMETHODCALLTYPE get_RunOnlyIfNetworkAvailable(VARIANT_BOOL* v) override {
    return getBool("get_RunOnlyIfNetworkAvailable", record.runOnlyIfNetworkAvailable, v);
  }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL v) override {
    return putBool("put_RunOnlyIfNetworkAvailable", record.runOnlyIfNetworkAvailable, v);
  }
  HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR* v) override {
    return getText("get_ExecutionTimeLimit", record.executionTimeLimit, v);
  }
  HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR v) override {
    return putText("put_ExecutionTimeLimit", record.executionTimeLimit, v);
  }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* v) override { return getBool("get_Enabled", record.enabled, v); }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override { return putBool("put_Enabled", record.enabled, v); }
  HRESULT STDMETHODCALLTYPE get_DeleteExpiredTaskAfter(BSTR* v) override {
    return getText("get_DeleteExpiredTaskAfter", record.deleteExpiredTaskAfter, v);
  }
  HRESULT STDMETHODCALLTYPE put_DeleteExpiredTaskAfter(BSTR v) override {
    return putText("put_DeleteExpiredTaskAfter", record.deleteExpiredTaskAfter, v);
  }
  HRESULT STDMETHODCALLTYPE get_Priority(INT* v) override { return getValue("get_Priority", record.priority, v); }
  HRESULT STDMETHODCALLTYPE put_Priority(INT v) override { return putValue("put_Priority", record.priority, v); }
  HRESULT STDMETHODCALLTYPE get_Compatibility(TASK_COMPATIBILITY* v) override {
    return getValue("get_Compatibility", record.compatibility, v);
  }
  HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY v) override {
    return putValue("put_Compatibility", record.compatibility, v);
  }
  HRESULT STDMETHODCALLTYPE get_Hidden(VARIANT_BOOL* v) override { return getBool("get_Hidden", record.hidden, v); }
  HRESULT STDMETHODCALLTYPE put_Hidden(VARIANT_BOOL v) override { return putBool("put_Hidden", record.hidden, v); }
  HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings** out) override {
    return getChild("get_IdleSettings", idle, out);
  }
  HRESULT STDMETHODCALLTYPE put_IdleSettings(IIdleSettings*) override { return notImplemented("put_IdleSettings"); }
  HRESULT STDMETHODCALLTYPE get_RunOnlyIfIdle(VARIANT_BOOL* v) override {
    return getBool("get_RunOnlyIfIdle", record.runOnlyIfIdle, v);
  }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL v) override {
    return putBool("put_RunOnlyIfIdle", record.runOnlyIfIdle, v);
  }
  HRESULT STDMETHODCALLTYPE get_WakeToRun(VARIANT_BOOL* v) override { return getBool("get_WakeToRun", record.wakeToRun, v); }
  HRESULT STDMETHODCALLTYPE put_WakeToRun(VARIANT_BOOL v) override { return putBool("put_WakeToRun", record.wakeToRun, v); }
  HRESULT STDMETHODCALLTYPE get_NetworkSettings(INetworkSettings**) override {
    return notImplemented("get_NetworkSettings");
  }
  HRESULT STDMETHODCALLTYPE put_NetworkSettings(INetworkSettings*) override {
    return notImplemented("put_NetworkSettings");
  }

 protected:
  void onFinalRelease() override { idle->unhold(); }
};

class ExecAction : public Com<IExecAction> {
 public:
  ExecAction() : Com("IExecAction") {}
  ActionRecord record;
  void* find(REFIID riid) override {
    if (riid == IID_IAction) return static_cast<IAction*>(this);
    if (riid == IID_IExecAction) return static_cast<IExecAction*>(this);
    return Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR* v) override { return getText("get_Id", record.id, v); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR v) override { return putText("put_Id", record.id, v); }
  HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* v) override { return getValue("get_Type", record.type, v); }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* v) override { return getText("get_Path", record.path, v); }
  HRESULT STDMETHODCALLTYPE put_Path(BSTR v) override { return putText("put_Path", record.path, v); }
  HRESULT STDMETHODCALLTYPE get_Arguments(BSTR* v) override { return getText("get_Arguments", record.arguments, v); }
  HRESULT STDMETHODCALLTYPE put_Arguments(BSTR v) override { return putText("put_Arguments", record.arguments, v); }
  HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR* v) override {
    return getText("get_WorkingDirectory", record.workingDirectory, v);
  }
  HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR v) override {
    return putText("put_WorkingDirectory", record.workingDirectory, v);
  }
};

class ActionCollection : public Com<IActionCollection> {
 public:
  ActionCollection() : Com("IActionCollection") {}
  std::vector<ExecAction*> items;  // each held
  Text context;
  void* find(REFIID riid) override {
    return riid == IID_IActionCollection ? static_cast<IActionCollection*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* v) override {
    if (HRESULT hr = enter("get_Count")) return hr;
    if (!v) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    *v = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** out) override {
    if (HRESULT hr = enter("get_Item")) return hr;
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    if (index < 1 || index > static_cast<LONG>(items.size())) return E_INVALIDARG;  // 1-based
    items[index - 1]->grant();
    *out = items[index - 1];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return notImplemented("get__NewEnum"); }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return notImplemented("get_XmlText"); }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return notImplemented("put_XmlText"); }
  HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** out) override {
    if (HRESULT hr = enter("Create")) return hr;
    if (!out) return E_POINTER;
    *out = nullptr;
    if (type == TASK_ACTION_COM_HANDLER || type == TASK_ACTION_SEND_EMAIL || type == TASK_ACTION_SHOW_MESSAGE)
      return E_NOTIMPL;  // only programs to run are modelled
    if (type != TASK_ACTION_EXEC) return E_INVALIDARG;
    auto* action = make<ExecAction>();
    action->hold();
    action->grant();
    std::lock_guard<std::mutex> g(lock());
    items.push_back(action);
    *out = action;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT) override { return notImplemented("Remove"); }
  HRESULT STDMETHODCALLTYPE Clear() override {
    if (HRESULT hr = enter("Clear")) return hr;
    drop();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Context(BSTR* v) override { return getText("get_Context", context, v); }
  HRESULT STDMETHODCALLTYPE put_Context(BSTR v) override { return putText("put_Context", context, v); }

 protected:
  void onFinalRelease() override { drop(); }

 private:
  void drop() {
    std::vector<ExecAction*> gone;
    {
      std::lock_guard<std::mutex> g(lock());
      gone.swap(items);
    }
    for (auto* action : gone) action->unhold();
  }
};

class Definition : public Com<ITaskDefinition> {
 public:
  Definition()
      : Com("ITaskDefinition"),
        registrationInfo(make<RegistrationInfo>()),
        principal(make<Principal>()),
        triggers(make<TriggerCollection>()),
        settings(make<Settings>()),
        actions(make<ActionCollection>()) {
    registrationInfo->hold();
    principal->hold();
    triggers->hold();
    settings->hold();
    actions->hold();
  }
  RegistrationInfo* registrationInfo;
  Principal* principal;
  TriggerCollection* triggers;
  Settings* settings;
  ActionCollection* actions;
  Text data;

  // What the definition holds now; call with the lock held.
  DefinitionRecord snapshot() const {
    DefinitionRecord r;
    r.registrationInfo = registrationInfo->record;
    r.principal = principal->record;
    for (auto* trigger : triggers->items) r.triggers.push_back(trigger->record);
    r.settings = settings->record;
    r.settings.idle = settings->idle->record;
    for (auto* action : actions->items) r.actions.push_back(action->record);
    r.data = data;
    return r;
  }

  void* find(REFIID riid) override {
    return riid == IID_ITaskDefinition ? static_cast<ITaskDefinition*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** out) override {
    return getChild("get_RegistrationInfo", registrationInfo, out);
  }
  HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo*) override {
    return notImplemented("put_RegistrationInfo");
  }
  HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** out) override { return getChild("get_Triggers", triggers, out); }
  HRESULT STDMETHODCALLTYPE put_Triggers(ITriggerCollection*) override { return notImplemented("put_Triggers"); }
  HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** out) override { return getChild("get_Settings", settings, out); }
  HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings*) override { return notImplemented("put_Settings"); }
  HRESULT STDMETHODCALLTYPE get_Data(BSTR* v) override { return getText("get_Data", data, v); }
  HRESULT STDMETHODCALLTYPE put_Data(BSTR v) override { return putText("put_Data", data, v); }
  HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** out) override { return getChild("get_Principal", principal, out); }
  HRESULT STDMETHODCALLTYPE put_Principal(IPrincipal*) override { return notImplemented("put_Principal"); }
  HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** out) override { return getChild("get_Actions", actions, out); }
  HRESULT STDMETHODCALLTYPE put_Actions(IActionCollection*) override { return notImplemented("put_Actions"); }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return notImplemented("get_XmlText"); }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return notImplemented("put_XmlText"); }

 protected:
  void onFinalRelease() override {
    actions->unhold();
    settings->unhold();
    triggers->unhold();
    principal->unhold();
    registrationInfo->unhold();
  }
};

class RegisteredTask : public Com<IRegisteredTask> {
 public:
  explicit RegisteredTask(std::wstring fullPath) : Com("IRegisteredTask"), path(std::move(fullPath)) {}
  const std::wstring path;
  void* find(REFIID riid) override {
    return riid == IID_IRegisteredTask ? static_cast<IRegisteredTask*>(this) : Com::find(riid);
  }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* v) override { return getText("get_Name", Text(leafOf(path)), v); }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* v) override { return getText("get_Path", Text(path), v); }
  HRESULT STDMETHODCALLTYPE get_State(TASK_STATE*) override { return notImplemented("get_State"); }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return notImplemented("get_Enabled"); }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return notImplemented("put_Enabled"); }
  HRESULT STDMETHODCALLTYPE Run(VARIANT, IRunningTask**) override { return notImplemented("Run"); }
  HRESULT STDMETHODCALLTYPE RunEx(VARIANT, LONG, LONG, BSTR, IRunningTask**) override { return notImplemented("RunEx"); }
  HRESULT STDMETHODCALLTYPE GetInstances(LONG, IRunningTaskCollection**) override {
    return notImplemented("GetInstances");
  }
  HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE*) override { return notImplemented("get_LastRunTime"); }
  HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG*) override { return notImplemented("get_LastTaskResult"); }
  HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG*) override { return notImplemented("get_NumberOfMissedRuns"); }
  HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE*) override { return notImplemented("get_NextRunTime"); }
  HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition**) override { return notImplemented("get_Definition"); }
  HRESULT STDMETHODCALLTYPE get_Xml(BSTR*) override { return notImplemented("get_Xml"); }
  HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override {
    return notImplemented("GetSecurityDescriptor");
  }
  HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override {
    return notImplemented("SetSecurityDescriptor");
  }
  HRESULT STDMETHODCALLTYPE Stop(LONG) override { return notImplemented("Stop"); }
  HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*) override {
    return notImplemented("GetRunTimes");
  }
};

// Accounts that a service-account logon accepts.
bool isServiceAccount(const std::wstring& user) {
  static const wchar_t* const known[] = {L"system",
                                         L"nt authority\\system",
                                         L"localsystem",
                                         L"s-1-5-18",
                                         L"local service",
                                         L"nt authority\\local service",
                                         L"nt authority\\localservice",
                                         L"s-1-5-19",
                                         L"network service",
                                         L"nt authority\\network service",
                                         L"nt authority\\networkservice",
                                         L"s-1-5-20"};
  std::wstring name = lower(user);
  return std::any_of(std::begin(known), std::end(known), [&](const wchar_t* k) { return name == k; });
}

// What the service refuses to store; call with the lock held.
HRESULT validate(const DefinitionRecord& d) {
  if (d.actions.empty()) return SCHED_E_MISSINGNODE;
  for (auto& action : d.actions)
    if (!action.path || action.path->empty()) return SCHED_E_MISSINGNODE;
  for (auto& trigger : d.triggers)
    if (trigger.type == TASK_TRIGGER_EVENT && (!trigger.subscription || trigger.subscription->empty()))
      return SCHED_E_MISSINGNODE;
  return S_OK;
}

class Folder : public Com<ITaskFolder> {
 public:
  explicit Folder(std::wstring fullPath) : Com("ITaskFolder"), path(std::move(fullPath)) {}
  const std::wstring path;
  std::string label() const override { return name() + " " + narrow(path); }
  void* find(REFIID riid) override { return riid == IID_ITaskFolder ? static_cast<ITaskFolder*>(this) : Com::find(riid); }

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* v) override {
    return getText("get_Name", Text(path == L"\\" ? path : leafOf(path)), v);
  }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* v) override { return getText("get_Path", Text(path), v); }
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR name, ITaskFolder** out) override {
    if (HRESULT hr = enter("GetFolder")) return hr;
    if (!out) return E_POINTER;
    *out = nullptr;
    std::wstring relative = com::text(name, "ITaskFolder::GetFolder");
    std::wstring full = resolve(path, relative);
    {
      std::lock_guard<std::mutex> g(lock());
      if (relative.empty()) return E_INVALIDARG;
      if (!folderKnown(full)) return SIM_ERROR(ERROR_FILE_NOT_FOUND);
      full = store().folders[lower(full)];
    }
    auto* folder = make<Folder>(full);
    folder->grant();
    *out = folder;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFolders(LONG, ITaskFolderCollection**) override { return notImplemented("GetFolders"); }
  HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** out) override {
    if (HRESULT hr = enter("CreateFolder")) return hr;
    if (out) *out = nullptr;
    std::wstring relative = com::text(name, "ITaskFolder::CreateFolder");
    variantText(sddl, "ITaskFolder::CreateFolder");
    if (relative.empty() || !variantAccepted(sddl)) return E_INVALIDARG;
    std::wstring full = resolve(path, relative);
    {
      std::lock_guard<std::mutex> g(lock());
      if (folderKnown(full)) return SIM_ERROR(ERROR_ALREADY_EXISTS);
      if (!folderKnown(parentOf(full))) return SIM_ERROR(ERROR_PATH_NOT_FOUND);
      store().folders[lower(full)] = full;
    }
    if (out) {
      auto* folder = make<Folder>(full);
      folder->grant();
      *out = folder;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR, LONG) override { return notImplemented("DeleteFolder"); }
  HRESULT STDMETHODCALLTYPE GetTask(BSTR name, IRegisteredTask** out) override {
    if (HRESULT hr = enter("GetTask")) return hr;
    if (!out) return E_POINTER;
    *out = nullptr;
    std::wstring full = resolve(path, com::text(name, "ITaskFolder::GetTask"));
    {
      std::lock_guard<std::mutex> g(lock());
      auto it = store().tasks.find(lower(full));
      if (it == store().tasks.end()) return SIM_ERROR(ERROR_FILE_NOT_FOUND);
      full = join(it->second.folder, it->second.name);
    }
    auto* task = make<RegisteredTask>(full);
    task->grant();
    *out = task;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTasks(LONG, IRegisteredTaskCollection**) override { return notImplemented("GetTasks"); }
  HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
    if (HRESULT hr = enter("DeleteTask")) return hr;
    std::wstring relative = com::text(name, "ITaskFolder::DeleteTask");
    if (relative.empty() || flags != 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> g(lock());
    if (store().tasks.erase(lower(resolve(path, relative))) == 0) return SIM_ERROR(ERROR_FILE_NOT_FOUND);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterTask(BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT,
                                         IRegisteredTask**) override {
    return notImplemented("RegisterTask");  // task XML is not modelled
  }
  HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR name, ITaskDefinition* definition, LONG flags, VARIANT user,
                                                   VARIANT password, TASK_LOGON_TYPE logon, VARIANT sddl,
                                                   IRegisteredTask** out) override {
    const char* api = "ITaskFolder::RegisterTaskDefinition";
    if (HRESULT hr = enter("RegisterTaskDefinition")) return hr;
    if (out) *out = nullptr;
    if (!name) return E_NOTIMPL;  // a generated name is not modelled
    if (!definition) return E_POINTER;
    auto* source = dynamic_cast<Definition*>(definition);
    if (!source) return E_INVALIDARG;
    if (!variantAccepted(user) || !variantAccepted(password) || !variantAccepted(sddl)) return E_INVALIDARG;
    if (!(flags & (TASK_VALIDATE_ONLY | TASK_CREATE | TASK_UPDATE))) return E_INVALIDARG;

    TaskRecord task;
    std::wstring full = resolve(path, com::text(name, api));
    task.folder = parentOf(full);
    task.name = leafOf(full);
    task.registration.flags = flags;
    task.registration.userType = user.vt;
    task.registration.user = variantText(user, api);
    task.registration.passwordType = password.vt;
    task.registration.password = variantText(password, api);
    task.registration.logonType = logon;
    task.registration.sddlType = sddl.vt;
    task.registration.sddl = variantText(sddl, api);
    if (logon == TASK_LOGON_SERVICE_ACCOUNT && !isServiceAccount(task.registration.user.value_or(L"")))
      return SIM_ERROR(kErrorNoneMapped);

    std::lock_guard<std::mutex> g(lock());
    if (!folderKnown(task.folder)) return SIM_ERROR(ERROR_PATH_NOT_FOUND);
    task.folder = store().folders[lower(task.folder)];
    task.definition = source->snapshot();
    if (HRESULT hr = validate(task.definition)) return hr;
    if (task.registration.user) task.definition.principal.userId = task.registration.user;
    task.definition.principal.logonType = logon;
    bool exists = store().tasks.count(lower(full)) != 0;
    if (exists && !(flags & TASK_UPDATE)) return SIM_ERROR(ERROR_ALREADY_EXISTS);
    if (!exists && !(flags & TASK_CREATE)) return SIM_ERROR(ERROR_FILE_NOT_FOUND);
    if (flags & TASK_VALIDATE_ONLY) return S_OK;
    if (exists) task.name = store().tasks[lower(full)].name;  // the name keeps its first spelling
    store().tasks[lower(full)] = task;
    if (out) {
      auto* registered = make<RegisteredTask>(join(task.folder, task.name));
      registered->grant();
      *out = registered;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override {
    return notImplemented("GetSecurityDescriptor");
  }
  HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override {
    return notImplemented("SetSecurityDescriptor");
  }
};

class Service : public Com<ITaskService> {
 public:
  Service() : Com("ITaskService") {}
  bool connected = false;
  void* find(REFIID riid) override { return riid == IID_ITaskService ? static_cast<ITaskService*>(this) : Com::find(riid); }

  HRESULT STDMETHODCALLTYPE GetFolder(BSTR name, ITaskFolder** out) override {
    if (HRESULT hr = enter("GetFolder")) return hr;
    if (!out) return E_POINTER;
    *out = nullptr;
    std::wstring requested = com::text(name, "ITaskService::GetFolder");
    std::wstring full = resolve(L"\\", requested);
    {
      std::lock_guard<std::mutex> g(lock());
      if (!connected) return SIM_ERROR(kErrorOnlyIfConnected);
      if (requested.empty()) return E_INVALIDARG;
      if (!folderKnown(full)) return SIM_ERROR(ERROR_FILE_NOT_FOUND);
      full = store().folders[lower(full)];
    }
    auto* folder = make<Folder>(full);
    folder->grant();
    *out = folder;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG, IRunningTaskCollection**) override {
    return notImplemented("GetRunningTasks");
  }
  HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** out) override {
    if (HRESULT hr = enter("NewTask")) return hr;
    if (!out) return E_POINTER;
    *out = nullptr;
    Text version;
    {
      std::lock_guard<std::mutex> g(lock());
      if (!connected) return SIM_ERROR(kErrorOnlyIfConnected);
      version = store().newVersion;
    }
    if (flags != 0) return E_INVALIDARG;
    auto* definition = make<Definition>();
    definition->registrationInfo->record.version = version;
    definition->grant();
    *out = definition;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
    if (HRESULT hr = enter("Connect")) return hr;
    for (const VARIANT* v : {&server, &user, &domain, &password})
      if (!variantAccepted(*v)) return E_INVALIDARG;
    Text target = variantText(server, "ITaskService::Connect");
    variantText(user, "ITaskService::Connect");
    variantText(domain, "ITaskService::Connect");
    variantText(password, "ITaskService::Connect");
    // Only the local computer's scheduler is modelled.
    if (target && !target->empty()) return SIM_ERROR(kErrorBadNetPath);
    std::lock_guard<std::mutex> g(lock());
    if (!store().running) return SCHED_E_SERVICE_NOT_RUNNING;
    connected = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* v) override {
    if (HRESULT hr = enter("get_Connected")) return hr;
    if (!v) return E_POINTER;
    std::lock_guard<std::mutex> g(lock());
    *v = connected ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR*) override { return notImplemented("get_TargetServer"); }
  HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR*) override { return notImplemented("get_ConnectedUser"); }
  HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR*) override { return notImplemented("get_ConnectedDomain"); }
  HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD*) override { return notImplemented("get_HighestVersion"); }
};

#pragma GCC diagnostic pop

HRESULT createService(REFIID riid, void** object) {
  auto* service = make<Service>();
  void* found = service->find(riid);
  if (!found) return E_NOINTERFACE;
  service->grant();
  *object = found;
  return S_OK;
}

struct Registrar {
  Registrar() { com::registerClass(CLSID_TaskScheduler, &createService); }
} g_registrar;

std::string show(const Text& text) { return text ? "\"" + narrow(*text) + "\"" : "(not set)"; }

}  // namespace

void setServiceRunning(bool running) {
  std::lock_guard<std::mutex> g(lock());
  store().running = running;
}

void addFolder(const std::wstring& path) {
  std::lock_guard<std::mutex> g(lock());
  for (std::wstring p = resolve(L"\\", path); !folderKnown(p); p = parentOf(p)) store().folders[lower(p)] = p;
}

bool folderExists(const std::wstring& path) {
  std::lock_guard<std::mutex> g(lock());
  return folderKnown(resolve(L"\\", path));
}

std::vector<std::wstring> folders() {
  std::lock_guard<std::mutex> g(lock());
  std::vector<std::wstring> all;
  for (auto& [key, path] : store().folders) all.push_back(path);
  return all;
}

void putTask(const TaskRecord& task) {
  addFolder(task.folder);
  std::lock_guard<std::mutex> g(lock());
  store().tasks[lower(join(task.folder, task.name))] = task;
}

std::vector<TaskRecord> tasks(const std::wstring& folder) {
  std::lock_guard<std::mutex> g(lock());
  std::vector<TaskRecord> found;
  std::wstring key = lower(resolve(L"\\", folder));
  for (auto& [path, task] : store().tasks)
    if (lower(task.folder) == key) found.push_back(task);
  return found;
}

std::optional<TaskRecord> task(const std::wstring& folder, const std::wstring& name) {
  std::lock_guard<std::mutex> g(lock());
  auto it = store().tasks.find(lower(join(resolve(L"\\", folder), name)));
  if (it == store().tasks.end()) return std::nullopt;
  return it->second;
}

void setNewTaskVersion(Text version) {
  std::lock_guard<std::mutex> g(lock());
  store().newVersion = std::move(version);
}

std::string describe(const TaskRecord& t) {
  std::ostringstream o;
  const auto& d = t.definition;
  const auto& s = d.settings;
  o << "task " << narrow(join(t.folder, t.name)) << "\n";
  o << "  registration: flags " << t.registration.flags << ", user vt " << t.registration.userType << " "
    << show(t.registration.user) << ", password vt " << t.registration.passwordType << " "
    << show(t.registration.password) << ", logon " << t.registration.logonType << ", sddl vt "
    << t.registration.sddlType << " " << show(t.registration.sddl) << "\n";
  const auto& r = d.registrationInfo;
  o << "  info: author " << show(r.author) << ", version " << show(r.version) << ", description "
    << show(r.description) << ", date " << show(r.date) << ", documentation " << show(r.documentation) << ", uri "
    << show(r.uri) << ", source " << show(r.source) << "\n";
  const auto& p = d.principal;
  o << "  principal: id " << show(p.id) << ", name " << show(p.displayName) << ", user " << show(p.userId)
    << ", group " << show(p.groupId) << ", logon " << p.logonType << ", run level " << p.runLevel << "\n";
  for (auto& tr : d.triggers)
    o << "  trigger: type " << tr.type << ", id " << show(tr.id) << ", enabled " << tr.enabled << ", limit "
      << show(tr.executionTimeLimit) << ", start " << show(tr.startBoundary) << ", end " << show(tr.endBoundary)
      << ", delay " << show(tr.delay) << ", subscription " << show(tr.subscription) << "\n";
  o << "  settings: demand " << s.allowDemandStart << ", stopOnBatteries " << s.stopIfGoingOnBatteries
    << ", disallowOnBatteries " << s.disallowStartIfOnBatteries << ", runOnlyIfIdle " << s.runOnlyIfIdle
    << ", hardTerminate " << s.allowHardTerminate << ", whenAvailable " << s.startWhenAvailable << ", network "
    << s.runOnlyIfNetworkAvailable << ", limit " << show(s.executionTimeLimit) << ", enabled " << s.enabled
    << ", deleteAfter " << show(s.deleteExpiredTaskAfter) << ", priority " << s.priority << ", compatibility "
    << s.compatibility << ", hidden " << s.hidden << ", wake " << s.wakeToRun << ", instances "
    << s.multipleInstances << ", restart " << show(s.restartInterval) << " x" << s.restartCount << "\n";
  o << "  idle: duration " << show(s.idle.idleDuration) << ", wait " << show(s.idle.waitTimeout) << ", stopOnEnd "
    << s.idle.stopOnIdleEnd << ", restart " << s.idle.restartOnIdle << "\n";
  for (auto& a : d.actions)
    o << "  action: type " << a.type << ", id " << show(a.id) << ", path " << show(a.path) << ", arguments "
      << show(a.arguments) << ", directory " << show(a.workingDirectory) << "\n";
  o << "  data " << show(d.data) << "\n";
  return o.str();
}

}  // namespace sim::taskschd
