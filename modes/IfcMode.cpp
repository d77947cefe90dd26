#include "modes/IfcMode.h"

#include "helpers/TaskSchedulerHelper.h"
#include "modes/Dytc.h"
#include "modes/Log.h"

#include <chrono>
#include <memory>
#include <new>
#include <system_error>

namespace {

constexpr DWORD IFC_MODE = 15;
// After the stop event a mutex-watch thread sends one DYTC command; a driver that holds it
// longer than this must not hold up the service's stop.
constexpr auto kStopWaitLimit = std::chrono::seconds(1);

}  // namespace

// What a mutex-watch thread owns: a share of its mode, which keeps the mode alive after
// the manager lets it go, and its own handle to the stop event, which stays valid after
// unInit closes the mode's handle.
struct CIFC::IdleWatch {
  std::shared_ptr<CIFC> mode;
  UniqueHandle stopEvent;
};

// The task helper takes its arguments as strings: building them may run out of memory,
// which is this operation failing, not an exception for the caller.
bool CIFC::install() {
  int created = 0;
  try {
    TaskSchedulerHelper tasks;
    created = tasks.CreateTask(IDLE_TASK_NAME, IDLE_TASK_ARGUMENTS, 1);
  } catch (...) {
  }
  if (created != 1) {
    LogError(L"IFC install error");
    return false;
  }
  LogInfo(L"IFC install success");
  return true;
}

bool CIFC::unInstall() {
  int deleted = 0;
  try {
    TaskSchedulerHelper tasks;
    deleted = tasks.DeleteTask(IDLE_TASK_NAME);
  } catch (...) {
  }
  if (deleted != 1) {
    LogError(L"IFC unInstall error");
    return false;
  }
  LogInfo(L"IFC unInstall success");
  return true;
}

bool CIFC::init() {
  m_stopEvent.reset(CreateEventW(NULL, TRUE, FALSE, IFC_STOP_EVENT_NAME));
  if (!m_stopEvent) {
    LogError(L"IFC create stop event failed!");
    return false;
  }
  return true;
}

bool CIFC::unInit() {
  // Every waiting mutex-watch thread wakes on its own copy and switches IFC off.
  if (m_stopEvent) {
    SetEvent(m_stopEvent.get());
    m_stopEvent.reset();
    // Once the service reports stopped its process may end at any moment: IFC must be
    // off by then.
    std::unique_lock<std::mutex> lock(m_watchLock);
    m_watchesEnded.wait_for(lock, kStopWaitLimit, [this] { return m_watches == 0; });
  }
  LogInfo(L"IFC unInit success!");
  return true;
}

bool CIFC::setStatus(int status) {
  LogInfo(L"IFC set status %x", status);
  if (!setDYTC(DYTC_CMD_SET, DYTC_FUNC_IFC, IFC_MODE, static_cast<DWORD>(status))) {
    LogError(L"IFC dytc error %x", GetLastError());
    return false;
  }
  return true;
}

bool CIFC::switchIfc(int status) {
  if (!setStatus(status)) {
    LogError(L"IFC set error %x", GetLastError());
    return false;
  }
  return true;
}

bool CIFC::OnServiceControl(DWORD control, DWORD, void*) {
  switch (control) {
    case IFC_CTL_IDLE_START:
      if (!switchIfc(1)) return false;
      if (!startIdleMonitor()) {
        LogError(L"IFC create stop event failed!");
        return false;  // IFC stays on
      }
      return true;
    case IFC_CTL_ENTER:
      return switchIfc(1);
    case IFC_CTL_EXIT:
      return switchIfc(0);
    default:
      return true;
  }
}

bool CIFC::startIdleMonitor() {
  // Out of memory here is a thread that cannot start, not an exception for the manager.
  std::unique_ptr<IdleWatch> watch(new (std::nothrow) IdleWatch);
  if (!watch) return false;
  // A mode that no shared pointer owns (the uninstaller's own) cannot keep itself
  // alive for a thread: no thread for it.
  watch->mode = std::static_pointer_cast<CIFC>(weak_from_this().lock());
  if (!watch->mode) return false;
  // unInit runs on this same control thread, so the handle cannot close under us here.
  if (m_stopEvent) {
    HANDLE copy = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), m_stopEvent.get(), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
      return false;
    watch->stopEvent.reset(copy);
  }
  {
    std::lock_guard<std::mutex> lock(m_watchLock);
    ++m_watches;
  }
  try {
    m_watchThread = std::thread(&CIFC::ifcIdleMonitor, watch.get());
  } catch (...) {
    std::lock_guard<std::mutex> lock(m_watchLock);
    --m_watches;
    return false;
  }
  watch.release();  // now the thread's
  m_watchThread.detach();
  return true;
}

void CIFC::ifcIdleMonitor(void* param) {
  std::unique_ptr<IdleWatch> watch(static_cast<IdleWatch*>(param));
  // Nothing thrown may end the service's process from a detached thread.
  try {
    watchIdle(*watch);
  } catch (...) {
  }
  // The watch's share keeps the mode alive until the count is down.
  CIFC& mode = *watch->mode;
  watch->stopEvent.reset();
  try {
    std::lock_guard<std::mutex> lock(mode.m_watchLock);
    --mode.m_watches;
    mode.m_watchesEnded.notify_all();
  } catch (...) {
    // A lock that cannot be taken: the stop's wait ends at its limit instead.
  }
}

void CIFC::watchIdle(const IdleWatch& watch) {
  if (!watch.stopEvent) {
    LogError(L"IFC Event Not FOUND");
    return;
  }
  UniqueHandle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, IFC_IDLE_MUTEX_NAME));
  if (!mutex) {
    LogError(L"OpenMutex Global\\QTHUniversal_Idle_Mutex error ERROR_FILE_NOT_FOUND");
    return;
  }
  HANDLE objects[] = {watch.stopEvent.get(), mutex.get()};
  DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
  if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1 || result == WAIT_ABANDONED_0 + 1)
    LogInfo(L"IFC wait objects ok");
  else
    LogError(L"IFC wait objects wait ret %x error %x", result, GetLastError());
  if (!watch.mode->setStatus(0)) LogError(L"IFC thread set mode off");
  // The mutex handle closes here without a release: a mutex this thread acquired is
  // abandoned when it ends, which wakes the next watcher thread in turn.
}
