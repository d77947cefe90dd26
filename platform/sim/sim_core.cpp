#include "platform/sim/sim_core.h"

#include <atomic>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>

namespace sim {
namespace {

// ThreadSanitizer's runtime, in the build that has one.
extern "C" void __tsan_ignore_thread_begin() __attribute__((weak));
extern "C" void __tsan_ignore_thread_end() __attribute__((weak));
extern "C" void AnnotateIgnoreSyncBegin(const char* file, int line) __attribute__((weak));
extern "C" void AnnotateIgnoreSyncEnd(const char* file, int line) __attribute__((weak));
extern "C" void __tsan_acquire(void* address) __attribute__((weak));
extern "C" void __tsan_release(void* address) __attribute__((weak));

thread_local DWORD t_lastError = 0;
thread_local bool t_unobserved = false;

struct HandleEntry {
  std::shared_ptr<Object> object;
  DWORD access;
};

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, HandleEntry> handles;
  uintptr_t next = 0x1000;
};
HandleTable& table() {
  static HandleTable* t = new HandleTable;  // outlives every static destructor
  return *t;
}

struct Fault {
  std::string api;  // empty: any call (failNthCall)
  DWORD error;
  long skip;   // calls to let through before failing
  int times;   // failures left; -1 forever
};
// A test's hook, shared so that taking it under the records' lock copies none of its captures.
template <class Function>
using Hook = std::shared_ptr<const Function>;
using CallHook = Hook<std::function<void()>>;

struct Faults {
  std::mutex lock;
  std::vector<Fault> armed;
  std::map<std::string, int> counts;
  std::vector<std::string> log;
  std::map<std::string, CallHook> hooks;
  std::vector<FiredFault> fired;
};
Faults& faults() {
  static Faults* f = new Faults;
  return *f;
}

struct Clock {
  std::atomic<ULONGLONG> ms{0};
  std::mutex lock;
  Hook<std::function<void(DWORD)>> sleepHook;
  LONGLONG frequency = 10000000;
  std::vector<LONGLONG> counterScript;
  size_t counterNext = 0;
};
Clock& virtualClock() {
  static Clock* c = new Clock;
  return *c;
}

std::atomic<DWORD> g_pid{4242};
std::atomic<DWORD> g_nextThreadId{100};
thread_local DWORD t_threadId = 0;

std::vector<void (*)()>& resetHooks() {
  static std::vector<void (*)()>* hooks = new std::vector<void (*)()>;
  return *hooks;
}

// A test's hook is handed to the thread that runs it: the one order the records make.
void handOver(void* what) {
  if (__tsan_release) __tsan_release(what);
}
void takeOver(void* what) {
  if (__tsan_acquire) __tsan_acquire(what);
}

// A hook's count orders nothing between the threads that run it, as two calls of the
// same name order nothing. Each thread hands what it did with the hook to the hook's
// destruction only, which is seen whole and comes after every use, as on a real count:
// the thread that destroys it (the test's, replacing it or at reset) is ordered after
// every run.
thread_local bool t_droppingHook = false;

template <class Function>
Hook<Function> makeHook(Function function) {
  return Hook<Function>(new const Function(std::move(function)), [](const Function* hook) {
    const bool unordered = std::exchange(t_droppingHook, false);
    if (unordered && AnnotateIgnoreSyncEnd) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
    takeOver(const_cast<Function*>(hook));
    delete hook;
    if (unordered && AnnotateIgnoreSyncBegin) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    t_droppingHook = unordered;
  });
}

template <class Function>
void dropHook(Hook<Function>& hook) {
  if (!hook) return;
  handOver(const_cast<Function*>(hook.get()));
  if (AnnotateIgnoreSyncBegin) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
  const bool outer = std::exchange(t_droppingHook, true);
  hook.reset();
  t_droppingHook = outer;
  if (AnnotateIgnoreSyncEnd) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}

// Runs a hook taken from the records, then drops it, also when it throws.
template <class Function, class... Args>
void runHook(Hook<Function>& hook, void* handedOver, Args... args) {
  if (!hook) return;
  struct Drop {
    Hook<Function>& hook;
    ~Drop() { dropHook(hook); }
  } drop{hook};
  takeOver(handedOver);
  (*hook)(args...);
}

}  // namespace

Unseen::Unseen() {
  if (!__tsan_ignore_thread_begin) return;
  __tsan_ignore_thread_begin();
  AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}
Unseen::~Unseen() {
  if (!__tsan_ignore_thread_end) return;
  AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
  __tsan_ignore_thread_end();
}

HANDLE insertHandle(std::shared_ptr<Object> object, DWORD access) {
  auto& t = table();
  HandleEntry entry{std::move(object), access};
  UnseenLock g(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  entry.object->handleCount++;
  t.handles.emplace(value, std::move(entry));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> lookupHandle(HANDLE handle) {
  auto& t = table();
  return readUnseen(t.lock, [&]() -> std::shared_ptr<Object> {
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.handles.end() ? nullptr : it->second.object;
  });
}

std::optional<DWORD> handleAccess(HANDLE handle) {
  auto& t = table();
  return readUnseen(t.lock, [&]() -> std::optional<DWORD> {
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.handles.end()) return std::nullopt;
    return it->second.access;
  });
}

bool handleAllows(HANDLE handle, DWORD needed) {
  auto access = handleAccess(handle);
  return access && (*access & needed) == needed;
}

bool removeHandle(HANDLE handle) {
  std::shared_ptr<Object> object;
  bool last = false;
  {
    auto& t = table();
    UnseenLock g(t.lock);
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.handles.end()) return false;
    object = std::move(it->second.object);
    t.handles.erase(it);
    last = --object->handleCount == 0;
  }
  if (last) object->onLastHandleClosed();
  return true;
}

size_t openHandleCount() {
  auto& t = table();
  UnseenLock g(t.lock);
  return t.handles.size();
}

size_t openHandleCount(const std::string& kind) {
  auto& t = table();
  const std::string wanted = kind;
  UnseenLock g(t.lock);
  size_t n = 0;
  for (auto& [value, entry] : t.handles)
    if (wanted == entry.object->kind()) n++;
  return n;
}

std::vector<std::string> openHandleKinds() {
  auto& t = table();
  return readUnseen(t.lock, [&] {
    std::vector<std::string> kinds;
    for (auto& [value, entry] : t.handles) kinds.emplace_back(entry.object->kind());
    return kinds;
  });
}

void failCall(const std::string& api, DWORD error, int nth, int times) {
  auto& f = faults();
  Fault fault{api, error, nth > 0 ? nth - 1 : 0, times};
  UnseenLock g(f.lock);
  f.armed.push_back(std::move(fault));
}

void failAlways(const std::string& api, DWORD error) { failCall(api, error, 1, -1); }

void failNthCall(long nth, DWORD error) {
  auto& f = faults();
  UnseenLock g(f.lock);
  f.armed.push_back({std::string(), error, nth > 0 ? nth - 1 : 0, 1});
}

void clearFaults() {
  auto& f = faults();
  UnseenLock g(f.lock);
  f.armed.clear();
}

void onCall(const std::string& api, std::function<void()> hook) {
  auto& f = faults();
  std::string name = api;
  CallHook replaced = hook ? makeHook(std::move(hook)) : nullptr;
  handOver(&f.hooks);
  {
    UnseenLock g(f.lock);
    f.hooks[name].swap(replaced);
  }
  dropHook(replaced);
}

std::optional<DWORD> checkFault(const char* api) {
  if (t_unobserved) return std::nullopt;
  auto& f = faults();
  std::string name = api;  // the caller's text, read where ThreadSanitizer sees it
  CallHook hook;
  std::optional<DWORD> result;
  {
    UnseenLock g(f.lock);
    f.counts[name]++;
    for (auto it = f.armed.begin(); it != f.armed.end();) {
      if (!it->api.empty() && it->api != name) {
        ++it;
        continue;
      }
      if (it->skip > 0) {
        it->skip--;
        ++it;
        continue;
      }
      if (!result) {
        result = it->error;
        f.fired.push_back({name, it->error});
      }
      if (it->times > 0 && --it->times == 0) {
        it = f.armed.erase(it);
        continue;
      }
      ++it;
    }
    auto h = f.hooks.find(name);
    if (h != f.hooks.end()) hook = h->second;
    if (f.log.size() < 1000000) f.log.push_back(std::move(name));
  }
  runHook(hook, &f.hooks);
  return result;
}

int callCount(const std::string& api) {
  auto& f = faults();
  std::string name = api;
  return readUnseen(f.lock, [&] {
    auto it = f.counts.find(name);
    return it == f.counts.end() ? 0 : it->second;
  });
}

std::vector<std::string> callLog() {
  auto& f = faults();
  return readUnseen(f.lock, [&] { return f.log; });
}

void clearCallLog() {
  auto& f = faults();
  UnseenLock g(f.lock);
  f.log.clear();
  f.counts.clear();
}

Unobserved::Unobserved() : m_outer(t_unobserved) { t_unobserved = true; }
Unobserved::~Unobserved() { t_unobserved = m_outer; }
Observed::Observed() : m_outer(t_unobserved) { t_unobserved = false; }
Observed::~Observed() { t_unobserved = m_outer; }
bool unobservedThread() { return t_unobserved; }

void recordFiredFault(const char* api, DWORD error) {
  auto& f = faults();
  FiredFault fired{api, error};
  UnseenLock g(f.lock);
  f.fired.push_back(std::move(fired));
}

std::vector<FiredFault> firedFaults() {
  auto& f = faults();
  return readUnseen(f.lock, [&] { return f.fired; });
}

size_t recordedCalls() {
  auto& f = faults();
  UnseenLock g(f.lock);
  return f.log.size();
}

// Relaxed: reading the time orders nothing on Windows either.
ULONGLONG now() { return virtualClock().ms.load(std::memory_order_relaxed); }
void advance(ULONGLONG ms) { virtualClock().ms.fetch_add(ms, std::memory_order_relaxed); }
void setNow(ULONGLONG ms) { virtualClock().ms.store(ms, std::memory_order_relaxed); }

void onSleep(std::function<void(DWORD)> hook) {
  auto& c = virtualClock();
  decltype(c.sleepHook) replaced = hook ? makeHook(std::move(hook)) : nullptr;
  handOver(&c.sleepHook);
  {
    UnseenLock g(c.lock);
    c.sleepHook.swap(replaced);
  }
  dropHook(replaced);
}

void setPerformanceFrequency(LONGLONG frequency) {
  auto& c = virtualClock();
  UnseenLock g(c.lock);
  c.frequency = frequency;
}

void scriptPerformanceCounter(std::vector<LONGLONG> values) {
  auto& c = virtualClock();
  std::vector<LONGLONG> script = std::move(values);
  {
    UnseenLock g(c.lock);
    c.counterScript.swap(script);
    c.counterNext = 0;
  }
}

void setProcessId(DWORD pid) { g_pid = pid; }

ResetHook::ResetHook(void (*fn)()) { resetHooks().push_back(fn); }

void reset() {
  for (auto fn : resetHooks()) fn();
  // The hooks are a test's: they go after the records' scopes.
  decltype(Faults::hooks) hooks;
  decltype(Clock::sleepHook) sleepHook;
  {
    auto& t = table();
    UnseenLock g(t.lock);
    t.handles.clear();
  }
  {
    auto& f = faults();
    UnseenLock g(f.lock);
    f.armed.clear();
    f.counts.clear();
    f.log.clear();
    hooks.swap(f.hooks);
    f.fired.clear();
  }
  {
    auto& c = virtualClock();
    UnseenLock g(c.lock);
    c.ms.store(0, std::memory_order_relaxed);
    sleepHook.swap(c.sleepHook);
    c.frequency = 10000000;
    c.counterScript.clear();
    c.counterNext = 0;
  }
  for (auto& [name, hook] : hooks) dropHook(hook);
  dropHook(sleepHook);
  g_pid = 4242;
  t_lastError = 0;
}

}  // namespace sim

using namespace sim;

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

BOOL CloseHandle(HANDLE handle) {
  if (auto e = checkFault("CloseHandle")) {
    SetLastError(*e);
    return FALSE;
  }
  auto object = lookupHandle(handle);
  if (!object || !object->closableByCloseHandle() || !removeHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
DWORD GetCurrentProcessId() { return g_pid.load(); }
DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(4, std::memory_order_relaxed);
  return t_threadId;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                     DWORD access, BOOL /*inherit*/, DWORD options) {
  if (auto e = checkFault("DuplicateHandle")) {
    SetLastError(*e);
    return FALSE;
  }
  if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() || !target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto object = lookupHandle(source);
  auto sourceAccess = handleAccess(source);
  if (!object || !sourceAccess || !object->closableByCloseHandle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Without DUPLICATE_SAME_ACCESS the copy carries exactly the rights asked for: 0 asks
  // for none, and a wait on such a copy is refused.
  DWORD granted = (options & DUPLICATE_SAME_ACCESS) ? *sourceAccess : object->mapGenericAccess(access);
  *target = insertHandle(object, granted);
  if (options & DUPLICATE_CLOSE_SOURCE) removeHandle(source);
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  checkFault("Sleep");
  auto& c = virtualClock();
  advance(milliseconds);
  auto hook = readUnseen(c.lock, [&] { return c.sleepHook; });
  runHook(hook, &c.sleepHook, milliseconds);
  std::this_thread::yield();
}

ULONGLONG GetTickCount64() {
  checkFault("GetTickCount64");
  return now();
}

DWORD GetTickCount() {
  checkFault("GetTickCount");
  return static_cast<DWORD>(now());
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  checkFault("QueryPerformanceFrequency");
  auto& c = virtualClock();
  frequency->QuadPart = readUnseen(c.lock, [&] { return c.frequency; });
  return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* counter) {
  checkFault("QueryPerformanceCounter");
  auto& c = virtualClock();
  counter->QuadPart = readUnseen(c.lock, [&] {
    // Scripted values first; then the counter runs with the virtual clock.
    if (c.counterNext < c.counterScript.size()) return c.counterScript[c.counterNext++];
    return static_cast<LONGLONG>(now()) * (c.frequency / 1000);
  });
  return TRUE;
}
