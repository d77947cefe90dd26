// Processes and memory: CreateProcessW (each launch recorded, no code runs), and the
// process heap, whose live blocks are counted so that a leak or a double free shows.
#pragma once

#include "platform/sim/sim_core.h"

#include <string>
#include <vector>

typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;
static_assert(sizeof(void*) != 8 || sizeof(STARTUPINFOW) == 104, "STARTUPINFOW as on 64-bit Windows");

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);

HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

#define DEBUG_PROCESS 0x00000001
#define CREATE_SUSPENDED 0x00000004
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define CREATE_UNICODE_ENVIRONMENT 0x00000400
#define CREATE_NO_WINDOW 0x08000000

#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008

namespace sim::process {

// One CreateProcessW that started a process, with what it was given.
struct Launch {
  std::wstring application;  // empty: none given
  std::wstring commandLine;  // empty: none given
  DWORD creationFlags;
  DWORD startupInfoSize;     // STARTUPINFOW.cb
  bool startupInfoZero;      // every other field of STARTUPINFOW was zero
  bool inheritHandles;
  bool processAttributes, threadAttributes, environment, currentDirectory;  // given (non-null)
  DWORD processId;
};
std::vector<Launch> launches();

// Blocks of the process heap not yet freed, and frees the heap refused (unknown blocks,
// twice-freed ones, a wrong heap handle).
size_t liveHeapBlocks();
std::vector<std::string> heapMisuse();

}  // namespace sim::process
