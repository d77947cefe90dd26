// The error each simulated call plausibly gives when the real one fails, for fault
// sweeps. A call that cannot fail where the system makes it (a handle its caller owns,
// a clock) has none, and says why.
#include "platform/sim/sim_windows.h"

#include <map>

namespace sim {
namespace {

constexpr DWORD kIoDeviceError = 1117;      // ERROR_IO_DEVICE: the driver failed the request
constexpr DWORD kDiskFull = 112;            // ERROR_DISK_FULL
constexpr DWORD kNoSuchDevice = 0xC000000E;  // STATUS_NO_SUCH_DEVICE
constexpr DWORD kDeviceRemoved = 0xC00002B6;  // STATUS_DEVICE_REMOVED
constexpr DWORD kNoSuchDevnode = 0x0D;      // CR_NO_SUCH_DEVNODE

constexpr const char* kOwnHandle = "acts on a handle its caller owns: fails only for an invalid handle";
constexpr const char* kCannotFail = "cannot fail";

DWORD hr(HRESULT value) { return static_cast<DWORD>(value); }

const std::map<std::string, PlausibleFailure>& table() {
  static const auto* t = new std::map<std::string, PlausibleFailure>{
      // Kernel objects, time, processes.
      {"CloseHandle", {true, std::nullopt, kOwnHandle}},
      {"DuplicateHandle", {true, ERROR_NOT_ENOUGH_MEMORY, "out of handle quota"}},
      {"Sleep", {true, std::nullopt, kCannotFail}},
      {"GetTickCount", {true, std::nullopt, kCannotFail}},
      {"GetTickCount64", {true, std::nullopt, kCannotFail}},
      {"QueryPerformanceFrequency", {true, std::nullopt, kCannotFail}},
      {"QueryPerformanceCounter", {true, std::nullopt, kCannotFail}},
      {"CreateEventW", {true, ERROR_ACCESS_DENIED, "the name is held by an object of another account"}},
      {"OpenEventW", {true, ERROR_FILE_NOT_FOUND, "no such event"}},
      {"SetEvent", {true, std::nullopt, kOwnHandle}},
      {"ResetEvent", {true, ERROR_INVALID_HANDLE, "the handle went bad"}},
      {"CreateMutexW", {true, ERROR_ACCESS_DENIED, "the name is held by an object of another account"}},
      {"OpenMutexW", {true, ERROR_FILE_NOT_FOUND, "the watcher has gone"}},
      {"ReleaseMutex", {true, std::nullopt, kOwnHandle}},
      {"WaitForSingleObject", {true, ERROR_INVALID_HANDLE, "the handle went bad"}},
      {"WaitForMultipleObjects", {true, ERROR_INVALID_HANDLE, "the handle went bad"}},
      {"ExitProcess", {true, std::nullopt, kCannotFail}},
      {"CreateProcessW", {true, ERROR_FILE_NOT_FOUND, "the image has gone"}},
      {"OpenProcess", {true, ERROR_ACCESS_DENIED, "no query right on the process"}},
      {"malloc", {true, ERROR_NOT_ENOUGH_MEMORY, "out of memory"}},
      {"GetProcessHeap", {true, std::nullopt, kCannotFail}},
      {"HeapAlloc", {true, ERROR_NOT_ENOUGH_MEMORY, "out of memory"}},
      {"HeapFree", {true, std::nullopt, "frees a block its caller allocated"}},
      // Registry.
      {"RegOpenKeyExW", {true, ERROR_ACCESS_DENIED, "the key's security refuses the access"}},
      {"RegCreateKeyExW", {true, ERROR_ACCESS_DENIED, "the key's security refuses the access"}},
      {"RegQueryValueExW", {true, ERROR_FILE_NOT_FOUND, "the value was deleted"}},
      {"RegSetValueExW", {true, ERROR_ACCESS_DENIED, "the key's security refuses the write"}},
      {"RegDeleteValueW", {true, ERROR_ACCESS_DENIED, "the key's security refuses the write"}},
      {"RegDeleteTreeW", {true, ERROR_ACCESS_DENIED, "a subkey's security refuses the deletion"}},
      {"RegCloseKey", {true, std::nullopt, kOwnHandle}},
      {"RegNotifyChangeKeyValue", {true, ERROR_KEY_DELETED, "the key was deleted"}},
      {"RegQueryInfoKeyW", {true, ERROR_KEY_DELETED, "the key was deleted"}},
      {"RegEnumKeyExW", {true, ERROR_KEY_DELETED, "the key was deleted"}},
      // Files, the device, folders and text.
      {"CreateFileW", {true, ERROR_FILE_NOT_FOUND, "the file or device is not there"}},
      {"DeviceIoControl", {true, kIoDeviceError, "the driver failed the request"}},
      {"ReadFile", {true, ERROR_ACCESS_DENIED, "locked"}},
      {"WriteFile", {true, kDiskFull, "disk full"}},
      {"DeleteFileW", {true, ERROR_ACCESS_DENIED, "the file is in use"}},
      {"CopyFileW", {true, ERROR_ACCESS_DENIED, "the target is in use"}},
      {"MoveFileExW", {true, ERROR_ACCESS_DENIED, "no right to schedule the move"}},
      {"GetFileAttributesW", {true, ERROR_FILE_NOT_FOUND, "not there"}},
      {"GetModuleFileNameW", {true, ERROR_INSUFFICIENT_BUFFER, "the path does not fit"}},
      {"CreateDirectoryW", {true, ERROR_ACCESS_DENIED, "no right to create it"}},
      {"MakeSureDirectoryPathExists", {true, ERROR_ACCESS_DENIED, "no right to create it"}},
      {"SHGetSpecialFolderPathW", {true, ERROR_FILE_NOT_FOUND, "the folder is not known"}},
      {"SHGetFolderPathW", {true, ERROR_FILE_NOT_FOUND, "the folder is not known"}},
      {"WideCharToMultiByte", {true, ERROR_INSUFFICIENT_BUFFER, "the text does not fit"}},
      {"OutputDebugStringW", {true, std::nullopt, kCannotFail}},
      // Service Control Manager.
      {"StartServiceCtrlDispatcherW", {true, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "not started as a service"}},
      {"RegisterServiceCtrlHandlerExW", {true, ERROR_NOT_ENOUGH_MEMORY, "out of memory"}},
      {"SetServiceStatus", {true, std::nullopt, "the frame's own status handle and a valid record"}},
      {"OpenSCManagerW", {true, ERROR_ACCESS_DENIED, "not an administrator"}},
      {"OpenServiceW", {true, ERROR_SERVICE_DOES_NOT_EXIST, "no such service"}},
      {"CreateServiceW", {true, ERROR_ACCESS_DENIED, "no right to create services"}},
      {"ChangeServiceConfig2W", {true, ERROR_ACCESS_DENIED, "no right to change the service"}},
      {"StartServiceW", {true, ERROR_SERVICE_REQUEST_TIMEOUT, "the service did not answer in time"}},
      {"ControlService", {true, ERROR_SERVICE_NOT_ACTIVE, "the service is not running"}},
      {"QueryServiceStatus", {true, ERROR_ACCESS_DENIED, "no query right on the service"}},
      {"QueryServiceStatusEx", {true, ERROR_ACCESS_DENIED, "no query right on the service"}},
      {"EnumDependentServicesW", {true, ERROR_ACCESS_DENIED, "no enumeration right on the service"}},
      {"DeleteService", {true, ERROR_SERVICE_MARKED_FOR_DELETE, "already marked for deletion"}},
      {"CloseServiceHandle", {true, std::nullopt, kOwnHandle}},
      // Power settings.
      {"PowerSettingRegisterNotification", {true, ERROR_NOT_ENOUGH_MEMORY, "out of memory"}},
      {"PowerSettingUnregisterNotification", {true, ERROR_INVALID_HANDLE, "the registration went bad"}},
      // Display kernel and modules.
      {"LoadLibraryW", {true, ERROR_MOD_NOT_FOUND, "the module is not there"}},
      {"LoadLibraryA", {true, ERROR_MOD_NOT_FOUND, "the module is not there"}},
      {"GetProcAddress", {true, ERROR_PROC_NOT_FOUND, "the export is not there"}},
      {"FreeLibrary", {true, std::nullopt, kOwnHandle}},
      {"D3DKMTOpenAdapterFromDeviceName", {true, kNoSuchDevice, "the adapter has gone"}},
      {"D3DKMTQueryStatistics", {true, kDeviceRemoved, "the adapter was removed"}},
      // SetupAPI and the configuration manager.
      {"SetupDiGetClassDevsW", {true, ERROR_NOT_ENOUGH_MEMORY, "out of memory"}},
      {"SetupDiEnumDeviceInterfaces", {true, ERROR_NOT_ENOUGH_MEMORY, "out of memory"}},
      {"SetupDiGetDeviceInterfaceDetailW", {true, ERROR_NO_SUCH_DEVICE_INTERFACE, "the interface went away"}},
      {"SetupDiDestroyDeviceInfoList", {true, std::nullopt, kOwnHandle}},
      {"SetupDiEnumDeviceInfo", {true, ERROR_NO_SUCH_DEVINST, "the device went away"}},
      {"SetupDiGetDeviceRegistryPropertyW", {true, ERROR_INVALID_DATA, "the device has no such property"}},
      {"SetupDiSetClassInstallParamsW", {true, ERROR_ACCESS_DENIED, "not an administrator"}},
      {"SetupDiCallClassInstaller", {true, ERROR_ACCESS_DENIED, "not an administrator"}},
      {"SetupDiGetClassDescriptionW", {true, ERROR_INVALID_CLASS, "the class is not installed"}},
      {"SetupDiRemoveDevice", {true, ERROR_ACCESS_DENIED, "not an administrator"}},
      {"CM_Get_DevNode_Status", {true, kNoSuchDevnode, "the device went away"}},
      // COM and OLE Automation.
      {"CoInitializeEx", {true, hr(E_OUTOFMEMORY), "out of memory"}},
      {"CoUninitialize", {true, std::nullopt, kCannotFail}},
      {"CoCreateInstance", {true, hr(REGDB_E_CLASSNOTREG), "the Task Scheduler is not registered"}},
      {"SysAllocString", {true, hr(E_OUTOFMEMORY), "out of memory"}},
      {"SysFreeString", {true, std::nullopt, kCannotFail}},
      {"SysStringLen", {true, std::nullopt, kCannotFail}},
      {"SysStringByteLen", {true, std::nullopt, kCannotFail}},
      {"VariantInit", {true, std::nullopt, kCannotFail}},
      {"VariantClear", {true, std::nullopt, "clears a variant its caller made"}},
  };
  return *t;
}

// Task Scheduler methods by name, whatever the interface.
const std::map<std::string, PlausibleFailure>& methods() {
  static const auto* t = new std::map<std::string, PlausibleFailure>{
      {"QueryInterface", {true, hr(E_NOINTERFACE), "the object lacks the interface"}},
      {"Connect", {true, hr(E_ACCESSDENIED), "the Task Scheduler refuses the caller"}},
      {"GetFolder", {true, hr(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), "no such folder"}},
      {"CreateFolder", {true, hr(E_ACCESSDENIED), "no right to create the folder"}},
      {"NewTask", {true, hr(E_OUTOFMEMORY), "out of memory"}},
      {"RegisterTaskDefinition", {true, hr(E_ACCESSDENIED), "no right to register the task"}},
      {"DeleteTask", {true, hr(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), "no such task"}},
      {"GetTask", {true, hr(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), "no such task"}},
  };
  return *t;
}

}  // namespace

PlausibleFailure plausibleFailure(const std::string& api) {
  auto it = table().find(api);
  if (it != table().end()) return it->second;
  size_t colons = api.find("::");
  if (colons == std::string::npos) return {false, std::nullopt, "not in the table of plausible failures"};
  std::string method = api.substr(colons + 2);
  auto m = methods().find(method);
  if (m != methods().end()) return m->second;
  // Property reads and writes, collection edits and the rest allocate: out of memory.
  return {true, hr(E_OUTOFMEMORY), "out of memory"};
}

}  // namespace sim
