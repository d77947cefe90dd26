// Files of the simulated machine: a flat store of full paths (case-insensitive) with
// content and per-file refusals, the console, and the running module's path.
#pragma once

#include "platform/sim/sim_core.h"

#include <optional>
#include <string>
#include <vector>

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
BOOL DeleteFileW(LPCWSTR name);
BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);
DWORD GetFileAttributesW(LPCWSTR name);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
HANDLE GetStdHandle(DWORD which);

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_EXECUTE 0x0020
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define FILE_SHARE_DELETE 0x4
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x1
#define MOVEFILE_COPY_ALLOWED 0x2
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x4
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

namespace sim::files {

void put(const std::wstring& path, const std::string& content = "");
bool exists(const std::wstring& path);
std::optional<std::string> content(const std::wstring& path);
void remove(const std::wstring& path);
// Opening for reading is refused with ERROR_ACCESS_DENIED.
// Opens are checked against the file's other opens as Windows checks share modes: a new
// open must share what every open has, and every open must share what the new one asks
// (ERROR_SHARING_VIOLATION). A second handle of the test stands in for another process.
void denyRead(const std::wstring& path, bool deny = true);
// Another process holds the file open for writing without sharing reads.
void lockAgainstReaders(const std::wstring& path, bool locked = true);
// The file is a running image: deleting it fails with ERROR_ACCESS_DENIED.
void setInUse(const std::wstring& path, bool inUse = true);
// Paths that MoveFileExW marked for deletion at the next restart, in order.
std::vector<std::wstring> pendingDeletes();
// The running executable's path, as GetModuleFileNameW reports it.
void setModulePath(const std::wstring& path);
// Everything written to standard output / standard error, as bytes.
std::string consoleOutput();
std::string consoleError();
// Standard output and error (a console, or a pipe when redirected) take at most this many
// bytes per WriteFile, which still succeeds; 0 takes nothing, as a full non-blocking pipe.
// Unlimited after reset.
void limitStdWrites(DWORD bytesPerWrite);

}  // namespace sim::files

namespace sim::dev {
HANDLE openDevice(const std::wstring& path);
}
