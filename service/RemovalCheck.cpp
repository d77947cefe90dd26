#include "service/RemovalCheck.h"

#include "modes/Log.h"
#include "modes/Registry.h"
#include "platform/handles.h"

#include <cwchar>
#include <initializer_list>
#include <memory>
#include <new>

namespace {

constexpr size_t kNameChars = 260;
constexpr size_t kMinInfNameChars = 5;

size_t BoundedLength(const wchar_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != 0) n++;
  return n;
}

// The INF name of an indirect display name ("@name.inf,..."): the first run of
// characters after the "@" without a comma. Empty when there is none.
void ParseInfName(const wchar_t* displayName, wchar_t* infName) {
  if (displayName[0] != L'@') return;
  size_t start = 1;
  while (start < kNameChars && displayName[start] == L',') start++;
  size_t end = start;
  while (end < kNameChars && displayName[end] != 0 && displayName[end] != L',') end++;
  size_t length = end - start;
  // The display name ends before the last unit, so a name always leaves room for the
  // list's two closing NULs.
  if (length + 2 > kNameChars) return;
  std::wmemcpy(infName, displayName + start, length);
  infName[length] = 0;
}

// "<folder>\INF\<name>", built in place so that the check allocates nothing; false
// when it does not fit.
bool InfPath(const wchar_t* folder, const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
  size_t used = 0;
  for (const wchar_t* part : {folder, static_cast<const wchar_t*>(L"\\INF\\"), name}) {
    for (; *part != 0; part++) {
      if (used + 1 >= MAX_PATH) return false;
      path[used++] = *part;
    }
  }
  path[used] = 0;
  return true;
}

}  // namespace

bool IsServiceInfMissing() {
  wchar_t displayName[kNameChars] = {};
  wchar_t infName[kNameChars] = {};

  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON", 0,
                    KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, key.put()) != ERROR_SUCCESS)
    return true;

  DWORD ownersSize = 0;
  if (RegQueryValueExW(key.get(), L"Owners", NULL, NULL, NULL, &ownersSize) != ERROR_SUCCESS) return true;
  std::unique_ptr<wchar_t[]> owners(new (std::nothrow) wchar_t[static_cast<size_t>(ownersSize) + 1]());
  if (!owners) return true;
  DWORD readSize = ownersSize;
  if (RegQueryValueExW(key.get(), L"Owners", NULL, NULL, reinterpret_cast<LPBYTE>(owners.get()), &readSize) !=
      ERROR_SUCCESS)
    return true;

  DWORD displaySize = sizeof(displayName);
  if (RegQueryValueExW(key.get(), L"DisplayName", NULL, NULL, reinterpret_cast<LPBYTE>(displayName),
                       &displaySize) != ERROR_SUCCESS)
    return true;
  // The registry does not terminate what it returns: a value filling the buffer to its
  // last unit has no room for its NUL and does not fit.
  if (displayName[kNameChars - 1] != 0) return true;

  ParseInfName(displayName, infName);
  if (BoundedLength(infName, kNameChars) < kMinInfNameChars) return false;
  return IsAnyInfFileMissing(infName);
}

bool IsAnyInfFileMissing(const wchar_t* names) {
  if (names == NULL || names[0] == 0) return false;
  for (const wchar_t* name = names;;) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_WINDOWS | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, folder)))
      return true;
    wchar_t path[MAX_PATH] = {};
    // A path that does not fit MAX_PATH cannot name a file we could open: treat it as gone.
    if (!InfPath(folder, name, path)) return true;
    UniqueHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file) return true;
    name += BoundedLength(name, kNameChars) + 1;
    if (*name == 0) return false;
  }
}

bool RegSubkeyNameContains(HKEY key, const wchar_t* text) {
  if (text == NULL) return false;
  wchar_t className[kNameChars] = {};
  DWORD classLength = kNameChars;
  DWORD subkeys = 0;
  RegQueryInfoKeyW(key, className, &classLength, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
  if (subkeys == 0) return false;
  for (DWORD index = 0; index < subkeys; index++) {
    wchar_t name[256] = {};
    DWORD length = 255;
    if (RegEnumKeyExW(key, index, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS &&
        std::wcsstr(name, text) != NULL)
      return true;
  }
  return false;
}

bool IsDriverPackageInStore(const wchar_t* text) {
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\DriverDatabase\\DriverPackages", 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS)
    return false;
  return RegSubkeyNameContains(key.get(), text);
}

bool IsComponentVersionPresent() {
  DWORD version = 0;
  if (GetRegKeyDwordValue(L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC", L"Version", &version) == 0)
    return true;
  LogError(L"get qth version failed!");
  return false;
}
