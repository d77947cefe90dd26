#include "bench/SimMachine.h"

#include "modes/Dytc.h"
#include "modes/ModeManager.h"
#include "modes/IfcMode.h"
#include "modes/MyhMode.h"
#include "service/IdleWatcher.h"
#include "tests/support/ModeManagerPeer.h"

#include <atomic>
#include <string>
#include <thread>

namespace bench {

bool bringUpAllModes() {
  sim::reset();
  sim::dev::setCapability(1 | CAP_MMC | CAP_MSC | CAP_MYH | CAP_IFC);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 0);
  // Any non-null status handle: MSC registers its power-setting notification on it.
  ModeManager* manager = ModeManager::getInstance();
  manager->initlize(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150));
  if (ModeManagerPeer::modeCount(*manager) != 4) return false;
  if (!sim::waitForBlockedWaiters(1)) return false;
  trimRecords();
  return true;
}

void tearDown() {
  ModeManager::getInstance()->unInit();
  for (int i = 0; i < 10000 && sim::blockedWaiters() > 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void trimRecords() {
  sim::dev::clearRequests();
  sim::display::clearQueries();
  sim::scm::clearControlsSent();
  sim::clearCallLog();
}

namespace {

constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t* const kAdapter = L"\\\\?\\pci#ven_8086&dev_9a49#3&1#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";
constexpr LUID kAdapterLuid = {0x42, 0};

struct Gpu {
  std::atomic<int> load{0};
  LONGLONG runningTime = 1;  // touched by Sleep's hook on the thread that sleeps
  PFND3DKMT_QUERYSTATISTICS query = NULL;
  D3DKMT_QUERYSTATISTICS statistics{};
};
Gpu& gpu() {
  static Gpu* g = new Gpu;
  return *g;
}

}  // namespace

::IdleWatcher* startWatcher() {
  sim::scm::PeerService service;
  service.state = SERVICE_RUNNING;
  service.userControls = {IFC_CTL_IDLE_START, IFC_CTL_ENTER, IFC_CTL_EXIT};
  sim::scm::addService(L"QTHRMON", service);
  DEVINST device = sim::setupapi::addDevice(std::wstring(L"PCI\\") + kAdapter, kDisplayClass);
  sim::setupapi::addInterface(device, GUID_DISPLAY_DEVICE_ARRIVAL, kAdapter);
  sim::display::addAdapter(kAdapter, kAdapterLuid);
  sim::display::setRunningTime(gpu().runningTime);
  sim::onSleep([](DWORD ms) {
    Gpu& g = gpu();
    g.runningTime += static_cast<LONGLONG>(ms) * 100 * g.load.load();  // 100-ns units
    sim::display::setRunningTime(g.runningTime);
  });

  // The floor's own query, prepared as the sampler prepares its own.
  HMODULE gdi32 = LoadLibraryA("gdi32.dll");
  if (!gdi32) return nullptr;
  gpu().query = reinterpret_cast<PFND3DKMT_QUERYSTATISTICS>(
      reinterpret_cast<void (*)()>(GetProcAddress(gdi32, "D3DKMTQueryStatistics")));
  gpu().statistics.Type = D3DKMT_QUERYSTATISTICS_NODE;
  gpu().statistics.AdapterLuid = kAdapterLuid;
  gpu().statistics.hProcess = OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, GetCurrentProcessId());
  gpu().statistics.QueryNode.NodeId = 0;

  // wmain has joined the multithreaded apartment when it starts the watcher, which
  // gives it up again.
  CoInitializeEx(NULL, COINIT_MULTITHREADED);
  auto* watcher = new ::IdleWatcher;
  if (!watcher->Start() || !gpu().query) return nullptr;
  trimRecords();
  return watcher;
}

void setGpuLoad(int percent) { gpu().load = percent; }

bool bareSampleStep(DWORD control) {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  NTSTATUS status = gpu().query(&gpu().statistics);
  bool sent = control == 0 || bareServiceControl(control);
  Sleep(1000);
  return status >= 0 && status <= 63 && sent;
}

bool bareServiceControl(DWORD control) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceW(manager, L"QTHRMON", SERVICE_USER_DEFINED_CONTROL);
  BOOL sent = FALSE;
  if (service) {
    SERVICE_STATUS status{};
    sent = ControlService(service, control, &status);
  }
  CloseServiceHandle(manager);
  if (service) CloseServiceHandle(service);
  return sent != FALSE;
}

bool bareDeviceRequest(DWORD word) {
  HANDLE device = CreateFileW(DYTC_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD reply = 0;
  DWORD returned = 0;
  BOOL completed =
      DeviceIoControl(device, IOCTL_DYTC_METHOD, &word, sizeof(word), &reply, sizeof(reply), &returned, NULL);
  CloseHandle(device);
  return completed != FALSE;
}

bool bareRegistryWrite(const wchar_t* subKey, const wchar_t* name, DWORD value) {
  HKEY key = NULL;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key,
                      &disposition) != ERROR_SUCCESS)
    return false;
  LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace bench
