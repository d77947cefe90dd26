// The simulated machine as the benchmarks use it: all four modes up under the
// manager, and the floors, the bare platform calls that a reaction cannot do without.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <cstdint>

namespace bench {

// A fresh machine whose firmware offers MMC, MSC, MYH and IFC; the manager singleton
// initialised as the service frame does it, with the MYH watch thread waiting.
// False when a mode did not come up.
bool bringUpAllModes();
// The manager's unInit, and the watch threads gone.
void tearDown();

// Drops what the machine records about every call, so that long runs cost the same
// per call from the first to the last.
void trimRecords();

// One request as DYTCMethod makes it, with none of its code: open the device, one
// DeviceIoControl, close.
bool bareDeviceRequest(DWORD word);
// One REG_DWORD write under HKEY_LOCAL_MACHINE as SetRegKeyDwordValue makes it:
// create or open the key, set the value, close.
bool bareRegistryWrite(const wchar_t* subKey, const wchar_t* name, DWORD value);

// DYTC set words the modes send.
constexpr DWORD setWord(DWORD function, DWORD mode, DWORD flag) {
  return 1 | function << 12 | mode << 16 | flag << 20;
}

inline int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace bench
