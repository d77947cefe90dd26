// Power-setting notifications (PowerSettingRegisterNotification) and the power-event records.
#pragma once

#include "platform/sim/sim_core.h"
