// Behaviours of the platform that the system relies on, each checked once through the
// Win32 API of platform/platform.h. The same table runs natively against the simulated
// machine (unit tests) and, cross-built, under Wine (the "wine" tests), so both must give
// what Windows gives.
#pragma once

#include <string>
#include <vector>

struct PlatformCheck {
  const char* name;
  const char* expected;  // what Windows gives
  std::string (*run)();
  const char* wineDiffers = nullptr;  // why Wine 8 gives something else: skipped there
};

const std::vector<PlatformCheck>& platformChecks();

// Provided by each build: returns once `count` threads of the check are blocked in waits
// (natively the machine knows; on Windows a pause stands in). Results never depend on it:
// it only makes a check exercise blocked waiters rather than late ones.
void letWaitersBlock(int count);
