// The simulated machine as the benchmarks use it: all four modes up under the
// manager, and the floors, the bare platform calls that a reaction cannot do without.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <cstdint>

class IdleWatcher;

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

// The idle-time watcher as its process runs it: "QTHRMON" running on the simulated
// Service Control Manager, one display adapter whose busy time grows by `load` percent of
// every second the watcher sleeps, and the watcher started (it holds the idle mutex on
// the calling thread for good and has sent 130).
::IdleWatcher* startWatcher();
void setGpuLoad(int percent);
// One user-defined control to "QTHRMON" as the watcher sends it: open the manager and
// the service, ControlService, close both (the manager first, as the watcher does).
bool bareServiceControl(DWORD control);
// What one sample step calls at the least, in its order: the counter frequency and
// value, the display-kernel statistics query, the control when one is given (not 0), the
// second's Sleep.
bool bareSampleStep(DWORD control = 0);

// DYTC set words the modes send.
constexpr DWORD setWord(DWORD function, DWORD mode, DWORD flag) {
  return 1 | function << 12 | mode << 16 | flag << 20;
}

inline int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace bench
