// The Win32 subset that the system uses, declared by us and implemented over the
// simulated machine. Tests drive the machine through the sim:: namespaces below.
#pragma once

#include "platform/sim/sim_types.h"
#include "platform/sim/sim_core.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_text.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_power.h"
#include "platform/sim/sim_service.h"
#include "platform/sim/sim_com.h"
#include "platform/sim/sim_taskschd.h"
#include "platform/sim/sim_setupapi.h"
#include "platform/sim/sim_display.h"
#include "platform/sim/sim_memory.h"
