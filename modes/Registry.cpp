#include "modes/Registry.h"

#include "modes/Log.h"
#include "platform/handles.h"

LSTATUS GetRegKeyDwordValue(const wchar_t* subKey, const wchar_t* valueName, DWORD* value) {
  UniqueKey key;
  // Full access even to read: callers rely on a key they may not change failing here.
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ALL_ACCESS, key.put());
  if (status != ERROR_SUCCESS) {
    LogInfo(L"GetRegKeyDwordValue:RegOpenKeyEx SubKey - %s, value- %s, dwValue- %d,Error - %x", subKey, valueName,
            *value, GetLastError());
    return status;
  }
  DWORD type = 0;
  DWORD size = sizeof(DWORD);
  status = RegQueryValueExW(key.get(), valueName, NULL, &type, reinterpret_cast<LPBYTE>(value), &size);
  if (status != ERROR_SUCCESS) {
    LogInfo(L"GetRegKeyDwordValue:RegQueryValueEx SubKey - %s, value- %s, dwValue- %d,Error - %x", subKey,
            valueName, *value, GetLastError());
    return status;
  }
  return ERROR_SUCCESS;
}

LSTATUS SetRegKeyDwordValue(const wchar_t* subKey, const wchar_t* valueName, DWORD value) {
  UniqueKey key;
  DWORD disposition = 0;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                   NULL, key.put(), &disposition);
  if (status != ERROR_SUCCESS) {
    LogInfo(L"SetRegKeyDwordValue:RegCreateKeyEx SubKey - %s, value- %s, dwValue- %d,Error - %x", subKey, valueName,
            value, GetLastError());
    return status;
  }
  status = RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  if (status != ERROR_SUCCESS) {
    LogInfo(L"SetRegKeyDwordValue:RegSetValueEx SubKey - %s, value- %s, dwValue- %d,Error - %x", subKey, valueName,
            value, GetLastError());
    return status;
  }
  return ERROR_SUCCESS;
}
