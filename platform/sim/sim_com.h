// COM basics: CoInitializeEx, CoUninitialize, CoCreateInstance, IUnknown, BSTR and VARIANT.
#pragma once

#include "platform/sim/sim_core.h"
