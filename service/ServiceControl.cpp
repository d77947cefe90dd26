#include "service/ServiceControl.h"

#include "helpers/TaskSchedulerHelper.h"
#include "modes/IfcMode.h"
#include "modes/Log.h"
#include "modes/ModeManager.h"
#include "modes/ResultOr.h"
#include "platform/handles.h"
#include "service/ConsoleOutput.h"

#include <cwchar>

ServiceControl objContrService;

namespace {

constexpr DWORD kStopBudgetMs = 30000;
constexpr DWORD kMinStartPollMs = 1000;
constexpr DWORD kMaxStartPollMs = 10000;

// Reads the service's status into `status`, which keeps its last value when the read fails.
bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  SERVICE_STATUS_PROCESS fresh{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&fresh), sizeof(fresh),
                            &needed))
    return false;
  status = fresh;
  return true;
}

// Sends a control; on success `status` takes the service's status that came back with it.
bool sendControl(SC_HANDLE service, DWORD control, SERVICE_STATUS_PROCESS& status) {
  SERVICE_STATUS reply{};
  if (!ControlService(service, control, &reply)) return false;
  status.dwServiceType = reply.dwServiceType;
  status.dwCurrentState = reply.dwCurrentState;
  status.dwControlsAccepted = reply.dwControlsAccepted;
  status.dwWin32ExitCode = reply.dwWin32ExitCode;
  status.dwServiceSpecificExitCode = reply.dwServiceSpecificExitCode;
  status.dwCheckPoint = reply.dwCheckPoint;
  status.dwWaitHint = reply.dwWaitHint;
  return true;
}

ULONGLONG elapsedSince(ULONGLONG start) { return GetTickCount64() - start; }

// The SCM with every right, and the service with `access`; false when either fails.
bool openService(LPCWSTR serviceName, DWORD access, UniqueServiceHandle& scm, UniqueServiceHandle& service) {
  scm.reset(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  if (!scm) return false;
  service.reset(OpenServiceW(scm.get(), serviceName, access));
  return service.valid();
}

}  // namespace

void ServiceControl::install(LPCWSTR serviceName, LPCWSTR displayName, DWORD startType, LPCWSTR dependencies,
                             LPCWSTR account, LPCWSTR password) {
  TaskSchedulerHelper tasks;

  wchar_t modulePath[MAX_PATH] = {};
  // A path that fills the buffer comes back cut short: registering it would name a file
  // that does not exist, so it counts as a failure too.
  DWORD length = GetModuleFileNameW(NULL, modulePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    LogError(L"ServiceControl install GetModuleFileName error");
    return;
  }

  if (IsServiceInstalled(serviceName)) {
    EnsureServiceRunning(serviceName);
    return;
  }

  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!scm) {
    LogError(L"ServiceControl install OpenSCManager error %x", GetLastError());
    return;
  }

  // The operations allocate nothing of their own; what a callee throws (a mode or a task
  // argument that finds no memory) is that callee's failure.
  wchar_t imagePath[MAX_PATH + 2] = {L'"'};
  std::wmemcpy(imagePath + 1, modulePath, length);
  imagePath[length + 1] = L'"';
  UniqueServiceHandle service(CreateServiceW(scm.get(), serviceName, displayName, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, imagePath,
                                             NULL, NULL, dependencies, account, password));
  if (!service) return;

  // The text is only read.
  SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(QTHERM_SERVICE_DESCRIPTION)};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);

  if (!ResultOr(false, [] { return ModeManager::getInstance()->install(); }))
    LogError(L"ServiceControl install error");
  else
    LogInfo(L"ServiceControl ModeManager install success");

  if (ResultOr(0, [&] { return tasks.CreateTask(PNP_TASK_NAME, PNP_TASK_ARGUMENTS, 0); }) != 1)
    LogError(L"ServiceControl install create pnp task error");
  else
    LogInfo(L"ServiceControl install create pnp task success");

  StartServiceAndWait(serviceName);
  ConsolePrint(L"%s is installed.\n", serviceName);

  scm.reset();
  service.reset();
}

bool ServiceControl::InstallCompnent(LPCWSTR serviceName) {
  TaskSchedulerHelper tasks;
  if (!ResultOr(false, [] { return ModeManager::getInstance()->install(); })) {
    LogError(L"ServiceControl install error");
    return false;
  }
  LogInfo(L"ServiceControl ModeManager install success");
  if (ResultOr(0, [&] { return tasks.CreateTask(PNP_TASK_NAME, PNP_TASK_ARGUMENTS, 0); }) != 1) {
    LogError(L"ServiceControl install create pnp task error");
    return false;
  }
  LogInfo(L"ServiceControl install create pnp task success");
  StartServiceAndWait(serviceName);
  return true;
}

bool ServiceControl::IsServiceInstalled(LPCWSTR serviceName) {
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  if (!scm) return false;
  UniqueServiceHandle service(OpenServiceW(scm.get(), serviceName, SERVICE_QUERY_CONFIG));
  return service.valid();
}

bool ServiceControl::EnsureServiceRunning(LPCWSTR serviceName) {
  DWORD state;
  {
    UniqueServiceHandle scm, service;
    if (!openService(serviceName, SERVICE_ALL_ACCESS, scm, service)) return false;
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(service.get(), status)) return false;
    state = status.dwCurrentState;
  }
  if (state == SERVICE_STOPPED)
    StartServiceAndWait(serviceName);
  else if (state == SERVICE_PAUSED)
    ContinueService(serviceName);
  return true;
}

bool ServiceControl::ContinueService(LPCWSTR serviceName) {
  if (!IsServiceInstalled(serviceName)) return false;
  UniqueServiceHandle scm, service;
  if (!openService(serviceName, DELETE | SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, scm, service)) return false;
  SERVICE_STATUS_PROCESS status{};
  return sendControl(service.get(), SERVICE_CONTROL_CONTINUE, status);
}

bool ServiceControl::StartServiceAndWait(LPCWSTR serviceName) {
  if (!IsServiceInstalled(serviceName)) return false;
  UniqueServiceHandle scm, service;
  if (!openService(serviceName, SERVICE_ALL_ACCESS, scm, service)) return false;
  if (!StartServiceW(service.get(), 0, NULL)) return false;

  SERVICE_STATUS_PROCESS status{};
  if (!queryStatus(service.get(), status)) return false;
  ULONGLONG start = GetTickCount64();
  DWORD checkPoint = status.dwCheckPoint;

  // Poll at a tenth of the hint, within bounds, for as long as the check point advances
  // within the hint.
  while (status.dwCurrentState == SERVICE_START_PENDING) {
    DWORD wait = status.dwWaitHint / 10;
    if (wait < kMinStartPollMs)
      wait = kMinStartPollMs;
    else if (wait > kMaxStartPollMs)
      wait = kMaxStartPollMs;
    Sleep(wait);
    if (!queryStatus(service.get(), status)) break;
    if (status.dwCheckPoint > checkPoint) {
      start = GetTickCount64();
      checkPoint = status.dwCheckPoint;
    } else if (elapsedSince(start) > status.dwWaitHint) {
      break;
    }
  }
  return status.dwCurrentState == SERVICE_RUNNING;
}

bool ServiceControl::StopServiceAndWait(LPCWSTR serviceName) {
  ULONGLONG start = GetTickCount64();
  if (!IsServiceInstalled(serviceName)) return false;
  UniqueServiceHandle scm, service;
  if (!openService(serviceName, SERVICE_STOP | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_QUERY_STATUS, scm, service))
    return false;

  SERVICE_STATUS_PROCESS status{};
  if (!queryStatus(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED) return true;

  // A stop already under way is waited for, and gets no stop control of its own.
  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    Sleep(status.dwWaitHint);
    if (!queryStatus(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED ||
        elapsedSince(start) > kStopBudgetMs)
      return true;
  }

  StopDependentServices(scm.get(), service.get());

  if (!sendControl(service.get(), SERVICE_CONTROL_STOP, status) || status.dwCurrentState == SERVICE_STOPPED)
    return true;
  for (;;) {
    Sleep(status.dwWaitHint);
    if (!queryStatus(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED ||
        elapsedSince(start) > kStopBudgetMs)
      return true;
  }
}

bool ServiceControl::StopDependentServices(SC_HANDLE scm, SC_HANDLE service) {
  ULONGLONG start = GetTickCount64();
  bool result = true;

  DWORD needed = 0, count = 0;
  // Success with no buffer: no dependent is active.
  if (EnumDependentServicesW(service, SERVICE_ACTIVE, NULL, 0, &needed, &count)) return true;
  if (GetLastError() != ERROR_MORE_DATA) return false;

  UniqueHeapBlock list(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!list) return false;
  auto* entries = static_cast<LPENUM_SERVICE_STATUSW>(list.get());
  if (!EnumDependentServicesW(service, SERVICE_ACTIVE, entries, needed, &needed, &count)) return false;

  for (DWORD i = 0; i < count; i++) {
    UniqueServiceHandle dependent(OpenServiceW(scm, entries[i].lpServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!dependent) return false;

    SERVICE_STATUS_PROCESS status{};
    if (!sendControl(dependent.get(), SERVICE_CONTROL_STOP, status)) {
      result = false;
      continue;
    }
    while (status.dwCurrentState != SERVICE_STOPPED) {
      Sleep(status.dwWaitHint);
      if (!queryStatus(dependent.get(), status)) {
        result = false;
        break;
      }
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      if (elapsedSince(start) > kStopBudgetMs) {
        result = false;
        break;
      }
    }
  }
  return result;
}

void ServiceControl::uninstall(LPCWSTR serviceName) {
  TaskSchedulerHelper tasks;
  CIFC ifc;

  ModeManager::getInstance()->unInstall();
  LogInfo(L"ServiceControl ModeManager unInstall success");

  if (!IsServiceInstalled(serviceName)) return;
  if (!StopServiceAndWait(serviceName)) return;

  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  if (!scm) return;
  UniqueServiceHandle service(OpenServiceW(scm.get(), serviceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return;

  if (!DeleteService(service.get())) {
    DWORD error = GetLastError();
    ConsolePrint(L"DeleteService failed w/err 0x%08lx\n", error);
    return;
  }

  if (ResultOr(0, [&] { return tasks.DeleteTask(PNP_TASK_NAME); }) != 1)
    LogError(L"ServiceControl uninstall pnp task error");
  else
    LogInfo(L"ServiceControl uninstall pnp task success");

  if (!ResultOr(false, [&] { return ifc.unInstall(); }))
    LogError(L"ifc uninstall idle task error");
  else
    LogInfo(L"ifc uninstall idle task success");

  ConsolePrint(L"%s is removed.\n", serviceName);

  // An older copy is replaced; a failed copy still leaves the deletion to be tried.
  CopyFileW(QTHERM_INSTALLED_EXE, QTHERM_DELETE_COPY, FALSE);
  if (LaunchDeleteProcess()) LogInfo(L"create delete file process success");

  scm.reset();
  service.reset();
}

bool ServiceControl::LaunchDeleteProcess() {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // CreateProcessW may write into the command line: it lives in writable storage.
  wchar_t commandLine[MAX_PATH] = {};
  std::wcsncpy(commandLine, QTHERM_DELETE_COMMAND_LINE, MAX_PATH - 1);
  if (!CreateProcessW(QTHERM_DELETE_COPY, commandLine, NULL, NULL, FALSE, CREATE_NEW_PROCESS_GROUP, NULL, NULL,
                      &startup, &process)) {
    LogError(L"create process failed! %x", GetLastError());
    return false;
  }
  // Released thread first, then process; the new process is not waited for.
  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  return true;
}

int ServiceControl::SendServiceControlCode(DWORD code) {
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  if (!scm) {
    LogError(L"ServiceControl SendServiceControlCode OpenSCManager error");
    return 0;
  }
  int result = 0;
  UniqueServiceHandle service(OpenServiceW(scm.get(), QTHERM_SERVICE_NAME, SERVICE_USER_DEFINED_CONTROL));
  if (!service) {
    LogError(L"ServiceControl SendServiceControlCode OpenService error");
  } else {
    SERVICE_STATUS status{};
    BOOL sent = ControlService(service.get(), code, &status);
    if (sent) {
      LogInfo(L"ServiceControl SendServiceControlCode ControlService %x", sent);
      result = 1;
    }
  }
  scm.reset();
  service.reset();
  return result;
}

bool ServiceControl::SetDelayedAutoStart(SC_HANDLE service, bool delayed) {
  if (!service) return false;
  SERVICE_DELAYED_AUTO_START_INFO info{delayed ? TRUE : FALSE};
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info) != FALSE;
}
