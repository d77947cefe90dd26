// Power-setting notifications (PowerSettingRegisterNotification) and the power-event records.
// The two functions and GUID_MONITOR_POWER_ON are declared for both builds in
// platform/decl_power.h; this area implements them and holds what the SDK defines.
#pragma once

#include "platform/sim/sim_core.h"
#include "platform/sim/sim_service.h"  // the power-event control and its record

#include <vector>

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001
#define DEVICE_NOTIFY_CALLBACK 0x00000002

namespace sim::power {

struct Registration {
  GUID setting;
  DWORD flags;
  HANDLE recipient;
  HPOWERNOTIFY handle;  // NULL when the registration was handed out as NULL
};

// Every registration made since reset, in order, unregistered ones included.
std::vector<Registration> registrations();
// Registrations not yet unregistered.
size_t activeRegistrations();
// The next `times` registrations succeed (return 0) but hand out a NULL registration.
void succeedWithNullRegistration(int times = 1);

// A POWERBROADCAST_SETTING record as a power event delivers it: the setting's GUID, the
// data length, then the data.
class SettingRecord {
 public:
  SettingRecord(const GUID& setting, std::vector<BYTE> data);
  POWERBROADCAST_SETTING* get() { return reinterpret_cast<POWERBROADCAST_SETTING*>(m_bytes.data()); }

 private:
  std::vector<BYTE> m_bytes;
};
// The monitor's record: one data byte, 0 off, 1 on (2 dimmed).
SettingRecord monitorRecord(BYTE state);

}  // namespace sim::power
