// Any 32-bit reply to every DYTC query, through the real mode manager and modes: the
// install (capability, MMC capability), a start (capability, MMC mode, the MYH), the
// controls of every mode, the stop and the reset. What the firmware says decides which
// modes come up and which values are written; the commands sent and the values written
// are compared with a plain model of that. A crash, a wrong word, a wrong value, a
// handle or COM reference left, or a watch thread that never ends, aborts.
#include "helpers/TaskSchedulerHelper.h"
#include "modes/Dytc.h"
#include "modes/MmcMode.h"
#include "modes/ModeManager.h"
#include "modes/MyhMode.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/ModeManagerPeer.h"

#include <optional>

namespace {

constexpr const char* kTarget = "firmware-replies";

constexpr DWORD setWord(DWORD function, DWORD mode, DWORD flag) {
  return DYTC_CMD_SET | function << 12 | mode << 16 | flag << 20;
}

// The registry pair that goes with an MMC mode the firmware reports.
std::optional<std::pair<DWORD, DWORD>> mmcSetting(DWORD mode) {
  if (mode == 2) return std::make_pair(3u, 1u);
  if (mode == 3) return std::make_pair(1u, 1u);
  if (mode == 15) return std::make_pair(0u, 2u);
  return std::nullopt;
}

void expectValue(const wchar_t* key, const wchar_t* name, std::optional<DWORD> expected, const char* what) {
  auto stored = sim::reg::getValue(key, name);
  std::optional<DWORD> got;
  if (stored) {
    if (stored->type != REG_DWORD || stored->data.size() != 4) fuzz::fail(kTarget, "a value written that is no DWORD");
    DWORD v = 0;
    std::memcpy(&v, stored->data.data(), 4);
    got = v;
  }
  if (got != expected) fuzz::fail(kTarget, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const DWORD capability = in.dword();
  const DWORD mmcCapability = in.dword();
  const DWORD mmcMode = in.dword();
  const DWORD setReply = in.dword();
  const DWORD resetReply = in.dword();
  const DWORD modeValue = in.byte() % 6;  // 5 lies outside what MYH takes
  const uint8_t failFrom = in.byte();     // bit 7: the driver fails every request from the nth on

  sim::reset();
  sim::dev::setReply(DYTC_CMD_QUERY, capability);
  sim::dev::setReply(DYTC_CMD_MODE_MMC_CAP, mmcCapability);
  sim::dev::setReply(DYTC_CMD_MODE_MMC_GET, mmcMode);
  sim::dev::setReply(DYTC_CMD_SET, setReply);
  sim::dev::setReply(DYTC_CMD_RESET, resetReply);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, modeValue);
  const bool failing = failFrom & 0x80;
  if (failing) sim::failCall("DeviceIoControl", 1117, (failFrom & 0x1F) + 1, -1);
  if (FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) fuzz::fail(kTarget, "COM");

  bool installed = false, controlled = true;
  size_t modes = 0;
  {
    ModeManager installer(ModeManager::defaultCreationTable());
    installed = installer.install();
  }
  {
    ModeManager service(ModeManager::defaultCreationTable());
    service.initlize(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x7A000));
    modes = ModeManagerPeer::modeCount(service);
    auto displayOff = sim::power::monitorRecord(0);
    auto displayOn = sim::power::monitorRecord(1);
    for (DWORD control : {134u, 135u, 146u, 148u, 149u, 150u})
      controlled = service.onServiceControlHandler(control, 0, nullptr) && controlled;
    for (auto* record : {displayOff.get(), displayOn.get()})
      controlled = service.onServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, record) &&
                   controlled;
    service.unInit();
    service.unInstall();
  }
  CoUninitialize();
  // The MYH's watch thread lets go of its handles when it ends.
  if (!fuzz::eventually([] { return sim::openHandleCount() == 0; })) fuzz::fail(kTarget, "a handle was left open");
  if (!sim::com::liveObjects().empty() || sim::com::liveStrings() != 0) fuzz::fail(kTarget, "COM left");
  if (sim::power::activeRegistrations() != 0 && !failing) fuzz::fail(kTarget, "a power registration left");

  std::vector<DWORD> words = sim::dev::words();
  for (DWORD w : words)
    if (w & ~0x1FF1FFu) fuzz::fail(kTarget, "a command word with bits outside its fields");
  if (failing) return 0;  // past the first failure only the invariants hold

  // The model: which modes come up, what is sent and what is written.
  const bool mmc = capability & CAP_MMC, msc = capability & CAP_MSC, myh = capability & CAP_MYH,
             ifc = capability & CAP_IFC, full = capability & 1;
  const auto reported = mmcSetting(mmcMode >> 16);
  const bool mmcUp = mmc && (!(mmcMode & 1) || reported);
  const bool myhUp = myh && modeValue <= 4;
  std::vector<DWORD> expected{DYTC_CMD_QUERY};
  if (full && mmc) expected.push_back(DYTC_CMD_MODE_MMC_CAP);
  expected.push_back(DYTC_CMD_QUERY);
  if (mmc) expected.push_back(DYTC_CMD_MODE_MMC_GET);
  static constexpr DWORD kMyhModes[] = {2, 2, 0, 1, 1};
  if (myhUp) expected.push_back(setWord(DYTC_FUNC_MYH, kMyhModes[modeValue], 1));
  if (mmcUp)
    for (DWORD mode : {2u, 15u, 3u, 2u}) expected.push_back(setWord(DYTC_FUNC_MMC, mode, 1));
  if (ifc) expected.push_back(setWord(DYTC_FUNC_IFC, 15, 1)), expected.push_back(setWord(DYTC_FUNC_IFC, 15, 0));
  if (msc) expected.push_back(setWord(DYTC_FUNC_MSC, 15, 1)), expected.push_back(setWord(DYTC_FUNC_MSC, 15, 0));
  expected.push_back(DYTC_CMD_RESET);
  if (words != expected) fuzz::fail(kTarget, "the commands sent differ from the model's");

  if (!installed || !controlled) fuzz::fail(kTarget, "an install or a control failed with every request completed");
  if (modes != static_cast<size_t>(mmcUp) + msc + myhUp + ifc) fuzz::fail(kTarget, "modes up differ from the model's");

  expectValue(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION, "\"Version\"");
  expectValue(IC_REG_ROOT, IC_REG_CAPABILITY,
              full ? std::optional<DWORD>((capability & (CAP_MSC | CAP_IFC | CAP_MYH)) ? 1 : 0) : std::nullopt,
              "\"Auto Capability\"");
  std::optional<DWORD> mmcCap;
  if (full && mmc && (mmcCapability & 1)) {
    DWORD c = mmcCapability >> 16;
    mmcCap = c == 4 ? 8 : c == 8 ? 2 : 10;
  }
  expectValue(MMC_REG_ROOT, MMC_REG_CAPABILITY, mmcCap, "MMC \"Capability\"");
  std::optional<DWORD> current, automatic;
  if (full && mmc) current = 0, automatic = 2;                              // the install's defaults
  if (mmcUp && (mmcMode & 1)) current = reported->first, automatic = reported->second;  // the start
  if (mmcUp) current = 3, automatic = 1;                                    // the last control, 148
  expectValue(MMC_REG_ROOT, MMC_REG_CURRENTSETTING, current, "MMC \"CurrentSetting\"");
  expectValue(MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING, automatic, "MMC \"AutomaticModeSetting\"");
  const bool idleTask = sim::taskschd::task(L"\\Oltaro", IDLE_TASK_NAME).has_value();
  if (idleTask != (full && ifc)) fuzz::fail(kTarget, "the idle task differs from the model's");
  return 0;
}
