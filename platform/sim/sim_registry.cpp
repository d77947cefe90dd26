#include "platform/sim/sim_registry.h"

#include "platform/sim/sim_sync.h"

#include <cstring>
#include <cwctype>
#include <map>

namespace sim {
namespace {

struct CaseLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
      wchar_t x = std::towlower(a[i]), y = std::towlower(b[i]);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

struct KeyHandle;

struct Notification {
  const KeyHandle* owner;
  DWORD filter;
  bool subtree;
  std::shared_ptr<Object> event;
};

struct KeyNode {
  std::wstring name;
  std::map<std::wstring, std::shared_ptr<KeyNode>, CaseLess> subkeys;
  std::map<std::wstring, reg::Value, CaseLess> values;
  REGSAM granted = 0xFFFFFFFFu;
  KeyNode* parent = nullptr;
  bool deleted = false;
  bool isVolatile = false;
  std::vector<Notification> notifications;
};

struct KeyHandle : Object {
  std::shared_ptr<KeyNode> node;
  REGSAM access;
  KeyHandle(std::shared_ptr<KeyNode> n, REGSAM a) : node(std::move(n)), access(a) {}
  const char* kind() const override { return "Key"; }
  void onLastHandleClosed() override;
};

std::mutex& regLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<KeyNode>& root() {
  static auto* r = new std::shared_ptr<KeyNode>(std::make_shared<KeyNode>());
  return *r;
}

std::vector<std::wstring> split(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring cur;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

// Fires and removes the notifications that a change of `filter` kind on `node` reaches.
void notifyChange(KeyNode* node, DWORD filter) {
  std::vector<std::shared_ptr<Object>> events;
  bool direct = true;
  for (KeyNode* n = node; n; n = n->parent, direct = false) {
    auto& list = n->notifications;
    for (auto it = list.begin(); it != list.end();) {
      if ((it->filter & filter) && (direct || it->subtree)) {
        events.push_back(it->event);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& e : events) signalEvent(e);
}

void KeyHandle::onLastHandleClosed() {
  // Closing the key completes its pending notifications.
  std::vector<std::shared_ptr<Object>> events;
  {
    std::lock_guard<std::mutex> g(regLock());
    auto& list = node->notifications;
    for (auto it = list.begin(); it != list.end();) {
      if (it->owner == this) {
        events.push_back(it->event);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& e : events) signalEvent(e);
}

void markDeleted(KeyNode* node) {
  node->deleted = true;
  for (auto& [name, child] : node->subkeys) markDeleted(child.get());
  std::vector<std::shared_ptr<Object>> events;
  for (auto& n : node->notifications) events.push_back(n.event);
  node->notifications.clear();
  for (auto& e : events) signalEvent(e);
}

// Resolves an HKEY to its node and the rights its handle carries.
std::shared_ptr<KeyNode> resolve(HKEY key, REGSAM* access, LSTATUS* status) {
  if (key == HKEY_LOCAL_MACHINE) {
    *access = KEY_ALL_ACCESS;
    return root();
  }
  auto handle = lookup<KeyHandle>(reinterpret_cast<HANDLE>(key));
  if (!handle) {
    *status = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (handle->node->deleted) {
    *status = ERROR_KEY_DELETED;
    return nullptr;
  }
  *access = handle->access;
  return handle->node;
}

std::shared_ptr<KeyNode> walk(std::shared_ptr<KeyNode> from, const std::wstring& path) {
  for (auto& part : split(path)) {
    auto it = from->subkeys.find(part);
    if (it == from->subkeys.end()) return nullptr;
    from = it->second;
  }
  return from;
}

// Creates what is missing of `path`. With `refusal`, as RegCreateKeyExW does it: a key is
// created only under a key whose security grants KEY_CREATE_SUB_KEY, and under a volatile
// key only a volatile one; keys made before a refusal stay.
std::shared_ptr<KeyNode> walkCreate(std::shared_ptr<KeyNode> from, const std::wstring& path, bool* created,
                                    bool makeVolatile = false, LSTATUS* refusal = nullptr) {
  *created = false;
  for (auto& part : split(path)) {
    auto it = from->subkeys.find(part);
    if (it == from->subkeys.end()) {
      if (refusal && !(from->granted & KEY_CREATE_SUB_KEY)) {
        *refusal = ERROR_ACCESS_DENIED;
        return nullptr;
      }
      if (refusal && from->isVolatile && !makeVolatile) {
        *refusal = ERROR_CHILD_MUST_BE_VOLATILE;
        return nullptr;
      }
      auto node = std::make_shared<KeyNode>();
      node->name = part;
      node->parent = from.get();
      node->isVolatile = makeVolatile;
      it = from->subkeys.emplace(part, node).first;
      *created = true;
      notifyChange(from.get(), REG_NOTIFY_CHANGE_NAME);
    }
    from = it->second;
  }
  return from;
}

// Rights RegDeleteTreeW needs on the key its handle names; a key it opens itself is listed
// with the last two and deleted with DELETE.
constexpr REGSAM kTreeDeleteRights = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
constexpr REGSAM kTreeListRights = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

// Deletes a key's subkeys one by one in their order, then the key itself, or only its
// values with `keepKey`. A key it may not list or delete stops the deletion there: what
// was deleted before stays deleted.
LSTATUS deleteTree(const std::shared_ptr<KeyNode>& node, REGSAM rights, bool keepKey) {
  if ((rights & kTreeListRights) != kTreeListRights) return ERROR_ACCESS_DENIED;
  while (!node->subkeys.empty()) {
    auto child = node->subkeys.begin()->second;
    if (LSTATUS status = deleteTree(child, child->granted, false)) return status;
  }
  if (keepKey) {
    if (!node->values.empty()) {
      node->values.clear();
      notifyChange(node.get(), REG_NOTIFY_CHANGE_LAST_SET);
    }
    return ERROR_SUCCESS;
  }
  if (!(rights & DELETE)) return ERROR_ACCESS_DENIED;
  KeyNode* parent = node->parent;
  markDeleted(node.get());
  parent->subkeys.erase(node->name);
  notifyChange(parent, REG_NOTIFY_CHANGE_NAME);
  return ERROR_SUCCESS;
}

void dropVolatile(KeyNode* node) {
  for (auto it = node->subkeys.begin(); it != node->subkeys.end();) {
    if (it->second->isVolatile) {
      markDeleted(it->second.get());
      it = node->subkeys.erase(it);
    } else {
      dropVolatile(it->second.get());
      ++it;
    }
  }
}

REGSAM normalise(REGSAM desired) {
  desired &= ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (desired & GENERIC_READ) desired = (desired & ~GENERIC_READ) | KEY_READ;
  if (desired & GENERIC_WRITE) desired = (desired & ~GENERIC_WRITE) | KEY_WRITE;
  if (desired & GENERIC_ALL) desired = (desired & ~GENERIC_ALL) | KEY_ALL_ACCESS;
  return desired;
}

bool allowed(const KeyNode& node, REGSAM desired) { return (desired & ~node.granted) == 0; }

void resetRegistry() {
  std::lock_guard<std::mutex> g(regLock());
  root() = std::make_shared<KeyNode>();
}
ResetHook g_reset(resetRegistry);

}  // namespace

namespace reg {

void createKey(const std::wstring& path) {
  std::lock_guard<std::mutex> g(regLock());
  bool created;
  walkCreate(root(), path, &created);
}

bool keyExists(const std::wstring& path) {
  std::lock_guard<std::mutex> g(regLock());
  return walk(root(), path) != nullptr;
}

void deleteKey(const std::wstring& path) {
  std::lock_guard<std::mutex> g(regLock());
  auto node = walk(root(), path);
  if (!node || node == root()) return;
  KeyNode* parent = node->parent;
  markDeleted(node.get());
  parent->subkeys.erase(node->name);
  notifyChange(parent, REG_NOTIFY_CHANGE_NAME);
}

void setValue(const std::wstring& path, const std::wstring& name, DWORD type, std::vector<BYTE> data) {
  std::lock_guard<std::mutex> g(regLock());
  bool created;
  auto node = walkCreate(root(), path, &created);
  node->values[name] = Value{type, std::move(data)};
  notifyChange(node.get(), REG_NOTIFY_CHANGE_LAST_SET);
}

void setDword(const std::wstring& path, const std::wstring& name, DWORD value) {
  std::vector<BYTE> data(4);
  std::memcpy(data.data(), &value, 4);
  setValue(path, name, REG_DWORD, std::move(data));
}

void setString(const std::wstring& path, const std::wstring& name, const std::wstring& text, DWORD type) {
  std::vector<BYTE> data((text.size() + 1) * sizeof(wchar_t));
  std::memcpy(data.data(), text.c_str(), data.size());
  setValue(path, name, type, std::move(data));
}

void deleteValue(const std::wstring& path, const std::wstring& name) {
  std::lock_guard<std::mutex> g(regLock());
  auto node = walk(root(), path);
  if (node && node->values.erase(name)) notifyChange(node.get(), REG_NOTIFY_CHANGE_LAST_SET);
}

std::optional<Value> getValue(const std::wstring& path, const std::wstring& name) {
  std::lock_guard<std::mutex> g(regLock());
  auto node = walk(root(), path);
  if (!node) return std::nullopt;
  auto it = node->values.find(name);
  if (it == node->values.end()) return std::nullopt;
  return it->second;
}

std::optional<DWORD> getDword(const std::wstring& path, const std::wstring& name) {
  auto v = getValue(path, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  DWORD d;
  std::memcpy(&d, v->data.data(), 4);
  return d;
}

std::vector<std::wstring> valueNames(const std::wstring& path) {
  std::lock_guard<std::mutex> g(regLock());
  std::vector<std::wstring> names;
  if (auto node = walk(root(), path))
    for (auto& [name, value] : node->values) names.push_back(name);
  return names;
}

std::vector<std::wstring> subkeyNames(const std::wstring& path) {
  std::lock_guard<std::mutex> g(regLock());
  std::vector<std::wstring> names;
  if (auto node = walk(root(), path))
    for (auto& [name, child] : node->subkeys) names.push_back(child->name);
  return names;
}

void setKeyAccess(const std::wstring& path, REGSAM granted) {
  std::lock_guard<std::mutex> g(regLock());
  bool created;
  walkCreate(root(), path, &created)->granted = granted;
}

size_t pendingNotifications(const std::wstring& path) {
  std::lock_guard<std::mutex> g(regLock());
  auto node = walk(root(), path);
  return node ? node->notifications.size() : 0;
}

void restart() {
  std::lock_guard<std::mutex> g(regLock());
  dropVolatile(root().get());
}

}  // namespace reg
}  // namespace sim

using namespace sim;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  if (auto e = checkFault("RegOpenKeyExW")) return static_cast<LSTATUS>(*e);
  if (!result) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyNode> node;
  {
    std::lock_guard<std::mutex> g(regLock());
    REGSAM access;
    LSTATUS status = 0;
    auto base = resolve(key, &access, &status);
    if (!base) return status;
    node = walk(base, subKey ? subKey : L"");
    if (!node) return ERROR_FILE_NOT_FOUND;
    desired = normalise(desired);
    if (!allowed(*node, desired)) return ERROR_ACCESS_DENIED;
  }
  *result = reinterpret_cast<HKEY>(insertHandle(std::make_shared<KeyHandle>(node, desired)));
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR, DWORD options, REGSAM desired,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (auto e = checkFault("RegCreateKeyExW")) return static_cast<LSTATUS>(*e);
  if (!result || !subKey || reserved) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyNode> node;
  bool created = false;
  {
    std::lock_guard<std::mutex> g(regLock());
    REGSAM access;
    LSTATUS status = 0;
    auto base = resolve(key, &access, &status);
    if (!base) return status;
    desired = normalise(desired);
    auto existing = walk(base, subKey);
    if (existing) {
      // An existing key is opened as it is: the options do not change it.
      if (!allowed(*existing, desired)) return ERROR_ACCESS_DENIED;
      node = existing;
    } else {
      // Creation is checked against the parent key's security, not the handle's rights.
      LSTATUS refusal = ERROR_SUCCESS;
      node = walkCreate(base, subKey, &created, (options & REG_OPTION_VOLATILE) != 0, &refusal);
      if (!node) return refusal;
    }
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = reinterpret_cast<HKEY>(insertHandle(std::make_shared<KeyHandle>(node, desired)));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
  if (auto e = checkFault("RegQueryValueExW")) return static_cast<LSTATUS>(*e);
  if (reserved) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(regLock());
  REGSAM access;
  LSTATUS status = 0;
  auto node = resolve(key, &access, &status);
  if (!node) return status;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  auto it = node->values.find(valueName ? valueName : L"");
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  const auto& value = it->second;
  if (type) *type = value.type;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (!data) {
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(data, value.data.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (auto e = checkFault("RegSetValueExW")) return static_cast<LSTATUS>(*e);
  std::lock_guard<std::mutex> g(regLock());
  REGSAM access;
  LSTATUS status = 0;
  auto node = resolve(key, &access, &status);
  if (!node) return status;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  reg::Value value{type, std::vector<BYTE>(data, data + size)};
  node->values[valueName ? valueName : L""] = std::move(value);
  notifyChange(node.get(), REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  if (auto e = checkFault("RegDeleteValueW")) return static_cast<LSTATUS>(*e);
  std::lock_guard<std::mutex> g(regLock());
  REGSAM access;
  LSTATUS status = 0;
  auto node = resolve(key, &access, &status);
  if (!node) return status;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!node->values.erase(valueName ? valueName : L"")) return ERROR_FILE_NOT_FOUND;
  notifyChange(node.get(), REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
  if (auto e = checkFault("RegDeleteTreeW")) return static_cast<LSTATUS>(*e);
  std::lock_guard<std::mutex> g(regLock());
  REGSAM access;
  LSTATUS status = 0;
  auto base = resolve(key, &access, &status);
  if (!base) return status;
  auto node = (subKey && *subKey) ? walk(base, subKey) : base;
  if (!node) return ERROR_FILE_NOT_FOUND;
  // The handle needs every right for the key it names, whether or not that key goes.
  if (node == base && (access & kTreeDeleteRights) != kTreeDeleteRights) return ERROR_ACCESS_DENIED;
  return deleteTree(node, node == base ? access : node->granted, node == base);
}

LSTATUS RegCloseKey(HKEY key) {
  if (auto e = checkFault("RegCloseKey")) return static_cast<LSTATUS>(*e);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (!lookup<KeyHandle>(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  removeHandle(reinterpret_cast<HANDLE>(key));
  return ERROR_SUCCESS;
}

LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous) {
  if (auto e = checkFault("RegNotifyChangeKeyValue")) return static_cast<LSTATUS>(*e);
  constexpr DWORD kLegalFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                                 REG_NOTIFY_CHANGE_SECURITY | REG_NOTIFY_THREAD_AGNOSTIC;
  if (filter & ~kLegalFilter) return ERROR_INVALID_PARAMETER;
  // Asynchronous: the event is signalled at the change. Synchronous: the event is not
  // used, and the call returns only after the change.
  std::shared_ptr<Object> eventObject;
  if (asynchronous) {
    if (!event) return ERROR_INVALID_PARAMETER;
    eventObject = lookupHandle(event);
    if (!eventObject || std::string(eventObject->kind()) != "Event") return ERROR_INVALID_HANDLE;
    // Nothing documents the right the event's handle needs; Wine asks for SYNCHRONIZE.
    if (!handleAllows(event, SYNCHRONIZE)) return ERROR_ACCESS_DENIED;
  } else {
    eventObject = privateEvent();
  }
  std::shared_ptr<KeyHandle> handle;
  if (key != HKEY_LOCAL_MACHINE) {
    handle = lookup<KeyHandle>(reinterpret_cast<HANDLE>(key));
    if (!handle) return ERROR_INVALID_HANDLE;
  }
  {
    std::lock_guard<std::mutex> g(regLock());
    REGSAM access;
    LSTATUS status = 0;
    auto node = resolve(key, &access, &status);
    if (!node) return status;
    if (!(access & KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
    node->notifications.push_back({handle.get(), filter, watchSubtree != FALSE, eventObject});
  }
  if (!asynchronous) waitUntilSignalled(eventObject);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                         LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                         PFILETIME lastWriteTime) {
  if (auto e = checkFault("RegQueryInfoKeyW")) return static_cast<LSTATUS>(*e);
  std::lock_guard<std::mutex> g(regLock());
  REGSAM access;
  LSTATUS status = 0;
  auto node = resolve(key, &access, &status);
  if (!node) return status;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (className && classLength && *classLength) className[0] = 0;
  if (classLength) *classLength = 0;
  if (subKeys) *subKeys = static_cast<DWORD>(node->subkeys.size());
  DWORD maxSub = 0, maxName = 0, maxData = 0;
  for (auto& [name, child] : node->subkeys) maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(name.size()));
  for (auto& [name, value] : node->values) {
    maxName = std::max<DWORD>(maxName, static_cast<DWORD>(name.size()));
    maxData = std::max<DWORD>(maxData, static_cast<DWORD>(value.data.size()));
  }
  if (maxSubKeyLength) *maxSubKeyLength = maxSub;
  if (maxClassLength) *maxClassLength = 0;
  if (values) *values = static_cast<DWORD>(node->values.size());
  if (maxValueNameLength) *maxValueNameLength = maxName;
  if (maxValueLength) *maxValueLength = maxData;
  if (securityDescriptor) *securityDescriptor = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR className,
                      LPDWORD classLength, PFILETIME lastWriteTime) {
  if (auto e = checkFault("RegEnumKeyExW")) return static_cast<LSTATUS>(*e);
  if (reserved) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(regLock());
  REGSAM access;
  LSTATUS status = 0;
  auto node = resolve(key, &access, &status);
  if (!node) return status;
  if (!(access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (!name || !nameLength) return ERROR_INVALID_PARAMETER;
  if (index >= node->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = node->subkeys.begin();
  std::advance(it, index);
  const std::wstring& n = it->second->name;
  if (*nameLength <= n.size()) return ERROR_MORE_DATA;
  std::memcpy(name, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
  *nameLength = static_cast<DWORD>(n.size());
  if (className && classLength && *classLength) className[0] = 0;
  if (classLength) *classLength = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}
