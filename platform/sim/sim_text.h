// Code-page conversion and the shell, debugger-output and image-help calls of the
// simulated machine. The machine's ANSI code page is Windows-1252.
#pragma once

#include "platform/sim/sim_core.h"

#include <string>
#include <vector>

#define CP_ACP 0
#define CP_UTF8 65001
#define ERROR_INVALID_FLAGS 1004L
#define CSIDL_WINDOWS 0x0024
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                        LPCSTR defaultChar, LPBOOL usedDefault);
void OutputDebugStringW(LPCWSTR text);
BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create);
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
BOOL MakeSureDirectoryPathExists(LPCSTR path);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);

namespace sim::text {

// Folders the shell reports; empty makes the call fail.
void setWindowsFolder(const std::wstring& path);         // default "C:\windows"
void setCommonAppDataFolder(const std::wstring& path);   // default "C:\ProgramData"
std::vector<std::wstring> debugOutput();
// Directories that exist (CreateDirectoryW, MakeSureDirectoryPathExists), lower-cased.
bool directoryExists(const std::wstring& path);

}  // namespace sim::text
