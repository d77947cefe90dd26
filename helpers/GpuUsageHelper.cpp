#include "helpers/GpuUsageHelper.h"

#include "helpers/DeviceInfoSet.h"
#include "modes/Log.h"
#include "platform/handles.h"

#include <limits>
#include <utility>
#include <vector>

namespace {

struct ModuleTraits {
  static HMODULE empty() { return NULL; }
  static bool valid(HMODULE m) { return m != NULL; }
  static void close(HMODULE m) { FreeLibrary(m); }
};
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;

constexpr LONGLONG kHundredNanosecondsPerSecond = 10000000;

// Display-kernel statuses 0 to 63 are successes.
bool Succeeded(NTSTATUS status) { return static_cast<ULONG>(status) <= 63; }

template <class T>
T ProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Signed 64-bit differences that wrap instead of overflowing.
LONGLONG Difference(LONGLONG a, LONGLONG b) {
  return static_cast<LONGLONG>(static_cast<ULONGLONG>(a) - static_cast<ULONGLONG>(b));
}

// Counter ticks as 100-ns units. The product is taken in 64-bit integers; a gap too long
// for them (over a day at 10 MHz) is scaled in floating point rather than wrapped.
double TicksToHundredNanoseconds(LONGLONG ticks, LONGLONG frequency) {
  constexpr LONGLONG limit = std::numeric_limits<LONGLONG>::max() / kHundredNanosecondsPerSecond;
  double scaled = (ticks > limit || ticks < -limit)
                      ? static_cast<double>(ticks) * static_cast<double>(kHundredNanosecondsPerSecond)
                      : static_cast<double>(ticks * kHundredNanosecondsPerSecond);
  return scaled / static_cast<double>(frequency);
}

void ToLowerAscii(std::wstring& text) {
  for (auto& unit : text)
    if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
}

}  // namespace

bool GpuUsageHelper::InitVGACardList() {
  DeviceInfoSet adapters(&GUID_DISPLAY_DEVICE_ARRIVAL, NULL, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
  std::vector<std::wstring> paths;
  UniqueModule gdi32(LoadLibraryW(L"gdi32.dll"));
  if (!gdi32) return false;
  if (GetProcAddress(gdi32.get(), "D3DKMTOpenAdapterFromDeviceName") == NULL) return false;
  adapters.GetInterfacePaths(paths);
  // Each path is lowered where it lies and moved, never copied: sorting them allocates
  // nothing, so it cannot fail.
  for (auto& path : paths) {
    ToLowerAscii(path);
    if (path.find(L"ven_1002") != std::wstring::npos)
      m_amdNvidiaPath = std::move(path);
    else if (path.find(L"ven_10de") != std::wstring::npos)
      m_amdNvidiaPath = std::move(path);
    else if (path.find(L"ven_8086") != std::wstring::npos)
      m_intelPath = std::move(path);
  }
  return true;
}

bool GpuUsageHelper::InitializeAdapter(DWORD processId) {
  if (!InitVGACardList()) {
    LogError(L"GpuUsageHelper InitializeAdapter InitVGACardList error!");
    return false;
  }
  // Only this one adapter is tried.
  const std::wstring& deviceName = !m_intelPath.empty() ? m_intelPath : m_amdNvidiaPath;
  D3DKMT_OPENADAPTERFROMDEVICENAME open{};
  open.pDeviceName = deviceName.c_str();
  open.hAdapter = 0;
  open.AdapterLuid = LUID{0, 0};

  UniqueModule gdi32(LoadLibraryA("gdi32.dll"));
  if (!gdi32) {
    LogError(L"GpuUsageHelper InitializeAdapter LoadLibraryA error!");
    return false;
  }
  auto openAdapter = ProcAddress<PFND3DKMT_OPENADAPTERFROMDEVICENAME>(gdi32.get(), "D3DKMTOpenAdapterFromDeviceName");
  if (openAdapter == NULL) {
    LogError(L"GpuUsageHelper InitializeAdapter failed to get openAdapter address!");
    return false;
  }
  if (!Succeeded(openAdapter(&open))) return false;

  DWORD pid = processId != 0 ? processId : GetCurrentProcessId();
  UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, pid));
  if (!process) {
    LogError(L"GpuUsageHelper InitializeAdapter failed to open process.");
    return false;
  }
  m_queryStatistics = ProcAddress<PFND3DKMT_QUERYSTATISTICS>(gdi32.get(), "D3DKMTQueryStatistics");
  if (m_queryStatistics == NULL) {
    LogError(L"GpuUsageHelper InitializeAdapter failed to get queryStatistics address.");
    return false;
  }
  m_statistics.Type = processId != 0 ? D3DKMT_QUERYSTATISTICS_PROCESS_NODE : D3DKMT_QUERYSTATISTICS_NODE;
  m_statistics.AdapterLuid = open.AdapterLuid;
  m_statistics.hProcess = process.release();
  m_statistics.QueryNode.NodeId = 0;
  m_gdi32 = gdi32.release();
  return true;
}

float GpuUsageHelper::GetGpuUsage() {
  if (m_queryStatistics == NULL) {
    LogError(L"GpuUsageHelper GetGpuUsage D3DKMTQueryStatistics function address is null.");
    return 0.0f;
  }
  LARGE_INTEGER frequency{};
  LARGE_INTEGER now{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  double elapsed = TicksToHundredNanoseconds(Difference(now.QuadPart, m_lastCounter), frequency.QuadPart);

  NTSTATUS status = m_queryStatistics(&m_statistics);
  if (!Succeeded(status)) {
    LogError(L"GPU_Usage:fatal error!status(0x%x),check process(%d)\n", status, 0);
    return 0.0f;
  }
  LONGLONG runningTime = m_statistics.Type == D3DKMT_QUERYSTATISTICS_PROCESS_NODE
                             ? m_statistics.QueryResult.ProcessNodeInformation.RunningTime.QuadPart
                             : m_statistics.QueryResult.NodeInformation.GlobalInformation.RunningTime.QuadPart;

  if (m_lastCounter > 0 && m_lastRunningTime > 0) {
    float share = 0.0f;
    bool discarded = false;
    if (elapsed > 0.0) {
      share = static_cast<float>(static_cast<double>(Difference(runningTime, m_lastRunningTime)) / elapsed);
      LogInfo(L"GPU_Usage:Process:%d Gpu usage %f\n", 0, static_cast<double>(share * 100.0f));
      // More busy time than wall-clock time is a bad sample.
      discarded = share > 1.0f;
    }
    if (!discarded) {
      m_usage = share;
      if (share >= m_peakUsage) m_peakUsage = share;
    }
  }
  m_lastRunningTime = runningTime;
  m_lastCounter = now.QuadPart;
  return m_usage * 100.0f;
}
