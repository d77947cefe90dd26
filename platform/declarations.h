// Declarations that both builds take from us: what mingw-w64's headers lack, and what
// the simulated machine shares with them unchanged.
#pragma once

#include "platform/decl_display.h"
#include "platform/decl_power.h"
#include "platform/decl_taskschd.h"
