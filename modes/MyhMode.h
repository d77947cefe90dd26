// The MYH, following the DWORD "Mode" that a program outside the service writes, on a
// registry-watch thread of its own.
#pragma once

#include "modes/ModeBase.h"

#include <mutex>
#include <thread>

// HKEY_LOCAL_MACHINE key and value that the mode follows.
constexpr const wchar_t* MYH_KEY = L"SOFTWARE\\Oltaro\\BravaMode";
constexpr const wchar_t* MYH_VALUE = L"Mode";
// The watch thread's stop event.
constexpr const wchar_t* MYH_STOP_EVENT = L"regstopevent";

class CMYH : public ModeBase {
 public:
  CMYH() = default;
  bool install() override { return true; }
  bool unInstall() override { return true; }
  // Needs the mode to be owned by a std::shared_ptr: the watch thread shares it.
  bool init() override;
  bool unInit() override;
  bool setStatus(int status) override;
  bool hook() override { return true; }
  bool OnServiceControl(DWORD, DWORD, void*) override { return true; }

  // The watch thread's body; `mode` is the CMYH. The caller keeps the mode alive until
  // it returns (init's thread holds a shared reference for that long).
  static void myhRegMonitor(void* mode);

 private:
  std::mutex m_stopLock;
  HANDLE m_stopEvent = NULL;  // guarded by m_stopLock once the watch thread exists
  std::thread m_thread;
  // The "Mode" that init applied; written before the watch thread starts.
  DWORD m_initMode = 0;
};
