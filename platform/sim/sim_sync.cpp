#include "platform/sim/sim_sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <optional>

namespace sim {
namespace {

std::condition_variable_any& syncCv() {
  static auto* cv = new std::condition_variable_any;
  return *cv;
}
// Observers of g_blocked (waitForBlockedWaiters) wait on a condition of their own: were
// a new waiter to notify syncCv, every other blocked thread would wake, block again and
// notify in turn, and blocked threads would wake each other without end.
std::condition_variable_any& blockedCv() {
  static auto* cv = new std::condition_variable_any;
  return *cv;
}
int g_blocked = 0;  // guarded by syncLock
long g_wakeups = 0;  // guarded by syncLock

struct NamedTable {
  std::map<std::wstring, std::weak_ptr<Waitable>> objects;
};
NamedTable& names() {
  static auto* t = new NamedTable;
  return *t;
}

DWORD mapGeneric(DWORD access, DWORD read, DWORD write, DWORD execute, DWORD all) {
  DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ) mapped |= read;
  if (access & GENERIC_WRITE) mapped |= write;
  if (access & GENERIC_EXECUTE) mapped |= execute;
  if (access & GENERIC_ALL) mapped |= all;
  return mapped;
}

struct Event : Waitable {
  bool manual;
  bool signaled;
  std::wstring name;
  Event(bool m, bool s) : manual(m), signaled(s) {}
  const char* kind() const override { return "Event"; }
  DWORD mapGenericAccess(DWORD access) const override {
    return mapGeneric(access, STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                      STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS);
  }
  bool ready(DWORD) const override { return signaled; }
  bool acquire(DWORD) override {
    if (!manual) signaled = false;
    return false;
  }
  void onLastHandleClosed() override;
};

struct Mutex : Waitable {
  DWORD owner = 0;
  int recursion = 0;
  bool abandoned = false;
  std::wstring name;
  const char* kind() const override { return "Mutex"; }
  DWORD mapGenericAccess(DWORD access) const override {
    return mapGeneric(access, STANDARD_RIGHTS_READ | MUTEX_MODIFY_STATE, STANDARD_RIGHTS_WRITE,
                      STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTEX_ALL_ACCESS);
  }
  bool ready(DWORD thread) const override { return owner == 0 || owner == thread; }
  bool acquire(DWORD thread) override {
    owner = thread;
    recursion++;
    bool was = abandoned;
    abandoned = false;
    return was;
  }
  void onLastHandleClosed() override;
};

// The object may still be referenced by a waiter; the name goes with the last handle.
// Closing an unnamed object touches nothing another thread sees.
void forgetName(const std::wstring& name) {
  if (name.empty()) return;
  std::lock_guard<std::mutex> g(syncLock());
  names().objects.erase(name);
}
void Event::onLastHandleClosed() { forgetName(name); }
void Mutex::onLastHandleClosed() { forgetName(name); }

// Mutexes owned by the current thread; abandoned when the thread ends.
struct OwnedMutexes {
  std::vector<std::weak_ptr<Mutex>> owned;
  DWORD thread = 0;
  ~OwnedMutexes() {
    std::lock_guard<std::mutex> g(syncLock());
    for (auto& w : owned) {
      if (auto m = w.lock()) {
        if (m->owner == thread) {
          m->owner = 0;
          m->recursion = 0;
          m->abandoned = true;
        }
      }
    }
    notifyWaiters();
  }
};
thread_local OwnedMutexes t_owned;

void noteOwned(const std::shared_ptr<Waitable>& object, DWORD thread) {
  if (auto m = std::dynamic_pointer_cast<Mutex>(object)) {
    t_owned.thread = thread;
    for (auto& w : t_owned.owned)
      if (w.lock() == m) return;
    t_owned.owned.push_back(m);
  }
}

// A creating call's handle carries every right of its object type.
template <class T>
HANDLE createNamed(LPCWSTR name, std::shared_ptr<T> fresh, bool* existed, DWORD access) {
  *existed = false;
  if (!name || !*name) return insertHandle(fresh, access);
  std::shared_ptr<Waitable> object;
  {
    std::lock_guard<std::mutex> g(syncLock());
    auto& slot = names().objects[name];
    object = slot.lock();
    if (object) {
      if (!std::dynamic_pointer_cast<T>(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
      }
      *existed = true;
    } else {
      fresh->name = name;
      slot = fresh;
      object = fresh;
    }
  }
  return insertHandle(object, access);
}

// An opening call's handle carries the rights asked for, and nothing more.
template <class T>
HANDLE openNamed(LPCWSTR name, DWORD access) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  std::shared_ptr<Waitable> object;
  {
    std::lock_guard<std::mutex> g(syncLock());
    auto it = names().objects.find(name);
    if (it != names().objects.end()) object = it->second.lock();
  }
  if (!object) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return NULL;
  }
  if (!std::dynamic_pointer_cast<T>(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  return insertHandle(object, object->mapGenericAccess(access));
}

void resetSync() {
  std::lock_guard<std::mutex> g(syncLock());
  names().objects.clear();
}
ResetHook g_reset(resetSync);

}  // namespace

std::mutex& syncLock() {
  static auto* m = new std::mutex;
  return *m;
}

void notifyWaiters() { syncCv().notify_all(); }

void signalEvent(const std::shared_ptr<Object>& object) {
  auto event = std::dynamic_pointer_cast<Event>(object);
  if (!event) return;
  std::lock_guard<std::mutex> g(syncLock());
  event->signaled = true;
  notifyWaiters();
}

std::shared_ptr<Object> privateEvent() { return std::make_shared<Event>(true, false); }

bool eventIsSignaled(HANDLE handle) {
  auto event = lookup<Event>(handle);
  if (!event) return false;
  std::lock_guard<std::mutex> g(syncLock());
  return event->signaled;
}

int blockedWaiters() {
  std::lock_guard<std::mutex> g(syncLock());
  return g_blocked;
}

long waitWakeups() {
  std::lock_guard<std::mutex> g(syncLock());
  return g_wakeups;
}

bool waitForBlockedWaiters(int n, int timeoutMs) {
  std::unique_lock<std::mutex> g(syncLock());
  return blockedCv().wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return g_blocked >= n; });
}

bool namedObjectExists(const std::wstring& name) {
  std::lock_guard<std::mutex> g(syncLock());
  auto it = names().objects.find(name);
  return it != names().objects.end() && !it->second.expired();
}

}  // namespace sim

using namespace sim;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (auto e = checkFault("CreateEventW")) {
    SetLastError(*e);
    return NULL;
  }
  bool existed = false;
  // An event that exists already keeps its own kind and state: the arguments do not apply.
  HANDLE h = createNamed<Event>(name, std::make_shared<Event>(manualReset != FALSE, initialState != FALSE),
                                &existed, EVENT_ALL_ACCESS);
  if (h) SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenEventW(DWORD access, BOOL /*inherit*/, LPCWSTR name) {
  if (auto e = checkFault("OpenEventW")) {
    SetLastError(*e);
    return NULL;
  }
  return openNamed<Event>(name, access);
}

static BOOL setEventState(const char* api, HANDLE handle, bool state) {
  if (auto e = checkFault(api)) {
    SetLastError(*e);
    return FALSE;
  }
  auto event = lookup<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!handleAllows(handle, EVENT_MODIFY_STATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(syncLock());
  event->signaled = state;
  if (state) notifyWaiters();
  return TRUE;
}

BOOL SetEvent(HANDLE event) { return setEventState("SetEvent", event, true); }
BOOL ResetEvent(HANDLE event) { return setEventState("ResetEvent", event, false); }

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCWSTR name) {
  if (auto e = checkFault("CreateMutexW")) {
    SetLastError(*e);
    return NULL;
  }
  bool existed = false;
  auto fresh = std::make_shared<Mutex>();
  HANDLE h = createNamed<Mutex>(name, fresh, &existed, MUTEX_ALL_ACCESS);
  if (!h) return NULL;
  if (initialOwner && !existed) {
    std::lock_guard<std::mutex> g(syncLock());
    fresh->acquire(GetCurrentThreadId());
    noteOwned(fresh, GetCurrentThreadId());
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenMutexW(DWORD access, BOOL /*inherit*/, LPCWSTR name) {
  if (auto e = checkFault("OpenMutexW")) {
    SetLastError(*e);
    return NULL;
  }
  return openNamed<Mutex>(name, access);
}

BOOL ReleaseMutex(HANDLE handle) {
  if (auto e = checkFault("ReleaseMutex")) {
    SetLastError(*e);
    return FALSE;
  }
  auto object = lookupHandle(handle);
  auto mutex = std::dynamic_pointer_cast<Mutex>(object);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(syncLock());
  if (mutex->owner != GetCurrentThreadId()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mutex->recursion == 0) {
    mutex->owner = 0;
    notifyWaiters();
  }
  return TRUE;
}

namespace sim {
namespace {

// Takes what a wait is satisfied with now, with syncLock held; nullopt when it must wait.
std::optional<DWORD> satisfy(std::vector<std::shared_ptr<Waitable>>& objects, bool waitAll, DWORD self) {
  if (waitAll) {
    if (!std::all_of(objects.begin(), objects.end(), [&](auto& o) { return o->ready(self); })) return std::nullopt;
    // Nothing is taken until every object can be: an auto-reset event stays signalled
    // while the other objects keep the wait waiting.
    bool abandoned = false;
    for (auto& o : objects) {
      abandoned |= o->acquire(self);
      noteOwned(o, self);
    }
    return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
  }
  for (DWORD i = 0; i < objects.size(); i++) {
    if (objects[i]->ready(self)) {
      bool abandoned = objects[i]->acquire(self);
      noteOwned(objects[i], self);
      return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
    }
  }
  return std::nullopt;
}

DWORD waitObjects(std::vector<std::shared_ptr<Waitable>> objects, bool waitAll, DWORD ms) {
  const DWORD self = GetCurrentThreadId();
  std::unique_lock<std::mutex> g(syncLock());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  for (;;) {
    if (auto result = satisfy(objects, waitAll, self)) return *result;
    if (ms == 0) return WAIT_TIMEOUT;
    g_blocked++;
    blockedCv().notify_all();  // lets waitForBlockedWaiters observe the new waiter
    bool timedOut = false;
    if (ms == INFINITE)
      syncCv().wait(g);
    else
      timedOut = syncCv().wait_until(g, deadline) == std::cv_status::timeout;
    g_wakeups++;
    g_blocked--;
    if (timedOut) {
      // One last look: a signal may have raced the timeout.
      if (auto result = satisfy(objects, waitAll, self)) return *result;
      return WAIT_TIMEOUT;
    }
  }
}

}  // namespace

void waitUntilSignalled(const std::shared_ptr<Object>& event) {
  auto waitable = std::dynamic_pointer_cast<Waitable>(event);
  if (waitable) waitObjects({waitable}, false, INFINITE);
}

}  // namespace sim

static DWORD waitImpl(const char* api, DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  if (auto e = checkFault(api)) {
    SetLastError(*e);
    return WAIT_FAILED;
  }
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Waitable>> objects;
  for (DWORD i = 0; i < count; i++) {
    auto object = std::dynamic_pointer_cast<Waitable>(lookupHandle(handles[i]));
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (!handleAllows(handles[i], SYNCHRONIZE)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return WAIT_FAILED;
    }
    // No object twice, through one handle or its duplicates, whatever the wait.
    if (std::find(objects.begin(), objects.end(), object) != objects.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    objects.push_back(object);
  }
  return waitObjects(std::move(objects), waitAll != FALSE, ms);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
  return waitImpl("WaitForSingleObject", 1, &handle, FALSE, ms);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  return waitImpl("WaitForMultipleObjects", count, handles, waitAll, ms);
}
