// The simulated registry: a key tree under HKEY_LOCAL_MACHINE with typed values,
// per-key access rights and change notification.
#pragma once

#include "platform/sim/sim_core.h"

#include <optional>
#include <string>
#include <vector>

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_32KEY 0x0200
#define KEY_WOW64_64KEY 0x0100
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define REG_OPTION_NON_VOLATILE 0x0
#define REG_OPTION_VOLATILE 0x1
#define ERROR_CHILD_MUST_BE_VOLATILE 1021L
#define REG_CREATED_NEW_KEY 0x1
#define REG_OPENED_EXISTING_KEY 0x2

#define REG_NOTIFY_CHANGE_NAME 0x1
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x2
#define REG_NOTIFY_CHANGE_LAST_SET 0x4
#define REG_NOTIFY_CHANGE_SECURITY 0x8
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                        REGSAM desired, LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                         LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                         PFILETIME lastWriteTime);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR className, LPDWORD classLength, PFILETIME lastWriteTime);

// Test access to the registry. Paths are below HKEY_LOCAL_MACHINE, "\"-separated,
// case-insensitive. String data is stored as wchar_t units with the terminating NUL.
namespace sim::reg {

struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

void createKey(const std::wstring& path);
bool keyExists(const std::wstring& path);
void deleteKey(const std::wstring& path);
void setValue(const std::wstring& path, const std::wstring& name, DWORD type, std::vector<BYTE> data);
void setDword(const std::wstring& path, const std::wstring& name, DWORD value);
void setString(const std::wstring& path, const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ);
void deleteValue(const std::wstring& path, const std::wstring& name);
std::optional<Value> getValue(const std::wstring& path, const std::wstring& name);
std::optional<DWORD> getDword(const std::wstring& path, const std::wstring& name);
std::vector<std::wstring> valueNames(const std::wstring& path);
std::vector<std::wstring> subkeyNames(const std::wstring& path);
// Rights that opening the key may ask for; anything more is refused with ERROR_ACCESS_DENIED.
void setKeyAccess(const std::wstring& path, REGSAM granted);
// Pending change notifications registered on the key.
size_t pendingNotifications(const std::wstring& path);
// What a restart of the machine does to the registry: volatile keys are gone.
void restart();

}  // namespace sim::reg
