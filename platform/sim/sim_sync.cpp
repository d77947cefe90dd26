#include "platform/sim/sim_sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>

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

struct Event : Waitable {
  bool manual;
  bool signaled;
  std::wstring name;
  Event(bool m, bool s) : manual(m), signaled(s) {}
  const char* kind() const override { return "Event"; }
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

void Event::onLastHandleClosed() {
  std::wstring n = name;
  // The object may still be referenced by a waiter; the name goes with the last handle.
  std::lock_guard<std::mutex> g(syncLock());
  if (!n.empty()) names().objects.erase(n);
}

void Mutex::onLastHandleClosed() {
  std::wstring n = name;
  std::lock_guard<std::mutex> g(syncLock());
  if (!n.empty()) names().objects.erase(n);
}

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

template <class T>
HANDLE createNamed(LPCWSTR name, std::shared_ptr<T> fresh, bool* existed) {
  *existed = false;
  if (!name || !*name) return insertHandle(fresh);
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
  return insertHandle(object);
}

template <class T>
HANDLE openNamed(LPCWSTR name) {
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
  return insertHandle(object);
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

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (auto e = checkFault("CreateEventW")) {
    SetLastError(*e);
    return NULL;
  }
  bool existed = false;
  HANDLE h = createNamed<Event>(name, std::make_shared<Event>(manualReset != FALSE, initialState != FALSE),
                                &existed);
  if (h) SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) {
  if (auto e = checkFault("OpenEventW")) {
    SetLastError(*e);
    return NULL;
  }
  return openNamed<Event>(name);
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
  std::lock_guard<std::mutex> g(syncLock());
  event->signaled = state;
  if (state) notifyWaiters();
  return TRUE;
}

BOOL SetEvent(HANDLE event) { return setEventState("SetEvent", event, true); }
BOOL ResetEvent(HANDLE event) { return setEventState("ResetEvent", event, false); }

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  if (auto e = checkFault("CreateMutexW")) {
    SetLastError(*e);
    return NULL;
  }
  bool existed = false;
  auto fresh = std::make_shared<Mutex>();
  HANDLE h = createNamed<Mutex>(name, fresh, &existed);
  if (!h) return NULL;
  if (initialOwner && !existed) {
    std::lock_guard<std::mutex> g(syncLock());
    fresh->acquire(GetCurrentThreadId());
    noteOwned(fresh, GetCurrentThreadId());
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
  if (auto e = checkFault("OpenMutexW")) {
    SetLastError(*e);
    return NULL;
  }
  return openNamed<Mutex>(name);
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
    objects.push_back(object);
  }
  const DWORD self = GetCurrentThreadId();
  std::unique_lock<std::mutex> g(syncLock());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  for (;;) {
    if (waitAll) {
      bool all = std::all_of(objects.begin(), objects.end(), [&](auto& o) { return o->ready(self); });
      if (all) {
        bool abandoned = false;
        for (auto& o : objects) {
          abandoned |= o->acquire(self);
          noteOwned(o, self);
        }
        return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; i++) {
        if (objects[i]->ready(self)) {
          bool abandoned = objects[i]->acquire(self);
          noteOwned(objects[i], self);
          return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        }
      }
    }
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
      for (DWORD i = 0; !waitAll && i < count; i++) {
        if (objects[i]->ready(self)) {
          bool abandoned = objects[i]->acquire(self);
          noteOwned(objects[i], self);
          return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        }
      }
      return WAIT_TIMEOUT;
    }
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
  return waitImpl("WaitForSingleObject", 1, &handle, FALSE, ms);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  return waitImpl("WaitForMultipleObjects", count, handles, waitAll, ms);
}
