// Test client for the end-to-end tests under Wine, where `sc control`, `sc qc` and
// `sc qdescription` print nothing: service controls, status and configuration, the
// firmware model's driver service, and HKLM values.
//
// Usage: qtctl.exe COMMAND ARGS [+ COMMAND ARGS]...
// Every command runs, in order, and ends its output with "@@ <code>" (0, or the Win32
// error that made it fail); the exit code is the last nonzero code.
//   status NAME                      state=<n> exit=<n> specific=<n> pid=<n> accepted=<hex>
//   wait NAME STATE TIMEOUT_MS       states=<every distinct state seen, in order>
//   control NAME CODE                state=<n>  (the status the control returned)
//   start NAME
//   stop NAME TIMEOUT_MS             states=<states from the stop until stopped>
//   stopnotify NAME TIMEOUT_MS       notified=<the first state the SCM notified after the
//                                    stop, 3 or 1> checkpoint=<n> hint=<n> exit=<n>
//                                    states=<from the stop control until stopped>
//   delete NAME TIMEOUT_MS           stops the service first if it runs; "absent" if none
//   config NAME                      type= start= error= image= account= display=
//                                    description= group= dependencies=
//   driver NAME IMAGE [VALUE=DWORD]...  registers a demand-start kernel driver, writes
//                                    the DWORDs under its service key, starts it
//   regset KEY NAME DWORD | regdel KEY NAME
//   regget KEY [NAME]...             NAME=dword:<hex> | NAME=sz:<text> | NAME=type<n>:<size>
//                                    | NAME=missing; without names every value; key=missing
//   regraw KEY NAME                  NAME=type<n>:<data bytes in hex> | NAME=missing | key=missing
// For the benchmarks (times are QueryPerformanceCounter ticks, the clock the firmware
// model stamps each request with on arrival):
//   timecontrols NAME CODE[,CODE]... COUNT  COUNT controls, the codes in turn, one after
//                                    the other: "freq=<ticks per second>", then per
//                                    control "sent <before ControlService> <after>"
//   timeioctls WORD COUNT [reopen]   COUNT bare DeviceIoControl calls with the DYTC code on
//                                    one handle to \\.\PwrCtlDev: "freq=", then "sent ..";
//                                    with "reopen" each call opens and closes the device as
//                                    DYTCMethod does, "sent" then timing from the open
//   cputime PID                      kernel=<100 ns units> user=<100 ns units>
//   holdmutex NAME                   creates and owns the named mutex, prints "held", and
//                                    sleeps until the process is ended
//   handles NAME                     pid=<n> handles=<n>  (the running service's process)
#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

void out(const std::wstring& line) {
  int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), nullptr, 0, nullptr, nullptr);
  std::string text(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), text.data(), size, nullptr, nullptr);
  text += '\n';
  fwrite(text.data(), 1, text.size(), stdout);
}

std::wstring num(DWORD v) { return std::to_wstring(v); }
std::wstring hex(DWORD v) {
  wchar_t b[16];
  swprintf(b, 16, L"0x%08x", (unsigned)v);
  return b;
}
DWORD parse(const std::wstring& s) { return (DWORD)wcstoul(s.c_str(), nullptr, 0); }

struct Sc {
  SC_HANDLE h = nullptr;
  explicit Sc(SC_HANDLE handle) : h(handle) {}
  ~Sc() {
    if (h) CloseServiceHandle(h);
  }
  Sc(const Sc&) = delete;
  Sc& operator=(const Sc&) = delete;
};

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

DWORD fail(const wchar_t* what, DWORD error) {
  out(std::wstring(L"error=") + num(error) + L" in " + what);
  return error ? error : 1;
}

DWORD openService(const std::wstring& name, DWORD access, SC_HANDLE* service) {
  static SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return GetLastError();
  *service = OpenServiceW(manager, name.c_str(), access);
  return *service ? 0 : GetLastError();
}

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)status, sizeof(*status), &needed) != FALSE;
}

// Polls until `target` (or timeout); `seen` collects each distinct state in order.
bool waitState(SC_HANDLE service, DWORD target, DWORD timeoutMs, std::vector<DWORD>* seen) {
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(service, &status)) return false;
    if (seen->empty() || seen->back() != status.dwCurrentState) seen->push_back(status.dwCurrentState);
    if (status.dwCurrentState == target) return true;
    if (GetTickCount64() > deadline) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    Sleep(5);
  }
}

std::wstring joined(const std::vector<DWORD>& states) {
  std::wstring s;
  for (DWORD v : states) s += (s.empty() ? L"" : L",") + num(v);
  return s;
}

DWORD cmdStatus(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_QUERY_STATUS, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  SERVICE_STATUS_PROCESS s{};
  if (!queryStatus(h, &s)) return fail(L"QueryServiceStatusEx", GetLastError());
  out(L"state=" + num(s.dwCurrentState) + L" exit=" + num(s.dwWin32ExitCode) + L" specific=" +
      num(s.dwServiceSpecificExitCode) + L" pid=" + num(s.dwProcessId) + L" accepted=" + hex(s.dwControlsAccepted));
  return 0;
}

DWORD cmdWait(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_QUERY_STATUS, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  std::vector<DWORD> seen;
  bool reached = waitState(h, parse(a.at(2)), parse(a.at(3)), &seen);
  DWORD error = GetLastError();
  out(L"states=" + joined(seen));
  return reached ? 0 : fail(L"wait", error);
}

DWORD cmdControl(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS, &h))
    return fail(L"OpenServiceW", e);
  Sc service(h);
  SERVICE_STATUS s{};
  if (!ControlService(h, parse(a.at(2)), &s)) return fail(L"ControlService", GetLastError());
  out(L"state=" + num(s.dwCurrentState));
  return 0;
}

// Wine's SCM answers ERROR_INTERNAL_ERROR when the new process (the service's, or the
// driver host's) died before it reported to the server: nothing of it ran, so the start is
// tried once more.
DWORD startService(SC_HANDLE h) {
  if (StartServiceW(h, 0, nullptr)) return 0;
  DWORD error = GetLastError();
  if (error != ERROR_INTERNAL_ERROR) return fail(L"StartServiceW", error);
  out(L"retried after error=" + num(error));
  if (!StartServiceW(h, 0, nullptr)) return fail(L"StartServiceW", GetLastError());
  return 0;
}

DWORD cmdStart(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_START, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  return startService(h);
}

DWORD stopAndWait(SC_HANDLE h, DWORD timeoutMs, std::vector<DWORD>* seen) {
  SERVICE_STATUS s{};
  if (ControlService(h, SERVICE_CONTROL_STOP, &s)) {
    seen->push_back(s.dwCurrentState);
  } else if (GetLastError() != ERROR_BROKEN_PIPE) {
    return fail(L"ControlService", GetLastError());
  }
  // Wine answers a stop with a broken pipe when the service's process ends before its
  // answer is relayed; the stop was delivered, and the wait below shows it finished.
  if (!waitState(h, SERVICE_STOPPED, timeoutMs, seen)) return fail(L"wait", GetLastError());
  return 0;
}

DWORD cmdStop(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_STOP | SERVICE_QUERY_STATUS, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  std::vector<DWORD> seen;
  DWORD rc = stopAndWait(h, parse(a.at(2)), &seen);
  out(L"states=" + joined(seen));
  return rc;
}

// The SCM's notification comes as an APC to the thread that asked for it.
void CALLBACK onStatusNotify(void* parameter) {
  auto* notify = static_cast<SERVICE_NOTIFYW*>(parameter);
  auto* seen = static_cast<SERVICE_STATUS_PROCESS*>(notify->pContext);
  if (notify->dwNotificationStatus == ERROR_SUCCESS) *seen = notify->ServiceStatus;
}

// A stop that the client sees only through ControlService's answer hides the stop pending
// state when the service reports it and stopped within its handler; the SCM's notification,
// asked for before the stop, shows the first state the service reported.
DWORD cmdStopNotify(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_STOP | SERVICE_QUERY_STATUS, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  SERVICE_STATUS_PROCESS notified{};
  SERVICE_NOTIFYW notify{};
  notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notify.pfnNotifyCallback = onStatusNotify;
  notify.pContext = &notified;
  if (DWORD e = NotifyServiceStatusChangeW(h, SERVICE_NOTIFY_STOP_PENDING | SERVICE_NOTIFY_STOPPED, &notify))
    return fail(L"NotifyServiceStatusChangeW", e);
  std::vector<DWORD> seen;
  DWORD rc = stopAndWait(h, parse(a.at(2)), &seen);
  ULONGLONG deadline = GetTickCount64() + parse(a.at(2));
  while (!notified.dwCurrentState && GetTickCount64() < deadline) SleepEx(10, TRUE);
  out(L"notified=" + num(notified.dwCurrentState) + L" checkpoint=" + num(notified.dwCheckPoint) + L" hint=" +
      num(notified.dwWaitHint) + L" exit=" + num(notified.dwWin32ExitCode));
  out(L"states=" + joined(seen));
  return rc ? rc : notified.dwCurrentState ? 0 : fail(L"notification", ERROR_TIMEOUT);
}

DWORD cmdDelete(const Args& a) {
  SC_HANDLE h = nullptr;
  DWORD e = openService(a.at(1), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, &h);
  if (e == ERROR_SERVICE_DOES_NOT_EXIST) {
    out(L"absent");
    return 0;
  }
  if (e) return fail(L"OpenServiceW", e);
  Sc service(h);
  SERVICE_STATUS_PROCESS s{};
  if (queryStatus(h, &s) && s.dwCurrentState != SERVICE_STOPPED) {
    std::vector<DWORD> seen;
    // A service that does not stop in time is deleted all the same; ending the server ends it.
    if (s.dwCurrentState != SERVICE_STOP_PENDING) stopAndWait(h, parse(a.at(2)), &seen);
    else waitState(h, SERVICE_STOPPED, parse(a.at(2)), &seen);
  }
  if (!DeleteService(h)) return fail(L"DeleteService", GetLastError());
  out(L"deleted");
  return 0;
}

DWORD cmdConfig(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_QUERY_CONFIG, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  DWORD needed = 0;
  QueryServiceConfigW(h, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 16);
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(h, c, (DWORD)buffer.size(), &needed)) return fail(L"QueryServiceConfigW", GetLastError());
  auto text = [](const wchar_t* s) { return std::wstring(s ? s : L""); };
  std::wstring dependencies;
  for (const wchar_t* d = c->lpDependencies; d && *d; d += wcslen(d) + 1)
    dependencies += (dependencies.empty() ? L"" : L"|") + std::wstring(d);
  out(L"type=" + hex(c->dwServiceType));
  out(L"start=" + num(c->dwStartType));
  out(L"error=" + num(c->dwErrorControl));
  out(L"image=" + text(c->lpBinaryPathName));
  out(L"account=" + text(c->lpServiceStartName));
  out(L"display=" + text(c->lpDisplayName));
  out(L"group=" + text(c->lpLoadOrderGroup));
  out(L"dependencies=" + dependencies);
  needed = 0;
  QueryServiceConfig2W(h, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> more(needed + 16);
  auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(more.data());
  if (!QueryServiceConfig2W(h, SERVICE_CONFIG_DESCRIPTION, more.data(), (DWORD)more.size(), &needed))
    return fail(L"QueryServiceConfig2W", GetLastError());
  out(L"description=" + text(d->lpDescription));
  return 0;
}

DWORD setDword(const std::wstring& key, const std::wstring& name, DWORD value) {
  Key k;
  LONG e = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k.h, nullptr);
  if (e) return (DWORD)e;
  return (DWORD)RegSetValueExW(k.h, name.c_str(), 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
}

DWORD cmdDriver(const Args& a) {
  static SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return fail(L"OpenSCManagerW", GetLastError());
  const std::wstring& name = a.at(1);
  Sc service(CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, a.at(2).c_str(), nullptr, nullptr, nullptr,
                            nullptr, nullptr));
  if (!service.h) return fail(L"CreateServiceW", GetLastError());
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name;
  for (size_t i = 3; i < a.size(); ++i) {
    size_t eq = a[i].find(L'=');
    if (eq == std::wstring::npos) return fail(L"driver value", ERROR_INVALID_PARAMETER);
    if (DWORD e = setDword(key, a[i].substr(0, eq), parse(a[i].substr(eq + 1)))) return fail(L"RegSetValueExW", e);
  }
  if (DWORD e = startService(service.h)) return e;
  out(L"loaded");
  return 0;
}

DWORD cmdRegSet(const Args& a) {
  if (DWORD e = setDword(a.at(1), a.at(2), parse(a.at(3)))) return fail(L"RegSetValueExW", e);
  return 0;
}

DWORD cmdRegDel(const Args& a) {
  Key k;
  LONG e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, a.at(1).c_str(), 0, KEY_SET_VALUE, &k.h);
  if (!e) e = RegDeleteValueW(k.h, a.at(2).c_str());
  return e ? fail(L"RegDeleteValueW", (DWORD)e) : 0;
}

void printValue(HKEY key, const std::wstring& name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size)) {
    out(name + L"=missing");
    return;
  }
  std::vector<BYTE> data(size + sizeof(wchar_t));
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size)) {
    out(name + L"=missing");
    return;
  }
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    out(name + L"=dword:" + hex(*reinterpret_cast<DWORD*>(data.data())));
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    out(name + L"=sz:" + std::wstring(reinterpret_cast<wchar_t*>(data.data()), size / sizeof(wchar_t)).c_str());
  } else if (type == REG_MULTI_SZ) {
    std::wstring all;
    for (const wchar_t* s = reinterpret_cast<wchar_t*>(data.data()); *s; s += wcslen(s) + 1)
      all += (all.empty() ? L"" : L"|") + std::wstring(s);
    out(name + L"=multi:" + all);
  } else {
    out(name + L"=type" + num(type) + L":" + num(size));
  }
}

DWORD cmdRegGet(const Args& a) {
  Key k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, a.at(1).c_str(), 0, KEY_QUERY_VALUE, &k.h)) {
    out(L"key=missing");
    return 0;
  }
  if (a.size() > 2) {
    for (size_t i = 2; i < a.size(); ++i) printValue(k.h, a[i]);
    return 0;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD length = 512;
    if (RegEnumValueW(k.h, i, name, &length, nullptr, nullptr, nullptr, nullptr)) break;
    printValue(k.h, name);
  }
  return 0;
}

// Wine answers GetProcessHandleCount for another process with 0; the system's handle
// list has every process's handles, by owner.
DWORD cmdHandles(const Args& a) {
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_QUERY_STATUS, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  SERVICE_STATUS_PROCESS s{};
  if (!queryStatus(h, &s)) return fail(L"QueryServiceStatusEx", GetLastError());
  if (s.dwProcessId == 0) return fail(L"no process", ERROR_SERVICE_NOT_ACTIVE);
  std::vector<BYTE> buffer(1 << 16);
  auto countHandles = [&](DWORD* count) -> NTSTATUS {
    NTSTATUS status;
    for (;;) {
      ULONG needed = 0;
      status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(), (ULONG)buffer.size(), &needed);
      if (status != (NTSTATUS)0xC0000004L) break;  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    }
    if (status < 0) return status;
    const auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    *count = 0;
    for (ULONG i = 0; i < list->Count; ++i) *count += list->Handle[i].OwnerPid == s.dwProcessId ? 1 : 0;
    return status;
  };
  // A handle of a thread that is still ending, or of Wine's control relay, is there for a
  // moment: the count is taken once two reads 50 ms apart agree.
  DWORD count = 0, previous = 0;
  for (int read = 0; read < 20; ++read) {
    if (NTSTATUS status = countHandles(&count); status < 0) return fail(L"NtQuerySystemInformation", (DWORD)status);
    if (read > 0 && count == previous) break;
    previous = count;
    Sleep(50);
  }
  out(L"pid=" + num(s.dwProcessId) + L" handles=" + num(count));
  return 0;
}

LONGLONG counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

void printFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  out(L"freq=" + std::to_wstring(frequency.QuadPart));
}

DWORD cmdTimeControls(const Args& a) {
  std::vector<DWORD> codes;
  for (size_t start = 0; start <= a.at(2).size();) {
    size_t comma = a[2].find(L',', start);
    if (comma == std::wstring::npos) comma = a[2].size();
    codes.push_back(parse(a[2].substr(start, comma - start)));
    start = comma + 1;
  }
  const DWORD count = parse(a.at(3));
  SC_HANDLE h = nullptr;
  if (DWORD e = openService(a.at(1), SERVICE_USER_DEFINED_CONTROL, &h)) return fail(L"OpenServiceW", e);
  Sc service(h);
  std::vector<LONGLONG> times(2 * (size_t)count);
  for (DWORD i = 0; i < count; ++i) {
    SERVICE_STATUS status{};
    times[2 * i] = counter();
    BOOL sent = ControlService(h, codes[i % codes.size()], &status);
    times[2 * i + 1] = counter();
    if (!sent) return fail(L"ControlService", GetLastError());
  }
  // Printed after the run, so that writing the output never delays a control.
  printFrequency();
  for (DWORD i = 0; i < count; ++i)
    out(L"sent " + std::to_wstring(times[2 * i]) + L" " + std::to_wstring(times[2 * i + 1]));
  return 0;
}

DWORD cmdTimeIoctls(const Args& a) {
  DWORD word = parse(a.at(1));
  const DWORD count = parse(a.at(2));
  const bool reopen = a.size() > 3 && a[3] == L"reopen";
  auto open = [] {
    return CreateFileW(L"\\\\.\\PwrCtlDev", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE device = reopen ? INVALID_HANDLE_VALUE : open();
  if (!reopen && device == INVALID_HANDLE_VALUE) return fail(L"CreateFileW", GetLastError());
  std::vector<LONGLONG> times(2 * (size_t)count);
  DWORD error = 0;
  const wchar_t* failed = L"DeviceIoControl";
  for (DWORD i = 0; i < count && !error; ++i) {
    DWORD reply = 0, returned = 0;
    times[2 * i] = counter();
    if (reopen && (device = open()) == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      failed = L"CreateFileW";
      break;
    }
    BOOL done = DeviceIoControl(device, 0x8310213C, &word, sizeof(word), &reply, sizeof(reply), &returned, nullptr);
    if (!done) error = GetLastError();
    if (reopen) CloseHandle(device);
    times[2 * i + 1] = counter();
  }
  if (!reopen) CloseHandle(device);
  if (error) return fail(failed, error);
  printFrequency();
  for (DWORD i = 0; i < count; ++i)
    out(L"sent " + std::to_wstring(times[2 * i]) + L" " + std::to_wstring(times[2 * i + 1]));
  return 0;
}

DWORD cmdCpuTime(const Args& a) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parse(a.at(1)));
  if (!process) return fail(L"OpenProcess", GetLastError());
  FILETIME created, exited, kernel, user;
  BOOL got = GetProcessTimes(process, &created, &exited, &kernel, &user);
  DWORD error = GetLastError();
  CloseHandle(process);
  if (!got) return fail(L"GetProcessTimes", error);
  auto units = [](const FILETIME& t) { return ((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime; };
  out(L"kernel=" + std::to_wstring(units(kernel)) + L" user=" + std::to_wstring(units(user)));
  return 0;
}

DWORD cmdHoldMutex(const Args& a) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, a.at(1).c_str());
  if (!mutex) return fail(L"CreateMutexW", GetLastError());
  if (GetLastError() == ERROR_ALREADY_EXISTS) return fail(L"CreateMutexW", ERROR_ALREADY_EXISTS);
  out(L"held");
  fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

DWORD cmdRegRaw(const Args& a) {
  Key k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, a.at(1).c_str(), 0, KEY_QUERY_VALUE, &k.h)) {
    out(L"key=missing");
    return 0;
  }
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(k.h, a.at(2).c_str(), nullptr, &type, nullptr, &size)) {
    out(a[2] + L"=missing");
    return 0;
  }
  std::vector<BYTE> data(size);
  if (RegQueryValueExW(k.h, a[2].c_str(), nullptr, &type, data.data(), &size)) return fail(L"RegQueryValueExW", 1);
  std::wstring bytes;
  for (DWORD i = 0; i < size; ++i) {
    wchar_t b[4];
    swprintf(b, 4, L"%02x", (unsigned)data[i]);
    bytes += b;
  }
  out(a[2] + L"=type" + num(type) + L":" + bytes);
  return 0;
}

DWORD run(const Args& a) {
  struct Command {
    const wchar_t* name;
    size_t minArgs;
    DWORD (*fn)(const Args&);
  };
  static const Command commands[] = {
      {L"status", 2, cmdStatus}, {L"wait", 4, cmdWait},     {L"control", 3, cmdControl}, {L"start", 2, cmdStart},
      {L"stop", 3, cmdStop},     {L"delete", 3, cmdDelete}, {L"config", 2, cmdConfig},   {L"driver", 3, cmdDriver},
      {L"regset", 4, cmdRegSet}, {L"regdel", 3, cmdRegDel}, {L"regget", 2, cmdRegGet},
      {L"timecontrols", 4, cmdTimeControls}, {L"timeioctls", 3, cmdTimeIoctls}, {L"cputime", 2, cmdCpuTime},
      {L"holdmutex", 2, cmdHoldMutex},
      {L"stopnotify", 3, cmdStopNotify}, {L"regraw", 3, cmdRegRaw},
      {L"handles", 2, cmdHandles},
  };
  for (const auto& c : commands)
    if (a[0] == c.name) return a.size() < c.minArgs ? fail(L"arguments", ERROR_INVALID_PARAMETER) : c.fn(a);
  return fail(L"unknown command", ERROR_INVALID_FUNCTION);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  DWORD last = 0;
  Args current;
  for (int i = 1; i <= argc; ++i) {
    if (i < argc && std::wstring(argv[i]) != L"+") {
      current.push_back(argv[i]);
      continue;
    }
    if (current.empty()) continue;
    DWORD rc = run(current);
    out(L"@@ " + num(rc));
    if (rc) last = rc;
    current.clear();
  }
  fflush(stdout);
  return (int)last;
}
