// gdi32's display-kernel thunks (looked up with LoadLibrary/GetProcAddress), OpenProcess, and scripted statistics.
#pragma once

#include "platform/sim/sim_core.h"

#include <optional>
#include <string>
#include <vector>

HMODULE LoadLibraryW(LPCWSTR fileName);
HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);

#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000

// Test access to gdi32 and the display kernel. gdi32 is the one module the machine can
// load; its references are counted as the loader counts them, and a call into one of its
// functions while no reference is held ends the process, as calling unloaded code would.
namespace sim::display {

// Whether gdi32.dll can be loaded (true after reset), and whether it exports a function.
void setGdi32Available(bool available);
void removeExport(const std::string& name);
// References the process holds on gdi32.
int gdi32References();

// A display adapter the kernel opens by its interface path (compared without case).
void addAdapter(const std::wstring& path, LUID luid);
// Statuses for the next opens, one per call, replacing the kernel's own verdict; a
// success status still needs a known adapter to report a LUID.
void scriptOpenStatus(std::vector<NTSTATUS> statuses);
struct OpenRequest {
  bool hasName;
  std::wstring deviceName;
  NTSTATUS status;
};
std::vector<OpenRequest> openRequests();

// Node 0's cumulative running time, in 100-ns units, that a query reports once the
// script is used up (0 after reset, as under Wine).
void setRunningTime(LONGLONG runningTime);
struct Sample {
  NTSTATUS status;
  LONGLONG runningTime;  // written only with a status of 0 to 63
};
// One sample per query, in order.
void scriptStatistics(std::vector<Sample> samples);
struct Query {
  UINT type;
  LUID adapterLuid;
  std::optional<DWORD> processId;  // the process of hProcess, when it is a process handle
  ULONG nodeId;
  NTSTATUS status;
};
std::vector<Query> queries();
// Forgets the queries recorded so far (long runs, such as benchmarks).
void clearQueries();

// Processes that OpenProcess finds besides the current one.
void addProcess(DWORD processId);
struct ProcessOpen {
  DWORD access;
  BOOL inherit;
  DWORD processId;
};
std::vector<ProcessOpen> processOpens();

}  // namespace sim::display
