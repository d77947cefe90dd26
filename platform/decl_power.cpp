// The one definition of the monitor power setting, for both builds.
#include "platform/platform.h"

extern "C" const GUID GUID_MONITOR_POWER_ON = {0x02731015, 0x4510, 0x4526,
                                               {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};
