// The idle-time watcher's process as the service sees it: it takes the idle mutex and
// holds it until it ends, which abandons the mutex. Its calls are the peer's, not the
// system's, so they stay out of the call log and out of reach of injected faults.
#pragma once

#include "platform/platform.h"

#include <future>
#include <thread>

class IdleWatcherPeer {
 public:
  IdleWatcherPeer() {
    m_thread = std::thread([this] {
      sim::Unobserved outside;
      HANDLE mutex = CreateMutexW(NULL, TRUE, L"Global\\QTHUniversal_Idle_Mutex");
      m_started.set_value();
      m_end.get_future().wait();
      CloseHandle(mutex);  // what the process's end does: ownership is not given back
    });
    m_started.get_future().wait();
  }
  ~IdleWatcherPeer() { end(); }
  IdleWatcherPeer(const IdleWatcherPeer&) = delete;
  IdleWatcherPeer& operator=(const IdleWatcherPeer&) = delete;

  // The process ends; the mutex is abandoned.
  void end() {
    if (!m_thread.joinable()) return;
    m_end.set_value();
    m_thread.join();
  }

 private:
  std::promise<void> m_started, m_end;
  std::thread m_thread;
};
