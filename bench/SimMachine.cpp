#include "bench/SimMachine.h"

#include "modes/Dytc.h"
#include "modes/ModeManager.h"
#include "modes/MyhMode.h"

#include <thread>

namespace bench {

bool bringUpAllModes() {
  sim::reset();
  sim::dev::setCapability(1 | CAP_MMC | CAP_MSC | CAP_MYH | CAP_IFC);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 0);
  // Any non-null status handle: MSC registers its power-setting notification on it.
  ModeManager* manager = ModeManager::getInstance();
  manager->initlize(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150));
  if (manager->modeCount() != 4) return false;
  if (!sim::waitForBlockedWaiters(1)) return false;
  trimRecords();
  return true;
}

void tearDown() {
  ModeManager::getInstance()->unInit();
  for (int i = 0; i < 10000 && sim::blockedWaiters() > 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void trimRecords() {
  sim::dev::clearRequests();
  sim::clearCallLog();
}

bool bareDeviceRequest(DWORD word) {
  HANDLE device = CreateFileW(DYTC_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD reply = 0;
  DWORD returned = 0;
  BOOL completed =
      DeviceIoControl(device, IOCTL_DYTC_METHOD, &word, sizeof(word), &reply, sizeof(reply), &returned, NULL);
  CloseHandle(device);
  return completed != FALSE;
}

bool bareRegistryWrite(const wchar_t* subKey, const wchar_t* name, DWORD value) {
  HKEY key = NULL;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key,
                      &disposition) != ERROR_SUCCESS)
    return false;
  LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace bench
