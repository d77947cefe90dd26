#include "platform/sim/sim_files.h"

#include "platform/sim/sim_text.h"

#include <cstring>
#include <cwctype>
#include <map>

namespace sim::files {
namespace {

struct FileData {
  std::string content;
  bool denyRead = false;
  bool lockedAgainstReaders = false;
  bool inUse = false;
};

struct Store {
  std::mutex lock;
  std::map<std::wstring, FileData> files;  // key: lower-cased path
  std::vector<std::wstring> pendingDeletes;
  std::wstring modulePath = L"C:\\windows\\system32\\QTHERMSvc.exe";
  std::string out, err;
};
Store& store() {
  static auto* s = new Store;
  return *s;
}

std::wstring key(const std::wstring& path) {
  std::wstring k = path;
  for (auto& c : k) c = static_cast<wchar_t>(std::towlower(c));
  return k;
}

struct FileHandle : Object {
  std::wstring path;
  bool read, write;
  size_t position = 0;
  const char* kind() const override { return "File"; }
};

struct ConsoleHandle : Object {
  bool error;
  explicit ConsoleHandle(bool e) : error(e) {}
  const char* kind() const override { return "Console"; }
};
HANDLE g_outHandle = NULL, g_errHandle = NULL;

void resetFiles() {
  auto& s = store();
  std::lock_guard<std::mutex> g(s.lock);
  s.files.clear();
  s.pendingDeletes.clear();
  s.modulePath = L"C:\\windows\\system32\\QTHERMSvc.exe";
  s.out.clear();
  s.err.clear();
  g_outHandle = g_errHandle = NULL;
}
ResetHook g_reset(resetFiles);

}  // namespace

void put(const std::wstring& path, const std::string& text) {
  std::lock_guard<std::mutex> g(store().lock);
  store().files[key(path)].content = text;
}
bool exists(const std::wstring& path) {
  std::lock_guard<std::mutex> g(store().lock);
  return store().files.count(key(path)) != 0;
}
std::optional<std::string> content(const std::wstring& path) {
  std::lock_guard<std::mutex> g(store().lock);
  auto it = store().files.find(key(path));
  if (it == store().files.end()) return std::nullopt;
  return it->second.content;
}
void remove(const std::wstring& path) {
  std::lock_guard<std::mutex> g(store().lock);
  store().files.erase(key(path));
}
void denyRead(const std::wstring& path, bool deny) {
  std::lock_guard<std::mutex> g(store().lock);
  store().files[key(path)].denyRead = deny;
}
void lockAgainstReaders(const std::wstring& path, bool locked) {
  std::lock_guard<std::mutex> g(store().lock);
  store().files[key(path)].lockedAgainstReaders = locked;
}
void setInUse(const std::wstring& path, bool inUse) {
  std::lock_guard<std::mutex> g(store().lock);
  store().files[key(path)].inUse = inUse;
}
std::vector<std::wstring> pendingDeletes() {
  std::lock_guard<std::mutex> g(store().lock);
  return store().pendingDeletes;
}
void setModulePath(const std::wstring& path) {
  std::lock_guard<std::mutex> g(store().lock);
  store().modulePath = path;
}
std::string consoleOutput() {
  std::lock_guard<std::mutex> g(store().lock);
  return store().out;
}
std::string consoleError() {
  std::lock_guard<std::mutex> g(store().lock);
  return store().err;
}

}  // namespace sim::files

using namespace sim;
using namespace sim::files;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  if (auto e = checkFault("CreateFileW")) {
    SetLastError(*e);
    return INVALID_HANDLE_VALUE;
  }
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring path = name;
  if (path.rfind(L"\\\\.\\", 0) == 0) return dev::openDevice(path);

  auto& s = store();
  std::unique_lock<std::mutex> g(s.lock);
  auto it = s.files.find(key(path));
  bool exists = it != s.files.end();
  bool reading = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
  bool writing = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  if (exists) {
    if (disposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (it->second.lockedAgainstReaders) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if (reading && it->second.denyRead) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) it->second.content.clear();
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    s.files[key(path)] = FileData{};
  }
  auto h = std::make_shared<FileHandle>();
  h->path = key(path);
  h->read = reading;
  h->write = writing;
  g.unlock();
  SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
  return insertHandle(h);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
  if (auto e = checkFault("ReadFile")) {
    SetLastError(*e);
    return FALSE;
  }
  auto h = lookup<FileHandle>(file);
  if (!h || !h->read) {
    SetLastError(h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(store().lock);
  auto it = store().files.find(h->path);
  const std::string empty;
  const std::string& c = it == store().files.end() ? empty : it->second.content;
  size_t n = h->position < c.size() ? std::min<size_t>(size, c.size() - h->position) : 0;
  if (n) std::memcpy(buffer, c.data() + h->position, n);
  h->position += n;
  if (read) *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
  if (auto e = checkFault("WriteFile")) {
    SetLastError(*e);
    return FALSE;
  }
  auto object = lookupHandle(file);
  if (auto console = std::dynamic_pointer_cast<ConsoleHandle>(object)) {
    std::lock_guard<std::mutex> g(store().lock);
    (console->error ? store().err : store().out).append(static_cast<const char*>(buffer), size);
    if (written) *written = size;
    return TRUE;
  }
  auto h = std::dynamic_pointer_cast<FileHandle>(object);
  if (!h || !h->write) {
    SetLastError(h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(store().lock);
  auto& c = store().files[h->path].content;
  if (c.size() < h->position + size) c.resize(h->position + size);
  std::memcpy(c.data() + h->position, buffer, size);
  h->position += size;
  if (written) *written = size;
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR name) {
  if (auto e = checkFault("DeleteFileW")) {
    SetLastError(*e);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(store().lock);
  auto it = store().files.find(key(name ? name : L""));
  if (it == store().files.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (it->second.inUse) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  store().files.erase(it);
  return TRUE;
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
  if (auto e = checkFault("CopyFileW")) {
    SetLastError(*e);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(store().lock);
  auto& files = store().files;
  auto src = files.find(key(existing ? existing : L""));
  if (src == files.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto dst = files.find(key(target ? target : L""));
  if (dst != files.end()) {
    if (failIfExists) {
      SetLastError(ERROR_FILE_EXISTS);
      return FALSE;
    }
    if (dst->second.inUse) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  FileData copy;
  copy.content = src->second.content;
  files[key(target)] = copy;
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags) {
  if (auto e = checkFault("MoveFileExW")) {
    SetLastError(*e);
    return FALSE;
  }
  if (!existing) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(store().lock);
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (target) {
      SetLastError(ERROR_NOT_SUPPORTED);  // the machine records deletions only
      return FALSE;
    }
    store().pendingDeletes.push_back(existing);
    return TRUE;
  }
  auto& files = store().files;
  auto src = files.find(key(existing));
  if (src == files.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (files.count(key(target)) && !(flags & MOVEFILE_REPLACE_EXISTING)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  FileData moved = src->second;
  files.erase(src);
  files[key(target)] = moved;
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  if (auto e = checkFault("GetFileAttributesW")) {
    SetLastError(*e);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (sim::text::directoryExists(name ? name : L"")) return FILE_ATTRIBUTE_DIRECTORY;
  std::lock_guard<std::mutex> g(store().lock);
  if (!store().files.count(key(name ? name : L""))) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return FILE_ATTRIBUTE_NORMAL;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (auto e = checkFault("GetModuleFileNameW")) {
    SetLastError(*e);
    return 0;
  }
  if (module != NULL || !buffer || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::wstring path;
  {
    std::lock_guard<std::mutex> g(store().lock);
    path = store().modulePath;
  }
  // As Windows: a path that does not fit is cut to size - 1 characters and NUL-terminated.
  if (path.size() >= size) {
    std::memcpy(buffer, path.c_str(), (size - 1) * sizeof(wchar_t));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  SetLastError(0);
  return static_cast<DWORD>(path.size());
}

HANDLE GetStdHandle(DWORD which) {
  std::lock_guard<std::mutex> g(store().lock);
  if (which == STD_OUTPUT_HANDLE) {
    if (!g_outHandle) g_outHandle = insertHandle(std::make_shared<ConsoleHandle>(false));
    return g_outHandle;
  }
  if (which == STD_ERROR_HANDLE) {
    if (!g_errHandle) g_errHandle = insertHandle(std::make_shared<ConsoleHandle>(true));
    return g_errHandle;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}
