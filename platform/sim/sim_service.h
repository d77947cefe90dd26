// Service Control Manager, both sides: the dispatcher, handler registration and status reports of a service hosted in the simulated process, and the client calls (OpenSCManagerW, CreateServiceW, ControlService, ...) over a service database whose peers tests script.
#pragma once

#include "platform/sim/sim_core.h"
