#include "platform/sim/sim_setupapi.h"

#include <cstring>
#include <cwctype>
#include <map>
#include <optional>
#include <stdexcept>

namespace sim::setupapi {
namespace {

struct Interface {
  ULONG_PTR id;
  GUID interfaceClass;
  std::wstring path;
};

struct Property {
  DWORD type;
  std::vector<BYTE> data;
};

struct Device {
  DEVINST devInst;
  std::wstring instanceId;
  GUID setupClass;
  bool present = true;
  bool removed = false;
  bool disabled = false;
  ULONG problem = 0;
  std::vector<Interface> interfaces;
  std::map<DWORD, Property> properties;
};

struct Table {
  std::mutex lock;
  std::vector<Device> devices;
  std::vector<std::pair<GUID, std::wstring>> classDescriptions;
  std::vector<ClassDevsRequest> requests;
  std::vector<DWORD> enumIndices;
  DEVINST nextDevInst = 1;
  ULONG_PTR nextInterfaceId = 1;
};
Table& table() {
  static auto* t = new Table;
  return *t;
}

// What a set holds: the devices and interfaces as they were when it was built, and
// the class-install parameters set on its elements.
struct SetElement {
  DEVINST devInst;
  GUID setupClass;
  std::vector<Interface> interfaces;
  std::optional<SP_PROPCHANGE_PARAMS> propChange;
};
struct DevInfoSet : Object {
  std::vector<SetElement> elements;
  const char* kind() const override { return "DeviceInfoSet"; }
};

void resetTable() {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  t.devices.clear();
  t.classDescriptions.clear();
  t.requests.clear();
  t.enumIndices.clear();
  t.nextDevInst = 1;
  t.nextInterfaceId = 1;
}
ResetHook g_reset(resetTable);

Device* find(Table& t, DEVINST devInst) {
  for (auto& d : t.devices)
    if (d.devInst == devInst) return &d;
  return nullptr;
}

Device& mustFind(Table& t, DEVINST devInst) {
  if (Device* d = find(t, devInst)) return *d;
  throw std::invalid_argument("no such simulated device");
}

bool enumeratorMatches(const std::wstring& instanceId, const std::wstring& enumerator) {
  if (instanceId.size() < enumerator.size()) return false;
  for (size_t i = 0; i < enumerator.size(); i++)
    if (std::towlower(instanceId[i]) != std::towlower(enumerator[i])) return false;
  return instanceId.size() == enumerator.size() || instanceId[enumerator.size()] == L'\\';
}

std::shared_ptr<DevInfoSet> lookupSet(HDEVINFO set) {
  if (set == NULL || set == INVALID_HANDLE_VALUE) return nullptr;
  return lookup<DevInfoSet>(set);
}

// Validates the caller's device record against the set; null with the last error set.
SetElement* element(DevInfoSet& set, PSP_DEVINFO_DATA device) {
  if (!device) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  if (device->Reserved == 0 || device->Reserved > set.elements.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &set.elements[device->Reserved - 1];
}

void fill(PSP_DEVINFO_DATA device, const SetElement& e, size_t index) {
  device->ClassGuid = e.setupClass;
  device->DevInst = e.devInst;
  device->Reserved = index + 1;
}

}  // namespace

DEVINST addDevice(const std::wstring& instanceId, const GUID& setupClass, bool present) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  Device d;
  d.devInst = t.nextDevInst++;
  d.instanceId = instanceId;
  d.setupClass = setupClass;
  d.present = present;
  t.devices.push_back(d);
  return d.devInst;
}

void addInterface(DEVINST device, const GUID& interfaceClass, const std::wstring& path) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  mustFind(t, device).interfaces.push_back({t.nextInterfaceId++, interfaceClass, path});
}

void setProperty(DEVINST device, DWORD property, DWORD type, std::vector<BYTE> data) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  mustFind(t, device).properties[property] = {type, std::move(data)};
}

void setStringProperty(DEVINST device, DWORD property, const std::wstring& text) {
  std::vector<BYTE> data((text.size() + 1) * sizeof(wchar_t));
  std::memcpy(data.data(), text.c_str(), data.size());
  setProperty(device, property, 1 /* REG_SZ */, std::move(data));
}

void setProblem(DEVINST device, ULONG problem) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  mustFind(t, device).problem = problem;
}

void setClassDescription(const GUID& setupClass, const std::wstring& description) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  t.classDescriptions.emplace_back(setupClass, description);
}

void unplug(DEVINST device) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  Device& d = mustFind(t, device);
  d.present = false;
  d.interfaces.clear();
}

bool isDisabled(DEVINST device) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  return mustFind(t, device).disabled;
}

bool isRemoved(DEVINST device) {
  auto& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  return mustFind(t, device).removed;
}

std::vector<ClassDevsRequest> classDevsRequests() {
  std::lock_guard<std::mutex> g(table().lock);
  return table().requests;
}

std::vector<DWORD> enumDeviceInfoIndices() {
  std::lock_guard<std::mutex> g(table().lock);
  return table().enumIndices;
}

}  // namespace sim::setupapi

using namespace sim;
using namespace sim::setupapi;

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
  auto& t = table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    t.requests.push_back({classGuid != NULL, classGuid ? *classGuid : GUID{}, enumerator != NULL,
                          enumerator ? enumerator : L"", flags});
  }
  if (auto e = checkFault("SetupDiGetClassDevsW")) {
    SetLastError(*e);
    return INVALID_HANDLE_VALUE;
  }
  bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  if (!classGuid && !allClasses && !enumerator) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  auto set = std::make_shared<DevInfoSet>();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (auto& d : t.devices) {
      if (d.removed) continue;
      if ((flags & DIGCF_PRESENT) && !d.present) continue;
      if (enumerator && !enumeratorMatches(d.instanceId, enumerator)) continue;
      bool member = allClasses;
      if (!member && interfaces) {
        for (auto& i : d.interfaces) member = member || i.interfaceClass == *classGuid;
      } else if (!member) {
        member = d.setupClass == *classGuid;
      }
      if (member) set->elements.push_back({d.devInst, d.setupClass, d.interfaces, std::nullopt});
    }
  }
  SetLastError(NO_ERROR);
  return insertHandle(set);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (auto e = checkFault("SetupDiDestroyDeviceInfoList")) {
    SetLastError(*e);
    return FALSE;
  }
  if (!lookupSet(set) || !removeHandle(set)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  if (auto e = checkFault("SetupDiEnumDeviceInterfaces")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!interfaceClass || !interfaceData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  const SetElement* only = nullptr;
  if (device && !(only = element(*set, device))) return FALSE;
  DWORD n = 0;
  for (auto& e : set->elements) {
    if (only && &e != only) continue;
    for (auto& i : e.interfaces) {
      if (i.interfaceClass != *interfaceClass) continue;
      if (n++ != memberIndex) continue;
      interfaceData->InterfaceClassGuid = i.interfaceClass;
      interfaceData->Flags = SPINT_ACTIVE;
      interfaceData->Reserved = i.id;
      SetLastError(NO_ERROR);
      return TRUE;
    }
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
  if (auto e = checkFault("SetupDiGetDeviceInterfaceDetailW")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  const SetElement* owner = nullptr;
  size_t ownerIndex = 0;
  for (size_t k = 0; k < set->elements.size() && !owner; k++)
    for (auto& i : set->elements[k].interfaces)
      if (i.id == interfaceData->Reserved) owner = &set->elements[k], ownerIndex = k;
  if (!owner) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The detail comes from the live table: an interface gone since the snapshot has none.
  const Device* live = find(table(), owner->devInst);
  const Interface* current = nullptr;
  if (live)
    for (auto& i : live->interfaces)
      if (i.id == interfaceData->Reserved) current = &i;
  if (!current) {
    SetLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
    return FALSE;
  }
  constexpr DWORD fixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  DWORD needed = fixed + static_cast<DWORD>((current->path.size() + 1) * sizeof(WCHAR));
  if (!detail) {
    if (detailSize != 0) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (requiredSize) *requiredSize = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || detailSize < fixed + sizeof(WCHAR)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    if (requiredSize) *requiredSize = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (device) {
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    fill(device, *owner, ownerIndex);
  }
  std::memcpy(detail->DevicePath, current->path.c_str(), (current->path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = needed;
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO setHandle, DWORD memberIndex, PSP_DEVINFO_DATA device) {
  {
    std::lock_guard<std::mutex> g(table().lock);
    table().enumIndices.push_back(memberIndex);
  }
  if (auto e = checkFault("SetupDiEnumDeviceInfo")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!device) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (memberIndex >= set->elements.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  fill(device, set->elements[memberIndex], memberIndex);
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO setHandle, PSP_DEVINFO_DATA device, DWORD property, PDWORD type,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
  if (auto e = checkFault("SetupDiGetDeviceRegistryPropertyW")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  SetElement* e = element(*set, device);
  if (!e) return FALSE;
  if (!buffer && bufferSize != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const Device* live = find(table(), e->devInst);
  if (!live || live->removed) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  auto it = live->properties.find(property);
  if (it == live->properties.end()) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  DWORD size = static_cast<DWORD>(it->second.data.size());
  if (requiredSize) *requiredSize = size;
  if (type) *type = it->second.type;
  if (bufferSize < size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (size) std::memcpy(buffer, it->second.data.data(), size);
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO setHandle, PSP_DEVINFO_DATA device, PSP_CLASSINSTALL_HEADER params,
                                   DWORD paramsSize) {
  if (auto e = checkFault("SetupDiSetClassInstallParamsW")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  SetElement* e = element(*set, device);
  if (!e) return FALSE;
  if (!params) {
    if (paramsSize != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    e->propChange.reset();
    SetLastError(NO_ERROR);
    return TRUE;
  }
  if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (params->InstallFunction != DIF_PROPERTYCHANGE || paramsSize != sizeof(SP_PROPCHANGE_PARAMS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SP_PROPCHANGE_PARAMS copy;
  std::memcpy(&copy, params, sizeof copy);
  if (copy.StateChange < DICS_ENABLE || copy.StateChange > DICS_STOP ||
      (copy.Scope != DICS_FLAG_GLOBAL && copy.Scope != DICS_FLAG_CONFIGSPECIFIC)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  e->propChange = copy;
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO setHandle, PSP_DEVINFO_DATA device) {
  if (auto e = checkFault("SetupDiCallClassInstaller")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  SetElement* e = element(*set, device);
  if (!e) return FALSE;
  if (function != DIF_PROPERTYCHANGE || !e->propChange) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Device* live = find(table(), e->devInst);
  if (!live || live->removed) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  if (e->propChange->StateChange == DICS_ENABLE) live->disabled = false;
  if (e->propChange->StateChange == DICS_DISABLE) live->disabled = true;
  SetLastError(NO_ERROR);
  return TRUE;
}

BOOL SetupDiGetClassDescriptionW(const GUID* classGuid, PWSTR description, DWORD descriptionSize,
                                 PDWORD requiredSize) {
  if (auto e = checkFault("SetupDiGetClassDescriptionW")) {
    SetLastError(*e);
    return FALSE;
  }
  if (!classGuid || (!description && descriptionSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  for (auto& [guid, text] : table().classDescriptions) {
    if (guid != *classGuid) continue;
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (descriptionSize < needed) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(description, text.c_str(), needed * sizeof(WCHAR));
    SetLastError(NO_ERROR);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_CLASS);
  return FALSE;
}

BOOL SetupDiRemoveDevice(HDEVINFO setHandle, PSP_DEVINFO_DATA device) {
  if (auto e = checkFault("SetupDiRemoveDevice")) {
    SetLastError(*e);
    return FALSE;
  }
  auto set = lookupSet(setHandle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(table().lock);
  SetElement* e = element(*set, device);
  if (!e) return FALSE;
  Device* live = find(table(), e->devInst);
  if (!live || live->removed) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  live->removed = true;
  live->present = false;
  live->interfaces.clear();
  SetLastError(NO_ERROR);
  return TRUE;
}

CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) {
  if (auto e = checkFault("CM_Get_DevNode_Status")) return static_cast<CONFIGRET>(*e);
  if (!status || !problem) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  if (devInst == 0) return CR_INVALID_DEVNODE;
  std::lock_guard<std::mutex> g(table().lock);
  const Device* d = find(table(), devInst);
  if (!d || d->removed || !d->present) return CR_NO_SUCH_DEVINST;
  if (d->disabled) {
    *status = DN_HAS_PROBLEM;
    *problem = CM_PROB_DISABLED;
  } else if (d->problem) {
    *status = DN_HAS_PROBLEM | DN_DRIVER_LOADED;
    *problem = d->problem;
  } else {
    *status = DN_DRIVER_LOADED | DN_STARTED;
    *problem = 0;
  }
  return CR_SUCCESS;
}
