// SetupAPI device-interface enumeration and the configuration manager over a table of simulated devices.
#pragma once

#include "platform/sim/sim_core.h"
