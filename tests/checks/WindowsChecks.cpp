// The platform checks on Windows (run under Wine by the "wine" tests): one line per row,
// and the number of rows that differ from Windows as the exit code.
#include "tests/checks/PlatformChecks.h"

#include "platform/platform.h"

#include <cstdio>

// No way to see a thread blocked from outside it: a pause lets the waiters get there.
void letWaitersBlock(int) { Sleep(200); }

int wmain() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
  int differing = 0;
  for (const PlatformCheck& check : platformChecks()) {
    std::string got = check.run();
    if (wine && check.wineDiffers) {
      std::printf("skipped %s (%s): %s\n", check.name, check.wineDiffers, got.c_str());
      continue;
    }
    bool same = got == check.expected;
    std::printf("%s %s: %s\n", same ? "same" : "DIFFERS", check.name, got.c_str());
    if (!same) {
      std::printf("  Windows gives: %s\n", check.expected);
      differing++;
    }
  }
  return differing;
}
