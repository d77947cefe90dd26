#include "helpers/TaskSchedulerHelper.h"
#include "tests/support/ComFixture.h"

#include <optional>

using namespace sim::taskschd;

namespace {

const std::wstring kFolder = L"\\Oltaro";
const std::wstring kModule = L"C:\\windows\\system32\\QTHERMSvc.exe";
// Written out apart from the system's own copy, so a changed character shows.
const std::wstring kSubscription =
    L"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">"
    L"<Select Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">"
    L"*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] and EventID=420]]"
    L"</Select></Query></QueryList>";

// Both tasks as the table of their definitions has them; every other property keeps the
// value of a fresh definition.
TaskRecord commonTask(const std::wstring& name, const std::wstring& user) {
  TaskRecord task;
  task.folder = kFolder;
  task.name = name;
  auto& d = task.definition;
  d.registrationInfo.author = L"Oltaro";
  d.registrationInfo.version = L"1.8";
  d.principal.userId = user;
  d.principal.logonType = TASK_LOGON_SERVICE_ACCOUNT;
  d.settings.allowDemandStart = false;
  d.settings.disallowStartIfOnBatteries = false;
  d.settings.stopIfGoingOnBatteries = false;
  task.registration.flags = TASK_CREATE_OR_UPDATE;
  task.registration.userType = VT_BSTR;
  task.registration.user = user;
  task.registration.passwordType = VT_EMPTY;
  task.registration.logonType = TASK_LOGON_SERVICE_ACCOUNT;
  task.registration.sddlType = VT_BSTR;
  task.registration.sddl = L"";
  return task;
}

TaskRecord pnpTask(const std::wstring& path = kModule) {
  TaskRecord task = commonTask(L"QTHERM PNP Task", L"NT AUTHORITY\\System");
  TriggerRecord trigger;
  trigger.type = TASK_TRIGGER_EVENT;
  trigger.id = L"Trigger1";
  trigger.subscription = kSubscription;
  task.definition.triggers = {trigger};
  ActionRecord action;
  action.path = path;
  action.arguments = L"-remove";
  task.definition.actions = {action};
  return task;
}

TaskRecord idleTask(const std::wstring& path = kModule) {
  TaskRecord task = commonTask(L"QTHERM idle Task", L"NT AUTHORITY\\LocalService");
  TriggerRecord trigger;
  trigger.type = TASK_TRIGGER_IDLE;
  trigger.id = L"Trigger1";
  task.definition.triggers = {trigger};
  auto& s = task.definition.settings;
  s.runOnlyIfIdle = true;
  s.idle.idleDuration = L"PT1M";
  s.idle.waitTimeout = L"PT0S";
  s.idle.stopOnIdleEnd = true;
  s.idle.restartOnIdle = false;
  ActionRecord action;
  action.path = path;
  action.arguments = L"-idletask";
  task.definition.actions = {action};
  return task;
}

int createPnp() { return TaskSchedulerHelper().CreateTask(L"QTHERM PNP Task", L"-remove", 0); }
int createIdle(int kind = 1) { return TaskSchedulerHelper().CreateTask(L"QTHERM idle Task", L"-idletask", kind); }

class TaskSchedulerHelperTest : public ComTest {};

TEST_F(TaskSchedulerHelperTest, ThePnpTaskIsRegisteredWholeAsTheTableHasIt) {
  addFolder(kFolder);
  ASSERT_EQ(kSubscription.size(), 235u);
  EXPECT_EQ(createPnp(), 1);
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{pnpTask()});
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Info(L"success to init task"), Info(L" exe path=" + kModule),
                                               Info(L"[1216]success to create task")}));
  EXPECT_EQ(sim::callCount("ITaskDefinition::get_Settings"), 1);
  EXPECT_EQ(sim::callCount("ITaskService::Connect"), 1);
}

class IdleKinds : public TaskSchedulerHelperTest, public ::testing::WithParamInterface<int> {};

TEST_P(IdleKinds, AnyNonZeroKindRegistersTheIdleTaskWhole) {
  addFolder(kFolder);
  EXPECT_EQ(createIdle(GetParam()), 1);
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{idleTask()});
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Info(L"success to init task"), Info(L" exe path=" + kModule),
                                               Info(L"[1216]success to create task")}));
  // The settings are fetched once, by the idle builder; no event interface is asked for.
  EXPECT_EQ(sim::callCount("ITaskDefinition::get_Settings"), 1);
  EXPECT_EQ(sim::callCount("ITrigger::QueryInterface"), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, IdleKinds, ::testing::Values(1, 2, -1));

TEST_F(TaskSchedulerHelperTest, TheDestructorReleasesInReverseDeclarationOrder) {
  addFolder(kFolder);
  // Settings are filled before the action members, yet released after them.
  const std::vector<std::string> tail = {"ITriggerCollection", "IPrincipal", "IRegistrationInfo", "ITaskDefinition",
                                         "ITaskFolder \\Oltaro", "ITaskFolder \\", "ITaskService"};
  for (int kind : {0, 1}) {
    {
      TaskSchedulerHelper helper;
      ASSERT_EQ(helper.CreateTask(L"task", L"-x", kind), 1);
      sim::com::clearReleases();
    }
    std::vector<std::string> expected = {"IRegisteredTask", "ITaskSettings", "IExecAction", "IExecAction",
                                         "IActionCollection"};
    // The event trigger is held twice: as ITrigger and as IEventTrigger.
    expected.insert(expected.end(), kind == 0 ? 2 : 1, "ITrigger");
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(sim::com::releases(), expected) << "kind " << kind;
  }
}

TEST_F(TaskSchedulerHelperTest, AnUnreachableSchedulerIsTriedAgainAndTracedTwice) {
  setServiceRunning(false);
  TaskSchedulerHelper helper;
  // Unconnected: nothing of the failed connection is held.
  EXPECT_EQ(sim::com::liveObjects(), std::vector<std::string>());
  EXPECT_EQ(helper.CreateTask(L"QTHERM PNP Task", L"-remove", 0), 0);
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Error(L"ITaskService::Connect failed: 80041315"),
                                               Error(L"ITaskService::Connect failed: 80041315")}));
  EXPECT_EQ(sim::callCount("CoCreateInstance"), 2);
  EXPECT_EQ(sim::callCount("ITaskService::NewTask"), 0);
  EXPECT_FALSE(folderExists(kFolder));
}

TEST_F(TaskSchedulerHelperTest, EachConnectionStepFailureIsTracedAndLeavesNothingHeld) {
  struct Case {
    const char* api;
    HRESULT error;
    std::wstring trace;
  };
  const Case cases[] = {
      {"CoCreateInstance", REGDB_E_CLASSNOTREG, L"Failed to create an instance of ITaskService: 80040154"},
      {"ITaskService::GetFolder", E_ACCESSDENIED, L"Cannot get Root Folder pointer: 80070005"},
      {"ITaskFolder::CreateFolder", E_ACCESSDENIED, L"Failed to CreateFolder: 80070005"},
  };
  for (const Case& c : cases) {
    sim::reset();
    traces.clear();
    sim::failAlways(c.api, static_cast<DWORD>(c.error));
    TaskSchedulerHelper helper;
    EXPECT_EQ(sim::com::liveObjects(), std::vector<std::string>()) << c.api;
    EXPECT_EQ(helper.DeleteTask(L"QTHERM idle Task"), 0);
    EXPECT_EQ(traces.count(c.trace), 2u) << c.api;
    EXPECT_EQ(sim::callCount("ITaskFolder::DeleteTask"), 0) << c.api;
  }
}

TEST_F(TaskSchedulerHelperTest, AMissingFolderIsCreatedAtConstruction) {
  ASSERT_FALSE(folderExists(kFolder));
  TaskSchedulerHelper helper;
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Error(L"Failed to GetFolder: 80070002"), Info(L"success to init task")}));
  EXPECT_TRUE(folderExists(kFolder));
  EXPECT_EQ(helper.CreateTask(L"QTHERM idle Task", L"-idletask", 1), 1);
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{idleTask()});
  EXPECT_EQ(sim::callCount("CoCreateInstance"), 1);
}

TEST_F(TaskSchedulerHelperTest, DeleteTaskRemovesTheTaskAndFailsOnAMissingOne) {
  putTask(idleTask());
  putTask(pnpTask());
  EXPECT_EQ(TaskSchedulerHelper().DeleteTask(L"QTHERM idle Task"), 1);
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{pnpTask()});
  EXPECT_TRUE(traces.matching(L"DeleteTask").empty());
  EXPECT_EQ(TaskSchedulerHelper().DeleteTask(L"QTHERM idle Task"), 0);
  EXPECT_EQ(traces.all().back(), Error(L"Failed to DeleteTask: 80070002"));
}

TEST_F(TaskSchedulerHelperTest, DeletingOnAMachineWithoutTheFolderCreatesItAndFails) {
  EXPECT_EQ(TaskSchedulerHelper().DeleteTask(L"QTHERM PNP Task"), 0);
  EXPECT_TRUE(folderExists(kFolder));
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Error(L"Failed to GetFolder: 80070002"), Info(L"success to init task"),
                                               Error(L"Failed to DeleteTask: 80070002")}));
}

TEST_F(TaskSchedulerHelperTest, ATaskOfTheSameNameIsReplaced) {
  TaskRecord old = idleTask();
  old.definition.registrationInfo.author = L"someone";
  old.definition.actions[0].arguments = L"-old";
  old.definition.settings.idle.idleDuration = L"PT5M";
  putTask(old);
  EXPECT_EQ(createIdle(), 1);
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{idleTask()});
}

TEST_F(TaskSchedulerHelperTest, OneHelperBuildsASecondTaskFromNothing) {
  addFolder(kFolder);
  TaskSchedulerHelper helper;
  // The PnP task's settings must not be taken from the idle definition built before.
  EXPECT_EQ(helper.CreateTask(L"QTHERM idle Task", L"-idletask", 1), 1);
  EXPECT_EQ(helper.CreateTask(L"QTHERM PNP Task", L"-remove", 0), 1);
  EXPECT_EQ(tasks(kFolder), (std::vector<TaskRecord>{idleTask(), pnpTask()}));  // in name order
}

// One failing call of the building: its trace, result 0, no later step, nothing registered.
struct BuildFailure {
  const char* api;
  int kind;  // 0 the PnP task, 1 the idle task
  const wchar_t* trace;
  std::vector<const char*> notCalled;
  std::vector<const char*> called;
};

void PrintTo(const BuildFailure& f, std::ostream* out) { *out << f.api << (f.kind ? " (idle)" : " (PnP)"); }

class BuildFailures : public TaskSchedulerHelperTest, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(BuildFailures, StopTheBuildingAndRegisterNothing) {
  const BuildFailure& f = GetParam();
  putTask(f.kind ? pnpTask() : idleTask());  // the other task is left alone
  const auto before = tasks(kFolder);
  sim::failCall(f.api, static_cast<DWORD>(E_FAIL));
  EXPECT_EQ(f.kind ? createIdle() : createPnp(), 0);
  EXPECT_EQ(traces.all().back(), Error(std::wstring(f.trace) + L"80004005"));
  EXPECT_EQ(traces.matching(L"success to create task"), std::vector<std::wstring>());
  EXPECT_EQ(tasks(kFolder), before);
  if (std::string(f.api) != "ITaskFolder::RegisterTaskDefinition") {
    EXPECT_EQ(sim::callCount("ITaskFolder::RegisterTaskDefinition"), 0);
  }
  for (const char* api : f.notCalled) EXPECT_EQ(sim::callCount(api), 0) << api;
  for (const char* api : f.called) EXPECT_EQ(sim::callCount(api), 1) << api;
}

INSTANTIATE_TEST_SUITE_P(
    EveryTestedCall, BuildFailures,
    ::testing::Values(
        BuildFailure{"ITaskService::NewTask", 0, L"Failed to NewTask: ", {"ITaskDefinition::get_RegistrationInfo"}},
        BuildFailure{"ITaskDefinition::get_RegistrationInfo", 0, L"Failed to get_RegistrationInfo: ",
                     {"IRegistrationInfo::put_Author", "ITaskDefinition::get_Triggers"}},
        BuildFailure{"IRegistrationInfo::put_Author", 1, L"Failed to put_Author: ", {"IRegistrationInfo::get_Version"}},
        BuildFailure{"IRegistrationInfo::get_Version", 0, L"Failed to get_Version: ",
                     {"IRegistrationInfo::put_Version", "ITaskDefinition::get_Principal", "ITaskDefinition::get_Triggers"},
                     {"IRegistrationInfo::put_Author"}},
        BuildFailure{"IRegistrationInfo::put_Version", 1, L"Failed to put_Version: ", {"ITaskDefinition::get_Principal"}},
        BuildFailure{"ITaskDefinition::get_Principal", 0, L"Failed to get_Principal: ",
                     {"ITaskDefinition::get_Triggers", "ITaskDefinition::get_Settings", "ITaskDefinition::get_Actions"}},
        BuildFailure{"ITaskDefinition::get_Triggers", 0, L"\nCannot get trigger collection: ",
                     {"ITriggerCollection::Create"}},
        BuildFailure{"ITaskDefinition::get_Triggers", 1, L"\nCannot get trigger collection: ",
                     {"ITriggerCollection::Create", "ITaskDefinition::get_Settings"}},
        BuildFailure{"ITriggerCollection::Create", 0, L"\nCannot create the event trigger: ", {"ITrigger::put_Id"}},
        BuildFailure{"ITriggerCollection::Create", 1, L"\nCannot create the idle trigger: ",
                     {"ITrigger::put_Id", "ITaskDefinition::get_Settings"}},
        BuildFailure{"ITrigger::put_Id", 0, L"\nCannot put trigger ID: ", {"ITrigger::QueryInterface"}},
        BuildFailure{"ITrigger::put_Id", 1, L"\nCannot put trigger ID: ", {"ITaskDefinition::get_Settings"}},
        BuildFailure{"ITrigger::QueryInterface", 0, L"\nQueryInterface call failed on IEventTrigger: ",
                     {"ITrigger::put_Subscription"}},
        BuildFailure{"ITrigger::put_Subscription", 0, L"\nCannot put subscription: ", {"ITaskDefinition::get_Settings"}},
        BuildFailure{"ITaskDefinition::get_Settings", 0, L"\nCannot get Task setting pointer: ",
                     {"ITaskSettings::put_AllowDemandStart", "ITaskDefinition::get_Actions"}},
        BuildFailure{"ITaskDefinition::get_Settings", 1, L"\nCannot get Task setting pointer: ",
                     {"ITaskSettings::put_RunOnlyIfIdle"}},
        BuildFailure{"ITaskSettings::put_RunOnlyIfIdle", 1, L"\nCannot put_RunOnlyIfIdle pointer: ",
                     {"ITaskSettings::get_IdleSettings"}},
        BuildFailure{"ITaskSettings::get_IdleSettings", 1, L"\nCannot get_IdleSettings pointer: ",
                     {"IIdleSettings::put_IdleDuration", "ITaskSettings::put_AllowDemandStart"}},
        BuildFailure{"ITaskSettings::put_StopIfGoingOnBatteries", 0, L"\nCannot add idle setting for task setting: ",
                     {"ITaskDefinition::get_Actions"},
                     {"ITaskSettings::put_AllowDemandStart", "ITaskSettings::put_DisallowStartIfOnBatteries"}},
        BuildFailure{"ITaskSettings::put_StopIfGoingOnBatteries", 1, L"\nCannot add idle setting for task setting: ",
                     {"ITaskDefinition::get_Actions"},
                     {"ITaskSettings::put_AllowDemandStart", "ITaskSettings::put_DisallowStartIfOnBatteries"}},
        BuildFailure{"ITaskDefinition::get_Actions", 1, L"\nCannot get Task collection pointer: ",
                     {"IActionCollection::Create"}},
        BuildFailure{"IActionCollection::Create", 0, L"\nCannot create the action: ", {"IExecAction::QueryInterface"}},
        BuildFailure{"IExecAction::QueryInterface", 1, L"\nQueryInterface call failed on IExecAction: ",
                     {"GetModuleFileNameW"}},
        BuildFailure{"IExecAction::put_Path", 0, L"\nCannot add path for executable action: ",
                     {"IExecAction::put_Arguments"}},
        BuildFailure{"IExecAction::put_Arguments", 1, L"\nCannot add command line arg for executable action: ", {}},
        BuildFailure{"ITaskFolder::RegisterTaskDefinition", 0, L"\nError saving the Task : ", {}}));

TEST_F(TaskSchedulerHelperTest, IdleDurationRefusedStillRegistersTheRest) {
  addFolder(kFolder);
  sim::failCall("IIdleSettings::put_IdleDuration", static_cast<DWORD>(E_FAIL));
  EXPECT_EQ(createIdle(), 1);
  TaskRecord expected = idleTask();
  expected.definition.settings.idle.idleDuration = L"PT10M";  // the former value stays
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{expected});
  EXPECT_EQ(traces.matching(L"Cannot"), std::vector<std::wstring>());
}

TEST_F(TaskSchedulerHelperTest, TheTwoUntestedSettingsMayFailUnnoticed) {
  addFolder(kFolder);
  sim::failCall("ITaskSettings::put_AllowDemandStart", static_cast<DWORD>(E_FAIL));
  sim::failCall("ITaskSettings::put_DisallowStartIfOnBatteries", static_cast<DWORD>(E_FAIL));
  EXPECT_EQ(createPnp(), 1);
  TaskRecord expected = pnpTask();
  expected.definition.settings.allowDemandStart = true;
  expected.definition.settings.disallowStartIfOnBatteries = true;
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{expected});
}

TEST_F(TaskSchedulerHelperTest, AVersionAlreadyThereIsTracedThenReplaced) {
  addFolder(kFolder);
  setNewTaskVersion(L"1.0");
  EXPECT_EQ(createPnp(), 1);
  EXPECT_TRUE(traces.contains(L"version 1.0"));
  EXPECT_EQ(traces.all()[1], Error(L"version 1.0"));
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{pnpTask()});
}

TEST_F(TaskSchedulerHelperTest, AnEmptyModulePathFailsBeforeThePathIsSet) {
  addFolder(kFolder);
  sim::files::setModulePath(L"");
  EXPECT_EQ(createIdle(), 0);
  EXPECT_EQ(traces.all().back(), Error(L"\nGetModulePath returned empty"));
  EXPECT_EQ(sim::callCount("IExecAction::put_Path"), 0);
  EXPECT_EQ(sim::callCount("IExecAction::put_Arguments"), 0);
  EXPECT_TRUE(tasks(kFolder).empty());
}

TEST_F(TaskSchedulerHelperTest, TheModulePathGoesUnquotedAndLongOnesComeCut) {
  addFolder(kFolder);
  const std::wstring spaced = L"C:\\Program Files\\Oltaro QTH\\QTHERMSvc.exe";
  sim::files::setModulePath(spaced);
  EXPECT_EQ(createPnp(), 1);
  EXPECT_EQ(tasks(kFolder), std::vector<TaskRecord>{pnpTask(spaced)});
  EXPECT_TRUE(traces.contains(L" exe path=" + spaced));

  const std::wstring longPath = L"C:\\" + std::wstring(290, L'd') + L"\\QTHERMSvc.exe";
  sim::files::setModulePath(longPath);
  EXPECT_EQ(createIdle(), 1);
  auto idle = task(kFolder, L"QTHERM idle Task");
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->definition.actions.at(0).path, longPath.substr(0, MAX_PATH - 1));
}

TEST_F(TaskSchedulerHelperTest, AStringThatCannotBeMadeFailsItsStep) {
  addFolder(kFolder);
  // The third string: "\", "Oltaro" for the folder, then the author.
  sim::failCall("SysAllocString", static_cast<DWORD>(E_OUTOFMEMORY), 3);
  EXPECT_EQ(createPnp(), 0);
  EXPECT_EQ(traces.all().back(), Error(L"Failed to put_Author: 8007000e"));
  EXPECT_EQ(sim::callCount("IRegistrationInfo::put_Author"), 0);
  EXPECT_TRUE(tasks(kFolder).empty());
}

}  // namespace
