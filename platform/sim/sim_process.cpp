#include "platform/sim/sim_process.h"

#include "platform/sim/sim_files.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace sim::process {
namespace {

struct ProcessObject : Object {
  DWORD id;
  explicit ProcessObject(DWORD i) : id(i) {}
  const char* kind() const override { return "Process"; }
};
struct ThreadObject : Object {
  DWORD id;
  explicit ThreadObject(DWORD i) : id(i) {}
  const char* kind() const override { return "Thread"; }
};

struct Machine {
  std::mutex lock;
  std::vector<Launch> launches;
  DWORD nextId = 7000;
  std::map<void*, size_t> blocks;
  std::vector<std::string> misuse;
};
Machine& machine() {
  static auto* m = new Machine;
  return *m;
}

// The one heap of the process: a handle value that is no kernel handle.
HANDLE processHeap() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x50000)); }

void resetProcesses() {
  auto& m = machine();
  std::lock_guard<std::mutex> g(m.lock);
  m.launches.clear();
  m.nextId = 7000;
  for (auto& [block, size] : m.blocks) std::free(block);
  m.blocks.clear();
  m.misuse.clear();
}
ResetHook g_reset(resetProcesses);

// The application as CreateProcessW finds it: the name given, else the command line's
// first token (quoted, or up to the first blank).
std::wstring imageOf(LPCWSTR application, LPCWSTR commandLine) {
  if (application) return application;
  std::wstring line = commandLine ? commandLine : L"";
  if (!line.empty() && line[0] == L'"') return line.substr(1, line.find(L'"', 1) - 1);
  return line.substr(0, line.find(L' '));
}

}  // namespace

std::vector<Launch> launches() {
  std::lock_guard<std::mutex> g(machine().lock);
  return machine().launches;
}

size_t liveHeapBlocks() {
  std::lock_guard<std::mutex> g(machine().lock);
  return machine().blocks.size();
}

std::vector<std::string> heapMisuse() {
  std::lock_guard<std::mutex> g(machine().lock);
  return machine().misuse;
}

}  // namespace sim::process

using namespace sim;
using namespace sim::process;

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  if (auto e = checkFault("CreateProcessW")) {
    SetLastError(*e);
    return FALSE;
  }
  // A process cannot both have no console and a new one.
  if ((!lpApplicationName && !lpCommandLine) || !lpStartupInfo || !lpProcessInformation ||
      lpStartupInfo->cb < sizeof(STARTUPINFOW) ||
      (dwCreationFlags & (DETACHED_PROCESS | CREATE_NEW_CONSOLE)) == (DETACHED_PROCESS | CREATE_NEW_CONSOLE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Windows writes into the command line while it parses it: a read-only one faults here too.
  if (lpCommandLine) {
    volatile wchar_t* first = lpCommandLine;
    *first = *first;
  }
  std::wstring image = imageOf(lpApplicationName, lpCommandLine);
  if (!sim::files::exists(image)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  STARTUPINFOW rest = *lpStartupInfo;
  rest.cb = 0;
  static const STARTUPINFOW zero{};
  bool restZero = std::memcmp(&rest, &zero, sizeof rest) == 0;

  auto& m = machine();
  DWORD processId, threadId;
  {
    std::lock_guard<std::mutex> g(m.lock);
    processId = m.nextId += 4;
    threadId = m.nextId += 4;
    m.launches.push_back({lpApplicationName ? lpApplicationName : L"", lpCommandLine ? lpCommandLine : L"",
                          dwCreationFlags, lpStartupInfo->cb, restZero, bInheritHandles != FALSE,
                          lpProcessAttributes != nullptr, lpThreadAttributes != nullptr, lpEnvironment != nullptr,
                          lpCurrentDirectory != nullptr, processId});
  }
  lpProcessInformation->hProcess = insertHandle(std::make_shared<ProcessObject>(processId));
  lpProcessInformation->hThread = insertHandle(std::make_shared<ThreadObject>(threadId));
  lpProcessInformation->dwProcessId = processId;
  lpProcessInformation->dwThreadId = threadId;
  return TRUE;
}

HANDLE WINAPI GetProcessHeap() {
  checkFault("GetProcessHeap");
  return processHeap();
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  // A failed allocation sets no error code (without HEAP_GENERATE_EXCEPTIONS).
  if (checkFault("HeapAlloc")) return nullptr;
  auto& m = machine();
  if (hHeap != processHeap()) {
    std::lock_guard<std::mutex> g(m.lock);
    m.misuse.push_back("HeapAlloc on an unknown heap");
    return nullptr;
  }
  void* block = std::malloc(dwBytes ? dwBytes : 1);
  if (!block) return nullptr;
  // Without HEAP_ZERO_MEMORY the block holds leftovers, as a reused one does.
  std::memset(block, (dwFlags & HEAP_ZERO_MEMORY) ? 0 : 0xBE, dwBytes);
  std::lock_guard<std::mutex> g(m.lock);
  m.blocks[block] = dwBytes;
  return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
  if (auto e = checkFault("HeapFree")) {
    SetLastError(*e);
    return FALSE;
  }
  if (!lpMem) return TRUE;
  auto& m = machine();
  std::lock_guard<std::mutex> g(m.lock);
  auto it = m.blocks.find(lpMem);
  if (hHeap != processHeap() || it == m.blocks.end()) {
    m.misuse.push_back(hHeap != processHeap() ? "HeapFree on an unknown heap" : "HeapFree of a block not allocated");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::free(it->first);
  m.blocks.erase(it);
  return TRUE;
}
