// The system's client of the Service Control Manager for its own service: installs,
// starts and removes it (with the mode component, the PnP task and the self-deletion of
// the executable), and sends it user-defined control codes. Every call opens the handles
// it needs and closes them before it returns. Reached through `objContrService`.
#pragma once

#include "platform/platform.h"

// The service that receives the control codes, and the texts of installation and removal.
constexpr const wchar_t* QTHERM_SERVICE_NAME = L"QTHRMON";
constexpr const wchar_t* QTHERM_SERVICE_DESCRIPTION = L"Oltaro NoteBook QTH service";
constexpr const wchar_t* QTHERM_INSTALLED_EXE = L"C:\\windows\\system32\\QTHERMSvc.exe";
constexpr const wchar_t* QTHERM_DELETE_COPY = L"C:\\windows\\system32\\QTHERMSvcWillDel.exe";
constexpr const wchar_t* QTHERM_DELETE_COMMAND_LINE = L"C:\\windows\\system32\\QTHERMSvcWillDel.exe -delfile";

class ServiceControl {
 public:
  ServiceControl() = default;
  ~ServiceControl() = default;
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;

  // Registers, describes and starts the service, with the mode component and the PnP
  // task; when the service is registered already, only makes it run. `dependencies` is a
  // list of NUL-terminated names closed by an empty one; `password` may be null.
  void install(LPCWSTR serviceName, LPCWSTR displayName, DWORD startType, LPCWSTR dependencies, LPCWSTR account,
               LPCWSTR password);
  // Resets DYTC; when the service is installed, stops it and its dependents, deletes it
  // and both tasks, and starts a copy of the executable that deletes the installed one.
  void uninstall(LPCWSTR serviceName);
  // The mode component and the PnP task, then a start request; false at the first failure.
  bool InstallCompnent(LPCWSTR serviceName);
  // Sends `code` to "QTHRMON": 1 when the SCM delivered it, else 0.
  int SendServiceControlCode(DWORD code);

  // The installed check: the service can be opened to read its configuration.
  bool IsServiceInstalled(LPCWSTR serviceName);
  // Starts a stopped service and continues a paused one; false only when its status
  // cannot be read.
  bool EnsureServiceRunning(LPCWSTR serviceName);
  // True when the SCM accepted the continue control; does not wait.
  bool ContinueService(LPCWSTR serviceName);
  // Starts the service and waits while its start is pending and making progress; true
  // when it runs.
  bool StartServiceAndWait(LPCWSTR serviceName);
  // Stops the service and its active dependents and waits up to 30 s from entry; false
  // only when the service cannot be reached.
  bool StopServiceAndWait(LPCWSTR serviceName);
  // Stops every active dependent of `service`, waiting up to 30 s in all for them.
  bool StopDependentServices(SC_HANDLE scm, SC_HANDLE service);
  // Starts the deletion copy with "-delfile" and lets it go.
  bool LaunchDeleteProcess();
  bool SetDelayedAutoStart(SC_HANDLE service, bool delayed);
};

extern ServiceControl objContrService;
