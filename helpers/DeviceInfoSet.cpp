#include "helpers/DeviceInfoSet.h"

#include "platform/memory.h"

#include <cstddef>

namespace {

constexpr DWORD kPropertyBufferSize = 2048;
constexpr DWORD kClassDescriptionSize = 260;
// A set that was never created, or a platform that keeps refusing, never reports
// ERROR_NO_MORE_ITEMS; this many refusals in a row end the walk instead.
constexpr int kMaxConsecutiveEnumFailures = 16;

}  // namespace

DeviceInfoSet::DeviceInfoSet(const GUID* classGuid, const wchar_t* enumerator, DWORD flags)
    : m_classGuid(classGuid), m_devInfo(NULL), m_devInfoData{}, m_lastResult(0), m_index(-1) {
  if (classGuid == NULL) flags |= DIGCF_ALLCLASSES;
  m_devInfo = SetupDiGetClassDevsW(classGuid, enumerator, NULL, flags);
}

DeviceInfoSet::~DeviceInfoSet() {
  if (m_devInfo != NULL && m_devInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_devInfo);
  m_devInfo = NULL;
}

DWORD DeviceInfoSet::GetInterfacePaths(std::vector<std::wstring>& paths) {
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  constexpr DWORD fixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  constexpr DWORD pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  DWORD status = 0;
  DWORD index = 0;
  int enumFailures = 0;
  SetLastError(0);
  while (GetLastError() != ERROR_NO_MORE_ITEMS) {
    if (!SetupDiEnumDeviceInterfaces(m_devInfo, NULL, m_classGuid, index, &interfaceData)) {
      if (GetLastError() != ERROR_NO_MORE_ITEMS && ++enumFailures >= kMaxConsecutiveEnumFailures) break;
      index++;
      continue;
    }
    enumFailures = 0;

    DWORD requiredSize = 0;
    status = SetupDiGetDeviceInterfaceDetailW(m_devInfo, &interfaceData, NULL, 0, &requiredSize, NULL)
                 ? TRUE
                 : GetLastError();
    // An interface that vanished since it was enumerated reports no size: nothing to read.
    if (requiredSize < fixedSize) {
      index++;
      continue;
    }
    PlatformBlock<SP_DEVICE_INTERFACE_DETAIL_DATA_W> detail(
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(PlatformMalloc(requiredSize)));
    if (!detail) return 0;
    detail->cbSize = fixedSize;
    DWORD returnedSize = 0;
    SP_DEVINFO_DATA devInfoData{};
    devInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    if (SetupDiGetDeviceInterfaceDetailW(m_devInfo, &interfaceData, detail.get(), requiredSize, &returnedSize,
                                         &devInfoData)) {
      // Bounded by the record, whether or not the platform terminated the path.
      size_t capacity = (requiredSize - pathOffset) / sizeof(WCHAR);
      size_t length = 0;
      while (length < capacity && detail->DevicePath[length] != 0) length++;
      // No room for the path is a failed allocation like the record's own.
      try {
        paths.emplace_back(detail->DevicePath, length);
      } catch (...) {
        return 0;
      }
    }
    index++;
  }
  return status;
}

BOOL DeviceInfoSet::Next() {
  m_index = static_cast<int16_t>(m_index + 1);
  m_devInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
  m_lastResult = SetupDiEnumDeviceInfo(m_devInfo, static_cast<DWORD>(static_cast<int32_t>(m_index)), &m_devInfoData);
  return m_lastResult;
}

BOOL DeviceInfoSet::GetRegistryProperty(DWORD property, BYTE* buffer) {
  return SetupDiGetDeviceRegistryPropertyW(m_devInfo, &m_devInfoData, property, NULL, buffer, kPropertyBufferSize,
                                           NULL);
}

BOOL DeviceInfoSet::GetStatus(DWORD* working) {
  ULONG status = 0;
  ULONG problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, m_devInfoData.DevInst, 0) != CR_SUCCESS) return FALSE;
  *working = (status & DN_HAS_PROBLEM) ? 0 : 1;
  return TRUE;
}

BOOL DeviceInfoSet::ChangeState(DWORD stateChange) {
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = stateChange;
  params.Scope = DICS_FLAG_GLOBAL;
  params.HwProfile = 0;
  if (!SetupDiSetClassInstallParamsW(m_devInfo, &m_devInfoData, &params.ClassInstallHeader, sizeof(params)))
    return FALSE;
  return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, m_devInfo, &m_devInfoData);
}

BOOL DeviceInfoSet::Enable() { return ChangeState(DICS_ENABLE); }

BOOL DeviceInfoSet::Disable() { return ChangeState(DICS_DISABLE); }

BOOL DeviceInfoSet::GetClassDescription(wchar_t* buffer) {
  return SetupDiGetClassDescriptionW(&m_devInfoData.ClassGuid, buffer, kClassDescriptionSize, NULL);
}

BOOL DeviceInfoSet::Remove() { return SetupDiRemoveDevice(m_devInfo, &m_devInfoData); }
