// The Service Control Manager of the simulated machine. One service database (services
// by name, each with the status the SCM knows); the service hosted by the simulated
// process is one entry, whose status is what it last reported. The service side lives
// here: the dispatcher, the control handler's registration, status reports, and the
// controls the SCM delivers, drained one at a time on the dispatcher's calling thread.
// The client side (OpenSCManagerW, ControlService, ...) works on the same database: a
// control to the hosted service goes into the same queue; every other entry is a peer
// whose status follows a script that the test writes, on the virtual clock.
#pragma once

#include "platform/sim/sim_core.h"

#include <functional>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <vector>

typedef unsigned char UCHAR;

// ---- Service records, tables and callbacks ----
typedef struct _SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef VOID(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD dwNumServicesArgs, LPWSTR* lpServiceArgVectors);

typedef struct _SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW, *LPSERVICE_TABLE_ENTRYW;

typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                             LPVOID lpContext);

// Event data of a power-setting change (SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE).
typedef struct {
  GUID PowerSetting;
  DWORD DataLength;
  UCHAR Data[1];
} POWERBROADCAST_SETTING, *PPOWERBROADCAST_SETTING;

// Event data of a session change (SERVICE_CONTROL_SESSIONCHANGE).
typedef struct tagWTSSESSION_NOTIFICATION {
  DWORD cbSize;
  DWORD dwSessionId;
} WTSSESSION_NOTIFICATION, *PWTSSESSION_NOTIFICATION;

// ---- Win32 calls: the service side ----
BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);

// Ends the simulated process. The SCM sees a service whose process ends before it reported
// SERVICE_STOPPED as stopped with ERROR_PROCESS_ABORTED, and the dispatcher hands its
// thread back to the test (StartServiceCtrlDispatcherW returns FALSE with that code).
// The calling thread never returns; call it only from a thread the machine started.
[[noreturn]] void WINAPI ExitProcess(UINT uExitCode);

// ---- Client side: records ----
typedef struct _SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS, *LPSERVICE_STATUS_PROCESS;

typedef enum _SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 } SC_STATUS_TYPE;

typedef struct _ENUM_SERVICE_STATUSW {
  LPWSTR lpServiceName;
  LPWSTR lpDisplayName;
  SERVICE_STATUS ServiceStatus;
} ENUM_SERVICE_STATUSW, *LPENUM_SERVICE_STATUSW;

typedef struct _SERVICE_DESCRIPTIONW {
  LPWSTR lpDescription;
} SERVICE_DESCRIPTIONW, *LPSERVICE_DESCRIPTIONW;

typedef struct _SERVICE_DELAYED_AUTO_START_INFO {
  BOOL fDelayedAutostart;
} SERVICE_DELAYED_AUTO_START_INFO, *LPSERVICE_DELAYED_AUTO_START_INFO;

// ---- Win32 calls: the client side ----
SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);
SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword);
BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);
BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo);
BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded);
BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors);
// A control to the hosted service waits, as on Windows, until its handler has answered
// (a nonzero answer fails the call with that code): never send one from its handler.
BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
BOOL WINAPI EnumDependentServicesW(SC_HANDLE hService, DWORD dwServiceState, LPENUM_SERVICE_STATUSW lpServices,
                                   DWORD cbBufSize, LPDWORD pcbBytesNeeded, LPDWORD lpServicesReturned);
BOOL WINAPI DeleteService(SC_HANDLE hService);

#define SERVICES_ACTIVE_DATABASEW L"ServicesActive"

#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_LOCK 0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS 0xF003F

#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define SERVICE_ALL_ACCESS 0xF01FF

#define SERVICE_BOOT_START 0x00000000
#define SERVICE_SYSTEM_START 0x00000001
#define SERVICE_AUTO_START 0x00000002
#define SERVICE_DEMAND_START 0x00000003
#define SERVICE_DISABLED 0x00000004

#define SERVICE_ERROR_IGNORE 0x00000000
#define SERVICE_ERROR_NORMAL 0x00000001
#define SERVICE_ERROR_SEVERE 0x00000002
#define SERVICE_ERROR_CRITICAL 0x00000003

#define SERVICE_ACTIVE 0x00000001
#define SERVICE_INACTIVE 0x00000002
#define SERVICE_STATE_ALL 0x00000003

#define SERVICE_CONFIG_DESCRIPTION 1
#define SERVICE_CONFIG_DELAYED_AUTO_START_INFO 3

#define ERROR_INVALID_LEVEL 124L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_CIRCULAR_DEPENDENCY 1059L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#define RPC_S_SERVER_UNAVAILABLE 1722L

#define ERROR_PROCESS_ABORTED 1067L
#define ERROR_SERVICE_NOT_IN_EXE 1083L

#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_WIN32 0x00000030
#define SERVICE_INTERACTIVE_PROCESS 0x00000100

#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_PAUSED 0x00000007

#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004
#define SERVICE_ACCEPT_PARAMCHANGE 0x00000008
#define SERVICE_ACCEPT_NETBINDCHANGE 0x00000010
#define SERVICE_ACCEPT_HARDWAREPROFILECHANGE 0x00000020
#define SERVICE_ACCEPT_POWEREVENT 0x00000040
#define SERVICE_ACCEPT_SESSIONCHANGE 0x00000080
#define SERVICE_ACCEPT_PRESHUTDOWN 0x00000100

#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005
#define SERVICE_CONTROL_PARAMCHANGE 0x00000006
#define SERVICE_CONTROL_NETBINDADD 0x00000007
#define SERVICE_CONTROL_NETBINDREMOVE 0x00000008
#define SERVICE_CONTROL_NETBINDENABLE 0x00000009
#define SERVICE_CONTROL_NETBINDDISABLE 0x0000000A
#define SERVICE_CONTROL_DEVICEEVENT 0x0000000B
#define SERVICE_CONTROL_HARDWAREPROFILECHANGE 0x0000000C
#define SERVICE_CONTROL_POWEREVENT 0x0000000D
#define SERVICE_CONTROL_SESSIONCHANGE 0x0000000E
#define SERVICE_CONTROL_PRESHUTDOWN 0x0000000F

#define PBT_APMSUSPEND 0x0004
#define PBT_APMRESUMEAUTOMATIC 0x0012
#define PBT_POWERSETTINGCHANGE 0x8013

#define WTS_SESSION_LOGON 0x5
#define WTS_SESSION_LOGOFF 0x6
#define WTS_SESSION_LOCK 0x7
#define WTS_SESSION_UNLOCK 0x8

namespace sim::scm {

// One SetServiceStatus that the SCM accepted: the record whole, the reporting thread, and
// where the caller kept its record.
struct StatusReport {
  SERVICE_STATUS status;
  DWORD threadId;
  const SERVICE_STATUS* record;
};

// What became of a control: delivered (code is the handler's answer) or refused by the
// SCM (code is the Win32 error ControlService would give).
struct ControlResult {
  bool delivered;
  DWORD code;
  bool operator==(const ControlResult& o) const { return delivered == o.delivered && code == o.code; }
};

// The simulated process was started by the SCM as the own-process service `name` with
// these start arguments: the service's entry is created when missing and set to start
// pending, and StartServiceCtrlDispatcherW will connect. The service's main function
// receives the name as argv[0], then the arguments.
void runAsService(const std::wstring& name, std::vector<std::wstring> args = {});

// Every report the hosted service made since runAsService, in order.
std::vector<StatusReport> statusReports();
// The status the SCM holds for a service; nullopt when the database has no such service.
std::optional<SERVICE_STATUS> serviceStatus(const std::wstring& name);
// Block (really) until the hosted service's status has the state, or at least `count`
// reports were made; false after the timeout.
bool waitForState(DWORD state, int timeoutMs = 5000);
bool waitForReports(size_t count, int timeoutMs = 5000);

// The SCM sends a control to the hosted service. It is delivered on the dispatcher's
// thread, one control at a time, when the SCM would deliver it: the handler is
// registered, the service is not stopped, and the last report accepts it (stop, pause and
// continue, the user-defined codes 128-255 and interrogate also need a state that is not
// pending; shutdown, power events and session changes go in any state). Otherwise the
// SCM's error comes back. postControl blocks until then; never call it on the
// dispatcher's thread.
std::shared_future<ControlResult> postControlAsync(DWORD control, DWORD eventType = 0, void* eventData = nullptr);
ControlResult postControl(DWORD control, DWORD eventType = 0, void* eventData = nullptr);

// What the process handed over: the name in the dispatcher table's first entry, and the
// name the handler was registered under (nullopt: not registered, or a null pointer).
std::optional<std::wstring> dispatchTableName();
std::optional<std::wstring> handlerRegistrationName();
// Threads of the hosted service (0 until they exist).
DWORD dispatcherThreadId();
DWORD serviceMainThreadId();
// Block until the dispatcher has returned; false after the timeout.
bool waitForDispatcherReturn(int timeoutMs = 5000);
// Runs `hook` on a thread other than the dispatcher's that reported SERVICE_STOPPED, once
// the report has let the dispatcher return and before SetServiceStatus returns: the
// process may end, or go on past its dispatcher, before that thread runs again.
void afterStoppedReport(std::function<void()> hook);
// As the dispatcher does not wait for the service's main function to return, tests do,
// before they release what it uses. Threads that ended the process are let go.
void joinServiceThreads();
// The exit code given to ExitProcess; nullopt while the process lives.
std::optional<UINT> processExitCode();

// ---- The client side: the database as tests set it up and read it back ----

// One stretch of a peer's life: the status it reports while the stretch lasts. The check
// point starts at `checkPoint` and grows by one every `checkPointEvery` ms (0: frozen).
// A script is phases in order; after the last one that ends comes the script's end
// state (running after a start, stopped after a stop), with check point and hint 0.
constexpr ULONGLONG kForever = std::numeric_limits<ULONGLONG>::max();
struct Phase {
  DWORD state;
  DWORD waitHint = 0;
  DWORD checkPoint = 0;
  DWORD checkPointEvery = 0;
  ULONGLONG lasts = kForever;
};
using Script = std::vector<Phase>;

// A service registered before the test, outside the simulated process. Its status follows
// the script set going by the last start or control (or by script()); an empty script
// reaches the end state at once.
struct PeerService {
  std::wstring displayName;  // empty: the name
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  std::wstring binaryPath = L"C:\\windows\\system32\\svchost.exe";
  std::vector<std::wstring> dependencies;  // the services it needs running
  DWORD state = SERVICE_STOPPED;           // where it is when added
  DWORD controlsAccepted = SERVICE_ACCEPT_STOP;  // while running or paused
  std::vector<DWORD> userControls;         // user-defined codes its handler takes
  DWORD userControlRefusal = ERROR_INVALID_SERVICE_CONTROL;  // its answer to any other
  Script onStart;     // after StartServiceW; ends running
  Script onStop;      // after a stop control; ends stopped
  Script onContinue;  // after a continue control to a paused service; ends running
};
void addService(const std::wstring& name, PeerService peer);
// From now on the peer's status follows `phases`, then `endState` (the clock starts now).
void script(const std::wstring& name, Script phases, DWORD endState = SERVICE_STOPPED);
// Replaces what the service does when started or controlled (the accepted controls, user
// codes and the three scripts of `peer`), keeping its configuration and status. For a
// service that the system creates itself.
void setBehaviour(const std::wstring& name, const PeerService& peer);

// The configuration the database holds for a service.
struct ServiceConfig {
  std::wstring displayName;
  DWORD serviceType = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::wstring binaryPath;
  std::wstring loadOrderGroup;
  std::vector<std::wstring> dependencies;
  std::wstring account;
  std::optional<std::wstring> password;
  std::optional<std::wstring> description;
  bool delayedAutoStart = false;
  bool markedForDelete = false;
};
// nullopt: no such service (never there, or deleted and gone).
std::optional<ServiceConfig> config(const std::wstring& name);

// Opening the SCM, or a service, asking any of `rights` is refused with ERROR_ACCESS_DENIED.
void denyManagerRights(DWORD rights);
void denyServiceRights(const std::wstring& name, DWORD rights);

// Every handle asked of the SCM, in order: what, with which rights, and the error (0: granted).
struct AccessRequest {
  enum Kind { Manager, Service, Create } kind;
  std::wstring service;  // empty for the SCM
  DWORD access;
  DWORD error;
  bool operator==(const AccessRequest& o) const {
    return kind == o.kind && service == o.service && access == o.access && error == o.error;
  }
};
std::vector<AccessRequest> accessRequests();

// Every ControlService call that reached the database, in order, with the virtual time
// and the error it gave (0: the control was delivered and answered NO_ERROR).
struct SentControl {
  std::wstring service;
  DWORD control;
  DWORD error;
  ULONGLONG at;
  bool operator==(const SentControl& o) const {
    return service == o.service && control == o.control && error == o.error && at == o.at;
  }
};
std::vector<SentControl> controlsSent();
// Forgets the controls recorded so far (long runs, such as benchmarks).
void clearControlsSent();
// Services that StartServiceW set going, in order.
std::vector<std::wstring> starts();

}  // namespace sim::scm
