// The sweep's scenarios: each plays one part of the program's life on a fresh machine,
// with the peers outside the program (the SCM, the watcher process, the program that
// writes "Mode") played by the test, unobserved by the sweep. A scenario runs unobserved;
// each call into the system is made under a sim::Observed.
#include "helpers/DeviceInfoSet.h"
#include "tests/support/IdleWatcherPeer.h"
#include "helpers/GpuUsageHelper.h"
#include "helpers/TaskSchedulerHelper.h"
#include "modes/Dytc.h"
#include "modes/IfcMode.h"
#include "modes/Log.h"
#include "modes/ModeManager.h"
#include "modes/MyhMode.h"
#include "service/IdleWatcher.h"
#include "service/Main.h"
#include "service/RemovalCheck.h"
#include "service/ServiceBase.h"
#include "service/ServiceControl.h"
#include "tests/reliability/Sweep.h"
#include "tests/support/ModeManagerPeer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>

namespace reliability {
namespace {

// The verdict bit and all four functions: MYH (19), IFC (26), MMC (27), MSC (28).
constexpr DWORD kAllFunctions = 0x1C080001;
constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON";
const std::wstring kIntelAdapter =
    L"\\\\?\\pci#ven_8086&dev_9a49#3&11583659&0&10#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";

constexpr DWORD setWord(DWORD function, DWORD mode, DWORD flag) {
  return DYTC_CMD_SET | function << 12 | mode << 16 | flag << 20;
}


// wmain with the installed executable's path as argv[0], as the system starts it.
int runProgram(std::vector<std::wstring> args) {
  sim::Unobserved test;
  std::vector<std::wstring> storage{QTHERM_INSTALLED_EXE};
  for (auto& a : args) storage.push_back(std::move(a));
  std::vector<wchar_t*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  wchar_t* envp[] = {nullptr};
  sim::Observed system;
  return wmain(static_cast<int>(storage.size()), argv.data(), envp);
}

// The service process as the SCM starts it: its main thread runs wmain without a switch.
class ServiceProgram {
 public:
  ServiceProgram() {
    sim::scm::runAsService(QTHERM_SERVICE_NAME);
    std::promise<int> exitCode;
    m_exit = exitCode.get_future();
    m_main = std::thread([exitCode = std::move(exitCode)]() mutable {
      sim::Unobserved test;
      exitCode.set_value(runProgram({}));
    });
  }
  ~ServiceProgram() { join(); }
  ServiceProgram(const ServiceProgram&) = delete;
  ServiceProgram& operator=(const ServiceProgram&) = delete;
  bool running() const { return m_exit.wait_for(std::chrono::seconds(0)) != std::future_status::ready; }
  // wmain's result; a program that never ends ends the run rather than hang it.
  int join() {
    if (!m_main.joinable()) return m_code;
    if (m_exit.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      std::fprintf(stderr, "the service program never returned\n");
      std::abort();
    }
    m_code = m_exit.get();
    m_main.join();
    sim::scm::joinServiceThreads();
    return m_code;
  }

 private:
  std::future<int> m_exit;
  std::thread m_main;
  int m_code = -1;
};

// Waits until the service is running, or has stopped, or its program has ended.
void waitStarted(const ServiceProgram& program) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline && program.running()) {
    auto status = sim::scm::serviceStatus(QTHERM_SERVICE_NAME);
    if (status && (status->dwCurrentState == SERVICE_RUNNING || status->dwCurrentState == SERVICE_STOPPED)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The service from the SCM's start to a stop (or a shutdown), with all four modes up and,
// when asked, every control the modes act on, a "Mode" change and two idle periods'
// controls. The first start of an installation (no "Version") installs the mode
// component first.
void serviceLife(Run& run, bool shutdown, bool firstStart, bool controls) {
  sim::dev::setCapability(kAllFunctions);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
  if (!firstStart) sim::reg::setDword(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION);
  sim::files::put(QTHERM_INSTALLED_EXE, "image");
  const DWORD myh = DYTC_FUNC_MYH, mmc = DYTC_FUNC_MMC, msc = DYTC_FUNC_MSC, ifc = DYTC_FUNC_IFC;
  std::vector<DWORD> expected;
  if (firstStart) expected = {DYTC_CMD_QUERY, DYTC_CMD_MODE_MMC_CAP};  // the component install
  for (DWORD w : {DYTC_CMD_QUERY, DYTC_CMD_MODE_MMC_GET, setWord(myh, 0, 1)}) expected.push_back(w);
  if (controls)
    for (DWORD w : {setWord(mmc, 2, 1), setWord(mmc, 15, 1), setWord(mmc, 3, 1), setWord(mmc, 2, 1),
                    setWord(msc, 15, 1), setWord(msc, 15, 0), setWord(myh, 1, 1), setWord(ifc, 15, 1),
                    setWord(ifc, 15, 0), setWord(ifc, 15, 1), setWord(ifc, 15, 1),
                    // Both watch threads switch IFC off: at stop, or when the watcher ends.
                    setWord(ifc, 15, 0), setWord(ifc, 15, 0)})
      expected.push_back(w);
  auto sent = [](DWORD word) {
    auto words = sim::dev::words();
    return std::find(words.begin(), words.end(), word) != words.end();
  };

  IdleWatcherPeer watcher;
  std::vector<sim::scm::ControlResult> answers;
  bool ran = false;
  {
    ServiceProgram program;
    waitStarted(program);
    run.settle([] { return sim::reg::pendingNotifications(MYH_KEY) == 1; });  // MYH watches
    run.baseline(ModeManagerPeer::modeCount(*ModeManager::getInstance()) == 4, "all four modes come up");

    auto send = [&](DWORD control, DWORD type = 0, void* data = nullptr) {
      answers.push_back(sim::scm::postControl(control, type, data));
    };
    if (controls) {
      for (DWORD control : {134u, 135u, 146u, 148u}) send(control);
      auto displayOff = sim::power::monitorRecord(0);
      auto displayOn = sim::power::monitorRecord(1);
      send(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOff.get());
      send(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOn.get());
      WTSSESSION_NOTIFICATION session{sizeof(WTSSESSION_NOTIFICATION), 1};
      send(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, &session);
      sim::reg::setDword(MYH_KEY, MYH_VALUE, 3);  // the outside program
      run.settle([&] { return sent(setWord(myh, 1, 1)); });
      send(IFC_CTL_IDLE_START);
      run.settle([] { return sim::blockedWaiters() >= 2; });  // the MYH's and the IFC's threads
      send(IFC_CTL_EXIT);
      send(IFC_CTL_ENTER);
      send(IFC_CTL_IDLE_START);  // a second watch thread on the same watcher
      run.settle([] { return sim::blockedWaiters() >= 3; });
    }
    send(shutdown ? SERVICE_CONTROL_SHUTDOWN : SERVICE_CONTROL_STOP);
    run.check(program.join() == 0, "wmain ended with other than 0");
    ran = sim::scm::dispatchTableName().has_value();
  }
  watcher.end();
  run.settle([&] { return sim::dev::words().size() >= expected.size(); });

  auto status = sim::scm::serviceStatus(QTHERM_SERVICE_NAME);
  if (ran && !sim::scm::processExitCode())
    run.check(status && status->dwCurrentState == SERVICE_STOPPED, "the program ended before the service stopped");
  // A stop that ran releases every mode. (Without one, what the component install made
  // goes with the process.)
  bool stopRan = false;
  for (auto& report : sim::scm::statusReports())
    stopRan = stopRan || report.status.dwCurrentState == SERVICE_STOP_PENDING;
  if (shutdown)
    run.processEnds();
  else if (stopRan)
    run.check(ModeManagerPeer::modeCount(*ModeManager::getInstance()) == 0, "modes left in the manager after stop");

  bool allHandled = std::all_of(answers.begin(), answers.end(),
                                [](auto& a) { return a == sim::scm::ControlResult{true, NO_ERROR}; });
  run.baseline(ran && allHandled, "every control delivered and answered NO_ERROR");
  run.baseline(sim::dev::words() == expected, "the firmware saw every command, in order");
  if (firstStart)
    run.baseline(sim::reg::getDword(IC_REG_ROOT, IC_REG_VERSION) == IC_VERSION &&
                     sim::taskschd::task(L"\\Oltaro", PNP_TASK_NAME).has_value(),
                 "the first start installed the component");
}

// "-install" on a machine without the service: registration, description, the mode
// component, the PnP task, the start and its wait, the console line.
void installRole(Run& run) {
  sim::dev::setCapability(kAllFunctions);
  sim::reg::setDword(IC_REG_OLD_ROOT, L"Version", 1);
  sim::files::put(QTHERM_INSTALLED_EXE, "image");
  sim::files::setModulePath(QTHERM_INSTALLED_EXE);
  run.check(runProgram({L"-install"}) == 0, "wmain ended with other than 0");
  run.baseline(sim::scm::config(QTHERM_SERVICE_NAME).has_value(), "the service registered");
  auto status = sim::scm::serviceStatus(QTHERM_SERVICE_NAME);
  run.baseline(status && status->dwCurrentState == SERVICE_RUNNING, "and running");
  run.baseline(sim::files::consoleOutput() == "QTHRMON is installed.\n", "the console line");
  run.baseline(sim::taskschd::tasks(L"\\Oltaro").size() == 2, "both tasks registered");
  run.baseline(sim::reg::getDword(IC_REG_ROOT, IC_REG_VERSION) == IC_VERSION, "\"Version\" written");
  run.baseline(!sim::reg::keyExists(IC_REG_OLD_ROOT), "the older key deleted");
}

// "-install" when the service is there already, paused: it is only continued.
void installRoleOnAPausedService(Run& run) {
  sim::scm::PeerService service;
  service.state = SERVICE_PAUSED;
  service.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
  sim::scm::addService(QTHERM_SERVICE_NAME, service);
  run.check(runProgram({L"-install"}) == 0, "wmain ended with other than 0");
  run.baseline(sim::scm::serviceStatus(QTHERM_SERVICE_NAME)->dwCurrentState == SERVICE_RUNNING, "continued");
}

// "-remove" when the service's INF has gone: the DYTC reset, the service and a dependent
// stopped, the service deleted, both tasks deleted, the deletion copy made and started.
void removeRole(Run& run) {
  {
    sim::Unobserved setUp;
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
    TaskSchedulerHelper().CreateTask(IDLE_TASK_NAME, IDLE_TASK_ARGUMENTS, 1);
    TaskSchedulerHelper().CreateTask(PNP_TASK_NAME, PNP_TASK_ARGUMENTS, 0);
    CoUninitialize();
  }
  sim::files::put(QTHERM_INSTALLED_EXE, "image");
  sim::scm::PeerService service;
  service.state = SERVICE_RUNNING;
  service.onStop = {{SERVICE_STOP_PENDING, 1000, 1, 500, 1500}};
  sim::scm::addService(QTHERM_SERVICE_NAME, service);
  sim::scm::PeerService dependent;
  dependent.state = SERVICE_RUNNING;
  dependent.dependencies = {QTHERM_SERVICE_NAME};
  sim::scm::addService(L"QTHDEPENDENT", dependent);
  sim::reg::createKey(kServiceKey + L"\\Enum");  // the service's key, without "Owners"

  run.check(runProgram({L"-remove"}) == 0, "wmain ended with other than 0");
  auto config = sim::scm::config(QTHERM_SERVICE_NAME);
  run.baseline(!config || config->markedForDelete, "the service deleted");
  run.baseline(sim::scm::serviceStatus(L"QTHDEPENDENT")->dwCurrentState == SERVICE_STOPPED, "the dependent stopped");
  run.baseline(sim::files::consoleOutput() == "QTHRMON is removed.\n", "the console line");
  run.baseline(sim::taskschd::tasks(L"\\Oltaro").empty(), "no task left");
  run.baseline(sim::dev::words() == std::vector<DWORD>{DYTC_CMD_RESET}, "the reset reached the firmware");
  run.baseline(sim::files::exists(QTHERM_DELETE_COPY) && sim::process::launches().size() == 1,
               "the deletion copy made and started");
}

// "-delfile": the installed executable, still running for two tries, then deleted; the
// copy marked for deletion at restart.
void delfileRole(Run& run) {
  sim::files::put(QTHERM_INSTALLED_EXE, "image");
  sim::files::setInUse(QTHERM_INSTALLED_EXE);
  int slept = 0;
  sim::onSleep([&slept](DWORD) {
    if (++slept == 2) sim::files::setInUse(QTHERM_INSTALLED_EXE, false);  // the old process ended
  });
  run.check(runProgram({L"-delfile"}) == 0, "wmain ended with other than 0");
  sim::onSleep(nullptr);
  run.baseline(!sim::files::exists(QTHERM_INSTALLED_EXE), "the executable deleted");
  run.baseline(sim::files::pendingDeletes() == std::vector<std::wstring>{QTHERM_DELETE_COPY}, "the copy marked");
}

// An idle period: the service runs; the watcher starts, sends 130, samples a high load
// three times (150 each) and ends, which abandons its mutex; then the service stops.
void idlePeriod(Run& run) {
  sim::dev::setCapability(CAP_IFC);
  sim::reg::setDword(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION);
  sim::reg::setDword(IC_REG_ROOT, GPULOAD_VALUE, 0);  // every sample is high
  DEVINST device = sim::setupapi::addDevice(L"PCI\\VEN_8086&DEV_9A49", kDisplayClass);
  sim::setupapi::addInterface(device, GUID_DISPLAY_DEVICE_ARRIVAL, kIntelAdapter);
  sim::display::addAdapter(kIntelAdapter, LUID{0x51, 0});
  bool started = false;
  {
    ServiceProgram program;
    waitStarted(program);
    run.settle([] { return ModeManagerPeer::modeCount(*ModeManager::getInstance()) == 1; });
    // The watcher process, which the Task Scheduler started with "-idletask": wmain gave
    // it COM, which it gives up at once.
    std::thread watcherProcess([&] {
      sim::Unobserved test;
      if (FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) return;
      sim::Observed system;
      IdleWatcher watcher;
      started = watcher.Start();
      if (!started) return;
      for (int i = 0; i < 3; i++) watcher.Step();
      sim::Unobserved waiting;
      run.settle([] { return sim::blockedWaiters() >= 1; });  // the mode's watch thread waits
    });
    watcherProcess.join();  // the Task Scheduler ends it
    run.settle([] { return sim::dev::words().size() >= 6; });
    auto stop = sim::scm::postControl(SERVICE_CONTROL_STOP);
    run.baseline(stop == sim::scm::ControlResult{true, NO_ERROR}, "the stop delivered");
    run.check(program.join() == 0, "wmain ended with other than 0");
  }
  // What the watcher process held to its end: its mutex, and the sampler's process handle.
  run.allowHeld("Mutex");
  run.allowHeld("Process");
  run.check(sim::display::gdi32References() <= 1, "gdi32 held more than once");
  const DWORD on = setWord(DYTC_FUNC_IFC, 15, 1), off = setWord(DYTC_FUNC_IFC, 15, 0);
  run.baseline(started, "the watcher started");
  run.baseline(sim::dev::words() == std::vector<DWORD>{DYTC_CMD_QUERY, on, off, off, off, off},
               "130, three 150s, and the watch thread's off when the watcher ended");
}

// The removal check and its two probes, on an installation that is whole.
void removalCheck(Run& run) {
  sim::reg::setString(kServiceKey, L"Owners", L"oem12.inf", REG_MULTI_SZ);
  sim::reg::setString(kServiceKey, L"DisplayName", L"@oem12.inf,%QTHERM.SVCDESC%;QTHRMON");
  sim::reg::setDword(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION);
  sim::reg::createKey(L"SYSTEM\\DriverDatabase\\DriverPackages\\oem12.inf_amd64_5d1c");
  sim::files::put(L"C:\\windows\\INF\\oem12.inf");
  sim::files::put(L"C:\\windows\\INF\\oem13.inf");
  bool missing, anyMissing, version, inStore;
  {
    sim::Observed system;
    missing = IsServiceInfMissing();
    anyMissing = IsAnyInfFileMissing(L"oem12.inf\0oem13.inf\0");
    version = IsComponentVersionPresent();
    inStore = IsDriverPackageInStore(L"oem12.inf");
  }
  run.baseline(!missing && !anyMissing && version && inStore, "the whole installation is found");
}

// The watcher's sampler: its set-up and a few samples a second apart.
void gpuSampler(Run& run) {
  DEVINST device = sim::setupapi::addDevice(L"PCI\\VEN_8086&DEV_9A49", kDisplayClass);
  sim::setupapi::addInterface(device, GUID_DISPLAY_DEVICE_ARRIVAL, kIntelAdapter);
  sim::display::addAdapter(kIntelAdapter, LUID{0x51, 0});
  bool ready = false;
  {
    sim::Observed system;
    GpuUsageHelper gpu;
    ready = gpu.InitializeAdapter(0);
    for (int i = 0; i < 3; i++) {
      gpu.GetGpuUsage();
      sim::Unobserved second;
      Sleep(1000);
    }
  }
  // Held for the watcher process's life after a good set-up, and only then.
  run.allowHeld("Process");
  run.check(sim::display::gdi32References() == (ready ? 1 : 0), "gdi32 references other than the sampler's one");
  run.check(ready || sim::openHandleCount("Process") == 0, "a failed set-up kept its process handle");
  run.baseline(ready && sim::display::queries().size() == 3, "set up, and three samples queried");
}

// The per-device toolkit that nothing in the program calls.
void deviceToolkit(Run& run) {
  DEVINST gpu = sim::setupapi::addDevice(L"PCI\\VEN_8086", kDisplayClass);
  DEVINST second = sim::setupapi::addDevice(L"PCI\\VEN_10DE", kDisplayClass);
  sim::setupapi::setStringProperty(gpu, SPDRP_FRIENDLYNAME, L"Graphics");
  sim::setupapi::setClassDescription(kDisplayClass, L"Display adapters");
  int done = 0;
  {
    sim::Observed system;
    DeviceInfoSet set(&kDisplayClass, NULL, DIGCF_PRESENT);
    BYTE property[2048] = {};
    DWORD working = 0;
    wchar_t description[260] = {};
    done += set.Next() ? 1 : 0;
    done += set.GetRegistryProperty(SPDRP_FRIENDLYNAME, property) ? 1 : 0;
    done += set.GetStatus(&working) ? 1 : 0;
    done += set.GetClassDescription(description) ? 1 : 0;
    done += set.Disable() ? 1 : 0;
    done += set.Enable() ? 1 : 0;
    done += set.Next() ? 1 : 0;
    done += set.Remove() ? 1 : 0;
  }
  run.baseline(done == 8 && sim::setupapi::isRemoved(second), "every operation succeeds");
}

// The log-directory helper that nothing in the program calls, both ways.
void logDirectory(Run& run) {
  std::wstring given, common;
  try {
    sim::Observed system;
    given = GetLogDirectory(L"C:\\QTHLogs");
    common = GetLogDirectory(NULL);
  } catch (const std::bad_alloc&) {
    // A text it cannot make goes to its caller as the exception; nothing stays behind.
  }
  run.baseline(given == L"C:\\QTHLogs\\" && common == L"C:\\ProgramData\\Oltaro\\QTHRMON\\", "both directories");
}

}  // namespace

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"service_start_controls_stop", [](Run& r) { serviceLife(r, false, false, true); },
       {{"RegisterServiceCtrlHandlerExW", 1, ERROR_NOT_ENOUGH_MEMORY}}},
      {"service_start_controls_shutdown", [](Run& r) { serviceLife(r, true, false, true); }},
      {"service_first_start_stop", [](Run& r) { serviceLife(r, false, true, false); }},
      {"install_role", installRole},
      {"install_role_on_a_paused_service", installRoleOnAPausedService, {}, Heap::Nothing},
      {"remove_role", removeRole},
      {"delfile_role", delfileRole, {}, Heap::Nothing},
      {"idle_period", idlePeriod},
      {"removal_check", removalCheck},
      {"gpu_sampler", gpuSampler},
      {"device_toolkit", deviceToolkit, {}, Heap::Nothing},
      {"log_directory", logDirectory, {{"MakeSureDirectoryPathExists", 1, ERROR_ACCESS_DENIED}}},
  };
  return all;
}

}  // namespace reliability
