// The simulated machine's core: per-thread last error, the handle table,
// failure injection and call recording, the virtual clock, and reset.
#pragma once

#include "platform/sim/sim_types.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// ---- Win32 calls implemented by the core ----
DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE handle);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                     DWORD access, BOOL inherit, DWORD options);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64();
DWORD GetTickCount();
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER* counter);

#define DUPLICATE_CLOSE_SOURCE 0x1
#define DUPLICATE_SAME_ACCESS 0x2

namespace sim {

// ---- Kernel objects and handles ----
// Every handle the machine gives out maps to one object. Handle values are never
// reused within a run, so a use after close is caught as ERROR_INVALID_HANDLE.
struct Object {
  virtual ~Object() = default;
  virtual const char* kind() const = 0;
  // Called when the last handle to the object is closed (not when references drop).
  virtual void onLastHandleClosed() {}
  // False for handles that only their own close call takes (SC_HANDLEs): CloseHandle and
  // DuplicateHandle refuse them.
  virtual bool closableByCloseHandle() const { return true; }
  // The object type's own rights for GENERIC_READ, _WRITE, _EXECUTE and _ALL.
  virtual DWORD mapGenericAccess(DWORD access) const { return access; }
  int handleCount = 0;  // guarded by the handle table's lock
};

// Every handle carries the rights it was opened with. A handle made without asking for rights (CreateEventW, CreateFileW's own
// checks aside) carries all of them.
constexpr DWORD kAllAccess = 0xFFFFFFFFu;
HANDLE insertHandle(std::shared_ptr<Object> object, DWORD access = kAllAccess);
std::shared_ptr<Object> lookupHandle(HANDLE handle);
// The rights a handle carries; nullopt when it is not open.
std::optional<DWORD> handleAccess(HANDLE handle);
// Whether a handle is open and carries every right in `needed`.
bool handleAllows(HANDLE handle, DWORD needed);
template <class T>
std::shared_ptr<T> lookup(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(lookupHandle(handle));
}
// Removes the handle; false when it is not open.
bool removeHandle(HANDLE handle);
size_t openHandleCount();
size_t openHandleCount(const std::string& kind);
// Kinds of the handles still open, for leak messages.
std::vector<std::string> openHandleKinds();

// ---- The machine's own records ----
// The call log and counts, the fault table, the clock, the handle table and the heap's
// records order nothing between the threads that make calls: on Windows unrelated calls
// are no synchronization. While an Unseen lives, ThreadSanitizer sees neither the
// thread's accesses nor its locks. So a scope of it touches those records and the
// machine's own locals only: it reads no argument's memory, writes no out-parameter or
// return value, and runs no callback, nor a copy or destruction of one. What the caller
// gives is copied before the scope; what it receives is handed over after.
class Unseen {
 public:
  Unseen();
  ~Unseen();
  Unseen(const Unseen&) = delete;
  Unseen& operator=(const Unseen&) = delete;
};
// A lock of those records, held unseen.
class UnseenLock {
 public:
  explicit UnseenLock(std::mutex& lock) : m_guard(lock) {}

 private:
  Unseen m_unseen;  // first in, last out
  std::lock_guard<std::mutex> m_guard;
};
// What `read` gives of the records under `lock`: copied while the lock is held unseen, and
// handed to the caller only once the scope has ended.
template <class Read>
auto readUnseen(std::mutex& lock, Read read) {
  std::optional<decltype(read())> copy;
  {
    UnseenLock g(lock);
    copy.emplace(read());
  }
  return std::move(*copy);
}

// ---- Failure injection and call recording ----
// Every simulated call first passes through checkFault(name): the call is counted and
// logged, and when a fault is armed for it the call fails with the given code.
void failCall(const std::string& api, DWORD error, int nth = 1, int times = 1);
void failAlways(const std::string& api, DWORD error);
void clearFaults();
std::optional<DWORD> checkFault(const char* api);
int callCount(const std::string& api);
std::vector<std::string> callLog();
void clearCallLog();
// Fail the nth (1-based, counted from now) recorded call of any kind: used by fault sweeps.
void failNthCall(long nth, DWORD error);
// Runs `hook` on the calling thread whenever `api` is called, before the call does its
// work and outside the machine's locks, so a test can hold a call in flight.
void onCall(const std::string& api, std::function<void()> hook);

// ---- Fault sweeps ----
// Calls that the constructing thread makes while an Unobserved lives are neither
// recorded nor failed: a test's own use of the machine (a peer process, its set-up)
// stays out of the call log and out of a sweep's reach.
class Unobserved {
 public:
  Unobserved();
  ~Unobserved();
  Unobserved(const Unobserved&) = delete;
  Unobserved& operator=(const Unobserved&) = delete;

 private:
  bool m_outer;
};
// The system's again, on a thread an Unobserved covers: a test's call into the system.
class Observed {
 public:
  Observed();
  ~Observed();
  Observed(const Observed&) = delete;
  Observed& operator=(const Observed&) = delete;

 private:
  bool m_outer;
};
bool unobservedThread();
// The armed faults that fired since reset, in order: the call (or the allocation) and
// the error it gave.
struct FiredFault {
  std::string api;
  DWORD error;
};
std::vector<FiredFault> firedFaults();
void recordFiredFault(const char* api, DWORD error);
// Calls recorded since reset or clearCallLog: cheap, for watching activity die down.
size_t recordedCalls();
// How a sweep fails a call of this name (COM methods as "<interface>::<method>"): the
// error a real call plausibly gives. `error` is empty for a call that cannot fail where
// it is made (`why` says so); `known` is false for a name the table does not list yet.
struct PlausibleFailure {
  bool known;
  std::optional<DWORD> error;
  const char* why;
};
PlausibleFailure plausibleFailure(const std::string& api);

// ---- Virtual clock (milliseconds) ----
// Sleep advances the clock and returns; GetTickCount64 and the performance counter read it.
ULONGLONG now();
void advance(ULONGLONG ms);
void setNow(ULONGLONG ms);
// Called by Sleep after the clock moved, so scripted peers can react to time.
void onSleep(std::function<void(DWORD ms)> hook);
// Counter frequency and an optional script for QueryPerformanceCounter.
void setPerformanceFrequency(LONGLONG frequency);
void scriptPerformanceCounter(std::vector<LONGLONG> values);

// ---- The simulated process ----
void setProcessId(DWORD pid);

// ---- Reset ----
// Each area of the machine registers a reset function; reset() restores a fresh machine.
struct ResetHook {
  explicit ResetHook(void (*fn)());
};
void reset();

}  // namespace sim
