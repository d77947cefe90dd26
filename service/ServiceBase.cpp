#include "service/ServiceBase.h"

#include "modes/Log.h"
#include "modes/ModeManager.h"

#include <cassert>
#include <new>

using Guard = std::lock_guard<std::recursive_mutex>;

std::recursive_mutex& CServiceBase::reportLock() {
  // Built in place and never destroyed: a static object would be destroyed when wmain
  // returns, while a failed start's service-main thread may still be letting it go.
  alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
  static std::recursive_mutex* lock = new (storage) std::recursive_mutex;
  return *lock;
}
CServiceBase* CServiceBase::s_service = NULL;
DWORD CServiceBase::s_checkPoint = 1;

CServiceBase::CServiceBase(LPCWSTR name, BOOL canStop, BOOL canShutdown, BOOL canPauseContinue)
    : m_name(name != NULL ? name : L""), m_status(), m_statusHandle(NULL) {
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_START_PENDING;
  m_status.dwControlsAccepted = SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
  if (canStop) m_status.dwControlsAccepted |= SERVICE_ACCEPT_STOP;
  if (canShutdown) m_status.dwControlsAccepted |= SERVICE_ACCEPT_SHUTDOWN;
  if (canPauseContinue) m_status.dwControlsAccepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
}

CServiceBase::~CServiceBase() {}

BOOL CServiceBase::Run(CServiceBase& service) {
  s_service = &service;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(service.m_name), ServiceMain}, {NULL, NULL}};
  return StartServiceCtrlDispatcherW(table);
}

void WINAPI CServiceBase::ServiceMain(DWORD argc, LPWSTR* argv) {
  assert(s_service != NULL);
  CServiceBase* service = s_service;
  DWORD error = NO_ERROR;
  {
    // Taken before the handler exists: a control delivered while the service starts
    // makes its reports after the start's last one.
    Guard guard(reportLock());
    service->m_statusHandle = RegisterServiceCtrlHandlerExW(service->m_name, ServiceCtrlHandler, NULL);
    if (service->m_statusHandle != NULL) {
      service->Start(argc, argv);
      return;
    }
    error = GetLastError();
  }
  // Without a status handle nothing can be reported and no control arrives, so the
  // dispatcher would wait for a stop that never comes. Ending the process is what the
  // Service Control Manager records as the service stopping.
  LogError(L"service RegisterServiceCtrlHandlerExW error %x", error);
  ExitProcess(error);
}

DWORD WINAPI CServiceBase::ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  // Nothing thrown may reach the dispatcher; the modes see every control first.
  try {
    ModeManager::getInstance()->onServiceControlHandler(control, eventType, eventData);
  } catch (...) {
  }
  try {
    switch (control) {
      case SERVICE_CONTROL_STOP:
        s_service->Stop();
        break;
      case SERVICE_CONTROL_PAUSE:
        s_service->Pause();
        break;
      case SERVICE_CONTROL_CONTINUE:
        s_service->Continue();
        break;
      case SERVICE_CONTROL_SHUTDOWN:
        s_service->Shutdown();
        break;
      case SERVICE_CONTROL_POWEREVENT:
        s_service->OnPowerEvent(eventType, eventData, context);
        break;
      case SERVICE_CONTROL_SESSIONCHANGE:
        s_service->OnSessionChange(eventType, eventData, context);
        break;
      default:
        break;
    }
  } catch (...) {
  }
  return NO_ERROR;
}

void CServiceBase::Start(DWORD argc, LPWSTR* argv) {
  Guard guard(reportLock());
  try {
    SetServiceStatus(SERVICE_START_PENDING);
    OnStart(argc, argv);
    SetServiceStatus(SERVICE_RUNNING);
  } catch (DWORD error) {
    SetServiceStatus(SERVICE_STOPPED, error);
  } catch (...) {
    SetServiceStatus(SERVICE_STOPPED);
  }
}

void CServiceBase::Stop() {
  Guard guard(reportLock());
  DWORD originalState = m_status.dwCurrentState;
  try {
    SetServiceStatus(SERVICE_STOP_PENDING);
    OnStop();
    SetServiceStatus(SERVICE_STOPPED);
  } catch (DWORD error) {
    LogError(L"service stop error %x", error);
    SetServiceStatus(originalState);
  } catch (...) {
    SetServiceStatus(originalState);
  }
}

void CServiceBase::Pause() {
  Guard guard(reportLock());
  try {
    SetServiceStatus(SERVICE_PAUSE_PENDING);
    OnPause();
    SetServiceStatus(SERVICE_PAUSED);
  } catch (DWORD error) {
    LogError(L"service pause error %x", error);
    SetServiceStatus(SERVICE_RUNNING);
  } catch (...) {
    SetServiceStatus(SERVICE_RUNNING);
  }
}

void CServiceBase::Continue() {
  Guard guard(reportLock());
  try {
    SetServiceStatus(SERVICE_CONTINUE_PENDING);
    OnContinue();
    SetServiceStatus(SERVICE_RUNNING);
  } catch (DWORD error) {
    LogError(L"service Continue error %x", error);
    SetServiceStatus(SERVICE_PAUSED);
  } catch (...) {
    SetServiceStatus(SERVICE_PAUSED);
  }
}

void CServiceBase::Shutdown() {
  Guard guard(reportLock());
  try {
    OnShutdown();
    SetServiceStatus(SERVICE_STOPPED);
  } catch (DWORD error) {
    LogError(L"service Shutdown error %x", error);
  } catch (...) {
  }
}

void CServiceBase::SetServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint) {
  Guard guard(reportLock());
  m_status.dwCurrentState = state;
  m_status.dwWin32ExitCode = win32ExitCode;
  m_status.dwWaitHint = waitHint;
  m_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : s_checkPoint++;
  ::SetServiceStatus(m_statusHandle, &m_status);
}

void CServiceBase::OnStart(DWORD, LPWSTR*) { ModeManager::getInstance()->initlize(m_statusHandle); }

void CServiceBase::OnStop() { ModeManager::getInstance()->unInit(); }

void CServiceBase::OnPause() {}

void CServiceBase::OnContinue() {}

void CServiceBase::OnShutdown() {}

void CServiceBase::OnPowerEvent(DWORD, LPVOID, LPVOID) {}

void CServiceBase::OnSessionChange(DWORD, LPVOID, LPVOID) {}
