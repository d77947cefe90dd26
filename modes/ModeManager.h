// The process-wide owner of the modes: creates one per function the firmware
// supports, initialises them, hands them every service control, and installs them.
#pragma once

#include "modes/ModeBase.h"

#include <array>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

// Registry key of the mode component and its values.
constexpr const wchar_t* IC_REG_ROOT = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";
constexpr const wchar_t* IC_REG_OLD_ROOT = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\IC";
constexpr const wchar_t* IC_REG_VERSION = L"Version";
constexpr const wchar_t* IC_REG_CAPABILITY = L"Auto Capability";
constexpr DWORD IC_VERSION = 0x4000;

// Capability bits of the four modes (bit 16 + the DYTC function number).
constexpr DWORD CAP_MMC = 0x8000000;
constexpr DWORD CAP_MSC = 0x10000000;
constexpr DWORD CAP_MYH = 0x80000;
constexpr DWORD CAP_IFC = 0x4000000;

class ModeManager {
 public:
  using Factory = std::function<std::shared_ptr<ModeBase>(SERVICE_STATUS_HANDLE statusHandle)>;
  struct Row {
    DWORD mask;
    const wchar_t* name;    // "MMC", ... as the traces name the mode
    Factory create;
    bool createdByInstall;  // install creates only the modes with installation work
  };
  using CreationTable = std::array<Row, 4>;

  static ModeManager* getInstance();
  // The production table: CMMC, CMSC, CMYH, CIFC in that order.
  static CreationTable defaultCreationTable();

  explicit ModeManager(CreationTable table);
  ModeManager(const ModeManager&) = delete;
  ModeManager& operator=(const ModeManager&) = delete;

  // A mode that cannot be created for lack of memory ends initlize and install with
  // std::bad_alloc; a mode call that throws counts as that call failing.
  bool initlize(SERVICE_STATUS_HANDLE statusHandle);
  bool onServiceControlHandler(DWORD control, DWORD eventType, void* eventData);
  bool unInit();
  bool install();
  bool unInstall();

 private:
  friend class ModeManagerPeer;  // tests read the list through it

  std::list<std::shared_ptr<ModeBase>> m_modes;
  bool m_initialized = false;
  std::mutex m_lock;
  CreationTable m_table;
};
