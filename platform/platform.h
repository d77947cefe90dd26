// The system's one road to the platform. On Windows it is the SDK (plus our own
// declarations of what mingw-w64 lacks); elsewhere it is the simulated machine.
#pragma once

#ifdef _WIN32
#include "platform/win/windows_sdk.h"
#else
#include "platform/sim/sim_windows.h"
#endif

#include "platform/declarations.h"
