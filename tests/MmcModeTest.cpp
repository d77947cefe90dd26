#include "modes/Dytc.h"
#include "modes/MmcMode.h"
#include "tests/support/SimFixture.h"

namespace {

constexpr DWORD mmcWord(DWORD mode) { return DYTC_CMD_SET | DYTC_FUNC_MMC << 12 | mode << 16 | 1 << 20; }

class MmcModeTest : public SimTest {
 protected:
  std::optional<DWORD> value(const wchar_t* name) { return sim::reg::getDword(MMC_REG_ROOT, name); }
  void preset(DWORD current, DWORD automatic) {
    sim::reg::setDword(MMC_REG_ROOT, MMC_REG_CURRENTSETTING, current);
    sim::reg::setDword(MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING, automatic);
  }
  CMMC mode;
};

TEST_F(MmcModeTest, InstallMapsTheCapabilityAndWritesTheDefaults) {
  struct Case {
    DWORD upper, capability;
  } cases[] = {{4, 8}, {8, 2}, {12, 10}, {0, 10}, {0xFFFF, 10}};
  for (auto& c : cases) {
    sim::reg::deleteKey(MMC_REG_ROOT);
    sim::dev::clearRequests();
    sim::dev::setReply(DYTC_CMD_MODE_MMC_CAP, c.upper << 16 | 1);
    EXPECT_TRUE(mode.install()) << c.upper;
    EXPECT_EQ(value(L"Capability"), c.capability) << c.upper;
    EXPECT_EQ(value(L"CurrentSetting"), 0u);
    EXPECT_EQ(value(L"AutomaticModeSetting"), 2u);
    // A query only: installation sets no mode.
    EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{6}));
  }
  EXPECT_EQ(traces.count(L"MMC install success default currentsetting 0, automaticmode disable"), 5u);
}

TEST_F(MmcModeTest, InstallWithTheVerdictClearWritesOnlyTheDefaults) {
  sim::dev::setReply(DYTC_CMD_MODE_MMC_CAP, 4 << 16);
  EXPECT_TRUE(mode.install());
  EXPECT_FALSE(value(L"Capability"));
  EXPECT_EQ(value(L"CurrentSetting"), 0u);
  EXPECT_EQ(value(L"AutomaticModeSetting"), 2u);
}

TEST_F(MmcModeTest, InstallWritesNothingWhenTheQueryFails) {
  sim::dev::failRequests(ERROR_NOT_READY, 4u << 16 | 1);
  EXPECT_FALSE(mode.install());
  EXPECT_FALSE(sim::reg::keyExists(MMC_REG_ROOT));
  EXPECT_TRUE(traces.contains(L"MMC DYTC_CMD_MODE_MMC_CAP get cap error!"));
}

// Failing the nth write shows both the order of the writes and that the rest are skipped.
TEST_F(MmcModeTest, InstallStopsAtTheFirstFailedWrite) {
  sim::dev::setReply(DYTC_CMD_MODE_MMC_CAP, 8 << 16 | 1);
  const wchar_t* order[] = {L"Capability", L"CurrentSetting", L"AutomaticModeSetting"};
  for (int failing = 1; failing <= 3; failing++) {
    sim::reg::deleteKey(MMC_REG_ROOT);
    traces.clear();
    sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED, failing);
    EXPECT_FALSE(mode.install()) << failing;
    for (int i = 0; i < 3; i++) EXPECT_EQ(value(order[i]).has_value(), i + 1 < failing) << failing << " " << i;
    EXPECT_TRUE(traces.contains(L"MMC install SetRegKeyDwordValue failed"));
    EXPECT_FALSE(traces.contains(L"MMC install success default currentsetting 0, automaticmode disable"));
  }
}

TEST_F(MmcModeTest, InitRecordsThePairOfTheFirmwaresMode) {
  struct Case {
    DWORD upper;
    bool result;
    std::optional<DWORD> current, automatic;
  } cases[] = {
      {2, true, 3, 1},  {3, true, 1, 1},  {15, true, 0, 2},
      {0, false, {}, {}}, {1, false, {}, {}}, {4, false, {}, {}},
      // The whole upper half is the mode: low four bits of a known one are not enough.
      {0x12, false, {}, {}}, {0xF3, false, {}, {}}, {0x10F, false, {}, {}},
  };
  for (auto& c : cases) {
    sim::reg::deleteKey(MMC_REG_ROOT);
    sim::dev::setReply(DYTC_CMD_MODE_MMC_GET, c.upper << 16 | 1);
    EXPECT_EQ(mode.init(), c.result) << c.upper;
    EXPECT_EQ(value(L"CurrentSetting"), c.current) << c.upper;
    EXPECT_EQ(value(L"AutomaticModeSetting"), c.automatic) << c.upper;
  }
  EXPECT_EQ(sim::dev::words(), std::vector<DWORD>(9, DYTC_CMD_MODE_MMC_GET));
  // A mode the table does not know is left to the manager to report.
  EXPECT_TRUE(traces.matching(L"MMC ").empty());
}

TEST_F(MmcModeTest, InitWithTheVerdictClearKeepsTheValues) {
  preset(1, 1);
  sim::dev::setReply(DYTC_CMD_MODE_MMC_GET, 2 << 16);
  EXPECT_TRUE(mode.init());
  EXPECT_EQ(value(L"CurrentSetting"), 1u);
  EXPECT_EQ(value(L"AutomaticModeSetting"), 1u);
}

TEST_F(MmcModeTest, InitFailsOnAFailedQueryOrWrite) {
  sim::dev::failRequests(ERROR_NOT_READY, std::nullopt, 1);
  EXPECT_FALSE(mode.init());
  EXPECT_TRUE(traces.contains(L"MMC DYTC_CMD_MODE_MMC_GET get mode error!"));
  EXPECT_FALSE(sim::reg::keyExists(MMC_REG_ROOT));

  preset(1, 1);
  sim::dev::setReply(DYTC_CMD_MODE_MMC_GET, 15 << 16 | 1);
  sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(mode.init());
  EXPECT_TRUE(traces.contains(L"MMC install SetRegKeyDwordValue failed"));
  EXPECT_EQ(value(L"AutomaticModeSetting"), 1u);

  sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(mode.init());
  EXPECT_EQ(value(L"CurrentSetting"), 0u);
  EXPECT_EQ(value(L"AutomaticModeSetting"), 1u);
}

struct ControlRow {
  DWORD control, dytcMode, current, automatic;
  const wchar_t* dytcFailed;
  const wchar_t* currentFailed;
};
const ControlRow kControls[] = {
    {MMC_CTL_AUTO_OFF, 2, 3, 1, L"MMC DYTC disable automic mode error!",
     L"MMC set MMC_REG_CURRENTSETTING MMC_REG_PERFORMANCE_MODE 2 failed"},
    {MMC_CTL_AUTO_ON, 15, 0, 2, L"MMC DYTC enable automatic mode error!",
     L"MMC set SetRegKeyDwordValue MMC_REG_ROOT, MMC_REG_CURRENTSETTING failed"},
    {MMC_CTL_COOL_QUIET, 3, 1, 1, L"MMC DYTC set cool quite mde error!", L"MMC set MMC_REG_CURRENTSETTING failed 1"},
    {MMC_CTL_PERFORMANCE, 2, 3, 1, L"MMC DYTC set performance mde error!",
     L"MMC set MMC_REG_CURRENTSETTING failed 3"},
};

TEST_F(MmcModeTest, EachControlSetsItsModeThenWritesItsPair) {
  for (auto& row : kControls) {
    // Values no control writes, so each write shows.
    preset(7, 7);
    sim::dev::clearRequests();
    EXPECT_TRUE(mode.OnServiceControl(row.control, 0, nullptr)) << row.control;
    EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{mmcWord(row.dytcMode)})) << row.control;
    EXPECT_EQ(value(L"CurrentSetting"), row.current) << row.control;
    EXPECT_EQ(value(L"AutomaticModeSetting"), row.automatic) << row.control;
    EXPECT_TRUE(traces.contains(L"MMC OnServiceControl " + std::to_wstring(row.control) + L" success"));
  }
}

TEST_F(MmcModeTest, CoolQuietThenPerformanceEndsInPerformance) {
  EXPECT_TRUE(mode.OnServiceControl(MMC_CTL_COOL_QUIET, 0, nullptr));
  EXPECT_TRUE(mode.OnServiceControl(MMC_CTL_PERFORMANCE, 0, nullptr));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{mmcWord(3), mmcWord(2)}));
  EXPECT_EQ(sim::dev::functionMode(DYTC_FUNC_MMC), 2u);
  EXPECT_EQ(value(L"CurrentSetting"), 3u);
  EXPECT_EQ(value(L"AutomaticModeSetting"), 1u);
}

TEST_F(MmcModeTest, AFailedSetCommandWritesNothing) {
  for (auto& row : kControls) {
    preset(7, 7);
    traces.clear();
    sim::dev::failRequests(ERROR_NOT_READY, std::nullopt, 1);
    EXPECT_FALSE(mode.OnServiceControl(row.control, 0, nullptr)) << row.control;
    EXPECT_EQ(value(L"CurrentSetting"), 7u) << row.control;
    EXPECT_EQ(value(L"AutomaticModeSetting"), 7u) << row.control;
    EXPECT_EQ(traces.matching(L"MMC "), (std::vector<std::wstring>{row.dytcFailed}));
    EXPECT_EQ(traces.all().back(), Error(row.dytcFailed));
  }
}

TEST_F(MmcModeTest, AFailedFirstWriteLeavesTheSecondValueAlone) {
  for (auto& row : kControls) {
    preset(7, 7);
    traces.clear();
    sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(mode.OnServiceControl(row.control, 0, nullptr)) << row.control;
    EXPECT_EQ(value(L"CurrentSetting"), 7u) << row.control;
    EXPECT_EQ(value(L"AutomaticModeSetting"), 7u) << row.control;
    EXPECT_EQ(traces.matching(L"MMC "), (std::vector<std::wstring>{row.currentFailed}));
    EXPECT_EQ(traces.all().back(), Error(row.currentFailed));
  }
}

TEST_F(MmcModeTest, AFailedSecondWriteKeepsTheFirst) {
  preset(7, 7);
  sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(mode.OnServiceControl(MMC_CTL_AUTO_ON, 0, nullptr));
  EXPECT_EQ(value(L"CurrentSetting"), 0u);
  EXPECT_EQ(value(L"AutomaticModeSetting"), 7u);
  EXPECT_EQ(traces.all().back(),
            Error(L"MMC set SetRegKeyDwordValue MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING failed"));
}

TEST_F(MmcModeTest, OtherControlsAndSetStatusDoNothing) {
  int dummy = 0;
  for (DWORD control : {1u, 13u, 130u, 149u, 133u, 147u})
    EXPECT_TRUE(mode.OnServiceControl(control, PBT_POWERSETTINGCHANGE, &dummy)) << control;
  EXPECT_TRUE(mode.setStatus(2));
  EXPECT_TRUE(sim::dev::requests().empty());
  EXPECT_FALSE(sim::reg::keyExists(MMC_REG_ROOT));
  EXPECT_TRUE(traces.all().empty());
}

}  // namespace
