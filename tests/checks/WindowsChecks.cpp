// The platform checks on Windows (run under Wine by the "wine" tests): one line per row,
// and the number of rows that give neither what Windows gives nor, where the row names it,
// what Wine 8 answers, as the exit code.
#include "tests/checks/PlatformChecks.h"

#include "platform/platform.h"

#include <cstdio>

// No way to see a thread blocked from outside it: a pause lets the waiters get there.
void letWaitersBlock(int) { Sleep(200); }

int wmain() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
  int wrong = 0;
  for (const PlatformCheck& check : platformChecks()) {
    std::string got = check.run();
    const bool asWine = wine && check.wineGives;
    const char* want = asWine ? check.wineGives : check.expected;
    const bool right = got == want;
    std::printf("%s %s (%s): %s\n", !right ? "DIFFERS" : asWine ? "skipped as Wine answers" : "same", check.name,
                check.source == Source::Documentation ? "documented" : "undocumented, as Wine answers", got.c_str());
    if (!right) {
      std::printf("  %s: %s\n", asWine ? "recorded for Wine 8" : "Windows gives", want);
      wrong++;
    }
  }
  return wrong;
}
