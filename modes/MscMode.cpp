#include "modes/MscMode.h"

#include "modes/Dytc.h"
#include "modes/Log.h"

#include <cstring>

bool CMSC::init() {
  DWORD result = PowerSettingRegisterNotification(&GUID_MONITOR_POWER_ON, DEVICE_NOTIFY_SERVICE_HANDLE,
                                                  reinterpret_cast<HANDLE>(m_statusHandle), &m_registration);
  if (result == ERROR_SUCCESS && m_registration != NULL) {
    LogInfo(L"MSC init success");
    return true;
  }
  LogInfo(L"Msc Regsiter failed %x", result);
  return false;
}

bool CMSC::unInit() {
  if (m_registration == NULL) {
    LogInfo(L"MSC unInit success");
    return true;
  }
  if (PowerSettingUnregisterNotification(m_registration) != ERROR_SUCCESS) return false;
  // A registration is unregistered once; a second unInit finds nothing to undo.
  m_registration = NULL;
  return true;
}

bool CMSC::setStatus(int status) {
  LogInfo(L"MSC set status %x", status);
  if (!setDYTC(DYTC_CMD_SET, DYTC_FUNC_MSC, 15, static_cast<DWORD>(status))) {
    LogInfo(L"MSC set status failed");
    return false;
  }
  return true;
}

bool CMSC::OnServiceControl(DWORD control, DWORD eventType, void* eventData) {
  if (control != SERVICE_CONTROL_POWEREVENT || eventType != PBT_POWERSETTINGCHANGE) return true;
  // The system always sends a record with this event; a missing one switches nothing.
  if (eventData == nullptr) return true;
  const auto* record = static_cast<const POWERBROADCAST_SETTING*>(eventData);
  const GUID& setting = record->PowerSetting;
  // Without data there is no display state to act on.
  const bool hasData = record->DataLength >= 1;
  const DWORD state = hasData ? record->Data[0] : 0;

  LogInfo(L"MSC OnServiceControl ctl %x, EventType %x, GUID %x-%x-%x-%x,Data[0] %x", control, eventType,
          setting.Data1, setting.Data2, setting.Data3, (setting.Data4[0] << 8) | setting.Data4[1], state);
  const GUID& monitor = GUID_MONITOR_POWER_ON;
  LogInfo(L"Monitor GUID %x-%x-%x-%x", monitor.Data1, monitor.Data2, monitor.Data3,
          (monitor.Data4[0] << 8) | monitor.Data4[1]);

  if (std::memcmp(&setting, &monitor, sizeof(GUID)) != 0 || !hasData) return true;

  if (state == 0) {
    if (!setStatus(1)) {
      LogError(L"MSC OnServiceControl ctl %d, EventType %d,Mode On Failed", control, eventType);
      return false;
    }
    LogInfo(L"MSC OnServiceControl ctl %d, EventType %d,display off, MSC Mode On Success", control, eventType);
    return true;
  }
  if (state == 1) {
    if (!setStatus(0)) {
      LogError(L"MSC OnServiceControl ctl %d, EventType %d,Mode Off", control, eventType);
      return false;
    }
    LogInfo(L"MSC OnServiceControl ctl %d, EventType %d,display on,MSC Mode Off Success", control, eventType);
    return true;
  }
  return true;
}
