// The idle-time GPU-load watcher: the process that the idle task starts with "-idletask".
// It holds the idle mutex for its whole life, tells the service that the idle period has
// begun, then samples the graphics processor's load once a second and tells the service
// to leave IFC while the load is high and to enter it again after a minute of low load.
#pragma once

#include "helpers/GpuUsageHelper.h"
#include "platform/platform.h"

constexpr const wchar_t* GPULOAD_KEY = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";
constexpr const wchar_t* GPULOAD_VALUE = L"GPULOAD";
constexpr DWORD GPULOAD_DEFAULT = 50;

// Consecutive low samples; restarts from 0 when it reaches 1,000,000.
extern int g_lowLoadSeconds;

// A sample counts as high when it reaches the threshold, taken as an unsigned number of
// percent. NaN is low.
bool IsHighGpuLoad(float usage, DWORD threshold);

class IdleWatcher {
 public:
  IdleWatcher() = default;
  IdleWatcher(const IdleWatcher&) = delete;
  IdleWatcher& operator=(const IdleWatcher&) = delete;

  // Gives up COM, opens the sampler, reads the threshold, takes the idle mutex (waiting
  // while another watcher holds it) and sends 130. False only when the mutex cannot be
  // created; nothing is sent then.
  bool Start();
  // One sample, the control it calls for, and the second's sleep.
  void Step();
  // The process's watcher: Start, then Step without end. Returns only when Start fails.
  void Run();

  DWORD Threshold() const { return m_threshold; }

 private:
  GpuUsageHelper m_gpuhelper;
  DWORD m_threshold = GPULOAD_DEFAULT;
  // Owned from the wait on until the process ends; never released or closed, so that
  // the service sees it abandoned when the Task Scheduler ends this process.
  HANDLE m_idleMutex = NULL;
};

// The "-idletask" role: the watcher on the caller's stack.
void RunIdleWatcher();
