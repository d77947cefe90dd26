#include "modes/ModeManager.h"

#include "modes/Dytc.h"
#include "modes/IfcMode.h"
#include "modes/Log.h"
#include "modes/MmcMode.h"
#include "modes/MscMode.h"
#include "modes/MyhMode.h"
#include "modes/Registry.h"
#include "modes/ResultOr.h"
#include "modes/StringConvert.h"
#include "platform/handles.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {

// "class CMMC": the mode's run-time class name as the traces show it; empty when there
// is no memory to spell it, so that a trace never fails the operation it reports.
std::wstring className(const ModeBase& mode) noexcept {
  try {
    const char* mangled = typeid(mode).name();
    int status = 0;
    struct Free {
      void operator()(char* text) const { std::free(text); }
    };
    std::unique_ptr<char, Free> plain(abi::__cxa_demangle(mangled, nullptr, nullptr, &status));
    std::string name = "class ";
    name += (status == 0 && plain) ? plain.get() : mangled;
    return StringToWString(name);
  } catch (...) {
    return std::wstring();
  }
}

}  // namespace

ModeManager::CreationTable ModeManager::defaultCreationTable() {
  return {{
      {CAP_MMC, L"MMC", [](SERVICE_STATUS_HANDLE) { return std::make_shared<CMMC>(); }, true},
      {CAP_MSC, L"MSC", [](SERVICE_STATUS_HANDLE h) { return std::make_shared<CMSC>(h); }, false},
      {CAP_MYH, L"MYH", [](SERVICE_STATUS_HANDLE) { return std::make_shared<CMYH>(); }, false},
      {CAP_IFC, L"IFC", [](SERVICE_STATUS_HANDLE) { return std::make_shared<CIFC>(); }, true},
  }};
}

ModeManager* ModeManager::getInstance() {
  static ModeManager instance(defaultCreationTable());
  return &instance;
}

ModeManager::ModeManager(CreationTable table) : m_table(std::move(table)) {}

bool ModeManager::initlize(SERVICE_STATUS_HANDLE statusHandle) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_initialized) return true;
  m_initialized = true;
  m_modes.clear();

  DWORD capability = 0;
  if (!getFunctionCap(&capability)) LogError(L"ModeManager initlize getFunctionCap error");
  LogInfo(L"ModeManager initlize getFunctionCap %x ", capability);

  for (const Row& row : m_table) {
    if (capability & row.mask) {
      LogInfo(L"ModeManager initlize support %s", row.name);
      m_modes.push_back(row.create(statusHandle));
    } else {
      LogInfo(L"ModeManager initlize do not support %s", row.name);
    }
  }

  // A mode call that throws has failed like one that answers false.
  for (auto it = m_modes.begin(); it != m_modes.end();) {
    if (ResultOr(false, [&] { return (*it)->init(); })) {
      LogInfo(L"%s mode init success ", className(**it).c_str());
      ++it;
    } else {
      LogError(L"%s mode init failed ", className(**it).c_str());
      it = m_modes.erase(it);
    }
  }
  return true;
}

bool ModeManager::onServiceControlHandler(DWORD control, DWORD eventType, void* eventData) {
  std::lock_guard<std::mutex> guard(m_lock);
  LogInfo(L"ModeManager onServiceControlHandler %d", control);
  bool result = true;
  for (const auto& listed : m_modes) {
    std::shared_ptr<ModeBase> mode = listed;
    if (!ResultOr(false, [&] { return mode->OnServiceControl(control, eventType, eventData); })) {
      LogError(L"%s mode OnServiceControl failed ", className(*mode).c_str());
      result = false;
    }
  }
  return result;
}

bool ModeManager::unInit() {
  std::lock_guard<std::mutex> guard(m_lock);
  bool result = true;
  for (const auto& listed : m_modes) {
    std::shared_ptr<ModeBase> mode = listed;
    if (!ResultOr(false, [&] { return mode->unInit(); })) {
      LogError(L"%s mode unInit failed ", className(*mode).c_str());
      result = false;
    }
  }
  m_modes.clear();
  return result;
}

bool ModeManager::install() {
  std::lock_guard<std::mutex> guard(m_lock);
  {
    UniqueKey old;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, IC_REG_OLD_ROOT, 0, KEY_QUERY_VALUE, old.put()) == ERROR_SUCCESS)
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, IC_REG_OLD_ROOT);
  }

  DWORD capability = 0;
  if (!getFunctionCap(&capability)) {
    LogError(L"ModeManager install getFunctionCap error");
    return false;
  }

  if (capability & 1) {
    for (const Row& row : m_table) {
      if (!row.createdByInstall) continue;
      if (capability & row.mask) {
        LogInfo(L"ModeManager install support %s", row.name);
        m_modes.push_back(row.create(NULL));
      } else {
        LogInfo(L"ModeManager install do not support %s", row.name);
      }
    }
    DWORD automatic = (capability & (CAP_MSC | CAP_IFC | CAP_MYH)) ? 1 : 0;
    if (SetRegKeyDwordValue(IC_REG_ROOT, IC_REG_CAPABILITY, automatic) != ERROR_SUCCESS) {
      LogError(L"ModeManager install set REG_CAP error!");
      return false;
    }
  }

  if (SetRegKeyDwordValue(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION) != ERROR_SUCCESS) {
    LogError(L"ModeManager install set IC_VERSION error!");
    return false;
  }

  bool result = true;
  for (const auto& mode : m_modes) {
    if (!ResultOr(false, [&] { return mode->install(); })) {
      LogError(L"%s mode install failed ", className(*mode).c_str());
      result = false;
    }
  }
  return result;
}

bool ModeManager::unInstall() {
  if (!resetDYTC()) {
    LogError(L"unInitlize resetDYTC error ");
    return false;
  }
  return true;
}
