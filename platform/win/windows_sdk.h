// The real Windows SDK as mingw-w64 ships it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsvc.h>
#include <shlobj.h>
#include <dbghelp.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>
