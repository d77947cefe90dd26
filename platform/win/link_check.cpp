// Links every system entry point into a Windows executable, so each part is proven to
// build against the real SDK before the program's own entry exists.
#include "modes/Dytc.h"
#include "modes/Log.h"
#include "modes/ModeManager.h"
#include "modes/Registry.h"
#include "modes/StringConvert.h"
#include "service/ServiceControl.h"

int wmain(int argc, wchar_t**) {
  if (argc > 1000) {
    DWORD value = 0;
    GetRegKeyDwordValue(L"x", L"y", &value);
    SetRegKeyDwordValue(L"x", L"y", value);
    ModeManager::getInstance()->initlize(NULL);
    ModeManager::getInstance()->install();
    ModeManager::getInstance()->unInstall();
    resetDYTC();
    GetLogDirectory(nullptr);
    WStringToString(StringToWString("x"));
    objContrService.install(L"x", L"x", SERVICE_AUTO_START, L"", L"LocalSystem", NULL);
    objContrService.uninstall(L"x");
    objContrService.InstallCompnent(L"x");
    objContrService.SendServiceControlCode(130);
    objContrService.SetDelayedAutoStart(NULL, false);
  }
  return 0;
}
