// The service frame under the simulated Service Control Manager: the reports it makes,
// the controls it routes through the mode manager, and its start racing a control.
#include "modes/ModeManager.h"
#include "service/ServiceBase.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/SimFixture.h"
#include "tests/support/ModeManagerPeer.h"

#include <algorithm>
#include <cassert>
#include <functional>
#include <stdexcept>

namespace {

constexpr DWORD kMmcAndMsc = 0x18000000;

// A frame whose hooks note their calls and may first run a test action (which may throw)
// before the frame's own work.
class TestFrame : public CServiceBase {
 public:
  explicit TestFrame(BOOL canStop = TRUE, BOOL canShutdown = TRUE, BOOL canPauseContinue = FALSE,
                     LPCWSTR name = L"QTHRMON")
      : CServiceBase(name, canStop, canShutdown, canPauseContinue) {}

  struct Event {
    DWORD type;
    void* data;
    void* context;
    bool operator==(const Event& o) const { return type == o.type && data == o.data && context == o.context; }
  };

  std::function<void()> beforeStart, beforeStop, beforePause, beforeContinue, beforeShutdown;

  std::vector<std::string> hooks() {
    std::lock_guard<std::mutex> g(m_journal);
    return m_hooks;
  }
  std::vector<std::wstring> startArgs() {
    std::lock_guard<std::mutex> g(m_journal);
    return m_startArgs;
  }
  std::vector<Event> powerEvents() {
    std::lock_guard<std::mutex> g(m_journal);
    return m_power;
  }
  std::vector<Event> sessionChanges() {
    std::lock_guard<std::mutex> g(m_journal);
    return m_session;
  }

 protected:
  void OnStart(DWORD argc, LPWSTR* argv) override {
    note("OnStart");
    {
      std::lock_guard<std::mutex> g(m_journal);
      for (DWORD i = 0; i < argc; i++) m_startArgs.push_back(argv[i]);
    }
    if (beforeStart) beforeStart();
    CServiceBase::OnStart(argc, argv);
  }
  void OnStop() override {
    run("OnStop", beforeStop);
    CServiceBase::OnStop();
  }
  void OnPause() override { run("OnPause", beforePause); }
  void OnContinue() override { run("OnContinue", beforeContinue); }
  void OnShutdown() override { run("OnShutdown", beforeShutdown); }
  void OnPowerEvent(DWORD type, LPVOID data, LPVOID context) override {
    LogInfo(L"test OnPowerEvent");
    std::lock_guard<std::mutex> g(m_journal);
    m_power.push_back({type, data, context});
  }
  void OnSessionChange(DWORD type, LPVOID data, LPVOID context) override {
    LogInfo(L"test OnSessionChange");
    std::lock_guard<std::mutex> g(m_journal);
    m_session.push_back({type, data, context});
  }

 private:
  void note(const char* hook) {
    std::lock_guard<std::mutex> g(m_journal);
    m_hooks.push_back(hook);
  }
  void run(const char* hook, const std::function<void()>& action) {
    note(hook);
    if (action) action();
  }
  std::mutex m_journal;
  std::vector<std::string> m_hooks;
  std::vector<std::wstring> m_startArgs;
  std::vector<Event> m_power, m_session;
};

// An action that throws `e` the first time only.
template <class E>
std::function<void()> throwOnce(E e) {
  auto thrown = std::make_shared<bool>(false);
  return [thrown, e] {
    if (!std::exchange(*thrown, true)) throw e;
  };
}

const sim::scm::ControlResult kHandled{true, NO_ERROR};

class ServiceBaseTest : public SimTest {
 protected:
  static size_t indexOf(const std::vector<std::wstring>& texts, const std::wstring& text) {
    return static_cast<size_t>(std::find(texts.begin(), texts.end(), text) - texts.begin());
  }
  std::vector<Trace> errors() {
    std::vector<Trace> out;
    for (auto& t : traces.all())
      if (t.level == LogLevel::Error) out.push_back(t);
    return out;
  }
};

TEST_F(ServiceBaseTest, AStartAndAStopReportFourWholeRecordsAndBringTheModesUpAndDown) {
  sim::dev::setCapability(kMmcAndMsc);
  CServiceBase frame(L"QTHRMON", TRUE, TRUE, FALSE);
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  EXPECT_EQ(ModeManagerPeer::modeCount(*ModeManager::getInstance()), 2u);
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), kHandled);
  EXPECT_TRUE(process.join());

  auto all = sim::scm::statusReports();
  ASSERT_EQ(all.size(), 4u);
  const DWORD expected[4][2] = {{SERVICE_START_PENDING, 1}, {SERVICE_RUNNING, 0}, {SERVICE_STOP_PENDING, 2},
                                {SERVICE_STOPPED, 0}};
  for (size_t i = 0; i < 4; i++) {
    const SERVICE_STATUS& s = all[i].status;
    EXPECT_EQ(s.dwServiceType, 0x10u) << i;
    EXPECT_EQ(s.dwCurrentState, expected[i][0]) << i;
    EXPECT_EQ(s.dwControlsAccepted, 0xC5u) << i;
    EXPECT_EQ(s.dwWin32ExitCode, 0u) << i;
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u) << i;
    EXPECT_EQ(s.dwCheckPoint, expected[i][1]) << i;
    EXPECT_EQ(s.dwWaitHint, 0u) << i;
  }
  // Start reports from the service's main thread, the stop from the dispatcher's.
  EXPECT_EQ(all[0].threadId, sim::scm::serviceMainThreadId());
  EXPECT_EQ(all[1].threadId, sim::scm::serviceMainThreadId());
  EXPECT_EQ(all[2].threadId, sim::scm::dispatcherThreadId());
  EXPECT_EQ(all[3].threadId, sim::scm::dispatcherThreadId());
  EXPECT_NE(sim::scm::serviceMainThreadId(), sim::scm::dispatcherThreadId());

  // initlize queried the capability, CMMC's init its current mode; the stop went to the
  // manager, whose unInit emptied the list.
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{3, 7}));
  // CMSC registered for the monitor on the handle the SCM gave the frame, and stopping unregistered it.
  auto registrations = sim::power::registrations();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_NE(registrations[0].recipient, nullptr);
  EXPECT_EQ(registrations[0].flags, static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE));
  EXPECT_EQ(sim::power::activeRegistrations(), 0u);
  EXPECT_TRUE(traces.contains(L"ModeManager initlize getFunctionCap 18000000 "));
  EXPECT_EQ(traces.count(L"ModeManager onServiceControlHandler 1"), 1u);
  EXPECT_EQ(ModeManagerPeer::modeCount(*ModeManager::getInstance()), 0u);
  EXPECT_TRUE(errors().empty());
  EXPECT_EQ(sim::scm::serviceStatus(L"QTHRMON")->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceBaseTest, AShutdownReportsStoppedOnceAndLeavesTheModesInitialised) {
  sim::dev::setCapability(kMmcAndMsc);
  CServiceBase frame(L"QTHRMON");
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_SHUTDOWN), kHandled);
  EXPECT_TRUE(process.join());
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
  EXPECT_EQ(traces.count(L"ModeManager onServiceControlHandler 5"), 1u);
  EXPECT_EQ(ModeManagerPeer::modeCount(*ModeManager::getInstance()), 2u);
}

TEST_F(ServiceBaseTest, ControlsAcceptedFollowTheFlagsAndAnyNonzeroFlagCounts) {
  struct Case {
    BOOL stop, shutdown, pause;
    DWORD mask;
  };
  const Case cases[] = {{1, 1, 0, 0xC5}, {0, 0, 0, 0xC0}, {1, 1, 1, 0xC7},
                        {2, 0, 0, 0xC1}, {0, -1, 0, 0xC4}, {0, 0, 0x100, 0xC2}};
  for (const Case& c : cases) {
    TestFrame frame(c.stop, c.shutdown, c.pause);
    frame.beforeStart = throwOnce(DWORD(1));  // ends the run at once, with a stopped report
    ServiceProcess process(frame);
    process.join();
    auto all = sim::scm::statusReports();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].status.dwControlsAccepted, c.mask) << c.stop << c.shutdown << c.pause;
    EXPECT_EQ(all[1].status.dwControlsAccepted, c.mask) << c.stop << c.shutdown << c.pause;
  }
}

TEST_F(ServiceBaseTest, PauseAndContinueRunOnlyInAFrameThatAcceptsThem) {
  {
    CServiceBase frame(L"QTHRMON", TRUE, TRUE, FALSE);
    ServiceProcess process(frame);
    ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
    EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_PAUSE).code, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_FALSE(traces.contains(L"ModeManager onServiceControlHandler 2"));
    sim::scm::postControl(SERVICE_CONTROL_STOP);
  }
  sim::reset();
  TestFrame frame(TRUE, TRUE, TRUE);
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_PAUSE), kHandled);
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_CONTINUE), kHandled);
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), kHandled);
  process.join();
  // The check point is never reset: the first run took 1 and 2.
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 3, 0},
                                            {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_PAUSE_PENDING, 4, 0},
                                            {SERVICE_PAUSED, 5, 0},
                                            {SERVICE_CONTINUE_PENDING, 6, 0},
                                            {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_STOP_PENDING, 7, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
  EXPECT_EQ(frame.hooks(), (std::vector<std::string>{"OnStart", "OnPause", "OnContinue", "OnStop"}));
  EXPECT_TRUE(errors().empty());
}

TEST_F(ServiceBaseTest, AnErrorCodeThrownByOnStartBecomesTheStoppedReportsExitCode) {
  TestFrame frame;
  frame.beforeStart = throwOnce(DWORD(5));
  ServiceProcess process(frame);
  EXPECT_TRUE(process.join());
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0}, {SERVICE_STOPPED, 0, 5}}));
  EXPECT_EQ(sim::scm::statusReports()[1].threadId, sim::scm::serviceMainThreadId());
  EXPECT_TRUE(traces.matching(L"service").empty());
  EXPECT_TRUE(sim::dev::words().empty());  // the modes were never brought up
}

TEST_F(ServiceBaseTest, AnythingElseThrownByOnStartStopsWithExitCodeZero) {
  TestFrame frame;
  frame.beforeStart = throwOnce(std::runtime_error("no"));
  ServiceProcess process(frame);
  EXPECT_TRUE(process.join());
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0}, {SERVICE_STOPPED, 0, 0}}));
  EXPECT_TRUE(traces.matching(L"service").empty());
}

TEST_F(ServiceBaseTest, AFailedStopReportsTheStateItHadBeforeAndPausedTakesACheckPoint) {
  TestFrame frame(TRUE, TRUE, TRUE);
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  frame.beforeStop = throwOnce(DWORD(0x57));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), kHandled);
  EXPECT_TRUE(process.running());

  sim::scm::postControl(SERVICE_CONTROL_PAUSE);
  frame.beforeStop = throwOnce(DWORD(0x58));
  sim::scm::postControl(SERVICE_CONTROL_STOP);
  frame.beforeStop = throwOnce(std::runtime_error("no"));
  sim::scm::postControl(SERVICE_CONTROL_STOP);
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), kHandled);
  process.join();
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0},
                                            {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_STOP_PENDING, 2, 0},
                                            {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_PAUSE_PENDING, 3, 0},
                                            {SERVICE_PAUSED, 4, 0},
                                            {SERVICE_STOP_PENDING, 5, 0},
                                            {SERVICE_PAUSED, 6, 0},
                                            {SERVICE_STOP_PENDING, 7, 0},
                                            {SERVICE_PAUSED, 8, 0},
                                            {SERVICE_STOP_PENDING, 9, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
  EXPECT_EQ(errors(), (std::vector<Trace>{Error(L"service stop error 57"), Error(L"service stop error 58")}));
}

TEST_F(ServiceBaseTest, FailedPauseContinueAndShutdownFallBackAndTrace) {
  TestFrame frame(TRUE, TRUE, TRUE);
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  frame.beforePause = throwOnce(DWORD(0x20));
  sim::scm::postControl(SERVICE_CONTROL_PAUSE);
  sim::scm::postControl(SERVICE_CONTROL_PAUSE);
  frame.beforeContinue = throwOnce(DWORD(0x21));
  sim::scm::postControl(SERVICE_CONTROL_CONTINUE);
  frame.beforeShutdown = throwOnce(DWORD(0x22));
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_SHUTDOWN), kHandled);
  EXPECT_TRUE(process.running());  // the shutdown sent no report
  sim::scm::postControl(SERVICE_CONTROL_STOP);
  process.join();
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0},
                                            {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_PAUSE_PENDING, 2, 0},
                                            {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_PAUSE_PENDING, 3, 0},
                                            {SERVICE_PAUSED, 4, 0},
                                            {SERVICE_CONTINUE_PENDING, 5, 0},
                                            {SERVICE_PAUSED, 6, 0},
                                            {SERVICE_STOP_PENDING, 7, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
  EXPECT_EQ(errors(), (std::vector<Trace>{Error(L"service pause error 20"), Error(L"service Continue error 21"),
                                          Error(L"service Shutdown error 22")}));
}

TEST_F(ServiceBaseTest, InterrogateAndUserDefinedCodesReachOnlyTheModeManager) {
  TestFrame frame;
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  for (DWORD code : {4u, 130u, 128u, 255u}) EXPECT_EQ(sim::scm::postControl(code, 0, nullptr), kHandled) << code;
  EXPECT_EQ(traces.matching(L"ModeManager onServiceControlHandler"),
            (std::vector<std::wstring>{L"ModeManager onServiceControlHandler 4",
                                       L"ModeManager onServiceControlHandler 130",
                                       L"ModeManager onServiceControlHandler 128",
                                       L"ModeManager onServiceControlHandler 255"}));
  EXPECT_EQ(sim::scm::statusReports().size(), 2u);
  EXPECT_EQ(frame.hooks(), (std::vector<std::string>{"OnStart"}));
  sim::scm::postControl(SERVICE_CONTROL_STOP);
}

TEST_F(ServiceBaseTest, PowerAndSessionEventsReachTheModeManagerFirstThenTheFrameWithANullContext) {
  TestFrame frame;
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  // The monitor went off.
  POWERBROADCAST_SETTING setting{{0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}}, 1, {0}};
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &setting), kHandled);
  WTSSESSION_NOTIFICATION session{static_cast<DWORD>(sizeof(WTSSESSION_NOTIFICATION)), 1};
  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, &session), kHandled);

  EXPECT_EQ(frame.powerEvents(), (std::vector<TestFrame::Event>{{PBT_POWERSETTINGCHANGE, &setting, nullptr}}));
  EXPECT_EQ(frame.sessionChanges(), (std::vector<TestFrame::Event>{{WTS_SESSION_LOCK, &session, nullptr}}));
  auto texts = traces.texts();
  size_t power = indexOf(texts, L"ModeManager onServiceControlHandler 13");
  size_t session14 = indexOf(texts, L"ModeManager onServiceControlHandler 14");
  ASSERT_LT(session14, texts.size());
  EXPECT_LT(power, indexOf(texts, L"test OnPowerEvent"));
  EXPECT_LT(indexOf(texts, L"test OnPowerEvent"), session14);
  EXPECT_LT(session14, indexOf(texts, L"test OnSessionChange"));
  EXPECT_EQ(sim::scm::statusReports().size(), 2u);
  sim::scm::postControl(SERVICE_CONTROL_STOP);
}

TEST_F(ServiceBaseTest, AShutdownDuringTheStartWaitsForTheStartsLastReport) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  TestFrame frame;
  frame.beforeStart = [gate] { gate.wait(); };
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForReports(1));  // start pending: shutdown is accepted from here on

  auto answer = sim::scm::postControlAsync(SERVICE_CONTROL_SHUTDOWN);
  // The handler has passed the control to the mode manager and now waits for the frame.
  for (int i = 0; i < 500 && !traces.contains(L"ModeManager onServiceControlHandler 5"); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(traces.contains(L"ModeManager onServiceControlHandler 5"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(sim::scm::statusReports().size(), 1u);

  release.set_value();
  EXPECT_EQ(answer.get(), kHandled);
  process.join();
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
  auto all = sim::scm::statusReports();
  EXPECT_EQ(all[1].threadId, sim::scm::serviceMainThreadId());
  EXPECT_EQ(all[2].threadId, sim::scm::dispatcherThreadId());
}

TEST_F(ServiceBaseTest, AShutdownRacingTheStartNeverInterleavesWithItsReports) {
  // Nothing here orders the two threads but the frame itself.
  for (int run = 0; run < 20; run++) {
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    TestFrame frame;
    frame.beforeStart = [gate] { gate.wait(); };
    ServiceProcess process(frame);
    ASSERT_TRUE(sim::scm::waitForReports(1));
    auto answer = sim::scm::postControlAsync(SERVICE_CONTROL_SHUTDOWN);
    release.set_value();
    EXPECT_EQ(answer.get(), kHandled);
    process.join();
    auto all = reports();
    ASSERT_EQ(all.size(), 3u) << run;
    EXPECT_EQ(all[0].state, static_cast<DWORD>(SERVICE_START_PENDING)) << run;
    EXPECT_EQ(all[1], (Report{SERVICE_RUNNING, 0, 0})) << run;
    EXPECT_EQ(all[2], (Report{SERVICE_STOPPED, 0, 0})) << run;
  }
}

TEST_F(ServiceBaseTest, AControlDuringTheModesInitialisationNeitherDeadlocksNorInterleaves) {
  // Hold initlize's capability query in flight: the manager's lock is taken, and the
  // frame's since the start began.
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::promise<void> queried;
  sim::dev::onRequest([&, gate](DWORD word) {
    if (word == 3) {
      queried.set_value();
      gate.wait();
    }
  });
  sim::dev::setCapability(kMmcAndMsc);
  CServiceBase frame(L"QTHRMON");
  ServiceProcess process(frame);
  ASSERT_EQ(queried.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto power = sim::scm::postControlAsync(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr);
  auto shutdown = sim::scm::postControlAsync(SERVICE_CONTROL_SHUTDOWN);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(power.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(power.get(), kHandled);
  EXPECT_EQ(shutdown.get(), kHandled);
  process.join();
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
  // The modes saw both controls, after they were all initialised.
  auto texts = traces.texts();
  EXPECT_LT(indexOf(texts, L"class CMSC mode init success "), indexOf(texts, L"ModeManager onServiceControlHandler 13"));
  EXPECT_LT(indexOf(texts, L"ModeManager onServiceControlHandler 13"), indexOf(texts, L"ModeManager onServiceControlHandler 5"));
  EXPECT_LT(indexOf(texts, L"ModeManager onServiceControlHandler 5"), texts.size());
}

TEST_F(ServiceBaseTest, TheStartArgumentsReachOnStartAndANullNameBecomesEmpty) {
  TestFrame frame(TRUE, TRUE, FALSE, nullptr);
  ServiceProcess process(frame, {L"-verbose", L"x"});
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  EXPECT_EQ(frame.startArgs(), (std::vector<std::wstring>{L"QTHRMON", L"-verbose", L"x"}));
  EXPECT_EQ(sim::scm::dispatchTableName(), std::optional<std::wstring>(L""));
  EXPECT_EQ(sim::scm::handlerRegistrationName(), std::optional<std::wstring>(L""));
  sim::scm::postControl(SERVICE_CONTROL_STOP);
}

TEST_F(ServiceBaseTest, AReportThatFailsStillTakesItsCheckPoint) {
  sim::failCall("SetServiceStatus", ERROR_INVALID_HANDLE, 1, 1);
  CServiceBase frame(L"QTHRMON");
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  sim::scm::postControl(SERVICE_CONTROL_STOP);
  process.join();
  EXPECT_EQ(reports(), (std::vector<Report>{{SERVICE_RUNNING, 0, 0}, {SERVICE_STOP_PENDING, 2, 0},
                                            {SERVICE_STOPPED, 0, 0}}));
}

TEST_F(ServiceBaseTest, OutsideTheServiceControlManagerRunFailsAtOnce) {
  CServiceBase frame(L"QTHRMON");
  EXPECT_FALSE(CServiceBase::Run(frame));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_TRUE(sim::scm::statusReports().empty());
  EXPECT_TRUE(sim::dev::words().empty());
}

TEST_F(ServiceBaseTest, WithoutAStatusHandleTheServiceEndsItsProcessAndReportsNothing) {
  sim::failCall("RegisterServiceCtrlHandlerExW", ERROR_NOT_ENOUGH_MEMORY);
  sim::dev::setCapability(kMmcAndMsc);
  CServiceBase frame(L"QTHRMON");
  ServiceProcess process(frame);
  process.join();  // the dispatcher is not left waiting
  EXPECT_EQ(sim::callCount("SetServiceStatus"), 0);
  EXPECT_EQ(errors(), (std::vector<Trace>{Error(L"service RegisterServiceCtrlHandlerExW error 8")}));
  EXPECT_EQ(sim::scm::processExitCode(), std::optional<UINT>(ERROR_NOT_ENOUGH_MEMORY));
  auto status = sim::scm::serviceStatus(L"QTHRMON");
  EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status->dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_TRUE(sim::dev::words().empty());  // no modes were brought up
}

// Reaches ServiceMain without Run, as a stray dispatcher table would.
struct Probe : CServiceBase {
  using CServiceBase::ServiceMain;
};

void dispatchWithoutRun() {
  sim::scm::runAsService(L"QTHRMON");
  wchar_t name[] = L"QTHRMON";
  SERVICE_TABLE_ENTRYW table[] = {{name, &Probe::ServiceMain}, {NULL, NULL}};
  StartServiceCtrlDispatcherW(table);
}

TEST_F(ServiceBaseTest, ServiceMainAssertsThatAFrameIsRunning) {
  bool assertionsOn = false;
  assert((assertionsOn = true));
  if (!assertionsOn) GTEST_SKIP() << "assertions are compiled out";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(dispatchWithoutRun(), "s_service != NULL");
}

}  // namespace
