// The platform checks on Windows (run under Wine by the "wine" tests): one line per row,
// and the number of rows that give neither what Windows gives nor, where the row names it,
// what Wine 8 answers, as the exit code.
#include "tests/checks/PlatformChecks.h"

#include "platform/platform.h"

#include <sddl.h>

#include <cstdio>

// No way to see a thread blocked from outside it: a pause lets the waiters get there.
void letWaitersBlock(int) { Sleep(200); }

// A protected DACL with one entry, for everyone.
void setKeySecurity(const std::wstring& path, REGSAM granted) {
  HKEY key = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) return;
  wchar_t sddl[40];
  std::swprintf(sddl, 40, L"D:P(A;;0x%lx;;;WD)", static_cast<unsigned long>(granted));
  PSECURITY_DESCRIPTOR security = NULL;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &security, NULL)) {
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, security);
    LocalFree(security);
  }
  RegCloseKey(key);
}

int wmain() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
  int wrong = 0;
  for (const PlatformCheck& check : platformChecks()) {
    std::string got = check.run();
    const bool asWine = wine && check.wineGives;
    const char* want = asWine ? check.wineGives : check.expected;
    const bool right = got == want;
    std::string source = check.source == Source::Wine ? "undocumented, as Wine answers" : "documented";
    if (check.wineParts) source += std::string("; ") + check.wineParts + " as Wine answers";
    std::printf("%s %s (%s): %s\n", !right ? "DIFFERS" : asWine ? "skipped as Wine answers" : "same", check.name,
                source.c_str(), got.c_str());
    if (!right) {
      std::printf("  %s: %s\n", asWine ? "recorded for Wine 8" : "expected", want);
      wrong++;
    }
  }
  return wrong;
}
