// The simulated Service Control Manager must deliver controls as Windows does, or the
// frame's tests would prove nothing: these pin it with a bare service of their own.
#include "tests/support/ServiceProcess.h"
#include "tests/support/SimFixture.h"

#include <atomic>

namespace {

// A bare service: registers after `registerGate`, reports start pending accepting stop and
// power events, waits for `runGate`, reports running; its handler notes each control
// and reports stopped on stop.
struct Bare {
  std::promise<void> registerGate, runGate;
  std::shared_future<void> registerWait = registerGate.get_future().share();
  std::shared_future<void> runWait = runGate.get_future().share();
  SERVICE_STATUS_HANDLE handle = NULL;
  std::atomic<bool> registered{false};
  std::mutex lock;
  std::vector<DWORD> controls;
  std::vector<DWORD> threads;
};
Bare* g_bare = nullptr;

void report(DWORD state, DWORD accepted) {
  SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, state, accepted, 0, 0, 0, 0};
  SetServiceStatus(g_bare->handle, &s);
}

DWORD WINAPI bareHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  {
    std::lock_guard<std::mutex> g(g_bare->lock);
    g_bare->controls.push_back(control);
    g_bare->threads.push_back(GetCurrentThreadId());
  }
  if (control == SERVICE_CONTROL_STOP) report(SERVICE_STOPPED, 0);
  return 0x1234;
}

void WINAPI bareMain(DWORD, LPWSTR*) {
  g_bare->registerWait.wait();
  g_bare->handle = RegisterServiceCtrlHandlerExW(L"", bareHandler, NULL);
  g_bare->registered = true;
  report(SERVICE_START_PENDING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT);
  g_bare->runWait.wait();
  report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT);
}

class ServiceControlManagerTest : public SimTest {};

TEST_F(ServiceControlManagerTest, ControlsGoOnlyWhereTheLastReportLetsThemAndOnTheDispatchersThread) {
  Bare bare;
  g_bare = &bare;
  sim::scm::runAsService(L"QTHRMON");
  wchar_t name[] = L"QTHRMON";
  SERVICE_TABLE_ENTRYW table[] = {{name, bareMain}, {NULL, NULL}};
  std::promise<BOOL> returned;
  std::thread main([&] { returned.set_value(StartServiceCtrlDispatcherW(table)); });
  using R = sim::scm::ControlResult;

  ASSERT_TRUE(sim::scm::waitForState(SERVICE_START_PENDING));
  // No handler yet: nothing is delivered.
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_POWEREVENT), (R{false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}));
  bare.registerGate.set_value();
  ASSERT_TRUE(sim::scm::waitForReports(1));
  // Start pending: what the system broadcasts goes if accepted; what a client sends waits.
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_POWEREVENT), (R{true, 0x1234}));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_SHUTDOWN), (R{false, ERROR_INVALID_SERVICE_CONTROL}));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), (R{false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}));
  EXPECT_EQ(sim::scm::postControl(130), (R{false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}));
  bare.runGate.set_value();
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  EXPECT_EQ(sim::scm::postControl(130), (R{true, 0x1234}));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_PAUSE), (R{false, ERROR_INVALID_SERVICE_CONTROL}));
  EXPECT_EQ(sim::scm::postControl(99), (R{false, ERROR_INVALID_PARAMETER}));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), (R{true, 0x1234}));
  // The stopped report ends the dispatcher; later controls find the service inactive.
  EXPECT_TRUE(returned.get_future().get());
  main.join();
  sim::scm::joinServiceThreads();
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_INTERROGATE), (R{false, ERROR_SERVICE_NOT_ACTIVE}));

  EXPECT_EQ(bare.controls, (std::vector<DWORD>{SERVICE_CONTROL_POWEREVENT, 130, SERVICE_CONTROL_STOP}));
  for (DWORD t : bare.threads) EXPECT_EQ(t, sim::scm::dispatcherThreadId());
  EXPECT_EQ(sim::scm::statusReports().back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  g_bare = nullptr;
}

TEST_F(ServiceControlManagerTest, TheDispatcherConnectsOnlyOnceAndStatusNeedsTheServicesHandle) {
  wchar_t name[] = L"QTHRMON";
  SERVICE_TABLE_ENTRYW table[] = {{name, bareMain}, {NULL, NULL}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(L"QTHRMON", bareHandler, NULL), static_cast<SERVICE_STATUS_HANDLE>(NULL));
  SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(NULL, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SERVICE_TABLE_ENTRYW unnamed[] = {{NULL, bareMain}, {NULL, NULL}};
  sim::scm::runAsService(L"QTHRMON");
  EXPECT_FALSE(StartServiceCtrlDispatcherW(unnamed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(sim::scm::statusReports().empty());
}

}  // namespace
