// One REG_DWORD under HKEY_LOCAL_MACHINE. Results are Win32 status codes, 0 on success.
#pragma once

#include "platform/platform.h"

LSTATUS GetRegKeyDwordValue(const wchar_t* subKey, const wchar_t* valueName, DWORD* value);
LSTATUS SetRegKeyDwordValue(const wchar_t* subKey, const wchar_t* valueName, DWORD value);
