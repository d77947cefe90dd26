// The IFC: on while the machine is idle and the GPU quiet. The idle-time watcher signals
// it with three service controls; on 130 a mutex-watch thread waits for the watcher
// process to end (its mutex freed or abandoned) or the service to stop, then switches
// IFC off.
#pragma once

#include "modes/ModeBase.h"
#include "platform/handles.h"

#include <condition_variable>
#include <mutex>
#include <thread>

// Service controls the idle-time watcher sends.
constexpr DWORD IFC_CTL_IDLE_START = 130;
constexpr DWORD IFC_CTL_ENTER = 149;
constexpr DWORD IFC_CTL_EXIT = 150;

constexpr const wchar_t* IFC_STOP_EVENT_NAME = L"qthidlestopevent";
constexpr const wchar_t* IFC_IDLE_MUTEX_NAME = L"Global\\QTHUniversal_Idle_Mutex";

class CIFC : public ModeBase {
 public:
  CIFC() = default;
  // Closes the mode's own stop-event handle without signalling it: mutex-watch threads
  // wait on copies of their own, and each owns a reference to the mode.
  ~CIFC() override = default;

  bool install() override;
  bool unInstall() override;
  bool init() override;
  bool unInit() override;
  bool setStatus(int status) override;
  bool hook() override { return true; }
  bool OnServiceControl(DWORD control, DWORD eventType, void* eventData) override;

 private:
  bool switchIfc(int status);
  bool startIdleMonitor();
  // The mutex-watch thread. `watch` is an owned IdleWatch: the mode and a duplicate of
  // its stop event (null when the mode had none).
  static void ifcIdleMonitor(void* watch);
  struct IdleWatch;
  static void watchIdle(const IdleWatch& watch);

  UniqueHandle m_stopEvent;
  std::thread m_watchThread;
  // Mutex-watch threads started and not yet ended: a stop waits for them, so that IFC is
  // off before the service reports stopped.
  std::mutex m_watchLock;
  std::condition_variable m_watchesEnded;
  int m_watches = 0;
};
