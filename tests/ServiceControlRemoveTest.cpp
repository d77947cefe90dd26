// Removal: the DYTC reset, the stop of the service and its dependents within their
// budgets, the deletion, both tasks, and the copy that deletes the installed executable.
#include "platform/handles.h"
#include "service/ServiceControl.h"
#include "tests/support/ServiceControlFixture.h"

#include <algorithm>

namespace {

using sim::scm::Phase;
using sim::scm::PeerService;
using sim::scm::Script;
using C = sim::scm::SentControl;

constexpr DWORD kAllScm = 0xF003F;
const std::wstring kFolder = L"\\Oltaro";

void putTasks() {
  sim::taskschd::addFolder(kFolder);
  for (const wchar_t* name : {L"QTHERM PNP Task", L"QTHERM idle Task"}) {
    sim::taskschd::TaskRecord task;
    task.folder = kFolder;
    task.name = name;
    sim::taskschd::putTask(task);
  }
}
size_t taskCount() { return sim::taskschd::tasks(kFolder).size(); }

long positionOf(const std::string& api) {
  auto log = sim::callLog();
  return static_cast<long>(std::find(log.begin(), log.end(), api) - log.begin());
}

// A dependent of "QTHRMON" (or of `on`) that runs.
void addDependent(const std::wstring& name, Script onStop = {}, const std::wstring& on = L"QTHRMON") {
  sim::scm::addService(name, {.dependencies = {on}, .state = SERVICE_RUNNING, .onStop = std::move(onStop)});
}

class RemoveTest : public ServiceControlTest {
 protected:
  // The stop the installer makes on its own, with handles of the test.
  bool stopDependents() {
    UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    UniqueServiceHandle service(OpenServiceW(scm.get(), kService, 0x2C));
    return objContrService.StopDependentServices(scm.get(), service.get());
  }
};

TEST_F(RemoveTest, ARunningServiceIsStoppedDeletedAndHandedToTheDeletionCopy) {
  putTasks();
  // Registered from another folder: the copy still comes from system32.
  addRunningService({.binaryPath = L"\"D:\\tools\\QTHERMSvc.exe\"",
                     .onStop = {Phase{SERVICE_STOP_PENDING, 2000, 1, 0, 3000}}});
  objContrService.uninstall(kService);

  ASSERT_EQ(sim::dev::words().size(), 1u);
  EXPECT_EQ(sim::dev::words()[0] & 0x1FF, 0x1FFu);
  EXPECT_EQ(sim::scm::controlsSent(), (std::vector<C>{{kService, SERVICE_CONTROL_STOP, 0, 0}}));
  EXPECT_EQ(sleeps(), (std::vector<DWORD>{2000, 2000}));
  EXPECT_FALSE(sim::scm::config(kService)) << "deleted, stopped and unreferenced: gone";
  EXPECT_EQ(taskCount(), 0u);
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is removed.\n");
  EXPECT_EQ(sim::files::content(kDeleteCopy), std::optional<std::string>("installed image"));

  auto launches = sim::process::launches();
  ASSERT_EQ(launches.size(), 1u);
  const auto& l = launches[0];
  EXPECT_EQ(l.application, kDeleteCopy);
  EXPECT_EQ(l.commandLine, L"C:\\windows\\system32\\QTHERMSvcWillDel.exe -delfile");
  EXPECT_EQ(l.creationFlags, 0x200u);
  EXPECT_EQ(l.startupInfoSize, 104u);
  EXPECT_TRUE(l.startupInfoZero);
  EXPECT_FALSE(l.inheritHandles || l.processAttributes || l.threadAttributes || l.environment || l.currentDirectory);

  EXPECT_EQ(sim::scm::accessRequests(),
            (std::vector<Req>{Manager(kAllScm), OpenSvc(kService, SERVICE_QUERY_CONFIG),  // installed?
                              Manager(kAllScm), OpenSvc(kService, SERVICE_QUERY_CONFIG),  // the stop's check
                              Manager(kAllScm), OpenSvc(kService, 0x2C),                   // the stop
                              Manager(SC_MANAGER_CONNECT), OpenSvc(kService, 0x10024)}));  // the deletion
  EXPECT_LT(positionOf("DeleteService"), positionOf("WriteFile"));
  EXPECT_LT(positionOf("WriteFile"), positionOf("CopyFileW"));
  EXPECT_LT(positionOf("CopyFileW"), positionOf("CreateProcessW"));
  const std::vector<std::wstring> mine{L"ServiceControl ModeManager unInstall success",
                                       L"ServiceControl uninstall pnp task success", L"ifc uninstall idle task success",
                                       L"create delete file process success"};
  std::vector<std::wstring> seen;
  for (auto& t : traces.texts())
    if (std::find(mine.begin(), mine.end(), t) != mine.end()) seen.push_back(t);
  EXPECT_EQ(seen, mine);
}

TEST_F(RemoveTest, AServiceThatIsNotInstalledOnlyGetsTheReset) {
  putTasks();
  sim::dev::setPresent(false);  // and a failed reset changes nothing
  objContrService.uninstall(kService);
  EXPECT_EQ(traces.matching(L"nInstall"),
            (std::vector<std::wstring>{L"ServiceControl ModeManager unInstall success"}));
  EXPECT_TRUE(traces.contains(L"unInitlize resetDYTC error "));
  EXPECT_EQ(sim::scm::accessRequests(),
            (std::vector<Req>{Manager(kAllScm), OpenSvc(kService, SERVICE_QUERY_CONFIG, ERROR_SERVICE_DOES_NOT_EXIST)}));
  EXPECT_EQ(taskCount(), 2u);
  EXPECT_EQ(sim::files::consoleOutput(), "");
  EXPECT_FALSE(sim::files::exists(kDeleteCopy));
  EXPECT_TRUE(sim::process::launches().empty());
}

TEST_F(RemoveTest, AFailedDeletionPrintsItsCodeAndStopsThere) {
  putTasks();
  addRunningService();
  // Another client deleted it already and still holds it open.
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  UniqueServiceHandle other(OpenServiceW(scm.get(), kService, DELETE));
  ASSERT_TRUE(DeleteService(other.get()));

  sim::files::limitStdWrites(3);  // the line still comes whole
  objContrService.uninstall(kService);
  EXPECT_EQ(sim::files::consoleOutput(), "DeleteService failed w/err 0x00000430\n");
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(taskCount(), 2u);
  EXPECT_FALSE(sim::files::exists(kDeleteCopy));
  EXPECT_TRUE(sim::process::launches().empty());
  other.reset();
  EXPECT_FALSE(sim::scm::config(kService));
}

TEST_F(RemoveTest, AServiceThatNeverStopsIsDeletedAfterThirtySeconds) {
  addRunningService({.onStop = {Phase{SERVICE_STOP_PENDING, 4000, 1}}});
  objContrService.uninstall(kService);
  // The first read after more than 30000 ms ends the wait.
  EXPECT_EQ(sleeps(), std::vector<DWORD>(8, 4000));
  EXPECT_EQ(sim::now(), 32000u);
  EXPECT_TRUE(sim::scm::config(kService)->markedForDelete);
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is removed.\n");
}

TEST_F(RemoveTest, TheStopBudgetRunsFromEntryThroughTheDependents) {
  addRunningService({.onStop = {Phase{SERVICE_STOP_PENDING, 4000, 1}}});
  addDependent(L"Slow", {Phase{SERVICE_STOP_PENDING, 5000, 1, 0, 20000}});
  EXPECT_TRUE(objContrService.StopServiceAndWait(kService));
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{L"Slow", SERVICE_CONTROL_STOP, 0, 0}, {kService, SERVICE_CONTROL_STOP, 0, 20000}}));
  EXPECT_EQ(sleeps(), (std::vector<DWORD>{5000, 5000, 5000, 5000, 4000, 4000, 4000}));
  EXPECT_EQ(sim::now(), 32000u);
}

TEST_F(RemoveTest, AStoppedServiceGetsNoStopControlAndItsDependentsAreLeftAlone) {
  sim::scm::addService(kService, {});
  EXPECT_TRUE(objContrService.StopServiceAndWait(kService));
  EXPECT_TRUE(sim::scm::controlsSent().empty());
  EXPECT_EQ(sim::callCount("EnumDependentServicesW"), 0);
  EXPECT_TRUE(sleeps().empty());
}

// A stop already under way is only waited for; a service in any other state has its
// dependents stopped and gets a stop control. Either wait ends with the stop or at the
// first read more than 30 s after the entry.
struct StopFound {
  Script found;  // how the service is when the stop begins, then foundEnd
  DWORD foundEnd;
  bool dependentRuns;  // a dependent whose stop reply already says stopped
  Script onStop;
  std::vector<DWORD> sleeps;
  std::vector<C> controls;
};
void PrintTo(const StopFound& f, std::ostream* os) {
  *os << "found " << f.foundEnd << ", " << f.sleeps.size() << " sleeps";
}
class StopFoundTest : public RemoveTest, public ::testing::WithParamInterface<StopFound> {};

TEST_P(StopFoundTest, IsWaitedForOrStopped) {
  const StopFound& p = GetParam();
  addRunningService({.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE, .onStop = p.onStop});
  if (p.dependentRuns) addDependent(L"Dependent");
  sim::scm::script(kService, p.found, p.foundEnd);
  EXPECT_TRUE(objContrService.StopServiceAndWait(kService));
  EXPECT_EQ(sleeps(), p.sleeps);
  EXPECT_EQ(sim::scm::controlsSent(), p.controls);
  EXPECT_EQ(sim::callCount("EnumDependentServicesW") > 0, !p.controls.empty());
}

const C kStopDependent{L"Dependent", SERVICE_CONTROL_STOP, 0, 0}, kStopIt{kService, SERVICE_CONTROL_STOP, 0, 0};
const Phase kStopsIn3s{SERVICE_STOP_PENDING, 1500, 1, 0, 3000};
const Phase kNeverStops{SERVICE_STOP_PENDING, 6000, 1};

INSTANTIATE_TEST_SUITE_P(
    States, StopFoundTest,
    ::testing::Values(
        StopFound{{Phase{SERVICE_STOP_PENDING, 3000, 1, 0, 7000}}, SERVICE_STOPPED, true, {}, {3000, 3000, 3000}, {}},
        StopFound{{Phase{SERVICE_STOP_PENDING, 7000, 1}}, SERVICE_STOPPED, true, {}, std::vector<DWORD>(5, 7000), {}},
        // A read at exactly 30 s goes on waiting.
        StopFound{{kNeverStops}, SERVICE_STOPPED, true, {}, std::vector<DWORD>(6, 6000), {}},
        StopFound{{}, SERVICE_RUNNING, true, {kNeverStops}, std::vector<DWORD>(6, 6000), {kStopDependent, kStopIt}},
        StopFound{{}, SERVICE_RUNNING, true, {}, {}, {kStopDependent, kStopIt}},
        StopFound{{}, SERVICE_PAUSED, true, {kStopsIn3s}, {1500, 1500}, {kStopDependent, kStopIt}},
        // The SCM refuses to stop a start under way; nothing is waited for.
        StopFound{{Phase{SERVICE_START_PENDING, 3000, 1}}, SERVICE_RUNNING, false, {kStopsIn3s}, {},
                  {{kService, SERVICE_CONTROL_STOP, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0}}}));

TEST_F(RemoveTest, NoActiveDependentMeansOneEnumerationAndNothingElse) {
  addRunningService();
  sim::scm::addService(L"Idle", {.dependencies = {L"QTHRMON"}});  // stopped
  EXPECT_TRUE(stopDependents());
  EXPECT_EQ(sim::callCount("EnumDependentServicesW"), 1);
  EXPECT_EQ(sim::callCount("HeapAlloc"), 0);
  EXPECT_TRUE(sim::scm::controlsSent().empty());
}

TEST_F(RemoveTest, DependentsStopInStopOrderEachOpenedForStopAndStatus) {
  addRunningService();
  addDependent(L"A", {Phase{SERVICE_STOP_PENDING, 1500, 1, 0, 1000}});
  addDependent(L"B", {}, L"A");
  EXPECT_TRUE(objContrService.StopServiceAndWait(kService));
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{L"B", SERVICE_CONTROL_STOP, 0, 0}, {L"A", SERVICE_CONTROL_STOP, 0, 0},
                            {kService, SERVICE_CONTROL_STOP, 0, 1500}}));
  auto requests = sim::scm::accessRequests();
  EXPECT_EQ(std::count(requests.begin(), requests.end(), OpenSvc(L"A", 0x24)), 1);
  EXPECT_EQ(std::count(requests.begin(), requests.end(), OpenSvc(L"B", 0x24)), 1);
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(RemoveTest, ADependentThatCannotBeOpenedEndsTheDependentsAndTheStopIsRefused) {
  addRunningService();
  addDependent(L"Locked");
  addDependent(L"Next");
  sim::scm::denyServiceRights(L"Locked", SERVICE_STOP);
  EXPECT_FALSE(stopDependents());
  EXPECT_TRUE(sim::scm::controlsSent().empty());

  EXPECT_TRUE(objContrService.StopServiceAndWait(kService));
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{kService, SERVICE_CONTROL_STOP, ERROR_DEPENDENT_SERVICES_RUNNING, 0}}));
  EXPECT_EQ(stateOf(L"Next"), static_cast<DWORD>(SERVICE_RUNNING));

  // uninstall goes on to the deletion all the same.
  objContrService.uninstall(kService);
  EXPECT_TRUE(sim::scm::config(kService)->markedForDelete);
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is removed.\n");
}

TEST_F(RemoveTest, ADependentThatDoesNotStopUsesUpTheBudgetButTheNextStillGetsItsControlAndOneSleep) {
  addRunningService();
  addDependent(L"Stuck", {Phase{SERVICE_STOP_PENDING, 8000, 1}});
  addDependent(L"Late", {Phase{SERVICE_STOP_PENDING, 2000, 1}});
  EXPECT_FALSE(stopDependents());
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{L"Stuck", SERVICE_CONTROL_STOP, 0, 0}, {L"Late", SERVICE_CONTROL_STOP, 0, 32000}}));
  EXPECT_EQ(sleeps(), (std::vector<DWORD>{8000, 8000, 8000, 8000, 2000}));
}

TEST_F(RemoveTest, AFailedControlOrReadFailsTheDependentsButNotTheOnesAfter) {
  addRunningService();
  sim::scm::addService(L"Deaf", {.dependencies = {L"QTHRMON"}, .state = SERVICE_RUNNING, .controlsAccepted = 0});
  addDependent(L"Blind", {Phase{SERVICE_STOP_PENDING, 1000, 1, 0, 5000}});
  addDependent(L"Fine");
  // The first status read after Blind's stop control fails.
  sim::failCall("QueryServiceStatusEx", ERROR_INVALID_HANDLE);
  EXPECT_FALSE(stopDependents());
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{L"Deaf", SERVICE_CONTROL_STOP, ERROR_INVALID_SERVICE_CONTROL, 0},
                            {L"Blind", SERVICE_CONTROL_STOP, 0, 0},
                            {L"Fine", SERVICE_CONTROL_STOP, 0, 1000}}));
  EXPECT_EQ(stateOf(L"Fine"), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(RemoveTest, TheListIsFreedWhenItCannotBeMadeOrFilled) {
  addRunningService();
  addDependent(L"A");
  sim::failCall("HeapAlloc", 0);
  EXPECT_FALSE(stopDependents());
  sim::failCall("EnumDependentServicesW", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(stopDependents());
  EXPECT_EQ(sim::callCount("HeapAlloc"), 2);
  EXPECT_TRUE(sim::scm::controlsSent().empty());
  // The fixture fails the test if the second block was not freed.
}

TEST_F(RemoveTest, AServiceThatCannotBeReachedIsNeitherStoppedNorDeleted) {
  putTasks();
  addRunningService();
  sim::scm::denyServiceRights(kService, SERVICE_ENUMERATE_DEPENDENTS);
  EXPECT_FALSE(objContrService.StopServiceAndWait(kService));
  objContrService.uninstall(kService);
  EXPECT_EQ(sim::callCount("DeleteService"), 0);
  EXPECT_TRUE(sim::scm::controlsSent().empty());
  EXPECT_EQ(taskCount(), 2u);
  EXPECT_EQ(sim::files::consoleOutput(), "");
  EXPECT_FALSE(objContrService.StopServiceAndWait(L"Missing"));
}

TEST_F(RemoveTest, AServiceThatCannotBeOpenedForDeletionIsOnlyStopped) {
  putTasks();
  addRunningService();
  sim::scm::denyServiceRights(kService, DELETE);
  objContrService.uninstall(kService);
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(sim::scm::config(kService)->markedForDelete);
  EXPECT_EQ(sim::scm::accessRequests().back(), OpenSvc(kService, 0x10024, ERROR_ACCESS_DENIED));
  EXPECT_EQ(taskCount(), 2u);
  EXPECT_EQ(sim::files::consoleOutput(), "");
}

// Nor does an output that takes nothing (a full non-blocking pipe) hold the removal up.
TEST_F(RemoveTest, FailedTaskDeletionsAreTracedAndTheRemovalGoesOn) {
  addRunningService();
  sim::taskschd::setServiceRunning(false);
  sim::files::limitStdWrites(0);
  objContrService.uninstall(kService);
  EXPECT_TRUE(traces.contains(L"ServiceControl uninstall pnp task error"));
  EXPECT_TRUE(traces.contains(L"ifc uninstall idle task error"));
  // The line is offered once, not retried for ever.
  EXPECT_EQ(sim::callCount("WriteFile"), 1);
  EXPECT_EQ(sim::files::content(kDeleteCopy), std::optional<std::string>("installed image"));
  EXPECT_EQ(sim::process::launches().size(), 1u);
}

// An allocation that fails after the nth call of `after` ends only its own step.
struct OutOfMemory {
  const char* after;
  int nth;
  std::string console;
  size_t tasksLeft;
};
void PrintTo(const OutOfMemory& o, std::ostream* os) { *os << o.after << " " << o.nth; }
class RemoveOutOfMemoryTest : public RemoveTest, public ::testing::WithParamInterface<OutOfMemory> {};

TEST_P(RemoveOutOfMemoryTest, StillCopiesAndStartsTheDeletionCopy) {
  const OutOfMemory& p = GetParam();
  SetLogSink(nullptr, nullptr);  // the product's logging, which allocates nothing
  putTasks();
  addRunningService();
  int calls = 0;
  sim::onCall(p.after, [&] {
    if (++calls == p.nth) sim::failAllocation(1);
  });
  objContrService.uninstall(kService);
  EXPECT_EQ(taskCount(), p.tasksLeft);
  EXPECT_EQ(sim::files::consoleOutput(), p.console);
  EXPECT_EQ(sim::files::content(kDeleteCopy), std::optional<std::string>("installed image"));
  ASSERT_EQ(sim::process::launches().size(), 1u);
  EXPECT_EQ(sim::process::launches()[0].application, kDeleteCopy);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RemoveOutOfMemoryTest,
    ::testing::Values(
        // The idle task's deletion: its name, once the second task helper is connected.
        OutOfMemory{"CoCreateInstance", 2, "QTHRMON is removed.\n", 1},
        // The console line, right after the idle task is gone.
        OutOfMemory{"ITaskFolder::DeleteTask", 2, "", 0}));

TEST_F(RemoveTest, TheCopyReplacesAnOlderOne) {
  addRunningService();
  sim::files::put(kDeleteCopy, "older copy");
  objContrService.uninstall(kService);
  EXPECT_EQ(sim::files::content(kDeleteCopy), std::optional<std::string>("installed image"));
  EXPECT_EQ(sim::process::launches().size(), 1u);
}

TEST_F(RemoveTest, TheDeletionProcessIsStartedEvenWhenTheCopyFails) {
  addRunningService();
  sim::files::put(kDeleteCopy, "older copy");
  sim::files::setInUse(kDeleteCopy);  // an earlier copy still runs
  objContrService.uninstall(kService);
  EXPECT_EQ(sim::files::content(kDeleteCopy), std::optional<std::string>("older copy"));
  EXPECT_EQ(sim::process::launches().size(), 1u);
  EXPECT_TRUE(traces.contains(L"create delete file process success"));
}

TEST_F(RemoveTest, WithNoCopyAtAllTheLaunchFailsAndIsTracedWithItsError) {
  addRunningService();
  sim::files::remove(kInstalledExe);
  objContrService.uninstall(kService);
  EXPECT_EQ(sim::callCount("CreateProcessW"), 1);
  EXPECT_TRUE(traces.contains(L"create process failed! 2"));
  EXPECT_FALSE(traces.contains(L"create delete file process success"));
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is removed.\n");
}

TEST_F(RemoveTest, LaunchingClosesBothHandlesAndReportsARefusal) {
  sim::files::put(kDeleteCopy, "copy");
  EXPECT_TRUE(objContrService.LaunchDeleteProcess());
  // SimTest fails the test if the process or thread handle stayed open.
  sim::failCall("CreateProcessW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(objContrService.LaunchDeleteProcess());
  EXPECT_EQ(traces.all().back(), Error(L"create process failed! 5"));
}

}  // namespace
