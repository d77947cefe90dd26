// The sweep's scenarios: each plays one part of the program's life on a fresh machine,
// with the peers outside the program (the SCM, the watcher process, the program that
// writes "Mode") played by the test, unobserved by the sweep.
#include "helpers/DeviceInfoSet.h"
#include "helpers/GpuUsageHelper.h"
#include "helpers/TaskSchedulerHelper.h"
#include "modes/Dytc.h"
#include "modes/IfcMode.h"
#include "modes/Log.h"
#include "modes/ModeManager.h"
#include "modes/MyhMode.h"
#include "service/RemovalCheck.h"
#include "service/ServiceBase.h"
#include "tests/reliability/Sweep.h"
#include "tests/support/ServiceProcess.h"

#include <algorithm>
#include <chrono>
#include <future>
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

// The idle-time watcher process: holds the idle mutex until it ends, which abandons it.
class WatcherPeer {
 public:
  WatcherPeer() {
    std::promise<void> started;
    m_thread = std::thread([this, &started] {
      sim::Unobserved outside;
      HANDLE mutex = CreateMutexW(NULL, TRUE, IFC_IDLE_MUTEX_NAME);
      started.set_value();
      m_end.get_future().wait();
      CloseHandle(mutex);  // the process's end: ownership is not given back
    });
    started.get_future().wait();
  }
  ~WatcherPeer() { end(); }
  void end() {
    if (!m_thread.joinable()) return;
    m_end.set_value();
    m_thread.join();
  }

 private:
  std::promise<void> m_end;
  std::thread m_thread;
};

// Waits until the service is running, or has stopped, or its dispatcher never ran.
void waitStarted(const ServiceProcess& process) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline && process.running()) {
    auto status = sim::scm::serviceStatus(L"QTHRMON");
    if (status && (status->dwCurrentState == SERVICE_RUNNING || status->dwCurrentState == SERVICE_STOPPED)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The service from the SCM's start to a stop (or a shutdown), with all four modes up,
// every control the modes act on, a "Mode" change and two idle periods' controls.
void serviceLife(Run& run, bool shutdown) {
  sim::dev::setCapability(kAllFunctions);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
  WatcherPeer watcher;
  CServiceBase frame(L"QTHRMON", TRUE, TRUE, FALSE);
  std::vector<sim::scm::ControlResult> answers;
  BOOL ran = FALSE;
  {
    ServiceProcess process(frame);
    waitStarted(process);
    run.settle();
    run.baseline(ModeManager::getInstance()->modeCount() == 4, "all four modes come up");

    auto send = [&](DWORD control, DWORD type = 0, void* data = nullptr) {
      answers.push_back(sim::scm::postControl(control, type, data));
    };
    for (DWORD control : {134u, 135u, 146u, 148u}) send(control);
    auto displayOff = sim::power::monitorRecord(0);
    auto displayOn = sim::power::monitorRecord(1);
    send(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOff.get());
    send(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOn.get());
    WTSSESSION_NOTIFICATION session{sizeof(WTSSESSION_NOTIFICATION), 1};
    send(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, &session);
    sim::reg::setDword(MYH_KEY, MYH_VALUE, 3);  // the outside program
    run.settle();
    send(IFC_CTL_IDLE_START);
    run.settle();
    send(IFC_CTL_EXIT);
    send(IFC_CTL_ENTER);
    send(IFC_CTL_IDLE_START);  // a second watch thread on the same watcher
    run.settle();
    send(shutdown ? SERVICE_CONTROL_SHUTDOWN : SERVICE_CONTROL_STOP);
    ran = process.join();
  }
  watcher.end();
  run.settle();

  auto status = sim::scm::serviceStatus(L"QTHRMON");
  if (ran) run.check(status && status->dwCurrentState == SERVICE_STOPPED, "the dispatcher returned before stopped");
  if (shutdown)
    run.processEnds();
  else
    run.check(ModeManager::getInstance()->modeCount() == 0, "modes left in the manager after stop");

  bool allHandled = std::all_of(answers.begin(), answers.end(),
                                [](auto& a) { return a == sim::scm::ControlResult{true, NO_ERROR}; });
  run.baseline(ran && allHandled, "every control delivered and answered NO_ERROR");
  const DWORD myh = DYTC_FUNC_MYH, mmc = DYTC_FUNC_MMC, msc = DYTC_FUNC_MSC, ifc = DYTC_FUNC_IFC;
  std::vector<DWORD> expected = {DYTC_CMD_QUERY,      DYTC_CMD_MODE_MMC_GET, setWord(myh, 0, 1),  setWord(mmc, 2, 1),
                                 setWord(mmc, 15, 1), setWord(mmc, 3, 1),    setWord(mmc, 2, 1),  setWord(msc, 15, 1),
                                 setWord(msc, 15, 0), setWord(myh, 1, 1),    setWord(ifc, 15, 1), setWord(ifc, 15, 0),
                                 setWord(ifc, 15, 1), setWord(ifc, 15, 1),
                                 // Both watch threads switch IFC off: at stop, or when the watcher ends.
                                 setWord(ifc, 15, 0), setWord(ifc, 15, 0)};
  run.baseline(sim::dev::words() == expected, "the firmware saw every command, in order");
}

// The component install of a first service start: the mode manager's install (the MMC
// defaults, the idle task) and the PnP task.
void install(Run& run) {
  sim::dev::setCapability(kAllFunctions);
  sim::reg::setDword(IC_REG_OLD_ROOT, L"Version", 1);
  sim::files::setModulePath(L"C:\\windows\\system32\\QTHERMSvc.exe");
  if (FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) return;  // the program ends there
  bool installed = ModeManager::getInstance()->install();
  int pnp = TaskSchedulerHelper().CreateTask(PNP_TASK_NAME, PNP_TASK_ARGUMENTS, 0);
  CoUninitialize();
  run.baseline(installed && pnp == 1, "the component and the PnP task install");
  run.baseline(sim::taskschd::tasks(L"\\Oltaro").size() == 2, "both tasks registered");
  run.baseline(sim::reg::getDword(IC_REG_ROOT, IC_REG_VERSION) == IC_VERSION, "\"Version\" written");
  run.baseline(!sim::reg::keyExists(IC_REG_OLD_ROOT), "the older key deleted");
}

// What the uninstaller does besides the SCM: the DYTC reset and both tasks' deletion.
void uninstall(Run& run) {
  {
    sim::Unobserved setUp;
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
    TaskSchedulerHelper().CreateTask(IDLE_TASK_NAME, IDLE_TASK_ARGUMENTS, 1);
    TaskSchedulerHelper().CreateTask(PNP_TASK_NAME, PNP_TASK_ARGUMENTS, 0);
    CoUninitialize();
  }
  if (FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) return;
  bool reset = ModeManager::getInstance()->unInstall();
  bool idleGone = CIFC().unInstall();
  int pnpGone = TaskSchedulerHelper().DeleteTask(PNP_TASK_NAME);
  CoUninitialize();
  run.baseline(reset && idleGone && pnpGone == 1, "reset and both deletions succeed");
  run.baseline(sim::taskschd::tasks(L"\\Oltaro").empty(), "no task left");
  run.baseline(sim::dev::words() == std::vector<DWORD>{DYTC_CMD_RESET}, "the reset reached the firmware");
}

// The removal check and its two probes, on an installation that is whole.
void removalCheck(Run& run) {
  sim::reg::setString(kServiceKey, L"Owners", L"oem12.inf", REG_MULTI_SZ);
  sim::reg::setString(kServiceKey, L"DisplayName", L"@oem12.inf,%QTHERM.SVCDESC%;QTHRMON");
  sim::reg::setDword(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION);
  sim::reg::createKey(L"SYSTEM\\DriverDatabase\\DriverPackages\\oem12.inf_amd64_5d1c");
  sim::files::put(L"C:\\windows\\INF\\oem12.inf");
  sim::files::put(L"C:\\windows\\INF\\oem13.inf");
  bool missing = IsServiceInfMissing();
  bool anyMissing = IsAnyInfFileMissing(L"oem12.inf\0oem13.inf\0");
  bool version = IsComponentVersionPresent();
  bool inStore = IsDriverPackageInStore(L"oem12.inf");
  run.baseline(!missing && !anyMissing && version && inStore, "the whole installation is found");
}

// The watcher's sampler: its set-up and a few samples a second apart.
void gpuSampler(Run& run) {
  DEVINST device = sim::setupapi::addDevice(L"PCI\\VEN_8086&DEV_9A49", kDisplayClass);
  sim::setupapi::addInterface(device, GUID_DISPLAY_DEVICE_ARRIVAL, kIntelAdapter);
  sim::display::addAdapter(kIntelAdapter, LUID{0x51, 0});
  bool ready = false;
  {
    GpuUsageHelper gpu;
    ready = gpu.InitializeAdapter(0);
    for (int i = 0; i < 3; i++) {
      gpu.GetGpuUsage();
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
  std::wstring given = GetLogDirectory(L"C:\\QTHLogs");
  std::wstring common = GetLogDirectory(NULL);
  run.baseline(given == L"C:\\QTHLogs\\" && common == L"C:\\ProgramData\\Oltaro\\QTHRMON\\", "both directories");
}

}  // namespace

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"service_start_controls_stop", [](Run& r) { serviceLife(r, false); },
       {{"RegisterServiceCtrlHandlerExW", 1, ERROR_NOT_ENOUGH_MEMORY}}},
      {"service_start_controls_shutdown", [](Run& r) { serviceLife(r, true); }},
      {"component_install", install},
      {"uninstall_tasks_and_reset", uninstall},
      {"removal_check", removalCheck},
      {"gpu_sampler", gpuSampler},
      {"device_toolkit", deviceToolkit},
      {"log_directory", logDirectory, {{"MakeSureDirectoryPathExists", 1, ERROR_ACCESS_DENIED}}},
  };
  return all;
}

}  // namespace reliability
