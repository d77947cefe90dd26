// The Task Scheduler 2.0 object model (ITaskService and the interfaces below it) over a store of registered tasks that tests read back.
#pragma once

#include "platform/sim/sim_core.h"
