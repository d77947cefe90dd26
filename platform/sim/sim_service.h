// The Service Control Manager of the simulated machine. One service database (services
// by name, each with the status the SCM knows); the service hosted by the simulated
// process is one entry, whose status is what it last reported. The service side lives
// here: the dispatcher, the control handler's registration, status reports, and the
// controls the SCM delivers, drained one at a time on the dispatcher's calling thread.
// The client side (OpenSCManagerW, ControlService, ...) posts into the same queue.
#pragma once

#include "platform/sim/sim_core.h"

#include <future>
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

// One SetServiceStatus that the SCM accepted: the record whole, and the reporting thread.
struct StatusReport {
  SERVICE_STATUS status;
  DWORD threadId;
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
// As the dispatcher does not wait for the service's main function to return, tests do,
// before they release what it uses. Threads that ended the process are let go.
void joinServiceThreads();
// The exit code given to ExitProcess; nullopt while the process lives.
std::optional<UINT> processExitCode();

}  // namespace sim::scm
