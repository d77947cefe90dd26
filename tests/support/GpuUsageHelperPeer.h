// What a test reads of the GPU sampler, through its friendship: the adapter paths it
// sorted, and the largest share it accepted.
#pragma once

#include "helpers/GpuUsageHelper.h"

#include <string>

class GpuUsageHelperPeer {
 public:
  static const std::wstring& intelPath(const GpuUsageHelper& gpu) { return gpu.m_intelPath; }
  static const std::wstring& amdNvidiaPath(const GpuUsageHelper& gpu) { return gpu.m_amdNvidiaPath; }
  static float peakUsage(const GpuUsageHelper& gpu) { return gpu.m_peakUsage; }
};
