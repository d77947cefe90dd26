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
constexpr Setting kSettings[] = {{2, 3, 1}, {3, 1, 1}, {15, 0, 2}};

const Setting* settingOf(DWORD mode) {
  for (const Setting& s : kSettings)
    if (s.mode == mode) return &s;
  return nullptr;
}

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
  DWORD mode = 0;
  const wchar_t* dytcFailed = nullptr;
  switch (control) {
    case MMC_CTL_AUTO_OFF:
      mode = 2;
      dytcFailed = L"MMC DYTC disable automic mode error!";
      break;
    case MMC_CTL_AUTO_ON:
      mode = 15;
      dytcFailed = L"MMC DYTC enable automatic mode error!";
      break;
    case MMC_CTL_COOL_QUIET:
      mode = 3;
      dytcFailed = L"MMC DYTC set cool quite mde error!";
      break;
    case MMC_CTL_PERFORMANCE:
      mode = 2;
      dytcFailed = L"MMC DYTC set performance mde error!";
      break;
    default:
      return true;
  }
  const Setting* setting = settingOf(mode);

  if (!setDYTC(DYTC_CMD_SET, DYTC_FUNC_MMC, mode, 1)) {
    LogError(dytcFailed);
    return false;
  }
  if (!writeValue(MMC_REG_CURRENTSETTING, setting->current)) {
    switch (control) {
      case MMC_CTL_AUTO_OFF:
        LogError(L"MMC set MMC_REG_CURRENTSETTING MMC_REG_PERFORMANCE_MODE 2 failed");
        break;
      case MMC_CTL_AUTO_ON:
        LogError(L"MMC set SetRegKeyDwordValue MMC_REG_ROOT, MMC_REG_CURRENTSETTING failed");
        break;
      default:
        LogError(L"MMC set MMC_REG_CURRENTSETTING failed %d", setting->current);
        break;
    }
    return false;
  }
  if (!writeValue(MMC_REG_AUTOMATICMODESETTING, setting->automatic)) {
    LogError(L"MMC set SetRegKeyDwordValue MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING failed");
    return false;
  }
  LogInfo(L"MMC OnServiceControl %d success", control);
  return true;
}
