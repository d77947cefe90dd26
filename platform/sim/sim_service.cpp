#include "platform/sim/sim_service.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <map>
#include <thread>

namespace sim::scm {
namespace {

// Service names compare without regard to case, as the SCM's do.
struct NoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
      return std::towupper(static_cast<wint_t>(x)) < std::towupper(static_cast<wint_t>(y));
    });
  }
};

// What the SCM knows of one service.
struct Service {
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
};

struct Control {
  DWORD control;
  DWORD eventType;
  void* eventData;
  std::promise<ControlResult> answer;
};

// A thread running a service's main function.
struct ServiceThread {
  std::thread thread;
  bool done = false;    // the main function returned
  bool parked = false;  // it ended the process and never returns
};

// The service hosted by the simulated process, from the SCM's start to its stop.
struct Hosted {
  std::wstring name;               // empty: the process was not started as a service
  std::vector<std::wstring> args;  // argv[0] is the service name
  std::vector<LPWSTR> argv;
  bool dispatcherRunning = false;
  bool dispatched = false;  // the dispatcher connected (and may have returned since)
  bool stopped = false;     // SERVICE_STOPPED reported, or the process ended
  bool processEnded = false;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  void* context = nullptr;
  SERVICE_STATUS_HANDLE handle = nullptr;
  std::optional<std::wstring> tableName;
  std::optional<std::wstring> handlerName;
  DWORD dispatcherThread = 0;
  DWORD serviceMainThread = 0;
  std::deque<std::shared_ptr<Control>> queue;
};

struct Scm {
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::wstring, Service, NoCase> services;
  Hosted hosted;
  std::vector<StatusReport> reports;
  std::vector<std::shared_ptr<ServiceThread>> threads;
  std::optional<UINT> exitCode;
  uintptr_t nextHandle = 0x7A000;  // status handles are no kernel handles
};
Scm& machine() {
  static auto* s = new Scm;
  return *s;
}

thread_local ServiceThread* t_serviceThread = nullptr;

SERVICE_STATUS& hostedStatus(Scm& s) { return s.services[s.hosted.name].status; }

// Why the SCM would not deliver `control` to the hosted service now; 0 when it would.
DWORD refusal(Scm& s, DWORD control) {
  Hosted& h = s.hosted;
  if (h.name.empty() || h.stopped) return ERROR_SERVICE_NOT_ACTIVE;
  const SERVICE_STATUS& status = hostedStatus(s);
  if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (!h.handler) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD needs = 0;
  bool broadcast = false;  // sent by the system to every service that accepts it
  switch (control) {
    case SERVICE_CONTROL_STOP: needs = SERVICE_ACCEPT_STOP; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: needs = SERVICE_ACCEPT_PAUSE_CONTINUE; break;
    case SERVICE_CONTROL_INTERROGATE: break;
    case SERVICE_CONTROL_PARAMCHANGE: needs = SERVICE_ACCEPT_PARAMCHANGE; break;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: needs = SERVICE_ACCEPT_NETBINDCHANGE; break;
    case SERVICE_CONTROL_SHUTDOWN: needs = SERVICE_ACCEPT_SHUTDOWN, broadcast = true; break;
    case SERVICE_CONTROL_DEVICEEVENT: broadcast = true; break;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE: needs = SERVICE_ACCEPT_HARDWAREPROFILECHANGE, broadcast = true; break;
    case SERVICE_CONTROL_POWEREVENT: needs = SERVICE_ACCEPT_POWEREVENT, broadcast = true; break;
    case SERVICE_CONTROL_SESSIONCHANGE: needs = SERVICE_ACCEPT_SESSIONCHANGE, broadcast = true; break;
    case SERVICE_CONTROL_PRESHUTDOWN: needs = SERVICE_ACCEPT_PRESHUTDOWN, broadcast = true; break;
    default:
      if (control < 128 || control > 255) return ERROR_INVALID_PARAMETER;
  }
  if (!broadcast && (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING))
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if ((status.dwControlsAccepted & needs) != needs) return ERROR_INVALID_SERVICE_CONTROL;
  return 0;
}

// Waits until every service thread has returned or parked, then joins or lets it go.
void joinThreads() {
  auto& s = machine();
  std::vector<std::shared_ptr<ServiceThread>> threads;
  {
    std::unique_lock<std::mutex> g(s.lock);
    s.changed.wait(g, [&] {
      return std::all_of(s.threads.begin(), s.threads.end(), [](auto& t) { return t->done || t->parked; });
    });
    threads.swap(s.threads);
  }
  for (auto& t : threads) {
    if (t->parked)
      t->thread.detach();
    else
      t->thread.join();
  }
}

void resetScm() {
  joinThreads();
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  for (auto& c : s.hosted.queue) c->answer.set_value({false, ERROR_SERVICE_NOT_ACTIVE});
  s.services.clear();
  s.hosted = Hosted{};
  s.reports.clear();
  s.exitCode.reset();
}
ResetHook g_reset(resetScm);

template <class Pred>
bool waitFor(int timeoutMs, Pred pred) {
  auto& s = machine();
  std::unique_lock<std::mutex> g(s.lock);
  return s.changed.wait_for(g, std::chrono::milliseconds(timeoutMs), pred);
}

}  // namespace

void runAsService(const std::wstring& name, std::vector<std::wstring> args) {
  joinThreads();
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.hosted.dispatcherRunning) std::abort();  // one service process at a time
  auto it = s.services.try_emplace(name).first;
  it->second.status = {it->second.serviceType, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
  s.hosted = Hosted{};
  s.reports.clear();
  s.exitCode.reset();
  s.hosted.name = it->first;
  s.hosted.args.push_back(it->first);
  for (auto& a : args) s.hosted.args.push_back(std::move(a));
  s.changed.notify_all();
}

std::vector<StatusReport> statusReports() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.reports;
}

std::optional<SERVICE_STATUS> serviceStatus(const std::wstring& name) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.services.find(name);
  if (it == s.services.end()) return std::nullopt;
  return it->second.status;
}

bool waitForState(DWORD state, int timeoutMs) {
  auto& s = machine();
  return waitFor(timeoutMs, [&] { return !s.hosted.name.empty() && hostedStatus(s).dwCurrentState == state; });
}

bool waitForReports(size_t count, int timeoutMs) {
  auto& s = machine();
  return waitFor(timeoutMs, [&] { return s.reports.size() >= count; });
}

std::shared_future<ControlResult> postControlAsync(DWORD control, DWORD eventType, void* eventData) {
  auto c = std::make_shared<Control>();
  c->control = control;
  c->eventType = eventType;
  c->eventData = eventData;
  std::shared_future<ControlResult> answer = c->answer.get_future().share();
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.hosted.dispatcherRunning) {
    s.hosted.queue.push_back(std::move(c));
    s.changed.notify_all();
  } else {
    DWORD error = refusal(s, control);
    c->answer.set_value({false, error ? error : static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)});
  }
  return answer;
}

ControlResult postControl(DWORD control, DWORD eventType, void* eventData) {
  return postControlAsync(control, eventType, eventData).get();
}

std::optional<std::wstring> dispatchTableName() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.hosted.tableName;
}

std::optional<std::wstring> handlerRegistrationName() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.hosted.handlerName;
}

DWORD dispatcherThreadId() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.hosted.dispatcherThread;
}

DWORD serviceMainThreadId() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.hosted.serviceMainThread;
}

bool waitForDispatcherReturn(int timeoutMs) {
  auto& s = machine();
  return waitFor(timeoutMs, [&] { return s.hosted.dispatched && !s.hosted.dispatcherRunning; });
}

void joinServiceThreads() { joinThreads(); }

std::optional<UINT> processExitCode() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.exitCode;
}

}  // namespace sim::scm

using namespace sim;
using namespace sim::scm;

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  if (auto e = checkFault("StartServiceCtrlDispatcherW")) {
    SetLastError(*e);
    return FALSE;
  }
  if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& s = machine();
  std::unique_lock<std::mutex> g(s.lock);
  Hosted& h = s.hosted;
  // Not started by the SCM: there is no one to connect to.
  if (h.name.empty()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (h.dispatched) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  h.dispatched = true;
  h.dispatcherRunning = true;
  h.dispatcherThread = GetCurrentThreadId();
  h.tableName = lpServiceStartTable[0].lpServiceName;
  // An own-process service runs the table's first entry, whatever its name.
  LPSERVICE_MAIN_FUNCTIONW serviceMain = lpServiceStartTable[0].lpServiceProc;
  h.argv.clear();
  for (auto& a : h.args) h.argv.push_back(a.data());
  h.argv.push_back(nullptr);
  DWORD argc = static_cast<DWORD>(h.args.size());
  LPWSTR* argv = h.argv.data();
  auto worker = std::make_shared<ServiceThread>();
  worker->thread = std::thread([worker, serviceMain, argc, argv] {
    t_serviceThread = worker.get();
    {
      std::lock_guard<std::mutex> lock(machine().lock);
      machine().hosted.serviceMainThread = GetCurrentThreadId();
    }
    serviceMain(argc, argv);
    std::lock_guard<std::mutex> lock(machine().lock);
    worker->done = true;
    machine().changed.notify_all();
  });
  s.threads.push_back(worker);

  // Controls are delivered here, on the calling thread, one at a time, until the
  // service has reported SERVICE_STOPPED.
  for (;;) {
    s.changed.wait(g, [&] { return h.stopped || !h.queue.empty(); });
    if (h.stopped) break;
    std::shared_ptr<Control> c = std::move(h.queue.front());
    h.queue.pop_front();
    if (DWORD error = refusal(s, c->control)) {
      c->answer.set_value({false, error});
      continue;
    }
    LPHANDLER_FUNCTION_EX handler = h.handler;
    void* context = h.context;
    g.unlock();
    DWORD answer = handler(c->control, c->eventType, c->eventData, context);
    g.lock();
    c->answer.set_value({true, answer});
  }
  for (auto& c : h.queue) c->answer.set_value({false, ERROR_SERVICE_NOT_ACTIVE});
  h.queue.clear();
  h.dispatcherRunning = false;
  s.changed.notify_all();
  if (h.processEnded) {
    SetLastError(ERROR_PROCESS_ABORTED);
    return FALSE;
  }
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
  if (auto e = checkFault("RegisterServiceCtrlHandlerExW")) {
    SetLastError(*e);
    return NULL;
  }
  if (!lpHandlerProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  Hosted& h = s.hosted;
  if (!h.dispatcherRunning) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return NULL;
  }
  // One service in an own process: the name is not checked against the table.
  h.handlerName = lpServiceName ? std::optional<std::wstring>(lpServiceName) : std::nullopt;
  h.handler = lpHandlerProc;
  h.context = lpContext;
  if (!h.handle) {
    h.handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(s.nextHandle);
    s.nextHandle += 8;
  }
  s.changed.notify_all();
  return h.handle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  if (auto e = checkFault("SetServiceStatus")) {
    SetLastError(*e);
    return FALSE;
  }
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  Hosted& h = s.hosted;
  if (!hServiceStatus || hServiceStatus != h.handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SERVICE_STATUS status = *lpServiceStatus;
  if (status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  s.reports.push_back({status, GetCurrentThreadId()});
  hostedStatus(s) = status;
  if (status.dwCurrentState == SERVICE_STOPPED) h.stopped = true;
  s.changed.notify_all();
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) {
  checkFault("ExitProcess");
  {
    auto& s = machine();
    std::lock_guard<std::mutex> g(s.lock);
    s.exitCode = uExitCode;
    Hosted& h = s.hosted;
    if (!h.name.empty() && !h.stopped) {
      hostedStatus(s) = {hostedStatus(s).dwServiceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
      h.stopped = true;
    }
    h.processEnded = true;
    if (t_serviceThread) t_serviceThread->parked = true;
    s.changed.notify_all();
  }
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
