// Installation: the service's registration, the mode component and the PnP task, the
// start and its wait, and the registered service that is only made to run.
#include "modes/ModeManager.h"
#include "platform/handles.h"
#include "service/ServiceControl.h"
#include "tests/support/ServiceControlFixture.h"

#include <algorithm>

namespace {

using sim::scm::Phase;
using sim::scm::PeerService;

const std::wstring kIcRoot = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";
constexpr DWORD kAllScm = 0xF003F, kAllService = 0xF01FF;

void installQthermon() { objContrService.install(L"QTHRMON", L"QTHRMON", SERVICE_AUTO_START, L"", L"LocalSystem", NULL); }

bool pnpTaskExists() { return sim::taskschd::task(L"\\Oltaro", L"QTHERM PNP Task").has_value(); }

// Position of the first call whose name ends with `api` in the call log.
long positionOf(const std::string& api) {
  auto log = sim::callLog();
  auto it = std::find_if(log.begin(), log.end(), [&](const std::string& call) {
    return call.size() >= api.size() && call.compare(call.size() - api.size(), api.size(), api) == 0;
  });
  return it == log.end() ? -1 : static_cast<long>(it - log.begin());
}

class InstallTest : public ServiceControlTest {};

TEST_F(InstallTest, AFreshInstallRegistersDescribesInstallsStartsAndPrints) {
  sim::files::limitStdWrites(4);  // the line still comes whole
  installQthermon();

  auto c = sim::scm::config(kService);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->displayName, L"QTHRMON");
  EXPECT_EQ(c->serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(c->startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(c->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(c->binaryPath, L"\"C:\\windows\\system32\\QTHERMSvc.exe\"");
  EXPECT_EQ(c->loadOrderGroup, L"");
  EXPECT_TRUE(c->dependencies.empty());
  EXPECT_EQ(c->account, L"LocalSystem");
  EXPECT_FALSE(c->password);
  EXPECT_EQ(c->description, std::optional<std::wstring>(L"Oltaro NoteBook QTH service"));

  EXPECT_EQ(sim::reg::getDword(kIcRoot, L"Version"), std::optional<DWORD>(0x4000));
  EXPECT_TRUE(pnpTaskExists());
  EXPECT_EQ(sim::scm::starts(), std::vector<std::wstring>{kService});
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is installed.\n");

  // The installed check, the creation, then the start with its own check.
  EXPECT_EQ(sim::scm::accessRequests(),
            (std::vector<Req>{Manager(kAllScm), OpenSvc(kService, SERVICE_QUERY_CONFIG, ERROR_SERVICE_DOES_NOT_EXIST),
                              Manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE), Create(kService, kAllService),
                              Manager(kAllScm), OpenSvc(kService, SERVICE_QUERY_CONFIG), Manager(kAllScm),
                              OpenSvc(kService, kAllService)}));
  // The mode component and the task come before the start, the line after it.
  EXPECT_LT(positionOf("ChangeServiceConfig2W"), positionOf("DeviceIoControl"));
  EXPECT_LT(positionOf("DeviceIoControl"), positionOf("RegisterTaskDefinition"));
  EXPECT_LT(positionOf("RegisterTaskDefinition"), positionOf("StartServiceW"));
  EXPECT_LT(positionOf("StartServiceW"), positionOf("WriteFile"));
  EXPECT_EQ(traces.matching(L"ServiceControl"),
            (std::vector<std::wstring>{L"ServiceControl ModeManager install success",
                                       L"ServiceControl install create pnp task success"}));
}

TEST_F(InstallTest, TheImagePathIsTheRunningExecutablesInQuotes) {
  sim::files::setModulePath(L"D:\\Program Files\\Oltaro\\QTHERMSvc.exe");
  installQthermon();
  EXPECT_EQ(sim::scm::config(kService)->binaryPath, L"\"D:\\Program Files\\Oltaro\\QTHERMSvc.exe\"");
}

TEST_F(InstallTest, AnUnreadableOrCutModulePathEndsTheInstall) {
  sim::failCall("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
  installQthermon();
  EXPECT_EQ(traces.matching(L"ServiceControl"), std::vector<std::wstring>{L"ServiceControl install GetModuleFileName error"});

  // A path of 260 characters or more comes back cut: it is not registered.
  traces.clear();
  sim::files::setModulePath(L"C:\\" + std::wstring(300, L'a') + L".exe");
  installQthermon();
  EXPECT_EQ(traces.matching(L"ServiceControl"), std::vector<std::wstring>{L"ServiceControl install GetModuleFileName error"});
  EXPECT_TRUE(sim::scm::accessRequests().empty());
  EXPECT_FALSE(sim::scm::config(kService));
  EXPECT_EQ(sim::files::consoleOutput(), "");
}

// A registered service is only made to run: nothing is created, installed or printed.
struct Registered {
  DWORD state;
  std::vector<std::wstring> starts;
  std::vector<DWORD> controls;
};
void PrintTo(const Registered& r, std::ostream* os) { *os << "state " << r.state; }
class InstallRegisteredTest : public InstallTest, public ::testing::WithParamInterface<Registered> {};

TEST_P(InstallRegisteredTest, OnlyMakesItRun) {
  const Registered& p = GetParam();
  sim::scm::addService(kService, {.binaryPath = L"\"C:\\elsewhere\\QTHERMSvc.exe\"",
                                  .state = p.state,
                                  .controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                                  .onStart = {Phase{SERVICE_START_PENDING, 3000, 1, 1000, 2500}}});
  installQthermon();

  EXPECT_EQ(sim::scm::starts(), p.starts);
  std::vector<DWORD> controls;
  for (auto& c : sim::scm::controlsSent()) controls.push_back(c.control);
  EXPECT_EQ(controls, p.controls);
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(p.state == SERVICE_STOP_PENDING ? SERVICE_STOP_PENDING : SERVICE_RUNNING));
  // A stopped service is waited for; a continue is not.
  std::vector<DWORD> waited = p.state == SERVICE_STOPPED ? std::vector<DWORD>{1000, 1000, 1000} : std::vector<DWORD>{};
  EXPECT_EQ(sleeps(), waited);

  EXPECT_EQ(sim::files::consoleOutput(), "");
  EXPECT_EQ(sim::scm::config(kService)->binaryPath, L"\"C:\\elsewhere\\QTHERMSvc.exe\"");
  EXPECT_FALSE(sim::scm::config(kService)->description);
  EXPECT_FALSE(sim::reg::getDword(kIcRoot, L"Version"));
  EXPECT_FALSE(pnpTaskExists());
  EXPECT_TRUE(sim::dev::words().empty());
  EXPECT_EQ(sim::callCount("CreateServiceW"), 0);
  EXPECT_TRUE(traces.matching(L"ServiceControl").empty());
}

INSTANTIATE_TEST_SUITE_P(States, InstallRegisteredTest,
                         ::testing::Values(Registered{SERVICE_STOPPED, {kService}, {}},
                                           Registered{SERVICE_PAUSED, {}, {SERVICE_CONTROL_CONTINUE}},
                                           Registered{SERVICE_RUNNING, {}, {}},
                                           Registered{SERVICE_STOP_PENDING, {}, {}}));

TEST_F(InstallTest, ARefusedCreationEndsSilently) {
  sim::scm::addService(L"Other", {.displayName = L"QTHRMON"});  // the display name is taken
  installQthermon();
  EXPECT_EQ(sim::scm::accessRequests().back(), Create(kService, kAllService, ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_FALSE(sim::scm::config(kService));
  EXPECT_TRUE(traces.matching(L"ServiceControl").empty());
  EXPECT_EQ(sim::files::consoleOutput(), "");
  EXPECT_FALSE(pnpTaskExists());
  EXPECT_TRUE(sim::dev::words().empty());
}

TEST_F(InstallTest, AnScmThatCannotBeOpenedToCreateIsTracedWithItsError) {
  sim::scm::denyManagerRights(SC_MANAGER_CREATE_SERVICE);
  installQthermon();
  EXPECT_EQ(traces.matching(L"ServiceControl"), std::vector<std::wstring>{L"ServiceControl install OpenSCManager error 5"});
  EXPECT_EQ(sim::callCount("CreateServiceW"), 0);
}

TEST_F(InstallTest, FailuresAfterTheCreationAreTracedAndTheRestStillRuns) {
  sim::dev::setPresent(false);                 // the mode component cannot be installed
  sim::taskschd::setServiceRunning(false);     // nor the task
  sim::failCall("ChangeServiceConfig2W", ERROR_ACCESS_DENIED);
  installQthermon();
  EXPECT_EQ(traces.matching(L"ServiceControl"),
            (std::vector<std::wstring>{L"ServiceControl install error", L"ServiceControl install create pnp task error"}));
  EXPECT_EQ(sim::scm::starts(), std::vector<std::wstring>{kService});
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is installed.\n");
}

TEST_F(InstallTest, AComponentThatFindsNoMemoryStillLeavesTheTaskTheStartAndTheLine) {
  SetLogSink(nullptr, nullptr);  // the product's logging, which allocates nothing
  sim::dev::setCapability(CAP_IFC | 1);
  // After the capability query the component's next allocation is its IFC mode.
  sim::onCall("DeviceIoControl", [] { sim::failAllocation(1); });
  installQthermon();
  EXPECT_FALSE(sim::reg::getDword(kIcRoot, L"Version"));
  EXPECT_TRUE(pnpTaskExists());
  EXPECT_EQ(sim::scm::starts(), std::vector<std::wstring>{kService});
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is installed.\n");
}

TEST_F(InstallTest, AServiceThatNeverStartsStillPrintsOnceTheWaitEnds) {
  // What the new service will do when started: stay pending with a frozen check point.
  sim::onCall("StartServiceW", [] {
    sim::scm::setBehaviour(kService, {.onStart = {Phase{SERVICE_START_PENDING, 2000, 1}}});
  });
  installQthermon();
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(sleeps(), (std::vector<DWORD>{1000, 1000, 1000}));
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is installed.\n");
}

TEST_F(InstallTest, InstallComponentStopsAtItsFirstFailure) {
  sim::scm::addService(kService, {});
  sim::dev::setPresent(false);
  EXPECT_FALSE(objContrService.InstallCompnent(kService));
  EXPECT_EQ(traces.matching(L"ServiceControl"), std::vector<std::wstring>{L"ServiceControl install error"});
  EXPECT_FALSE(pnpTaskExists());
  EXPECT_EQ(sim::callCount("StartServiceW"), 0);
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_STOPPED));

  traces.clear();
  sim::dev::setPresent(true);
  sim::taskschd::setServiceRunning(false);
  EXPECT_FALSE(objContrService.InstallCompnent(kService));
  EXPECT_EQ(traces.matching(L"ServiceControl"),
            (std::vector<std::wstring>{L"ServiceControl ModeManager install success",
                                       L"ServiceControl install create pnp task error"}));
  EXPECT_EQ(sim::callCount("StartServiceW"), 0);
  EXPECT_EQ(sim::files::consoleOutput(), "");
}

TEST_F(InstallTest, InstallComponentInstallsAndRequestsAStartWithoutTouchingTheRegistration) {
  sim::scm::addService(kService, {});
  EXPECT_TRUE(objContrService.InstallCompnent(kService));
  EXPECT_EQ(sim::reg::getDword(kIcRoot, L"Version"), std::optional<DWORD>(0x4000));
  EXPECT_TRUE(pnpTaskExists());
  EXPECT_EQ(sim::scm::starts(), std::vector<std::wstring>{kService});
  EXPECT_EQ(sim::callCount("CreateServiceW") + sim::callCount("ChangeServiceConfig2W"), 0);
  EXPECT_EQ(sim::files::consoleOutput(), "");
}

TEST_F(InstallTest, InstallComponentInTheServiceProcessGetsItsStartRefusedAndStillSucceeds) {
  // The SCM started this process: the service is start pending and cannot be started again.
  sim::scm::runAsService(kService);
  EXPECT_TRUE(objContrService.InstallCompnent(kService));
  EXPECT_EQ(sim::callCount("StartServiceW"), 1);
  EXPECT_TRUE(sim::scm::starts().empty());
  EXPECT_TRUE(sleeps().empty());
}

// ---- The start wait ----

// The start wait's polls for a script of the new service's start: a tenth of the hint
// within 1 to 10 seconds, for as long as the check point rises above the highest seen.
struct StartWait {
  sim::scm::Script onStart;
  bool runs;
  std::vector<DWORD> sleeps;
};
void PrintTo(const StartWait& w, std::ostream* os) { *os << ::testing::PrintToString(w.sleeps); }
class StartWaitTest : public InstallTest, public ::testing::WithParamInterface<StartWait> {};

TEST_P(StartWaitTest, PollsWhileTheCheckPointAdvances) {
  const StartWait& p = GetParam();
  sim::scm::addService(kService, {.onStart = p.onStart});
  EXPECT_EQ(objContrService.StartServiceAndWait(kService), p.runs);
  EXPECT_EQ(sleeps(), p.sleeps);
}

StartWait firstPoll(DWORD hint, DWORD sleep) { return {{Phase{SERVICE_START_PENDING, hint, 1, 0, 1}}, true, {sleep}}; }

INSTANTIATE_TEST_SUITE_P(
    Scripts, StartWaitTest,
    ::testing::Values(firstPoll(0, 1000), firstPoll(9999, 1000), firstPoll(50000, 5000), firstPoll(200000, 10000),
                      // Lower check points, even rising again, are no advance: the hint runs out.
                      StartWait{{Phase{SERVICE_START_PENDING, 2500, 5, 0, 1000},
                                 Phase{SERVICE_START_PENDING, 2500, 1, 1000, 10000}},
                                false, {1000, 1000, 1000}},
                      StartWait{{Phase{SERVICE_START_PENDING, 2500, 0xFFFFFFFF, 0, 1000},
                                 Phase{SERVICE_START_PENDING, 2500, 0, 1000, 10000}},
                                false, {1000, 1000, 1000}}));

TEST_F(InstallTest, AFrozenCheckPointEndsTheStartWaitOnceMoreThanTheHintHasPassed) {
  sim::scm::addService(kService, {.onStart = {Phase{SERVICE_START_PENDING, 5000, 4}}});
  EXPECT_FALSE(objContrService.StartServiceAndWait(kService));
  // 5000 ms have not yet passed "more than" the hint: the sixth poll ends it.
  EXPECT_EQ(sleeps(), std::vector<DWORD>(6, 1000));
  EXPECT_EQ(sim::callCount("QueryServiceStatusEx"), 7);
}

TEST_F(InstallTest, AnAdvancingCheckPointKeepsTheStartWaitGoingPastTheHint) {
  sim::scm::addService(kService, {.onStart = {Phase{SERVICE_START_PENDING, 2000, 1, 1000, 60000}}});
  EXPECT_TRUE(objContrService.StartServiceAndWait(kService));
  EXPECT_EQ(sim::now(), 60000u);
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(InstallTest, TheHintCountsFromTheLastAdvance) {
  // One advance, at 2 s, with a hint of 2.5 s: the wait ends at the first poll more than
  // 2.5 s after the advance, not after the first read.
  sim::scm::addService(kService, {.onStart = {Phase{SERVICE_START_PENDING, 2500, 1, 0, 2000},
                                              Phase{SERVICE_START_PENDING, 2500, 2}}});
  EXPECT_FALSE(objContrService.StartServiceAndWait(kService));
  EXPECT_EQ(sim::now(), 5000u);
}

TEST_F(InstallTest, AStartThatIsRefusedOrWhoseStatusIsLostGivesFalse) {
  addRunningService();
  EXPECT_FALSE(objContrService.StartServiceAndWait(kService));
  EXPECT_TRUE(sleeps().empty());

  sim::scm::addService(L"Slow", {.onStart = {Phase{SERVICE_START_PENDING, 3000, 1, 1000, 10000}}});
  sim::failCall("QueryServiceStatusEx", ERROR_INVALID_HANDLE, 3);
  EXPECT_FALSE(objContrService.StartServiceAndWait(L"Slow"));
  EXPECT_EQ(sleeps(), (std::vector<DWORD>{1000, 1000}));

  EXPECT_FALSE(objContrService.StartServiceAndWait(L"Missing"));
}

TEST_F(InstallTest, EnsureRunningIsFalseOnlyWhenTheStatusCannotBeRead) {
  sim::scm::addService(kService, {.state = SERVICE_PAUSED});
  sim::failCall("QueryServiceStatusEx", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(objContrService.EnsureServiceRunning(kService));
  EXPECT_TRUE(sim::scm::controlsSent().empty());
  // Paused but not accepting continue: the refused control does not change the answer.
  EXPECT_TRUE(objContrService.EnsureServiceRunning(kService));
  EXPECT_EQ(sim::scm::controlsSent().at(0).error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_FALSE(objContrService.EnsureServiceRunning(L"Missing"));
}

TEST_F(InstallTest, ContinueAsksItsOwnRightsAndDoesNotWait) {
  sim::scm::addService(kService,
                       {.state = SERVICE_PAUSED, .controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                        .onContinue = {Phase{SERVICE_CONTINUE_PENDING, 5000, 1, 0, 5000}}});
  EXPECT_TRUE(objContrService.ContinueService(kService));
  EXPECT_EQ(sim::scm::accessRequests(),
            (std::vector<Req>{Manager(kAllScm), OpenSvc(kService, SERVICE_QUERY_CONFIG), Manager(kAllScm),
                              OpenSvc(kService, DELETE | SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS)}));
  EXPECT_TRUE(sleeps().empty());
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_CONTINUE_PENDING));
  EXPECT_FALSE(objContrService.ContinueService(L"Missing"));
}

TEST_F(InstallTest, DelayedAutoStartNeedsAHandleThatMayChangeTheConfiguration) {
  sim::scm::addService(kService, {.startType = SERVICE_AUTO_START});
  EXPECT_FALSE(objContrService.SetDelayedAutoStart(NULL, true));
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  UniqueServiceHandle readOnly(OpenServiceW(scm.get(), kService, SERVICE_QUERY_CONFIG));
  EXPECT_FALSE(objContrService.SetDelayedAutoStart(readOnly.get(), true));
  UniqueServiceHandle writable(OpenServiceW(scm.get(), kService, SERVICE_CHANGE_CONFIG));
  EXPECT_TRUE(objContrService.SetDelayedAutoStart(writable.get(), true));
  EXPECT_TRUE(sim::scm::config(kService)->delayedAutoStart);
  EXPECT_TRUE(objContrService.SetDelayedAutoStart(writable.get(), false));
  EXPECT_FALSE(sim::scm::config(kService)->delayedAutoStart);
}

}  // namespace
