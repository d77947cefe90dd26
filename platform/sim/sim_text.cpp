#include "platform/sim/sim_text.h"

#include "platform/sim/sim_files.h"

#include <cstring>
#include <cwctype>
#include <set>

namespace sim::text {
namespace {

struct State {
  std::mutex lock;
  std::wstring windows = L"C:\\windows";
  std::wstring appData = L"C:\\ProgramData";
  std::vector<std::wstring> debug;
  std::set<std::wstring> dirs;
};
State& state() {
  static auto* s = new State;
  return *s;
}

std::wstring lower(std::wstring p) {
  for (auto& c : p) c = static_cast<wchar_t>(std::towlower(c));
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  return p;
}

void resetText() {
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.windows = L"C:\\windows";
  s.appData = L"C:\\ProgramData";
  s.debug.clear();
  s.dirs.clear();
}
ResetHook g_reset(resetText);

// Windows-1252 for U+0080..U+009F's replacements: the Unicode character of bytes 0x80..0x9F.
const uint16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                            0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

int toAnsi(uint32_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<int>(unit);
  for (int i = 0; i < 32; i++)
    if (kHigh[i] && kHigh[i] == unit) return 0x80 + i;
  return -1;
}

}  // namespace

void setWindowsFolder(const std::wstring& path) {
  std::lock_guard<std::mutex> g(state().lock);
  state().windows = path;
}
void setCommonAppDataFolder(const std::wstring& path) {
  std::lock_guard<std::mutex> g(state().lock);
  state().appData = path;
}
std::vector<std::wstring> debugOutput() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().debug;
}
bool directoryExists(const std::wstring& path) {
  std::lock_guard<std::mutex> g(state().lock);
  return state().dirs.count(lower(path)) != 0;
}

}  // namespace sim::text

using namespace sim;
using namespace sim::text;

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                        LPCSTR defaultChar, LPBOOL usedDefault) {
  if (auto e = checkFault("WideCharToMultiByte")) {
    SetLastError(*e);
    return 0;
  }
  if (!text || length == 0 || outSize < 0 || (codePage != CP_ACP && codePage != CP_UTF8) ||
      (codePage == CP_UTF8 && (defaultChar || usedDefault))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // UTF-8 takes only WC_ERR_INVALID_CHARS (0x80); the ANSI code page the composition,
  // default-character, separator, discard and best-fit flags (0x670).
  if (flags & ~static_cast<DWORD>(codePage == CP_UTF8 ? 0x80 : 0x670)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t n = length < 0 ? std::wcslen(text) + 1 : static_cast<size_t>(length);
  std::string bytes;
  bool usedDef = false;
  for (size_t i = 0; i < n; i++) {
    uint32_t unit = static_cast<uint32_t>(text[i]);
    if (codePage == CP_UTF8) {
      if (unit < 0x80) {
        bytes += static_cast<char>(unit);
      } else if (unit < 0x800) {
        bytes += static_cast<char>(0xC0 | (unit >> 6));
        bytes += static_cast<char>(0x80 | (unit & 0x3F));
      } else {
        bytes += static_cast<char>(0xE0 | ((unit >> 12) & 0xF));
        bytes += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (unit & 0x3F));
      }
      continue;
    }
    int b = toAnsi(unit);
    if (b < 0) {
      usedDef = true;
      b = defaultChar ? static_cast<unsigned char>(*defaultChar) : '?';
    }
    bytes += static_cast<char>(b);
  }
  if (usedDefault) *usedDefault = usedDef;
  if (outSize == 0) return static_cast<int>(bytes.size());
  if (!out || static_cast<size_t>(outSize) < bytes.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

void OutputDebugStringW(LPCWSTR text) {
  checkFault("OutputDebugStringW");
  std::lock_guard<std::mutex> g(state().lock);
  state().debug.emplace_back(text ? text : L"");
}

static BOOL copyFolder(const std::wstring& folder, LPWSTR path) {
  if (folder.empty() || folder.size() >= MAX_PATH) return FALSE;
  std::memcpy(path, folder.c_str(), (folder.size() + 1) * sizeof(wchar_t));
  return TRUE;
}

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR path, int folder, BOOL) {
  if (auto e = checkFault("SHGetSpecialFolderPathW")) {
    SetLastError(*e);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(state().lock);
  switch (folder & 0xFF) {
    case CSIDL_WINDOWS: return copyFolder(state().windows, path);
    case CSIDL_COMMON_APPDATA: return copyFolder(state().appData, path);
    default: return FALSE;
  }
}

HRESULT SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  if (auto e = checkFault("SHGetFolderPathW")) return HRESULT_FROM_WIN32(*e);
  std::lock_guard<std::mutex> g(state().lock);
  switch (folder & 0xFF) {
    case CSIDL_WINDOWS: return copyFolder(state().windows, path) ? S_OK : E_FAIL;
    case CSIDL_COMMON_APPDATA: return copyFolder(state().appData, path) ? S_OK : E_FAIL;
    default: return E_INVALIDARG;
  }
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  if (auto e = checkFault("CreateDirectoryW")) {
    SetLastError(*e);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(state().lock);
  if (!state().dirs.insert(lower(path ? path : L"")).second) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  return TRUE;
}

BOOL MakeSureDirectoryPathExists(LPCSTR path) {
  if (auto e = checkFault("MakeSureDirectoryPathExists")) {
    SetLastError(*e);
    return FALSE;
  }
  // Every directory named before the last backslash exists afterwards.
  std::string p = path ? path : "";
  std::lock_guard<std::mutex> g(state().lock);
  for (size_t i = 0; i < p.size(); i++) {
    if (p[i] == '\\' && i > 2) state().dirs.insert(lower(std::wstring(p.begin(), p.begin() + i)));
  }
  return TRUE;
}
