// gdi32's display-kernel thunks (looked up with LoadLibrary/GetProcAddress), OpenProcess, and scripted statistics.
#pragma once

#include "platform/sim/sim_core.h"
