// The MMC thermal setting: applied from a client's control codes and recorded in the
// registry for outside programs.
#pragma once

#include "modes/ModeBase.h"

// Registry key of the setting (HKEY_LOCAL_MACHINE) and its values.
constexpr const wchar_t* MMC_REG_ROOT = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC\\MMC";
constexpr const wchar_t* MMC_REG_CAPABILITY = L"Capability";
constexpr const wchar_t* MMC_REG_CURRENTSETTING = L"CurrentSetting";
constexpr const wchar_t* MMC_REG_AUTOMATICMODESETTING = L"AutomaticModeSetting";

// User-defined service controls a client sends.
constexpr DWORD MMC_CTL_AUTO_OFF = 134;
constexpr DWORD MMC_CTL_AUTO_ON = 135;
constexpr DWORD MMC_CTL_COOL_QUIET = 146;
constexpr DWORD MMC_CTL_PERFORMANCE = 148;

class CMMC : public ModeBase {
 public:
  CMMC() = default;
  bool install() override;
  bool unInstall() override { return true; }
  bool init() override;
  bool unInit() override { return true; }
  bool setStatus(int) override { return true; }
  bool hook() override { return true; }
  bool OnServiceControl(DWORD control, DWORD eventType, void* eventData) override;
};
