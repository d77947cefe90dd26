#include "platform/sim/sim_service.h"

#include "platform/sim/sim_memory.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <cstring>
#include <cwchar>
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

bool sameName(const std::wstring& a, const std::wstring& b) { return !NoCase()(a, b) && !NoCase()(b, a); }

// What the SCM knows of one service. The hosted service's status is what it last
// reported; a peer's follows its script from `scriptStart` on.
struct Service {
  std::wstring name;
  size_t order = 0;  // registration order
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  DWORD processId = 0;
  ServiceConfig config;
  PeerService peer;
  Script script;
  ULONGLONG scriptStart = 0;
  DWORD scriptEnd = SERVICE_STOPPED;  // the state an empty script reaches
  bool scripted = false;
  int openHandles = 0;
};
using ServicePtr = std::shared_ptr<Service>;

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
  std::map<std::wstring, ServicePtr, NoCase> services;
  size_t nextOrder = 0;
  DWORD nextProcessId = 5000;
  DWORD deniedManagerRights = 0;
  std::map<std::wstring, DWORD, NoCase> deniedServiceRights;
  std::vector<AccessRequest> accessRequests;
  std::vector<SentControl> controls;
  std::vector<std::wstring> starts;
  Hosted hosted;
  std::vector<StatusReport> reports;
  std::vector<std::shared_ptr<ServiceThread>> threads;
  std::optional<UINT> exitCode;
  uintptr_t nextHandle = 0x7A000;  // status handles are no kernel handles
  std::function<void()> afterStopped;
};
Scm& machine() {
  static auto* s = new Scm;
  return *s;
}

thread_local ServiceThread* t_serviceThread = nullptr;

// The entry of `name`, created (stopped, with no configuration) when missing.
Service& entry(Scm& s, const std::wstring& name) {
  ServicePtr& e = s.services[name];
  if (!e) {
    e = std::make_shared<Service>();
    e->name = name;
    e->order = s.nextOrder++;
    e->config.displayName = name;
    e->config.serviceType = SERVICE_WIN32_OWN_PROCESS;
    e->config.startType = SERVICE_DEMAND_START;
    e->config.errorControl = SERVICE_ERROR_NORMAL;
    e->config.account = L"LocalSystem";
  }
  return *e;
}

SERVICE_STATUS& hostedStatus(Scm& s) { return entry(s, s.hosted.name).status; }

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
  s.nextOrder = 0;
  s.nextProcessId = 5000;
  s.deniedManagerRights = 0;
  s.deniedServiceRights.clear();
  s.accessRequests.clear();
  s.controls.clear();
  s.starts.clear();
  s.hosted = Hosted{};
  s.reports.clear();
  s.exitCode.reset();
  s.afterStopped = nullptr;
}
ResetHook g_reset(resetScm);

bool isHosted(const Scm& s, const Service& e) {
  return !s.hosted.name.empty() && !s.hosted.stopped && sameName(s.hosted.name, e.name);
}

bool pending(DWORD state) { return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING; }

// Sets a peer going on a script, from the virtual time now.
void startScript(Service& e, Script script, DWORD end) {
  e.script = std::move(script);
  e.scriptStart = sim::now();
  e.scriptEnd = end;
  e.scripted = true;
}

// Brings a peer's status to the virtual time now and gives it; the hosted service's is
// what it reported.
const SERVICE_STATUS& refresh(Scm& s, Service& e) {
  if (!e.scripted || isHosted(s, e)) return e.status;
  ULONGLONG now = sim::now();
  ULONGLONG t = now > e.scriptStart ? now - e.scriptStart : 0;
  DWORD state = e.scriptEnd, waitHint = 0, checkPoint = 0;
  for (const Phase& p : e.script) {
    if (p.lasts != kForever && t >= p.lasts) {
      t -= p.lasts;
      continue;
    }
    state = p.state;
    waitHint = p.waitHint;
    checkPoint = p.checkPoint + (p.checkPointEvery ? static_cast<DWORD>(t / p.checkPointEvery) : 0);
    break;
  }
  e.status.dwServiceType = e.config.serviceType;
  e.status.dwCurrentState = state;
  e.status.dwControlsAccepted = state == SERVICE_STOPPED || pending(state) ? 0 : e.peer.controlsAccepted;
  e.status.dwWin32ExitCode = 0;
  e.status.dwServiceSpecificExitCode = 0;
  e.status.dwCheckPoint = checkPoint;
  e.status.dwWaitHint = waitHint;
  return e.status;
}

// A service marked for deletion leaves the database once it is stopped and no handle to
// it is open.
void sweep(Scm& s) {
  for (auto it = s.services.begin(); it != s.services.end();) {
    Service& e = *it->second;
    if (e.config.markedForDelete && e.openHandles == 0 && !isHosted(s, e) &&
        refresh(s, e).dwCurrentState == SERVICE_STOPPED)
      it = s.services.erase(it);
    else
      ++it;
  }
}

// The services that depend on `e`, directly or through others, each before the services
// it depends on: the order in which they can be stopped.
void dependents(Scm& s, const Service& e, std::vector<Service*>& out, std::vector<const Service*>& seen) {
  std::vector<Service*> direct;
  for (auto& [name, other] : s.services) {
    for (auto& d : other->config.dependencies)
      if (sameName(d, e.name)) {
        direct.push_back(other.get());
        break;
      }
  }
  std::sort(direct.begin(), direct.end(), [](Service* a, Service* b) { return a->order < b->order; });
  for (Service* d : direct) {
    if (std::find(seen.begin(), seen.end(), d) != seen.end()) continue;
    seen.push_back(d);
    dependents(s, *d, out, seen);
    out.push_back(d);
  }
}

std::vector<Service*> dependents(Scm& s, const Service& e, DWORD stateFilter) {
  std::vector<Service*> all, out;
  std::vector<const Service*> seen{&e};
  dependents(s, e, all, seen);
  for (Service* d : all) {
    bool active = refresh(s, *d).dwCurrentState != SERVICE_STOPPED;
    if (((stateFilter & SERVICE_ACTIVE) && active) || ((stateFilter & SERVICE_INACTIVE) && !active)) out.push_back(d);
  }
  return out;
}

// What SC_HANDLEs stand for: the SCM, or one service. CloseHandle does not close them.
struct ScObject : Object {
  ServicePtr service;  // null: the SCM
  DWORD granted = 0;
  const char* kind() const override { return service ? "Service" : "ScManager"; }
  bool closableByCloseHandle() const override { return false; }
};

SC_HANDLE newScHandle(ServicePtr service, DWORD granted) {
  auto o = std::make_shared<ScObject>();
  if (service) service->openHandles++;
  o->service = std::move(service);
  o->granted = granted;
  return reinterpret_cast<SC_HANDLE>(insertHandle(std::move(o)));
}

std::shared_ptr<ScObject> scObject(SC_HANDLE h, bool wantService) {
  auto o = lookup<ScObject>(reinterpret_cast<HANDLE>(h));
  if (!o || (o->service != nullptr) != wantService) return nullptr;
  return o;
}

DWORD mapManagerRights(DWORD access) {
  if (access & GENERIC_READ) access |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (access & GENERIC_WRITE) access |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (access & GENERIC_EXECUTE) access |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (access & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

DWORD mapServiceRights(DWORD access) {
  if (access & GENERIC_READ)
    access |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              SERVICE_ENUMERATE_DEPENDENTS;
  if (access & GENERIC_WRITE) access |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    access |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  if (access & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// The right ControlService needs for a control; 0 for a code it does not send.
DWORD rightFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE;
    default: return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

// What a peer's handler makes of a control the SCM let through; the error it answers.
DWORD controlPeer(Scm& s, Service& e, DWORD control) {
  const SERVICE_STATUS& status = refresh(s, e);
  if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (control != SERVICE_CONTROL_INTERROGATE && pending(status.dwCurrentState)) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD needs = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP: needs = SERVICE_ACCEPT_STOP; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: needs = SERVICE_ACCEPT_PAUSE_CONTINUE; break;
    case SERVICE_CONTROL_PARAMCHANGE: needs = SERVICE_ACCEPT_PARAMCHANGE; break;
    case SERVICE_CONTROL_INTERROGATE: break;
    default:
      if (control >= 128) break;
      needs = SERVICE_ACCEPT_NETBINDCHANGE;
  }
  if ((status.dwControlsAccepted & needs) != needs) return ERROR_INVALID_SERVICE_CONTROL;
  switch (control) {
    case SERVICE_CONTROL_STOP: startScript(e, e.peer.onStop, SERVICE_STOPPED); break;
    case SERVICE_CONTROL_PAUSE:
      if (status.dwCurrentState == SERVICE_RUNNING) startScript(e, {}, SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      if (status.dwCurrentState == SERVICE_PAUSED) startScript(e, e.peer.onContinue, SERVICE_RUNNING);
      break;
    default:
      if (control >= 128) {
        auto& taken = e.peer.userControls;
        if (std::find(taken.begin(), taken.end(), control) == taken.end()) return e.peer.userControlRefusal;
      }
  }
  return 0;
}

void fillStatus(Scm& s, Service& e, LPSERVICE_STATUS out) {
  if (out) *out = refresh(s, e);
}

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
  Service& e = entry(s, name);
  e.status = {e.serviceType, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
  e.scripted = false;
  e.processId = GetCurrentProcessId();
  s.hosted = Hosted{};
  s.reports.clear();
  s.exitCode.reset();
  s.hosted.name = e.name;
  s.hosted.args.push_back(e.name);
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
  sweep(s);
  auto it = s.services.find(name);
  if (it == s.services.end()) return std::nullopt;
  return refresh(s, *it->second);
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

void afterStoppedReport(std::function<void()> hook) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  s.afterStopped = std::move(hook);
}

std::optional<UINT> processExitCode() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.exitCode;
}

void addService(const std::wstring& name, PeerService peer) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.services.count(name)) std::abort();  // one registration per name
  Service& e = entry(s, name);
  e.config.displayName = peer.displayName.empty() ? name : peer.displayName;
  e.config.serviceType = e.serviceType = peer.serviceType;
  e.config.startType = peer.startType;
  e.config.binaryPath = peer.binaryPath;
  e.config.dependencies = peer.dependencies;
  if (peer.state != SERVICE_STOPPED) e.processId = s.nextProcessId += 4;
  startScript(e, {}, peer.state);
  e.peer = std::move(peer);
}

void script(const std::wstring& name, Script phases, DWORD endState) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.services.find(name);
  if (it == s.services.end()) std::abort();
  startScript(*it->second, std::move(phases), endState);
}

void setBehaviour(const std::wstring& name, const PeerService& peer) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.services.find(name);
  if (it == s.services.end()) std::abort();
  PeerService& b = it->second->peer;
  b.controlsAccepted = peer.controlsAccepted;
  b.userControls = peer.userControls;
  b.userControlRefusal = peer.userControlRefusal;
  b.onStart = peer.onStart;
  b.onStop = peer.onStop;
  b.onContinue = peer.onContinue;
}

std::optional<ServiceConfig> config(const std::wstring& name) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  sweep(s);
  auto it = s.services.find(name);
  if (it == s.services.end()) return std::nullopt;
  return it->second->config;
}

void denyManagerRights(DWORD rights) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  s.deniedManagerRights = rights;
}

void denyServiceRights(const std::wstring& name, DWORD rights) {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  s.deniedServiceRights[name] = rights;
}

std::vector<AccessRequest> accessRequests() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.accessRequests;
}

std::vector<SentControl> controlsSent() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.controls;
}
void clearControlsSent() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  s.controls.clear();
}

std::vector<std::wstring> starts() {
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  return s.starts;
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
    {
      SystemCallback system;
      serviceMain(argc, argv);
    }
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
    DWORD answer;
    {
      SystemCallback system;
      answer = handler(c->control, c->eventType, c->eventData, context);
    }
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
  std::unique_lock<std::mutex> g(s.lock);
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
  s.reports.push_back({status, GetCurrentThreadId(), lpServiceStatus});
  hostedStatus(s) = status;
  std::function<void()> after;
  if (status.dwCurrentState == SERVICE_STOPPED) {
    h.stopped = true;
    if (GetCurrentThreadId() != h.dispatcherThread) after = s.afterStopped;
  }
  s.changed.notify_all();
  g.unlock();
  if (after) after();
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

// ---- The client side ----

namespace {

// Fails the calling thread's call with `error`.
BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}
SC_HANDLE failHandle(DWORD error) {
  SetLastError(error);
  return NULL;
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  if (auto e = checkFault("OpenSCManagerW")) return failHandle(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  DWORD error = 0;
  DWORD access = mapManagerRights(dwDesiredAccess);
  if (lpMachineName && *lpMachineName)
    error = RPC_S_SERVER_UNAVAILABLE;  // the machine has no network
  else if (lpDatabaseName && !sameName(lpDatabaseName, SERVICES_ACTIVE_DATABASEW))
    error = ERROR_DATABASE_DOES_NOT_EXIST;
  else if (access & s.deniedManagerRights)
    error = ERROR_ACCESS_DENIED;
  s.accessRequests.push_back({AccessRequest::Manager, L"", dwDesiredAccess, error});
  if (error) return failHandle(error);
  // Every handle to the SCM may connect.
  return newScHandle(nullptr, access | SC_MANAGER_CONNECT);
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  if (auto e = checkFault("OpenServiceW")) return failHandle(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  if (!scObject(hSCManager, false)) return failHandle(ERROR_INVALID_HANDLE);
  if (!lpServiceName) return failHandle(ERROR_INVALID_NAME);
  std::wstring name = lpServiceName;
  sweep(s);
  DWORD access = mapServiceRights(dwDesiredAccess);
  DWORD error = 0;
  auto it = s.services.find(name);
  auto denied = s.deniedServiceRights.find(name);
  if (it == s.services.end())
    error = ERROR_SERVICE_DOES_NOT_EXIST;
  else if (denied != s.deniedServiceRights.end() && (access & denied->second))
    error = ERROR_ACCESS_DENIED;
  s.accessRequests.push_back({AccessRequest::Service, name, dwDesiredAccess, error});
  if (error) return failHandle(error);
  return newScHandle(it->second, access);
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  if (auto e = checkFault("CreateServiceW")) return failHandle(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto manager = scObject(hSCManager, false);
  if (!manager) return failHandle(ERROR_INVALID_HANDLE);
  std::wstring name = lpServiceName ? lpServiceName : L"";
  std::wstring display = lpDisplayName && *lpDisplayName ? lpDisplayName : name;
  std::vector<std::wstring> dependencies;
  for (LPCWSTR d = lpDependencies; d && *d; d += std::wcslen(d) + 1) dependencies.emplace_back(d);
  DWORD type = dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  bool win32 = type == SERVICE_WIN32_OWN_PROCESS || type == SERVICE_WIN32_SHARE_PROCESS;
  sweep(s);

  DWORD error = 0;
  if (!(manager->granted & SC_MANAGER_CREATE_SERVICE))
    error = ERROR_ACCESS_DENIED;
  else if (name.empty() || name.size() > 256 || name.find_first_of(L"/\\") != std::wstring::npos)
    error = ERROR_INVALID_NAME;
  else if (!(win32 || dwServiceType == SERVICE_KERNEL_DRIVER) || dwStartType > SERVICE_DISABLED ||
           dwErrorControl > SERVICE_ERROR_CRITICAL || !lpBinaryPathName || !*lpBinaryPathName ||
           (win32 && (dwStartType < SERVICE_AUTO_START || lpdwTagId)))
    error = ERROR_INVALID_PARAMETER;
  else if (auto it = s.services.find(name); it != s.services.end())
    error = it->second->config.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  else if (std::any_of(s.services.begin(), s.services.end(), [&](auto& other) {
             return sameName(other.first, display) || sameName(other.second->config.displayName, display);
           }))
    error = ERROR_DUPLICATE_SERVICE_NAME;
  else if (std::any_of(dependencies.begin(), dependencies.end(), [&](auto& d) { return sameName(d, name); }))
    error = ERROR_CIRCULAR_DEPENDENCY;
  s.accessRequests.push_back({AccessRequest::Create, name, dwDesiredAccess, error});
  if (error) return failHandle(error);

  Service& e = entry(s, name);
  e.serviceType = dwServiceType;
  e.config.displayName = display;
  e.config.serviceType = dwServiceType;
  e.config.startType = dwStartType;
  e.config.errorControl = dwErrorControl;
  e.config.binaryPath = lpBinaryPathName;
  e.config.loadOrderGroup = lpLoadOrderGroup ? lpLoadOrderGroup : L"";
  e.config.dependencies = std::move(dependencies);
  e.config.account = lpServiceStartName && *lpServiceStartName ? lpServiceStartName : L"LocalSystem";
  if (lpPassword) e.config.password = lpPassword;
  startScript(e, {}, SERVICE_STOPPED);
  return newScHandle(s.services.find(name)->second, mapServiceRights(dwDesiredAccess));
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (auto e = checkFault("CloseServiceHandle")) return fail(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto o = lookup<ScObject>(reinterpret_cast<HANDLE>(hSCObject));
  if (!o || !removeHandle(reinterpret_cast<HANDLE>(hSCObject))) return fail(ERROR_INVALID_HANDLE);
  if (o->service) o->service->openHandles--;
  sweep(s);
  return TRUE;
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  if (auto e = checkFault("ChangeServiceConfig2W")) return fail(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto o = scObject(hService, true);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!(o->granted & SERVICE_CHANGE_CONFIG)) return fail(ERROR_ACCESS_DENIED);
  ServiceConfig& c = o->service->config;
  if (c.markedForDelete) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (!lpInfo) return fail(ERROR_INVALID_PARAMETER);
  switch (dwInfoLevel) {
    case SERVICE_CONFIG_DESCRIPTION: {
      // A null text leaves the description as it is; an empty one removes it.
      LPCWSTR text = static_cast<SERVICE_DESCRIPTIONW*>(lpInfo)->lpDescription;
      if (text) c.description = *text ? std::optional<std::wstring>(text) : std::nullopt;
      return TRUE;
    }
    case SERVICE_CONFIG_DELAYED_AUTO_START_INFO:
      c.delayedAutoStart = static_cast<SERVICE_DELAYED_AUTO_START_INFO*>(lpInfo)->fDelayedAutostart != FALSE;
      return TRUE;
    default:
      return fail(ERROR_INVALID_LEVEL);  // the other levels are not simulated
  }
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
  if (auto e = checkFault("QueryServiceStatusEx")) return fail(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto o = scObject(hService, true);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return fail(ERROR_INVALID_LEVEL);
  if (!(o->granted & SERVICE_QUERY_STATUS)) return fail(ERROR_ACCESS_DENIED);
  if (!pcbBytesNeeded) return fail(ERROR_INVALID_PARAMETER);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  Service& e = *o->service;
  const SERVICE_STATUS& status = refresh(s, e);
  SERVICE_STATUS_PROCESS out{status.dwServiceType, status.dwCurrentState, status.dwControlsAccepted,
                             status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
                             status.dwWaitHint, status.dwCurrentState == SERVICE_STOPPED ? 0 : e.processId, 0};
  std::memcpy(lpBuffer, &out, sizeof out);
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD, LPCWSTR*) {
  if (auto e = checkFault("StartServiceW")) return fail(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto o = scObject(hService, true);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!(o->granted & SERVICE_START)) return fail(ERROR_ACCESS_DENIED);
  Service& e = *o->service;
  if (e.config.markedForDelete) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (e.config.startType == SERVICE_DISABLED) return fail(ERROR_SERVICE_DISABLED);
  if (isHosted(s, e) || refresh(s, e).dwCurrentState != SERVICE_STOPPED) return fail(ERROR_SERVICE_ALREADY_RUNNING);
  e.processId = s.nextProcessId += 4;
  startScript(e, e.peer.onStart, SERVICE_RUNNING);
  s.starts.push_back(e.name);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  if (auto e = checkFault("ControlService")) return fail(*e);
  auto& s = machine();
  std::unique_lock<std::mutex> g(s.lock);
  auto o = scObject(hService, true);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
  DWORD right = rightFor(dwControl);
  if (!right) return fail(ERROR_INVALID_PARAMETER);
  if (!(o->granted & right)) return fail(ERROR_ACCESS_DENIED);
  ServicePtr e = o->service;
  DWORD error = 0;
  if (dwControl == SERVICE_CONTROL_STOP && !dependents(s, *e, SERVICE_ACTIVE).empty()) {
    error = ERROR_DEPENDENT_SERVICES_RUNNING;
  } else if (isHosted(s, *e)) {
    // The hosted service's handler answers on the dispatcher's thread.
    g.unlock();
    ControlResult r = postControl(dwControl);
    g.lock();
    error = r.code;
  } else {
    error = controlPeer(s, *e, dwControl);
  }
  s.controls.push_back({e->name, dwControl, error, sim::now()});
  if (error == 0 || error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
      error == ERROR_INVALID_SERVICE_CONTROL)
    fillStatus(s, *e, lpServiceStatus);
  return error ? fail(error) : TRUE;
}

BOOL WINAPI EnumDependentServicesW(SC_HANDLE hService, DWORD dwServiceState, LPENUM_SERVICE_STATUSW lpServices,
                                   DWORD cbBufSize, LPDWORD pcbBytesNeeded, LPDWORD lpServicesReturned) {
  if (auto e = checkFault("EnumDependentServicesW")) return fail(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto o = scObject(hService, true);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!(o->granted & SERVICE_ENUMERATE_DEPENDENTS)) return fail(ERROR_ACCESS_DENIED);
  if (dwServiceState < SERVICE_ACTIVE || dwServiceState > SERVICE_STATE_ALL || !pcbBytesNeeded ||
      !lpServicesReturned || (cbBufSize && !lpServices))
    return fail(ERROR_INVALID_PARAMETER);
  std::vector<Service*> list = dependents(s, *o->service, dwServiceState);
  // The entries first, then their names.
  size_t bytes = list.size() * sizeof(ENUM_SERVICE_STATUSW);
  for (Service* d : list) bytes += (d->name.size() + 1 + d->config.displayName.size() + 1) * sizeof(wchar_t);
  *lpServicesReturned = 0;
  if (cbBufSize < bytes) {
    *pcbBytesNeeded = static_cast<DWORD>(bytes);
    return fail(ERROR_MORE_DATA);
  }
  auto* text = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(lpServices) + list.size() * sizeof(ENUM_SERVICE_STATUSW));
  auto put = [&text](const std::wstring& value) {
    wchar_t* start = text;
    std::memcpy(text, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
    text += value.size() + 1;
    return start;
  };
  for (size_t i = 0; i < list.size(); i++) {
    lpServices[i].lpServiceName = put(list[i]->name);
    lpServices[i].lpDisplayName = put(list[i]->config.displayName);
    lpServices[i].ServiceStatus = refresh(s, *list[i]);
  }
  *pcbBytesNeeded = 0;
  *lpServicesReturned = static_cast<DWORD>(list.size());
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  if (auto e = checkFault("DeleteService")) return fail(*e);
  auto& s = machine();
  std::lock_guard<std::mutex> g(s.lock);
  auto o = scObject(hService, true);
  if (!o) return fail(ERROR_INVALID_HANDLE);
  if (!(o->granted & DELETE)) return fail(ERROR_ACCESS_DENIED);
  ServiceConfig& c = o->service->config;
  if (c.markedForDelete) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  c.markedForDelete = true;
  return TRUE;
}
