// The program's entry: one executable plays the service, its installer and uninstaller,
// the deletion of the installed executable, and the idle-time GPU-load watcher.
#include "service/Main.h"

#include "modes/Log.h"
#include "modes/ModeManager.h"
#include "modes/Registry.h"
#include "platform/platform.h"
#include "service/CommandLine.h"
#include "service/IdleWatcher.h"
#include "service/RemovalCheck.h"
#include "service/ServiceBase.h"
#include "service/ServiceControl.h"

#include <mutex>
#include <string>

int g_deleteRetryCount = 0;

// Process-wide objects that live from before wmain to the process's exit; nothing uses them.
std::mutex g_processMutex;
std::wstring g_processText;

namespace {

constexpr int kDeleteRetries = 20;
constexpr DWORD kDeleteRetryIntervalMs = 1000;

void RunService() {
  LogOpen(L"qthdebug.log", 0);
  DWORD version = 0;
  if (GetRegKeyDwordValue(IC_REG_ROOT, IC_REG_VERSION, &version) != ERROR_SUCCESS) {
    LogError(L"get qth version failed!");
    if (!objContrService.InstallCompnent(QTHERM_SERVICE_NAME)) {
      LogError(L"objContrService.InstallCompnent error");
      return;  // without the service frame, and without releasing COM
    }
  }
  {
    CServiceBase service(QTHERM_SERVICE_NAME, TRUE, TRUE, FALSE);
    // Blocks until the service has stopped; fails at once when the SCM did not start us.
    CServiceBase::Run(service);
  }
  CoUninitialize();
}

void RunInstall() {
  LogOpen(L"qthdebug_install.log", 0);
  objContrService.install(QTHERM_SERVICE_NAME, QTHERM_SERVICE_NAME, SERVICE_AUTO_START, L"", L"LocalSystem", NULL);
  CoUninitialize();
}

void RunRemove() {
  LogOpen(L"qthdebug_remove.log", 0);
  if (IsServiceInfMissing()) {
    objContrService.uninstall(QTHERM_SERVICE_NAME);
    LogInfo(L"QTHERM.inf not exist,uninstall the service");
  } else {
    LogInfo(L"QTHERM.inf exist");
  }
  CoUninitialize();
}

// Run by the copy that the uninstaller starts: the installed executable may still be
// running for a moment, so its deletion is retried, whatever the error.
void RunDeleteFile() {
  BOOL deleted = DeleteFileW(QTHERM_INSTALLED_EXE);
  while (!deleted && g_deleteRetryCount < kDeleteRetries) {
    Sleep(kDeleteRetryIntervalMs);
    ++g_deleteRetryCount;
    deleted = DeleteFileW(QTHERM_INSTALLED_EXE);
  }
  // The copy itself, running now, goes at the next restart.
  MoveFileExW(QTHERM_DELETE_COPY, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  CoUninitialize();
}

}  // namespace

int wmain(int argc, wchar_t* argv[], wchar_t* /*envp*/[]) {
  LogOpen(L"qthdebug_main.log", 0);
  HRESULT hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    LogError(L"\nCoInitializeEx failed: %x", hr);
    return 0;
  }
  LogInfo(L"wmain argc %d", argc);

  ProcessRole role = SelectProcessRole(argc, argv);
  if (role != ProcessRole::Service) LogInfo(L"wmain argv[1] %s", argv[1]);
  // Whatever a role meets (memory running out included), the process ends with 0.
  try {
    switch (role) {
      case ProcessRole::Service:
        RunService();
        break;
      case ProcessRole::Install:
        RunInstall();
        break;
      case ProcessRole::Remove:
        RunRemove();
        break;
      case ProcessRole::DelFile:
        RunDeleteFile();
        break;
      case ProcessRole::IdleTask:
        // Gives up COM at its start; returns only when it cannot create its mutex.
        RunIdleWatcher();
        break;
      case ProcessRole::UnknownSwitch:
        CoUninitialize();
        break;
    }
  } catch (...) {
  }
  return 0;
}
