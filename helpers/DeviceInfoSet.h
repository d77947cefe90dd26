// One SetupAPI device information set: the interface paths of a device class, and a
// small per-device toolkit for walking the set's devices.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

class DeviceInfoSet {
 public:
  // classGuid is not copied: it must outlive the set. NULL means every class.
  DeviceInfoSet(const GUID* classGuid, const wchar_t* enumerator, DWORD flags);
  ~DeviceInfoSet();
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  // Appends the device path of every interface of the class, in member order.
  DWORD GetInterfacePaths(std::vector<std::wstring>& paths);

  // Steps to the next device; the operations below act on it.
  BOOL Next();
  BOOL GetRegistryProperty(DWORD property, BYTE* buffer);  // buffer of 2048 bytes
  BOOL GetStatus(DWORD* working);                          // 1: no problem, 0: a problem
  BOOL ChangeState(DWORD stateChange);
  BOOL Enable();
  BOOL Disable();
  BOOL GetClassDescription(wchar_t* buffer);  // buffer of 260 characters
  BOOL Remove();

 private:
  const GUID* m_classGuid;
  HDEVINFO m_devInfo;
  SP_DEVINFO_DATA m_devInfoData;
  BOOL m_lastResult;
  int16_t m_index;
};
