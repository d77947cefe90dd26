#include "platform/sim/sim_files.h"

#include "platform/sim/sim_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>

namespace sim::files {
namespace {

struct FileHandle;

// What share checks count of an open: the data it reads, writes or deletes, and what it
// lets others do.
struct Open {
  FileHandle* owner;  // the handle's object; null for the outside holder
  bool read, write, del;
  DWORD share;
};

struct FileData {
  std::string content;
  bool denyRead = false;
  bool inUse = false;
  bool deletePending = false;  // deleted while open: gone with the last open
  std::vector<Open> opens;
};

constexpr DWORD kNoLimit = 0xFFFFFFFFu;

struct Store {
  std::mutex lock;
  std::map<std::wstring, FileData> files;  // key: lower-cased path
  std::vector<std::wstring> pendingDeletes;
  std::wstring modulePath = L"C:\\windows\\system32\\QTHERMSvc.exe";
  std::string out, err;
  DWORD stdWriteLimit = kNoLimit;
  long zeroWrites = 0;  // writes in a row that standard output or error took nothing of
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

Open openOf(FileHandle* owner, DWORD access, DWORD share) {
  return {owner, (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) != 0,
          (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0,
          (access & (DELETE | GENERIC_ALL)) != 0, share};
}

// Whether `wanted` may join the file's opens. An open that touches no data is not
// checked and does not count.
bool shareAllows(const FileData& file, const Open& wanted) {
  if (!wanted.read && !wanted.write && !wanted.del) return true;
  for (const Open& o : file.opens) {
    if ((wanted.read && !(o.share & FILE_SHARE_READ)) || (wanted.write && !(o.share & FILE_SHARE_WRITE)) ||
        (wanted.del && !(o.share & FILE_SHARE_DELETE)))
      return false;
    if ((o.read && !(wanted.share & FILE_SHARE_READ)) || (o.write && !(wanted.share & FILE_SHARE_WRITE)) ||
        (o.del && !(wanted.share & FILE_SHARE_DELETE)))
      return false;
  }
  return true;
}

struct FileHandle : Object {
  std::wstring path;
  bool read, write;
  size_t position = 0;
  const char* kind() const override { return "File"; }
  void onLastHandleClosed() override;
};

// Deleting or moving a file opens it for DELETE, sharing everything: a running image, a
// deletion under way and every open that does not share deletion refuse it.
bool mayDelete(const FileData& file) {
  if (file.inUse || file.deletePending) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (!shareAllows(file, openOf(nullptr, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  return true;
}

void FileHandle::onLastHandleClosed() {
  auto& s = store();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.files.find(path);
  if (it == s.files.end()) return;
  auto& opens = it->second.opens;
  opens.erase(std::remove_if(opens.begin(), opens.end(), [this](const Open& o) { return o.owner == this; }),
              opens.end());
  if (it->second.deletePending && opens.empty()) s.files.erase(it);
}

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
  s.stdWriteLimit = kNoLimit;
  s.zeroWrites = 0;
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
  auto& opens = store().files[key(path)].opens;
  opens.erase(std::remove_if(opens.begin(), opens.end(), [](const Open& o) { return o.owner == nullptr; }),
              opens.end());
  if (locked) opens.push_back(openOf(nullptr, GENERIC_WRITE, FILE_SHARE_WRITE));
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
void limitStdWrites(DWORD bytesPerWrite) {
  std::lock_guard<std::mutex> g(store().lock);
  store().stdWriteLimit = bytesPerWrite;
}

}  // namespace sim::files

using namespace sim;
using namespace sim::files;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES /*attributes*/, DWORD disposition,
                   DWORD, HANDLE) {
  if (auto e = checkFault("CreateFileW")) {
    SetLastError(*e);
    return INVALID_HANDLE_VALUE;
  }
  // Truncation asks for GENERIC_WRITE itself, whatever the file's security would allow.
  if (!name || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring path = name;
  if (path.rfind(L"\\\\.\\", 0) == 0) return dev::openDevice(path);

  auto& s = store();
  std::unique_lock<std::mutex> g(s.lock);
  auto it = s.files.find(key(path));
  bool exists = it != s.files.end();
  auto h = std::make_shared<FileHandle>();
  Open open = openOf(h.get(), access, share);
  if (exists) {
    if (it->second.deletePending) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (!shareAllows(it->second, open)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if (open.read && it->second.denyRead) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) it->second.content.clear();
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    it = s.files.emplace(key(path), FileData{}).first;
  }
  if (open.read || open.write || open.del) it->second.opens.push_back(open);
  h->path = key(path);
  h->read = open.read;
  h->write = open.write;
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
    auto& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    DWORD taken = std::min(size, s.stdWriteLimit);
    (console->error ? s.err : s.out).append(static_cast<const char*>(buffer), taken);
    if (written) *written = taken;
    // A writer that keeps offering bytes that are never taken would spin for ever.
    s.zeroWrites = taken == 0 && size > 0 ? s.zeroWrites + 1 : 0;
    if (s.zeroWrites == 10000) {
      std::fprintf(stderr, "simulated machine: 10000 writes in a row to standard output took nothing\n");
      std::abort();
    }
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
  if (!mayDelete(it->second)) return FALSE;
  if (it->second.opens.empty())
    store().files.erase(it);
  else
    it->second.deletePending = true;
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
  if (src == files.end() || src->second.deletePending) {
    SetLastError(src == files.end() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Source and target are opened sharing reads and writes.
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (!shareAllows(src->second, openOf(nullptr, GENERIC_READ, kShared))) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  auto dst = files.find(key(target ? target : L""));
  if (dst != files.end()) {
    if (failIfExists) {
      SetLastError(ERROR_FILE_EXISTS);
      return FALSE;
    }
    if (dst->second.inUse || !shareAllows(dst->second, openOf(nullptr, GENERIC_WRITE, kShared))) {
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
  // A move at the restart cannot be a copy.
  if ((flags & MOVEFILE_DELAY_UNTIL_REBOOT) && (flags & MOVEFILE_COPY_ALLOWED)) {
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
  // Moving deletes the name: every open goes along.
  if (!mayDelete(src->second)) return FALSE;
  FileData moved = src->second;
  files.erase(src);
  for (const Open& o : moved.opens)
    if (o.owner) o.owner->path = key(target);
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
