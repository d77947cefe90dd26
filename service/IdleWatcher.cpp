#include "service/IdleWatcher.h"

#include "modes/IfcMode.h"
#include "modes/Log.h"
#include "modes/Registry.h"
#include "service/ServiceControl.h"

int g_lowLoadSeconds = 0;

namespace {

constexpr int kLowSecondsToEnter = 60;
constexpr int kLowSecondsRestart = 1000000;
constexpr DWORD kSampleIntervalMs = 1000;

}  // namespace

bool IsHighGpuLoad(float usage, DWORD threshold) { return usage >= static_cast<float>(threshold); }

bool IdleWatcher::Start() {
  m_threshold = GPULOAD_DEFAULT;
  LogOpen(L"qthdebug_idletask.log", 0);
  // The watcher needs no COM: it gives up what wmain set up.
  CoUninitialize();

  if (!m_gpuhelper.InitializeAdapter(0)) {
    // The sampler then reads 0, so every sample counts as low.
    LogError(L"gpuhelper.InitializeAdapter error!");
  }
  DWORD threshold = GPULOAD_DEFAULT;
  if (GetRegKeyDwordValue(GPULOAD_KEY, GPULOAD_VALUE, &threshold) == ERROR_SUCCESS) {
    m_threshold = threshold;
  } else {
    LogError(L"GetRegKeyDwordValue.GPULOAD_KEY GPULOAD_VALUE error!");
  }
  LogInfo(L"GPULoad %d", m_threshold);

  m_idleMutex = CreateMutexW(NULL, FALSE, IFC_IDLE_MUTEX_NAME);
  if (m_idleMutex == NULL) {
    LogError(L"CreateMutexW Global\\QTHUniversal_Idle_Mutex error");
    return false;
  }
  // An abandoned mutex is taken all the same: the previous watcher has ended.
  if (WaitForSingleObject(m_idleMutex, INFINITE) == WAIT_OBJECT_0) {
    LogInfo(L"WaitForSingleObject  Global\\QTHUniversal_Idle_Mutex ok");
  }
  objContrService.SendServiceControlCode(IFC_CTL_IDLE_START);
  return true;
}

void IdleWatcher::Step() {
  float usage = m_gpuhelper.GetGpuUsage();
  if (IsHighGpuLoad(usage, m_threshold)) {
    objContrService.SendServiceControlCode(IFC_CTL_EXIT);
    g_lowLoadSeconds = 0;
    LogInfo(L"GetGpuUsage: more than %d, so exit IFC Mode", m_threshold);
  } else {
    ++g_lowLoadSeconds;
  }
  if (g_lowLoadSeconds == kLowSecondsToEnter) {
    objContrService.SendServiceControlCode(IFC_CTL_ENTER);
    LogInfo(L"GetGpuUsage: less than %d during one minute, so Enter IFC Mode", m_threshold);
  } else if (g_lowLoadSeconds >= kLowSecondsRestart) {
    g_lowLoadSeconds = 0;
  }
  Sleep(kSampleIntervalMs);
}

void IdleWatcher::Run() {
  if (!Start()) return;
  for (;;) Step();
}

void RunIdleWatcher() {
  IdleWatcher watcher;
  watcher.Run();
}
