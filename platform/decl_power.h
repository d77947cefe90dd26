// Power-setting registration, which mingw-w64 ships in libpowrprof.a without declaring,
// and the monitor power setting, which its headers declare but no library defines.
// Both builds take these from here.
#pragma once

extern "C" {
DWORD WINAPI PowerSettingRegisterNotification(LPCGUID settingGuid, DWORD flags, HANDLE recipient,
                                              PHPOWERNOTIFY registrationHandle);
DWORD WINAPI PowerSettingUnregisterNotification(HPOWERNOTIFY registrationHandle);

// {02731015-4510-4526-99E6-E5A17EBD1AEA}; defined once, in platform/decl_power.cpp.
extern const GUID GUID_MONITOR_POWER_ON;
}
