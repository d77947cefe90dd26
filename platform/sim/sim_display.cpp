#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <set>

namespace sim::display {
namespace {

constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kNotSupported = static_cast<NTSTATUS>(0xC00000BB);

// Where the loader would map gdi32: the module handle is its base address.
const HMODULE kGdi32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF8A1B00000));

struct Adapter {
  std::wstring path;  // lower-cased
  LUID luid;
};

struct State {
  std::mutex lock;
  bool gdi32Available = true;
  int gdi32References = 0;
  std::set<std::string> removedExports;
  std::vector<Adapter> adapters;
  std::vector<LUID> openedLuids;
  D3DKMT_HANDLE nextAdapterHandle = 0x40000000;
  std::vector<NTSTATUS> openScript;
  size_t openNext = 0;
  std::vector<OpenRequest> opens;
  LONGLONG runningTime = 0;
  std::vector<Sample> sampleScript;
  size_t sampleNext = 0;
  std::vector<Query> queries;
  std::set<DWORD> processes;
  std::vector<ProcessOpen> processOpens;
};
State& state() {
  static auto* s = new State;
  return *s;
}

struct ProcessObject : Object {
  DWORD processId;
  DWORD access;
  ProcessObject(DWORD pid, DWORD a) : processId(pid), access(a) {}
  const char* kind() const override { return "Process"; }
};

void resetDisplay() {
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.gdi32Available = true;
  s.gdi32References = 0;
  s.removedExports.clear();
  s.adapters.clear();
  s.openedLuids.clear();
  s.nextAdapterHandle = 0x40000000;
  s.openScript.clear();
  s.openNext = 0;
  s.opens.clear();
  s.runningTime = 0;
  s.sampleScript.clear();
  s.sampleNext = 0;
  s.queries.clear();
  s.processes.clear();
  s.processOpens.clear();
}
ResetHook g_reset(resetDisplay);

std::wstring lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

bool sameLuid(const LUID& a, const LUID& b) { return a.LowPart == b.LowPart && a.HighPart == b.HighPart; }

// Code of gdi32 running while the process holds no reference to it.
void requireLoaded(const char* function) {
  if (state().gdi32References > 0) return;
  std::fprintf(stderr, "simulated machine: %s called while gdi32.dll is not loaded\n", function);
  std::abort();
}

NTSTATUS APIENTRY OpenAdapterFromDeviceName(D3DKMT_OPENADAPTERFROMDEVICENAME* open) {
  auto fault = checkFault("D3DKMTOpenAdapterFromDeviceName");
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  requireLoaded("D3DKMTOpenAdapterFromDeviceName");
  if (fault) return static_cast<NTSTATUS>(*fault);
  if (!open) return kInvalidParameter;
  OpenRequest request{open->pDeviceName != nullptr, open->pDeviceName ? open->pDeviceName : L"", kSuccess};
  const Adapter* adapter = nullptr;
  if (open->pDeviceName) {
    std::wstring name = lower(open->pDeviceName);
    for (auto& a : s.adapters)
      if (a.path == name) adapter = &a;
  }
  NTSTATUS status = adapter ? kSuccess : kInvalidParameter;
  if (s.openNext < s.openScript.size()) status = s.openScript[s.openNext++];
  if (status >= 0 && adapter) {
    open->hAdapter = s.nextAdapterHandle++;
    open->AdapterLuid = adapter->luid;
    s.openedLuids.push_back(adapter->luid);
  }
  request.status = status;
  s.opens.push_back(request);
  return status;
}

NTSTATUS APIENTRY QueryStatistics(const D3DKMT_QUERYSTATISTICS* query) {
  auto fault = checkFault("D3DKMTQueryStatistics");
  std::shared_ptr<ProcessObject> process;
  if (query) process = lookup<ProcessObject>(query->hProcess);
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  requireLoaded("D3DKMTQueryStatistics");
  if (fault) return static_cast<NTSTATUS>(*fault);
  if (!query) return kInvalidParameter;
  Query record{static_cast<UINT>(query->Type), query->AdapterLuid, std::nullopt, query->QueryNode.NodeId, kSuccess};
  if (process) record.processId = process->processId;

  NTSTATUS status = kSuccess;
  bool opened = false;
  for (auto& luid : s.openedLuids) opened = opened || sameLuid(luid, query->AdapterLuid);
  if (query->Type != D3DKMT_QUERYSTATISTICS_NODE && query->Type != D3DKMT_QUERYSTATISTICS_PROCESS_NODE)
    status = kNotSupported;
  else if (!opened || query->QueryNode.NodeId != 0)
    status = kInvalidParameter;
  else if (query->Type == D3DKMT_QUERYSTATISTICS_PROCESS_NODE &&
           (!process || !(process->access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION))))
    status = kInvalidHandle;

  if (status == kSuccess) {
    LONGLONG runningTime = s.runningTime;
    if (s.sampleNext < s.sampleScript.size()) {
      const Sample& sample = s.sampleScript[s.sampleNext++];
      status = sample.status;
      runningTime = sample.runningTime;
    }
    if (static_cast<ULONG>(status) <= 63) {
      // The kernel writes the whole result union.
      auto* result = const_cast<D3DKMT_QUERYSTATISTICS_RESULT*>(&query->QueryResult);
      std::memset(result, 0, sizeof *result);
      result->NodeInformation.GlobalInformation.RunningTime.QuadPart = runningTime;
    }
  }
  record.status = status;
  s.queries.push_back(record);
  return status;
}

bool isGdi32(std::wstring name) {
  name = lower(name);
  return name == L"gdi32.dll" || name == L"gdi32";
}

HMODULE load(const std::wstring& name) {
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  if (!isGdi32(name) || !s.gdi32Available) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  s.gdi32References++;
  return kGdi32;
}

}  // namespace

void setGdi32Available(bool available) {
  std::lock_guard<std::mutex> g(state().lock);
  state().gdi32Available = available;
}
void removeExport(const std::string& name) {
  std::lock_guard<std::mutex> g(state().lock);
  state().removedExports.insert(name);
}
int gdi32References() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().gdi32References;
}
void addAdapter(const std::wstring& path, LUID luid) {
  std::lock_guard<std::mutex> g(state().lock);
  state().adapters.push_back({lower(path), luid});
}
void scriptOpenStatus(std::vector<NTSTATUS> statuses) {
  std::lock_guard<std::mutex> g(state().lock);
  state().openScript = std::move(statuses);
  state().openNext = 0;
}
std::vector<OpenRequest> openRequests() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().opens;
}
void setRunningTime(LONGLONG runningTime) {
  std::lock_guard<std::mutex> g(state().lock);
  state().runningTime = runningTime;
}
void scriptStatistics(std::vector<Sample> samples) {
  std::lock_guard<std::mutex> g(state().lock);
  state().sampleScript = std::move(samples);
  state().sampleNext = 0;
}
std::vector<Query> queries() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().queries;
}
void clearQueries() {
  std::lock_guard<std::mutex> g(state().lock);
  state().queries.clear();
}
void addProcess(DWORD processId) {
  std::lock_guard<std::mutex> g(state().lock);
  state().processes.insert(processId);
}
std::vector<ProcessOpen> processOpens() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().processOpens;
}

}  // namespace sim::display

using namespace sim;
using namespace sim::display;

HMODULE LoadLibraryW(LPCWSTR fileName) {
  if (auto e = checkFault("LoadLibraryW")) {
    SetLastError(*e);
    return NULL;
  }
  return load(fileName ? fileName : L"");
}

HMODULE LoadLibraryA(LPCSTR fileName) {
  if (auto e = checkFault("LoadLibraryA")) {
    SetLastError(*e);
    return NULL;
  }
  std::string narrow = fileName ? fileName : "";
  return load(std::wstring(narrow.begin(), narrow.end()));
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (auto e = checkFault("GetProcAddress")) {
    SetLastError(*e);
    return NULL;
  }
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  if (module != kGdi32 || s.gdi32References == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  std::string name = procName ? procName : "";
  if (s.removedExports.count(name) == 0) {
    if (name == "D3DKMTOpenAdapterFromDeviceName")
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&OpenAdapterFromDeviceName));
    if (name == "D3DKMTQueryStatistics")
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&QueryStatistics));
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return NULL;
}

BOOL FreeLibrary(HMODULE module) {
  if (auto e = checkFault("FreeLibrary")) {
    SetLastError(*e);
    return FALSE;
  }
  auto& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  if (module != kGdi32 || s.gdi32References == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  s.gdi32References--;
  return TRUE;
}

HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
  {
    std::lock_guard<std::mutex> g(state().lock);
    state().processOpens.push_back({desiredAccess, inheritHandle, processId});
  }
  if (auto e = checkFault("OpenProcess")) {
    SetLastError(*e);
    return NULL;
  }
  bool exists;
  {
    std::lock_guard<std::mutex> g(state().lock);
    exists = processId != 0 && (processId == GetCurrentProcessId() || state().processes.count(processId) != 0);
  }
  if (!exists) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  return insertHandle(std::make_shared<ProcessObject>(processId, desiredAccess));
}
