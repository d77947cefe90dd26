// Processes and memory: CreateProcessW (recorded launches), the process heap.
#pragma once

#include "platform/sim/sim_core.h"
