// The Task Scheduler 2.0 object model (ITaskService and the interfaces below it) over a
// store of registered tasks that tests read back whole. Interfaces carry their methods in
// the SDK's vtable order; IEventTrigger comes from platform/decl_taskschd.h, as on Windows.
// Each method is counted and can be failed as "<object>::<method>", the object named by
// its interface: ITaskService, ITaskFolder, ITaskDefinition, IRegistrationInfo, IPrincipal,
// ITriggerCollection, ITrigger (an event trigger's IEventTrigger methods too),
// ITaskSettings, IIdleSettings, IActionCollection, IExecAction (its IAction methods too),
// IRegisteredTask; e.g. sim::failCall("ITaskSettings::put_RunOnlyIfIdle", E_FAIL).
// Methods the system does not use answer E_NOTIMPL.
#pragma once

#include "platform/sim/sim_com.h"

#include <optional>
#include <string>
#include <vector>

typedef enum _TASK_STATE {
  TASK_STATE_UNKNOWN = 0,
  TASK_STATE_DISABLED = 1,
  TASK_STATE_QUEUED = 2,
  TASK_STATE_READY = 3,
  TASK_STATE_RUNNING = 4
} TASK_STATE;

typedef enum _TASK_LOGON_TYPE {
  TASK_LOGON_NONE = 0,
  TASK_LOGON_PASSWORD = 1,
  TASK_LOGON_S4U = 2,
  TASK_LOGON_INTERACTIVE_TOKEN = 3,
  TASK_LOGON_GROUP = 4,
  TASK_LOGON_SERVICE_ACCOUNT = 5,
  TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD = 6
} TASK_LOGON_TYPE;

typedef enum _TASK_RUNLEVEL { TASK_RUNLEVEL_LUA = 0, TASK_RUNLEVEL_HIGHEST = 1 } TASK_RUNLEVEL_TYPE;

typedef enum _TASK_TRIGGER_TYPE2 {
  TASK_TRIGGER_EVENT = 0,
  TASK_TRIGGER_TIME = 1,
  TASK_TRIGGER_DAILY = 2,
  TASK_TRIGGER_WEEKLY = 3,
  TASK_TRIGGER_MONTHLY = 4,
  TASK_TRIGGER_MONTHLYDOW = 5,
  TASK_TRIGGER_IDLE = 6,
  TASK_TRIGGER_REGISTRATION = 7,
  TASK_TRIGGER_BOOT = 8,
  TASK_TRIGGER_LOGON = 9,
  TASK_TRIGGER_SESSION_STATE_CHANGE = 11
} TASK_TRIGGER_TYPE2;

typedef enum _TASK_ACTION_TYPE {
  TASK_ACTION_EXEC = 0,
  TASK_ACTION_COM_HANDLER = 5,
  TASK_ACTION_SEND_EMAIL = 6,
  TASK_ACTION_SHOW_MESSAGE = 7
} TASK_ACTION_TYPE;

typedef enum _TASK_INSTANCES_POLICY {
  TASK_INSTANCES_PARALLEL = 0,
  TASK_INSTANCES_QUEUE = 1,
  TASK_INSTANCES_IGNORE_NEW = 2,
  TASK_INSTANCES_STOP_EXISTING = 3
} TASK_INSTANCES_POLICY;

typedef enum _TASK_COMPATIBILITY {
  TASK_COMPATIBILITY_AT = 0,
  TASK_COMPATIBILITY_V1 = 1,
  TASK_COMPATIBILITY_V2 = 2,
  TASK_COMPATIBILITY_V2_1 = 3
} TASK_COMPATIBILITY;

typedef enum _TASK_CREATION {
  TASK_VALIDATE_ONLY = 1,
  TASK_CREATE = 2,
  TASK_UPDATE = 4,
  TASK_CREATE_OR_UPDATE = 6,
  TASK_DISABLE = 8,
  TASK_DONT_ADD_PRINCIPAL_ACE = 16,
  TASK_IGNORE_REGISTRATION_TRIGGERS = 32
} TASK_CREATION;

// Task Scheduler HRESULTs that the simulated service returns.
#define SCHED_E_SERVICE_NOT_RUNNING ((HRESULT)0x80041315L)
#define SCHED_E_MISSINGNODE ((HRESULT)0x80041319L)

struct ITaskService;
struct ITaskFolder;
struct ITaskFolderCollection;
struct ITaskDefinition;
struct IRegisteredTask;
struct IRegisteredTaskCollection;
struct IRunningTask;
struct IRunningTaskCollection;
struct IRegistrationInfo;
struct IPrincipal;
struct ITriggerCollection;
struct ITrigger;
struct IRepetitionPattern;
struct ITaskSettings;
struct IIdleSettings;
struct INetworkSettings;
struct IActionCollection;
struct IAction;
struct IExecAction;

extern const CLSID CLSID_TaskScheduler;
extern const IID IID_ITaskService;
extern const IID IID_ITaskFolder;
extern const IID IID_ITaskDefinition;
extern const IID IID_IRegisteredTask;
extern const IID IID_IRegistrationInfo;
extern const IID IID_IPrincipal;
extern const IID IID_ITriggerCollection;
extern const IID IID_ITrigger;
extern const IID IID_ITaskSettings;
extern const IID IID_IIdleSettings;
extern const IID IID_IActionCollection;
extern const IID IID_IAction;
extern const IID IID_IExecAction;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

struct ITaskService : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG flags, IRunningTaskCollection** tasks) = 0;
  virtual HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) = 0;
  virtual HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* connected) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR* server) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* user) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR* domain) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD* version) = 0;
};

struct IRegisteredTask : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* state) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE Run(VARIANT params, IRunningTask** task) = 0;
  virtual HRESULT STDMETHODCALLTYPE RunEx(VARIANT params, LONG flags, LONG sessionID, BSTR user,
                                          IRunningTask** task) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetInstances(LONG flags, IRunningTaskCollection** tasks) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE* date) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG* runs) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE* date) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition** task) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Xml(BSTR* xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG info, BSTR* sddl) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop(LONG flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME start, const LPSYSTEMTIME end, DWORD* count,
                                                LPSYSTEMTIME* time) = 0;
};

struct IRegistrationInfo : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* description) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Description(BSTR description) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Author(BSTR* author) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Author(BSTR author) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Version(BSTR* version) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Version(BSTR version) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Date(BSTR* date) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Date(BSTR date) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Documentation(BSTR* doc) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Documentation(BSTR doc) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_XmlText(BSTR* xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_URI(BSTR* uri) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_URI(BSTR uri) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SecurityDescriptor(VARIANT* sddl) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SecurityDescriptor(VARIANT sddl) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Source(BSTR* source) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Source(BSTR source) = 0;
};

struct ITaskFolder : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFolders(LONG flags, ITaskFolderCollection** folders) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** folder) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR name, LONG flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** task) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTasks(LONG flags, IRegisteredTaskCollection** tasks) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterTask(BSTR path, BSTR xml, LONG flags, VARIANT user, VARIANT password,
                                                 TASK_LOGON_TYPE logonType, VARIANT sddl, IRegisteredTask** task) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags,
                                                           VARIANT user, VARIANT password, TASK_LOGON_TYPE logon,
                                                           VARIANT sddl, IRegisteredTask** task) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG info, BSTR* sddl) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG flags) = 0;
};

struct ITaskDefinition : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** info) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo* info) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** triggers) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Triggers(ITriggerCollection* triggers) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings* settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Data(BSTR* data) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Data(BSTR data) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** principal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Principal(IPrincipal* principal) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** actions) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Actions(IActionCollection* actions) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_XmlText(BSTR* xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) = 0;
};

struct ITaskSettings : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_AllowDemandStart(VARIANT_BOOL* allow) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AllowDemandStart(VARIANT_BOOL allow) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RestartInterval(BSTR* interval) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RestartInterval(BSTR interval) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RestartCount(INT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RestartCount(INT count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MultipleInstances(TASK_INSTANCES_POLICY* policy) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY policy) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_StopIfGoingOnBatteries(VARIANT_BOOL* stop) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL stop) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DisallowStartIfOnBatteries(VARIANT_BOOL* disallow) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL disallow) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AllowHardTerminate(VARIANT_BOOL* allow) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AllowHardTerminate(VARIANT_BOOL allow) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_StartWhenAvailable(VARIANT_BOOL* start) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StartWhenAvailable(VARIANT_BOOL start) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_XmlText(BSTR* xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RunOnlyIfNetworkAvailable(VARIANT_BOOL* run) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL run) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR* limit) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR limit) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DeleteExpiredTaskAfter(BSTR* delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DeleteExpiredTaskAfter(BSTR delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Priority(INT* priority) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Priority(INT priority) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Compatibility(TASK_COMPATIBILITY* level) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY level) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Hidden(VARIANT_BOOL* hidden) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Hidden(VARIANT_BOOL hidden) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings** settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IdleSettings(IIdleSettings* settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RunOnlyIfIdle(VARIANT_BOOL* run) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL run) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WakeToRun(VARIANT_BOOL* wake) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WakeToRun(VARIANT_BOOL wake) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NetworkSettings(INetworkSettings** settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_NetworkSettings(INetworkSettings* settings) = 0;
};

struct IIdleSettings : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_IdleDuration(BSTR* delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IdleDuration(BSTR delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WaitTimeout(BSTR* timeout) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WaitTimeout(BSTR timeout) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_StopOnIdleEnd(VARIANT_BOOL* stop) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StopOnIdleEnd(VARIANT_BOOL stop) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RestartOnIdle(VARIANT_BOOL* restart) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RestartOnIdle(VARIANT_BOOL restart) = 0;
};

struct ITrigger : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* type) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Id(BSTR* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Id(BSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern** repeat) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Repetition(IRepetitionPattern* repeat) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR* limit) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR limit) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_StartBoundary(BSTR* start) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR start) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_EndBoundary(BSTR* end) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR end) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) = 0;
};

struct ITriggerCollection : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** trigger) = 0;
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** penum) = 0;
  virtual HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT index) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
};

struct IAction : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Id(BSTR* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Id(BSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* type) = 0;
};

struct IActionCollection : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** action) = 0;
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** penum) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_XmlText(BSTR* xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_XmlText(BSTR xml) = 0;
  virtual HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE Type, IAction** action) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT index) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Context(BSTR* ctx) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Context(BSTR ctx) = 0;
};

struct IExecAction : public IAction {
  virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Path(BSTR path) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Arguments(BSTR* argument) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Arguments(BSTR argument) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR* directory) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR directory) = 0;
};

struct IPrincipal : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Id(BSTR* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Id(BSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE* logon) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE logon) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_GroupId(BSTR* group) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_GroupId(BSTR group) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RunLevel(TASK_RUNLEVEL_TYPE* level) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) = 0;
};

#pragma GCC diagnostic pop

namespace sim::taskschd {

// A text property: nullopt while it was never set (its getter then yields a null BSTR).
using Text = std::optional<std::wstring>;

// What a definition holds. Member initialisers are the values of a definition fresh from
// ITaskService::NewTask, so a test writes its expectation as "the defaults, except ...".
struct RegistrationInfoRecord {
  Text description, author, version, date, documentation, uri, source;
  bool operator==(const RegistrationInfoRecord&) const = default;
};

struct PrincipalRecord {
  Text id, displayName, userId, groupId;
  TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
  TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_LUA;
  bool operator==(const PrincipalRecord&) const = default;
};

struct TriggerRecord {
  TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_EVENT;
  Text id, executionTimeLimit, startBoundary, endBoundary;
  bool enabled = true;
  Text subscription, delay;  // event triggers only
  bool operator==(const TriggerRecord&) const = default;
};

struct IdleSettingsRecord {
  Text idleDuration = L"PT10M";
  Text waitTimeout = L"PT1H";
  bool stopOnIdleEnd = true;
  bool restartOnIdle = false;
  bool operator==(const IdleSettingsRecord&) const = default;
};

struct SettingsRecord {
  bool allowDemandStart = true;
  Text restartInterval;
  int restartCount = 0;
  TASK_INSTANCES_POLICY multipleInstances = TASK_INSTANCES_IGNORE_NEW;
  bool stopIfGoingOnBatteries = true;
  bool disallowStartIfOnBatteries = true;
  bool allowHardTerminate = true;
  bool startWhenAvailable = false;
  bool runOnlyIfNetworkAvailable = false;
  Text executionTimeLimit = L"PT72H";
  bool enabled = true;
  Text deleteExpiredTaskAfter;
  int priority = 7;
  TASK_COMPATIBILITY compatibility = TASK_COMPATIBILITY_V2;
  bool hidden = false;
  IdleSettingsRecord idle;
  bool runOnlyIfIdle = false;
  bool wakeToRun = false;
  bool operator==(const SettingsRecord&) const = default;
};

struct ActionRecord {
  TASK_ACTION_TYPE type = TASK_ACTION_EXEC;
  Text id, path, arguments, workingDirectory;
  bool operator==(const ActionRecord&) const = default;
};

struct DefinitionRecord {
  RegistrationInfoRecord registrationInfo;
  PrincipalRecord principal;
  std::vector<TriggerRecord> triggers;
  SettingsRecord settings;
  std::vector<ActionRecord> actions;
  Text data;
  bool operator==(const DefinitionRecord&) const = default;
};

// The arguments of the RegisterTaskDefinition call that stored the task.
struct RegistrationRecord {
  LONG flags = 0;
  VARTYPE userType = VT_EMPTY;
  Text user;
  VARTYPE passwordType = VT_EMPTY;
  Text password;
  TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
  VARTYPE sddlType = VT_EMPTY;
  Text sddl;
  bool operator==(const RegistrationRecord&) const = default;
};

struct TaskRecord {
  std::wstring folder;  // "\Oltaro"
  std::wstring name;
  DefinitionRecord definition;  // with the principal as registration set it
  RegistrationRecord registration;
  bool operator==(const TaskRecord&) const = default;
};

// Whether the Task Scheduler service runs; Connect fails with SCHED_E_SERVICE_NOT_RUNNING
// while it does not. Runs after reset.
void setServiceRunning(bool running);
// Folders by full path ("\", "\Oltaro"); only the root exists after reset.
void addFolder(const std::wstring& path);
bool folderExists(const std::wstring& path);
std::vector<std::wstring> folders();
// A task registered before the test (e.g. by an earlier installation).
void putTask(const TaskRecord& task);
// Registered tasks of a folder, in name order.
std::vector<TaskRecord> tasks(const std::wstring& folder);
std::optional<TaskRecord> task(const std::wstring& folder, const std::wstring& name);
// Registration info that every new definition carries (e.g. a version from a template).
void setNewTaskVersion(Text version);

std::string describe(const TaskRecord& task);

}  // namespace sim::taskschd
