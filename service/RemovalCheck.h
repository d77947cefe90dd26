// Whether the service's own installation has gone: its key, its "Owners" value, and the
// INF file that its display name names. Also two probes that nothing calls.
#pragma once

#include "platform/platform.h"

// True when the service should be uninstalled.
bool IsServiceInfMissing();
// names: NUL-terminated names closed by an empty one. True when one of the files in the
// Windows folder's INF directory cannot be opened for reading.
bool IsAnyInfFileMissing(const wchar_t* names);
bool IsComponentVersionPresent();
bool IsDriverPackageInStore(const wchar_t* text);
bool RegSubkeyNameContains(HKEY key, const wchar_t* text);
