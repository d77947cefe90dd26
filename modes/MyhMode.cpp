#include "modes/MyhMode.h"

#include "modes/Dytc.h"
#include "modes/Log.h"
#include "modes/Registry.h"
#include "platform/handles.h"

#include <memory>

bool CMYH::setStatus(int status) {
  // "Mode" 0 to 4 and the DYTC mode each one sets.
  static constexpr DWORD kDytcModes[] = {2, 2, 0, 1, 1};
  LogInfo(L"MYH set status %x", status);
  if (status < 0 || status > 4) {
    LogError(L"MYH set unkown status!");
    return false;
  }
  DWORD mode = kDytcModes[status];
  LogInfo(L"MYH DYTC set status %d", mode);
  if (!setDYTC(DYTC_CMD_SET, DYTC_FUNC_MYH, mode, 1)) {
    LogError(L"MYH DYTC set status error!");
    return false;
  }
  return true;
}

bool CMYH::init() {
  DWORD value = 0;
  LSTATUS status = GetRegKeyDwordValue(MYH_KEY, MYH_VALUE, &value);
  if (status != ERROR_SUCCESS) {
    // Registry calls report through their result, not the thread's last error.
    LogError(L"MYH init get MYH_KEY %s MYH_VALUE failed, error %x", MYH_KEY, status);
    return false;
  }
  if (!setStatus(static_cast<int>(value))) {
    LogError(L"MYH init set failed");
    return false;
  }
  m_initMode = value;

  HANDLE stop = CreateEventW(NULL, TRUE, FALSE, MYH_STOP_EVENT);
  if (stop == NULL) {
    LogError(L"MYH create stop event failed!");
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(m_stopLock);
    m_stopEvent = stop;
  }

  // The thread shares ownership of the mode, so the manager may release its reference
  // right after unInit while the thread still finishes a setStatus. A mode that no
  // shared_ptr owns cannot be shared: it gets no thread.
  bool started = false;
  if (std::shared_ptr<ModeBase> self = weak_from_this().lock()) {
    try {
      m_thread = std::thread([self, this] {
        // Nothing thrown may end the service's process from a detached thread.
        try {
          myhRegMonitor(this);
        } catch (...) {
        }
      });
      started = true;
    } catch (...) {
    }
  }
  if (!started) {
    LogError(L"MYH create stop event failed!");
    std::lock_guard<std::mutex> guard(m_stopLock);
    CloseHandle(m_stopEvent);
    m_stopEvent = NULL;
    return false;
  }
  m_thread.detach();
  return true;
}

bool CMYH::unInit() {
  {
    std::lock_guard<std::mutex> guard(m_stopLock);
    if (m_stopEvent != NULL) {
      SetEvent(m_stopEvent);
      CloseHandle(m_stopEvent);
      m_stopEvent = NULL;
    }
  }
  LogInfo(L"MYH unInit success!");
  return true;
}

void CMYH::myhRegMonitor(void* param) {
  auto* mode = static_cast<CMYH*>(param);

  // The thread waits on its own handle to the stop event: unInit closes the mode's
  // handle right after signalling, and the signal stays visible through this one.
  UniqueHandle stop;
  DWORD copyError = 0;
  {
    std::lock_guard<std::mutex> guard(mode->m_stopLock);
    if (mode->m_stopEvent == NULL) return;  // unInit came first
    HANDLE copy = NULL;
    if (DuplicateHandle(GetCurrentProcess(), mode->m_stopEvent, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS))
      stop.reset(copy);
    else
      copyError = GetLastError();
  }
  if (!stop) {
    LogError(L"MYH myhRegMonitor DuplicateHandle failed %x", copyError);
    return;
  }

  UniqueKey key;
  UniqueHandle changed;
  // Every way out closes what the thread holds before its last trace.
  auto closeAll = [&] {
    key.reset();
    changed.reset();
    stop.reset();
  };

  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, MYH_KEY, 0, KEY_QUERY_VALUE | KEY_NOTIFY, key.put());
  if (status != ERROR_SUCCESS) {
    closeAll();
    LogError(L"MYH myhRegMonitor RegOpenKeyEx failed %x", status);
    return;
  }
  changed.reset(CreateEventW(NULL, TRUE, FALSE, NULL));
  if (!changed) {
    DWORD error = GetLastError();
    closeAll();
    LogError(L"MYH myhRegMonitor CreateEvent failed %x", error);
    return;
  }
  LogInfo(L"MYH init  success!");

  // Reads "Mode" and sets it; at the first arm only when it is no longer what init set.
  auto follow = [&](bool onlyIfChanged) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS read = RegQueryValueExW(key.get(), MYH_VALUE, NULL, NULL, reinterpret_cast<LPBYTE>(&value), &size);
    if (read != ERROR_SUCCESS)
      LogError(L"MYH myhRegMonitor  RegQueryValueEx error %x", read);
    else if (!onlyIfChanged || value != mode->m_initMode)
      mode->setStatus(static_cast<int>(value));
  };

  status = RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE);
  if (status != ERROR_SUCCESS) {
    closeAll();
    LogError(L"MYH myhRegMonitor RegNotifyChangeKeyValue failed %x", status);
    return;
  }
  // A write between init's read and this first arm woke nobody.
  follow(true);

  for (;;) {
    HANDLE events[2] = {stop.get(), changed.get()};
    DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) {
      closeAll();
      LogInfo(L"MYH myhRegMonitor stop thread %x", GetCurrentThreadId());
      return;
    }
    // The thread owns both handles, so a failed wait would fail again: end, never spin.
    if (result != WAIT_OBJECT_0 + 1) {
      DWORD error = GetLastError();
      closeAll();
      LogError(L"MYH myhRegMonitor WaitForMultipleObjects failed %x", error);
      return;
    }
    // A change event left signalled would wake every wait at once.
    if (!ResetEvent(changed.get())) {
      DWORD error = GetLastError();
      closeAll();
      LogError(L"MYH myhRegMonitor ResetEvent failed %x", error);
      return;
    }
    // Re-armed before the read: a write that lands while this change is handled wakes
    // the thread again instead of being lost.
    LSTATUS armed = RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE);
    follow(false);

    if (armed != ERROR_SUCCESS) {
      closeAll();
      LogError(L"MYH myhRegMonitor RegNotifyChangeKeyValue failed %x", armed);
      return;
    }
  }
}
