// How busy the graphics processor is: the growth of a display adapter's node running
// time over the wall-clock time between two samples.
#pragma once

#include "platform/platform.h"

#include <string>

class GpuUsageHelper {
 public:
  GpuUsageHelper() = default;
  GpuUsageHelper(const GpuUsageHelper&) = delete;
  GpuUsageHelper& operator=(const GpuUsageHelper&) = delete;

  // Picks and opens the adapter (Intel before AMD or NVIDIA) and prepares the query:
  // processId 0 measures the whole node, any other id that process's share of it.
  bool InitializeAdapter(DWORD processId);
  // The busy share since the previous successful sample, in percent.
  float GetGpuUsage();
  // Sorts the display adapters' interface paths by vendor.
  bool InitVGACardList();

 private:
  friend class GpuUsageHelperPeer;  // tests read the adapter paths and the peak through it

  // The module, the process handle in m_statistics and the adapter are held for the
  // object's life, which is the watcher process's life.
  HMODULE m_gdi32 = NULL;
  PFND3DKMT_QUERYSTATISTICS m_queryStatistics = NULL;
  D3DKMT_QUERYSTATISTICS m_statistics{};
  float m_usage = 0.0f;
  float m_peakUsage = 0.0f;
  LONGLONG m_lastCounter = 0;
  LONGLONG m_lastRunningTime = 0;
  std::wstring m_amdNvidiaPath;
  std::wstring m_intelPath;
};
