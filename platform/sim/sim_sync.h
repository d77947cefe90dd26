// Kernel synchronisation objects of the simulated machine: events and mutexes,
// named or not, and the wait functions. Waits block for real; a mutex whose owning
// thread ends without releasing it is abandoned, as on Windows.
#pragma once

#include "platform/sim/sim_core.h"

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define EVENT_ALL_ACCESS 0x1F0003
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define MUTEX_ALL_ACCESS 0x1F0001
#define MUTEX_MODIFY_STATE 0x0001

namespace sim {

// An object that wait functions can wait on. State is guarded by the machine's sync lock.
struct Waitable : Object {
  // True when a wait by the calling thread would be satisfied now.
  virtual bool ready(DWORD threadId) const = 0;
  // Takes the object for the waiting thread; returns true when it was abandoned.
  virtual bool acquire(DWORD threadId) = 0;
};

// Lock and condition that guard every waitable object's state.
std::mutex& syncLock();
void notifyWaiters();  // call with syncLock held after a state change

// Signals an event object (used by other areas, e.g. registry change notification).
void signalEvent(const std::shared_ptr<Object>& event);
// An event no handle names, for calls that block until something completes, and the
// blocking wait on it (a synchronous registry notification).
std::shared_ptr<Object> privateEvent();
void waitUntilSignalled(const std::shared_ptr<Object>& event);

// Test helpers.
bool eventIsSignaled(HANDLE event);
// Number of threads currently blocked in a wait function.
int blockedWaiters();
// Blocks (really) until at least n threads are blocked in wait functions; false after the timeout.
bool waitForBlockedWaiters(int n, int timeoutMs = 5000);
// Times a thread blocked in a wait function woke up, for any reason (a timeout and a
// change that was not for it included), since the process started: what waiting costs.
long waitWakeups();
// Whether a named event or mutex currently exists.
bool namedObjectExists(const std::wstring& name);

}  // namespace sim
