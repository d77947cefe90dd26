#include "platform/platform.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>

namespace sim::power {
namespace {

struct State {
  std::mutex lock;
  std::vector<Registration> history;
  std::map<uintptr_t, GUID> active;
  uintptr_t next = 0x7000;
  int nullRegistrations = 0;
};
State& state() {
  static auto* s = new State;
  return *s;
}

void resetPower() {
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.history.clear();
  s.active.clear();
  s.nullRegistrations = 0;
}
ResetHook g_reset(resetPower);

}  // namespace

std::vector<Registration> registrations() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().history;
}

size_t activeRegistrations() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().active.size();
}

void succeedWithNullRegistration(int times) {
  std::lock_guard<std::mutex> g(state().lock);
  state().nullRegistrations = times;
}

SettingRecord::SettingRecord(const GUID& setting, std::vector<BYTE> data) {
  // The record's fixed part, then as many data bytes as it announces.
  size_t header = offsetof(POWERBROADCAST_SETTING, Data);
  m_bytes.assign(std::max(sizeof(POWERBROADCAST_SETTING), header + data.size()), 0);
  auto* record = reinterpret_cast<POWERBROADCAST_SETTING*>(m_bytes.data());
  record->PowerSetting = setting;
  record->DataLength = static_cast<DWORD>(data.size());
  if (!data.empty()) std::memcpy(m_bytes.data() + header, data.data(), data.size());
}

SettingRecord monitorRecord(BYTE state) { return SettingRecord(GUID_MONITOR_POWER_ON, {state}); }

}  // namespace sim::power

using namespace sim;

extern "C" DWORD WINAPI PowerSettingRegisterNotification(LPCGUID settingGuid, DWORD flags, HANDLE recipient,
                                                         PHPOWERNOTIFY registrationHandle) {
  if (auto e = checkFault("PowerSettingRegisterNotification")) return *e;
  if (!settingGuid || !recipient || !registrationHandle ||
      (flags != DEVICE_NOTIFY_SERVICE_HANDLE && flags != DEVICE_NOTIFY_CALLBACK))
    return ERROR_INVALID_PARAMETER;
  auto& s = power::state();
  std::lock_guard<std::mutex> g(s.lock);
  HPOWERNOTIFY handle = NULL;
  if (s.nullRegistrations > 0) {
    s.nullRegistrations--;
  } else {
    uintptr_t value = s.next;
    s.next += 8;
    s.active.emplace(value, *settingGuid);
    handle = reinterpret_cast<HPOWERNOTIFY>(value);
  }
  s.history.push_back({*settingGuid, flags, recipient, handle});
  *registrationHandle = handle;
  return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI PowerSettingUnregisterNotification(HPOWERNOTIFY registrationHandle) {
  if (auto e = checkFault("PowerSettingUnregisterNotification")) return *e;
  auto& s = power::state();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.active.erase(reinterpret_cast<uintptr_t>(registrationHandle)) == 0) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}
