#include "tests/checks/PlatformChecks.h"

#include "platform/platform.h"

#include <algorithm>
#include <thread>

namespace {

const wchar_t* const kKey = L"SOFTWARE\\QthermChecks";

std::string num(DWORD value) { return std::to_string(value); }
// A call's result: "ok", or the error it left.
std::string outcome(BOOL ok) { return ok ? "ok" : num(GetLastError()); }
std::string waited(DWORD result) { return result == WAIT_FAILED ? "failed " + num(GetLastError()) : num(result); }
std::string opened(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return num(GetLastError());
  CloseHandle(file);
  return "ok";
}
// For a refusal whose error code the documentation does not name.
std::string refusal(bool refused) { return refused ? "refused" : "ok"; }
std::string waitRefusal(DWORD result) { return result == WAIT_FAILED ? "refused" : num(result); }

HKEY createKey(const std::wstring& path, DWORD options = REG_OPTION_NON_VOLATILE, LSTATUS* status = nullptr) {
  HKEY key = NULL;
  LSTATUS s = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, options, KEY_ALL_ACCESS, NULL, &key, NULL);
  if (status) *status = s;
  return s == ERROR_SUCCESS ? key : NULL;
}
HKEY openKey(REGSAM access) {
  HKEY key = NULL;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, access, &key);
  return key;
}
LSTATUS setDword(HKEY key, DWORD value) {
  return RegSetValueExW(key, L"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}
LSTATUS watch(HKEY key, BOOL subtree, DWORD filter, HANDLE event) {
  return RegNotifyChangeKeyValue(key, subtree, filter, event, TRUE);
}
void removeKeys() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
// Whether the key exists, whatever its security lets us do with it.
bool keyThere(const std::wstring& path) {
  HKEY key = NULL;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status != ERROR_FILE_NOT_FOUND;
}

std::wstring checkFile() {
  wchar_t folder[MAX_PATH] = {};
  SHGetFolderPathW(NULL, CSIDL_WINDOWS, NULL, SHGFP_TYPE_CURRENT, folder);
  return std::wstring(folder) + L"\\INF\\qtherm-check.inf";
}
HANDLE openFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
  return CreateFileW(path.c_str(), access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Two threads wait on the event, or on a release that ends the check; one SetEvent.
std::string oneSetEventTwoWaiters(BOOL manualReset) {
  HANDLE event = CreateEventW(NULL, manualReset, FALSE, NULL);
  HANDLE release = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE done[2] = {CreateEventW(NULL, TRUE, FALSE, NULL), CreateEventW(NULL, TRUE, FALSE, NULL)};
  DWORD results[2] = {};
  std::thread waiters[2];
  for (int i = 0; i < 2; i++)
    waiters[i] = std::thread([&, i] {
      HANDLE pair[] = {event, release};
      results[i] = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
      SetEvent(done[i]);
    });
  letWaitersBlock(2);
  SetEvent(event);
  // Before the release: every waiter for a manual-reset event, the first for an auto-reset one.
  WaitForMultipleObjects(2, done, manualReset, 5000);
  int woken = 0;
  for (HANDLE d : done) woken += WaitForSingleObject(d, 0) == WAIT_OBJECT_0;
  std::string state = WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "set" : "reset";
  SetEvent(release);
  for (auto& t : waiters) t.join();
  for (HANDLE h : {event, release, done[0], done[1]}) CloseHandle(h);
  std::sort(results, results + 2);
  return "woken " + std::to_string(woken) + ", " + state + ", results " + num(results[0]) + " " + num(results[1]);
}

std::string manualResetEvent() { return oneSetEventTwoWaiters(TRUE); }
std::string autoResetEvent() { return oneSetEventTwoWaiters(FALSE); }

std::string initialStateAndTimeout() {
  HANDLE manualSet = CreateEventW(NULL, TRUE, TRUE, NULL);
  HANDLE autoSet = CreateEventW(NULL, FALSE, TRUE, NULL);
  HANDLE unset = CreateEventW(NULL, TRUE, FALSE, NULL);
  std::string r = "manual set: " + waited(WaitForSingleObject(manualSet, 0));
  r += " " + waited(WaitForSingleObject(manualSet, 0));
  r += ", auto set: " + waited(WaitForSingleObject(autoSet, 0));
  r += " " + waited(WaitForSingleObject(autoSet, 0));
  r += ", unset after 20 ms: " + waited(WaitForSingleObject(unset, 20));
  for (HANDLE h : {manualSet, autoSet, unset}) CloseHandle(h);
  return r;
}

std::string waitForAll() {
  HANDLE a = CreateEventW(NULL, FALSE, TRUE, NULL);
  HANDLE b = CreateEventW(NULL, FALSE, FALSE, NULL);
  HANDLE both[] = {a, b};
  std::string r = "one of two: " + waited(WaitForMultipleObjects(2, both, TRUE, 20));
  r += ", first kept: " + waited(WaitForSingleObject(a, 0));
  SetEvent(a);
  SetEvent(b);
  r += "; both: " + waited(WaitForMultipleObjects(2, both, TRUE, 0));
  r += ", then " + waited(WaitForSingleObject(a, 0));
  r += " " + waited(WaitForSingleObject(b, 0));
  CloseHandle(a);
  CloseHandle(b);
  return r;
}

// A thread that ends owning the mutex abandons it; so does each waiter that takes it and
// ends in turn (the IFC watch threads).
std::string abandonedMutex() {
  HANDLE stop = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE mutex = CreateMutexW(NULL, FALSE, NULL);
  std::thread([&] { WaitForSingleObject(mutex, INFINITE); }).join();
  DWORD results[2] = {};
  for (DWORD& result : results)
    std::thread([&] {
      HANDLE pair[] = {stop, mutex};
      result = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
    }).join();
  CloseHandle(mutex);
  CloseHandle(stop);
  return num(results[0]) + " " + num(results[1]);
}

std::string notifySubtree() {
  HKEY key = createKey(kKey), sub = createKey(std::wstring(kKey) + L"\\Sub");
  HKEY own = openKey(KEY_NOTIFY), tree = openKey(KEY_NOTIFY);
  HANDLE ownChanged = CreateEventW(NULL, TRUE, FALSE, NULL), treeChanged = CreateEventW(NULL, TRUE, FALSE, NULL);
  watch(own, FALSE, REG_NOTIFY_CHANGE_LAST_SET, ownChanged);
  watch(tree, TRUE, REG_NOTIFY_CHANGE_LAST_SET, treeChanged);
  setDword(sub, 1);
  std::string r = "subkey's value: subtree " + waited(WaitForSingleObject(treeChanged, 5000));
  r += ", key only " + waited(WaitForSingleObject(ownChanged, 0));
  setDword(key, 1);
  r += "; key's value: key only " + waited(WaitForSingleObject(ownChanged, 5000));
  ResetEvent(ownChanged);
  setDword(key, 2);
  r += "; again, not re-armed: " + waited(WaitForSingleObject(ownChanged, 0));
  for (HKEY k : {key, sub, own, tree}) RegCloseKey(k);
  CloseHandle(ownChanged);
  CloseHandle(treeChanged);
  removeKeys();
  return r;
}

std::string notifyFilter() {
  HKEY key = createKey(kKey);
  HKEY values = openKey(KEY_NOTIFY), names = openKey(KEY_NOTIFY);
  HANDLE valueChanged = CreateEventW(NULL, TRUE, FALSE, NULL), nameChanged = CreateEventW(NULL, TRUE, FALSE, NULL);
  watch(values, FALSE, REG_NOTIFY_CHANGE_LAST_SET, valueChanged);
  watch(names, FALSE, REG_NOTIFY_CHANGE_NAME, nameChanged);
  RegCloseKey(createKey(std::wstring(kKey) + L"\\New"));
  std::string r = "new subkey: names " + waited(WaitForSingleObject(nameChanged, 5000));
  r += ", values " + waited(WaitForSingleObject(valueChanged, 0));
  ResetEvent(nameChanged);
  watch(names, FALSE, REG_NOTIFY_CHANGE_NAME, nameChanged);
  setDword(key, 1);
  r += "; value: values " + waited(WaitForSingleObject(valueChanged, 5000));
  r += ", names " + waited(WaitForSingleObject(nameChanged, 0));
  RegDeleteTreeW(key, L"New");
  r += "; deleted subkey: names " + waited(WaitForSingleObject(nameChanged, 5000));
  for (HKEY k : {key, values, names}) RegCloseKey(k);
  CloseHandle(valueChanged);
  CloseHandle(nameChanged);
  removeKeys();
  return r;
}

// Without the asynchronous flag the call itself waits for the change; no event is used.
std::string notifySynchronously() {
  HKEY key = createKey(kKey), watched = openKey(KEY_NOTIFY);
  HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
  LSTATUS status = -1;
  std::thread watcher([&] {
    status = RegNotifyChangeKeyValue(watched, FALSE, REG_NOTIFY_CHANGE_LAST_SET, NULL, FALSE);
    SetEvent(done);
  });
  letWaitersBlock(1);
  std::string r = "before the change: " + waited(WaitForSingleObject(done, 0));
  setDword(key, 1);
  r += ", after it: " + waited(WaitForSingleObject(done, 5000));
  watcher.join();
  r += ", result " + num(status);
  for (HKEY k : {key, watched}) RegCloseKey(k);
  CloseHandle(done);
  removeKeys();
  return r;
}

std::string keyRights() {
  HKEY key = createKey(kKey);
  setDword(key, 7);
  HKEY queryOnly = openKey(KEY_QUERY_VALUE), setOnly = openKey(KEY_SET_VALUE);
  HANDLE changed = CreateEventW(NULL, TRUE, FALSE, NULL);
  std::string r = "query-only key: set " + num(setDword(queryOnly, 1));
  r += ", notify " + num(watch(queryOnly, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed));
  DWORD value = 0, size = sizeof(value);
  r += "; set-only key: query " +
       num(RegQueryValueExW(setOnly, L"V", NULL, NULL, reinterpret_cast<LPBYTE>(&value), &size));
  for (HKEY k : {key, queryOnly, setOnly}) RegCloseKey(k);
  CloseHandle(changed);
  removeKeys();
  return r;
}

std::string queryValueSizes() {
  HKEY key = createKey(kKey);
  setDword(key, 7);
  BYTE data[4] = {};
  DWORD size = 2;
  std::string r = "2-byte buffer: " + num(RegQueryValueExW(key, L"V", NULL, NULL, data, &size));
  r += " size " + num(size);
  size = 0;
  r += "; no buffer: " + num(RegQueryValueExW(key, L"V", NULL, NULL, NULL, &size));
  r += " size " + num(size);
  DWORD reserved = 0;
  size = sizeof(data);
  r += "; reserved given: " + num(RegQueryValueExW(key, L"V", &reserved, NULL, data, &size));
  RegCloseKey(createKey(std::wstring(kKey) + L"\\Sub"));
  wchar_t name[16] = {};
  DWORD length = 16;
  r += ", to the subkey enumeration " + num(RegEnumKeyExW(key, 0, name, &length, &reserved, NULL, NULL, NULL));
  RegCloseKey(key);
  removeKeys();
  return r;
}

std::string volatileKeys() {
  HKEY key = createKey(kKey);
  LSTATUS status = 0;
  HKEY volatileKey = createKey(std::wstring(kKey) + L"\\Volatile", REG_OPTION_VOLATILE, &status);
  std::string r = "volatile key: " + num(status);
  createKey(std::wstring(kKey) + L"\\Volatile\\Stable", REG_OPTION_NON_VOLATILE, &status);
  r += ", a stable key under it: " + num(status);
  RegCloseKey(volatileKey);
  RegCloseKey(key);
  removeKeys();
  return r;
}

// A second handle stands in for another process: Windows checks share modes between
// opens, whichever process made them.
std::string shareModes() {
  const std::wstring path = checkFile();
  CloseHandle(openFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS));
  HANDLE writer = openFile(path, GENERIC_WRITE, FILE_SHARE_READ);
  std::string r = "held for writing, reads shared: read sharing writes " +
                  opened(openFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
  r += ", read sharing reads only " + opened(openFile(path, GENERIC_READ, FILE_SHARE_READ));
  r += ", delete " + outcome(DeleteFileW(path.c_str()));
  CloseHandle(writer);
  HANDLE reader = openFile(path, GENERIC_READ, FILE_SHARE_READ);
  r += "; held for reading, reads shared: write " +
       opened(openFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
  r += ", read sharing writes only " + opened(openFile(path, GENERIC_READ, FILE_SHARE_WRITE));
  r += ", an open for no data " + opened(openFile(path, 0, 0));
  CloseHandle(reader);
  DeleteFileW(path.c_str());
  return r;
}

std::string fileArguments() {
  const std::wstring path = checkFile();
  std::string r = "new: " + opened(openFile(path, GENERIC_WRITE, 0, CREATE_NEW));
  r += ", again " + opened(openFile(path, GENERIC_WRITE, 0, CREATE_NEW));
  r += "; disposition 0: " + opened(openFile(path, GENERIC_READ, 0, 0));
  DeleteFileW(path.c_str());
  r += "; open a missing file: " + opened(openFile(path, GENERIC_READ, FILE_SHARE_READ));
  return r;
}

std::string objectRights() {
  HANDLE full = CreateEventW(NULL, TRUE, FALSE, L"QthermCheckEvent");
  HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, L"QthermCheckEvent");
  std::string r = "event opened to wait: set " + outcome(SetEvent(waitOnly));
  SetEvent(full);
  r += ", wait " + waited(WaitForSingleObject(waitOnly, 0));
  HANDLE noRights = NULL, sameRights = NULL;
  DuplicateHandle(GetCurrentProcess(), full, GetCurrentProcess(), &noRights, 0, FALSE, 0);
  DuplicateHandle(GetCurrentProcess(), full, GetCurrentProcess(), &sameRights, 0, FALSE, DUPLICATE_SAME_ACCESS);
  r += "; copy asking no rights: wait " + waited(WaitForSingleObject(noRights, 0));
  r += ", copy keeping the rights: wait " + waited(WaitForSingleObject(sameRights, 0));
  HANDLE mutex = CreateMutexW(NULL, FALSE, L"QthermCheckMutex");
  HANDLE modifyOnly = OpenMutexW(MUTEX_MODIFY_STATE, FALSE, L"QthermCheckMutex");
  r += "; mutex opened without SYNCHRONIZE: wait " + waited(WaitForSingleObject(modifyOnly, 0));
  for (HANDLE h : {full, waitOnly, noRights, sameRights, mutex, modifyOnly}) CloseHandle(h);
  return r;
}

// An option that no REG_OPTION_ value names.
std::string unknownKeyOption() {
  LSTATUS status = 0;
  HKEY key = createKey(kKey, 0x20, &status);
  std::string r = "option 0x20: " + num(status) + (keyThere(kKey) ? ", created" : ", not created");
  if (key) RegCloseKey(key);
  removeKeys();
  return r;
}

std::string subkeyThroughWeakHandles() {
  RegCloseKey(createKey(kKey));
  std::string r;
  for (REGSAM access : {static_cast<REGSAM>(KEY_READ), static_cast<REGSAM>(0)}) {
    HKEY parent = openKey(access), sub = NULL;
    r += std::string(r.empty() ? "" : "; ") + (access ? "read-only handle: " : "handle with no rights: ") +
         num(RegCreateKeyExW(parent, access ? L"ByReader" : L"ByNone", 0, NULL, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, NULL, &sub, NULL));
    if (sub) RegCloseKey(sub);
    RegCloseKey(parent);
  }
  removeKeys();
  return r;
}

std::string subkeyUnderRefusingSecurity() {
  RegCloseKey(createKey(kKey));
  setKeySecurity(kKey, KEY_ALL_ACCESS & ~KEY_CREATE_SUB_KEY);
  const std::wstring path = std::wstring(kKey) + L"\\Sub";
  LSTATUS status = 0;
  HKEY sub = createKey(path, REG_OPTION_NON_VOLATILE, &status);
  std::string r = refusal(status != ERROR_SUCCESS) + (keyThere(path) ? ", created" : ", not created");
  if (sub) RegCloseKey(sub);
  setKeySecurity(kKey, KEY_ALL_ACCESS);
  removeKeys();
  return r;
}

// RegDeleteTreeW of a tree whose key C grants everything but `withheld`. `whole`: its
// result and every key left; otherwise only whether it was refused, and whether C and the
// tree above it are left.
std::string deleteTreeWithout(REGSAM withheld, bool whole) {
  const std::wstring tree = std::wstring(kKey) + L"\\Tree";
  const std::pair<const wchar_t*, const char*> keys[] = {{L"\\A", "A"}, {L"\\B", "B"},
                                                         {L"\\B\\Inner", "B\\Inner"}, {L"\\C", "C"},
                                                         {L"\\C\\Inner", "C\\Inner"}, {L"\\D", "D"}};
  for (const std::wstring& path : {tree, tree + L"\\A", tree + L"\\B\\Inner", tree + L"\\C\\Inner", tree + L"\\D"}) {
    HKEY key = createKey(path);
    setDword(key, 1);
    RegCloseKey(key);
  }
  setKeySecurity(tree + L"\\C", KEY_ALL_ACCESS & ~withheld);
  LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, tree.c_str());
  if (!whole) {
    std::string r = refusal(status != ERROR_SUCCESS) + "; the tree " + (keyThere(tree) ? "kept" : "gone") + ", C " +
                    (keyThere(tree + L"\\C") ? "kept" : "gone");
    if (keyThere(tree + L"\\C")) setKeySecurity(tree + L"\\C", KEY_ALL_ACCESS);
    removeKeys();
    return r;
  }
  std::string r = num(status) + "; kept:";
  std::string kept;
  HKEY root = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, tree.c_str(), 0, KEY_QUERY_VALUE, &root) == ERROR_SUCCESS) {
    kept = RegQueryValueExW(root, L"V", NULL, NULL, NULL, NULL) == ERROR_SUCCESS ? " the tree with its value"
                                                                                  : " the tree";
    RegCloseKey(root);
  }
  for (auto& [path, label] : keys)
    if (keyThere(tree + path)) kept += std::string(kept.empty() ? " " : ", ") + label;
  if (keyThere(tree + L"\\C")) setKeySecurity(tree + L"\\C", KEY_ALL_ACCESS);
  removeKeys();
  return r + (kept.empty() ? " nothing" : kept);
}

// The event's handle opened with one right only.
std::string notificationEventRights() {
  HKEY key = createKey(kKey);
  HANDLE full = CreateEventW(NULL, TRUE, FALSE, L"QthermCheckEvent");
  std::string r;
  for (DWORD right : {static_cast<DWORD>(SYNCHRONIZE), static_cast<DWORD>(EVENT_MODIFY_STATE)}) {
    HANDLE event = OpenEventW(right, FALSE, L"QthermCheckEvent");
    ResetEvent(full);
    r += std::string(r.empty() ? "" : "; ") + (right == SYNCHRONIZE ? "opened to wait: " : "opened to set: ") +
         num(watch(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event));
    setDword(key, 1);
    r += ", signalled " + waited(WaitForSingleObject(full, right == SYNCHRONIZE ? 5000 : 20));
    CloseHandle(event);
  }
  CloseHandle(full);
  RegCloseKey(key);
  removeKeys();
  return r;
}

std::string truncateWithoutWriteAccess() {
  const std::wstring path = checkFile();
  HANDLE file = openFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  DWORD done = 0;
  WriteFile(file, "data", 4, &done, NULL);
  CloseHandle(file);
  HANDLE truncated = openFile(path, GENERIC_READ, 0, TRUNCATE_EXISTING);
  std::string r = "opened for reading: " + refusal(truncated == INVALID_HANDLE_VALUE);
  if (truncated != INVALID_HANDLE_VALUE) CloseHandle(truncated);
  char data[8] = {};
  file = openFile(path, GENERIC_READ, 0);
  ReadFile(file, data, sizeof(data), &done, NULL);
  CloseHandle(file);
  DeleteFileW(path.c_str());
  return r + ", " + num(done) + " bytes left";
}

std::string unknownShareBit() {
  const std::wstring path = checkFile();
  CloseHandle(openFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS));
  HANDLE held = openFile(path, GENERIC_READ, 0x8);
  std::string r = "share bit 8: " + (held == INVALID_HANDLE_VALUE ? num(GetLastError()) : std::string("ok"));
  r += ", then a reader " + opened(openFile(path, GENERIC_READ, FILE_SHARE_READ));
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  DeleteFileW(path.c_str());
  return r;
}

std::string oneObjectTwiceInAWait() {
  HANDLE event = CreateEventW(NULL, TRUE, TRUE, NULL), copy = NULL;
  DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  HANDLE twice[] = {event, event}, duplicated[] = {event, copy};
  std::string r = "one handle twice, for all: " + waitRefusal(WaitForMultipleObjects(2, twice, TRUE, 0));
  r += ", for any: " + waitRefusal(WaitForMultipleObjects(2, twice, FALSE, 0));
  r += "; a handle and its duplicate, for all: " + waitRefusal(WaitForMultipleObjects(2, duplicated, TRUE, 0));
  CloseHandle(copy);
  CloseHandle(event);
  return r;
}

// The copy's source is held open for writing by another handle that shares only reads.
std::string copyOfAFileBeingWritten() {
  const std::wstring path = checkFile(), target = path + L".copy";
  HANDLE writer = openFile(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  std::string r = "held for writing, reads shared: " + outcome(CopyFileW(path.c_str(), target.c_str(), FALSE));
  CloseHandle(writer);
  DeleteFileW(target.c_str());
  DeleteFileW(path.c_str());
  return r;
}

// Combinations the documentation rules out.
std::string refusedArguments() {
  std::string r = "delay a move with copying: " +
                  refusal(!MoveFileExW(L"C:\\qtherm-check-missing.exe", NULL,
                                       MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  wchar_t line[] = L"C:\\qtherm-check-missing.exe -x";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // The program does not exist: only a refusal of the flags comes before looking for it.
  BOOL started = CreateProcessW(NULL, line, NULL, NULL, FALSE, DETACHED_PROCESS | CREATE_NEW_CONSOLE, NULL, NULL,
                                &startup, &process);
  r += "; process detached with a new console: " +
       (started || GetLastError() != ERROR_FILE_NOT_FOUND ? refusal(!started) : std::string("no such program"));
  if (started) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  char bytes[8] = {};
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(CP_UTF8, 0, L"a", 1, bytes, sizeof(bytes), NULL, &usedDefault);
  r += "; UTF-8 asked for default use: " + (n ? std::string("ok") : num(GetLastError()));
  n = WideCharToMultiByte(CP_ACP, 0x80 /* WC_ERR_INVALID_CHARS */, L"a", 1, bytes, sizeof(bytes), NULL, NULL);
  r += "; ANSI with a UTF-8 flag: " + (n ? std::string("ok") : num(GetLastError()));
  return r;
}

}  // namespace

const std::vector<PlatformCheck>& platformChecks() {
  constexpr Source doc = Source::Documentation, wine = Source::Wine;
  static const std::vector<PlatformCheck> checks{
      {"ManualResetEventWakesEveryWaiter", "woken 2, set, results 0 0", doc, manualResetEvent},
      {"AutoResetEventWakesOneWaiter", "woken 1, reset, results 0 1", doc, autoResetEvent},
      {"InitialStateAndTimeout", "manual set: 0 0, auto set: 0 258, unset after 20 ms: 258", doc,
       initialStateAndTimeout},
      {"WaitForAll", "one of two: 258, first kept: 0; both: 0, then 258 258", doc, waitForAll},
      // A duplicate is a copy of the handle too.
      {"WaitRefusesOneObjectTwice",
       "one handle twice, for all: refused, for any: refused; a handle and its duplicate, for all: refused", doc,
       oneObjectTwiceInAWait, "one handle twice, for all: 0, for any: 0; a handle and its duplicate, for all: 0"},
      {"AbandonedMutexPassesFromWaiterToWaiter", "129 129", doc, abandonedMutex},
      {"NotificationSubtree",
       "subkey's value: subtree 0, key only 258; key's value: key only 0; again, not re-armed: 258", doc,
       notifySubtree},
      {"NotificationFilter", "new subkey: names 0, values 258; value: values 0, names 258; deleted subkey: names 0",
       doc, notifyFilter},
      {"SynchronousNotification", "before the change: 258, after it: 0, result 0", doc, notifySynchronously},
      {"NotificationEventRights", "opened to wait: 0, signalled 0; opened to set: 5, signalled 258", wine,
       notificationEventRights},
      {"KeyRights", "query-only key: set 5, notify 5; set-only key: query 5", doc, keyRights, nullptr,
       "the refusals' code"},
      {"UnknownKeyOption", "option 0x20: 0, created", wine, unknownKeyOption},
      {"SubkeyCreationIgnoresTheHandlesRights", "read-only handle: 0; handle with no rights: 0", doc,
       subkeyThroughWeakHandles},
      {"SubkeyCreationNeedsTheKeysSecurity", "refused, not created", doc, subkeyUnderRefusingSecurity, "ok, created"},
      {"DeleteTreeStopsAtAKeyItCannotList", "5; kept: the tree with its value, C, C\\Inner, D", wine,
       [] { return deleteTreeWithout(KEY_ENUMERATE_SUB_KEYS, true); }},
      // Only the refusal and what it must leave are documented; nothing shows Windows'
      // order here, and Wine deletes it all.
      {"DeleteTreeStopsAtAKeyItMayNotDelete", "refused; the tree kept, C kept", doc,
       [] { return deleteTreeWithout(DELETE, false); }, "ok; the tree gone, C gone"},
      {"QueryValueSizes",
       "2-byte buffer: 234 size 4; no buffer: 0 size 4; reserved given: 87, to the subkey enumeration 87", doc,
       queryValueSizes, nullptr, "the code for a reserved argument given"},
      {"VolatileKeys", "volatile key: 0, a stable key under it: 1021", doc, volatileKeys, nullptr,
       "a stable key's refusal under a volatile one"},
      {"ShareModes",
       "held for writing, reads shared: read sharing writes ok, read sharing reads only 32, delete 32; "
       "held for reading, reads shared: write 32, read sharing writes only 32, an open for no data ok",
       doc, shareModes, nullptr, "the refused deletion's code and the open for no data"},
      {"UnknownShareBit", "share bit 8: ok, then a reader 32", wine, unknownShareBit},
      {"CopyOfAFileBeingWritten", "held for writing, reads shared: ok", wine, copyOfAFileBeingWritten},
      {"FileArguments", "new: ok, again 80; disposition 0: 87; open a missing file: 2", doc, fileArguments, nullptr,
       "the code for disposition 0"},
      {"TruncateNeedsWriteAccess", "opened for reading: refused, 4 bytes left", doc, truncateWithoutWriteAccess,
       "opened for reading: ok, 0 bytes left"},
      {"ObjectRights",
       "event opened to wait: set 5, wait 0; copy asking no rights: wait failed 5, copy keeping the rights: wait 0; "
       "mutex opened without SYNCHRONIZE: wait failed 5",
       doc, objectRights, nullptr, "the refusals' code"},
      {"RefusedArguments",
       "delay a move with copying: refused; process detached with a new console: refused; "
       "UTF-8 asked for default use: 87; ANSI with a UTF-8 flag: 1004",
       doc, refusedArguments,
       "delay a move with copying: ok; process detached with a new console: no such program; "
       "UTF-8 asked for default use: ok; ANSI with a UTF-8 flag: ok"},
  };
  return checks;
}
