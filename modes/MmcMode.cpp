#include "modes/MmcMode.h"

#include "modes/Dytc.h"
#include "modes/Log.h"
#include "modes/Registry.h"

namespace {

// The registry pair that goes with a firmware MMC mode.
struct Setting {
  DWORD mode;
  DWORD current;
  DWORD automatic;
};
constexpr Setting kPerformance{2, 3, 1}, kCoolQuiet{3, 1, 1}, kAutomatic{15, 0, 2};
constexpr const Setting* kSettings[] = {&kPerformance, &kCoolQuiet, &kAutomatic};

const Setting* settingOf(DWORD mode) {
  for (const Setting* s : kSettings)
    if (s->mode == mode) return s;
  return nullptr;
}

// What a client's control sets, and its traces when the set command or the
// "CurrentSetting" write fails (the latter given the value, which only some show).
struct Control {
  DWORD control;
  const Setting* setting;
  const wchar_t* dytcFailed;
  const wchar_t* currentFailed;
};
constexpr Control kControls[] = {
    {MMC_CTL_AUTO_OFF, &kPerformance, L"MMC DYTC disable automic mode error!",
     L"MMC set MMC_REG_CURRENTSETTING MMC_REG_PERFORMANCE_MODE 2 failed"},
    {MMC_CTL_AUTO_ON, &kAutomatic, L"MMC DYTC enable automatic mode error!",
     L"MMC set SetRegKeyDwordValue MMC_REG_ROOT, MMC_REG_CURRENTSETTING failed"},
    {MMC_CTL_COOL_QUIET, &kCoolQuiet, L"MMC DYTC set cool quite mde error!",
     L"MMC set MMC_REG_CURRENTSETTING failed %d"},
    {MMC_CTL_PERFORMANCE, &kPerformance, L"MMC DYTC set performance mde error!",
     L"MMC set MMC_REG_CURRENTSETTING failed %d"},
};

bool writeValue(const wchar_t* name, DWORD value) {
  return SetRegKeyDwordValue(MMC_REG_ROOT, name, value) == ERROR_SUCCESS;
}

}  // namespace

bool CMMC::install() {
  DWORD reply = 0;
  if (!queryDYTC(DYTC_CMD_MODE_MMC_CAP, &reply)) {
    LogInfo(L"MMC DYTC_CMD_MODE_MMC_CAP get cap error!");
    return false;
  }
  bool written = true;
  if (reply & 1) {
    DWORD c = reply >> 16;
    written = writeValue(MMC_REG_CAPABILITY, c == 4 ? 8 : c == 8 ? 2 : 10);
  }
  written = written && writeValue(MMC_REG_CURRENTSETTING, 0) && writeValue(MMC_REG_AUTOMATICMODESETTING, 2);
  if (!written) {
    LogInfo(L"MMC install SetRegKeyDwordValue failed");
    return false;
  }
  LogInfo(L"MMC install success default currentsetting 0, automaticmode disable");
  return true;
}

bool CMMC::init() {
  DWORD reply = 0;
  if (!queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply)) {
    LogInfo(L"MMC DYTC_CMD_MODE_MMC_GET get mode error!");
    return false;
  }
  if ((reply & 1) == 0) return true;
  const Setting* setting = settingOf(reply >> 16);
  if (!setting) return false;
  if (!writeValue(MMC_REG_CURRENTSETTING, setting->current) ||
      !writeValue(MMC_REG_AUTOMATICMODESETTING, setting->automatic)) {
    LogInfo(L"MMC install SetRegKeyDwordValue failed");
    return false;
  }
  return true;
}

bool CMMC::OnServiceControl(DWORD control, DWORD, void*) {
  const Control* row = nullptr;
  for (const Control& c : kControls)
    if (c.control == control) row = &c;
  if (!row) return true;

  const Setting& setting = *row->setting;
  if (!setDYTC(DYTC_CMD_SET, DYTC_FUNC_MMC, setting.mode, 1)) {
    LogError(row->dytcFailed);
    return false;
  }
  if (!writeValue(MMC_REG_CURRENTSETTING, setting.current)) {
    LogError(row->currentFailed, setting.current);
    return false;
  }
  if (!writeValue(MMC_REG_AUTOMATICMODESETTING, setting.automatic)) {
    LogError(L"MMC set SetRegKeyDwordValue MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING failed");
    return false;
  }
  LogInfo(L"MMC OnServiceControl %d success", control);
  return true;
}
