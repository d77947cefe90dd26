// The frame that runs the executable as an own-process Windows service: it reports each
// change of state to the Service Control Manager and hands every control first to the
// mode manager, then to its own state changes.
#pragma once

#include "platform/platform.h"

#include <mutex>

class CServiceBase {
 public:
  // The name is neither copied nor owned: it must outlive the frame. Null means "".
  CServiceBase(LPCWSTR name, BOOL canStop = TRUE, BOOL canShutdown = TRUE, BOOL canPauseContinue = FALSE);
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // Runs the service control dispatcher on the calling thread until the service has
  // stopped; nonzero when the dispatcher ran.
  static BOOL Run(CServiceBase& service);

 protected:
  virtual void OnStart(DWORD argc, LPWSTR* argv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual void OnPowerEvent(DWORD eventType, LPVOID eventData, LPVOID context);
  virtual void OnSessionChange(DWORD eventType, LPVOID eventData, LPVOID context);

  // Sends the status record with the new state. A hook may call it too.
  void SetServiceStatus(DWORD state, DWORD win32ExitCode = NO_ERROR, DWORD waitHint = 0);

  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

 private:
  void Start(DWORD argc, LPWSTR* argv);
  void Stop();
  void Pause();
  void Continue();
  void Shutdown();

  LPCWSTR m_name;
  SERVICE_STATUS m_status;
  SERVICE_STATUS_HANDLE m_statusHandle;

  // Held by each state change from its first report to its last, and by every report:
  // the service-main thread (start) and the dispatcher's thread (controls) never
  // interleave their reports. Recursive so that a hook may report. It outlives every
  // thread of the process: a failed start's stopped report lets the dispatcher return and
  // wmain destroy the frame while the service-main thread has yet to let the lock go.
  static std::recursive_mutex& reportLock();
  static CServiceBase* s_service;
  static DWORD s_checkPoint;
};
