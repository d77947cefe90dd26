// Runs a service frame as the simulated process does when the Service Control Manager
// starts it: a "main thread" calls Run, as wmain does, and blocks in the dispatcher
// while the test plays the SCM.
#pragma once

#include "platform/platform.h"
#include "service/ServiceBase.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

class ServiceProcess {
 public:
  explicit ServiceProcess(CServiceBase& frame, std::vector<std::wstring> args = {}, const std::wstring& name = L"QTHRMON") {
    sim::scm::runAsService(name, std::move(args));
    std::promise<BOOL> result;
    m_result = result.get_future();
    m_main = std::thread([&frame, result = std::move(result)]() mutable {
      result.set_value(CServiceBase::Run(frame));
    });
  }
  ~ServiceProcess() { join(); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // True while Run has not returned.
  bool running() const { return m_result.wait_for(std::chrono::seconds(0)) != std::future_status::ready; }

  // Waits for Run to return and for the service's main function to end; Run's result.
  // A service that never stops ends the test process rather than hang it.
  BOOL join() {
    if (!m_main.joinable()) return m_ran;
    if (m_result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      std::fprintf(stderr, "the dispatcher did not return: the service never reported stopped\n");
      std::abort();
    }
    m_ran = m_result.get();
    m_main.join();
    sim::scm::joinServiceThreads();
    return m_ran;
  }

 private:
  std::future<BOOL> m_result;
  std::thread m_main;
  BOOL m_ran = FALSE;
};

// One status report as the tests compare it: state, check point, Win32 exit code.
struct Report {
  DWORD state;
  DWORD checkPoint;
  DWORD exitCode;
  bool operator==(const Report& o) const {
    return state == o.state && checkPoint == o.checkPoint && exitCode == o.exitCode;
  }
};
inline void PrintTo(const Report& r, std::ostream* os) {
  *os << "{state " << r.state << ", check point " << r.checkPoint << ", exit " << r.exitCode << "}";
}
inline std::vector<Report> reports() {
  std::vector<Report> out;
  for (auto& r : sim::scm::statusReports())
    out.push_back({r.status.dwCurrentState, r.status.dwCheckPoint, r.status.dwWin32ExitCode});
  return out;
}

namespace sim::scm {
inline void PrintTo(const ControlResult& r, std::ostream* os) {
  *os << (r.delivered ? "{delivered, answer " : "{refused, error ") << r.code << "}";
}
}  // namespace sim::scm
