#include "modes/Dytc.h"
#include "modes/MscMode.h"
#include "tests/support/SimFixture.h"

namespace {

constexpr DWORD mscWord(DWORD flag) { return DYTC_CMD_SET | DYTC_FUNC_MSC << 12 | 15 << 16 | flag << 20; }

SERVICE_STATUS_HANDLE serviceHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150); }

class MscModeTest : public SimTest {
 protected:
  bool powerEvent(BYTE state, DWORD eventType = PBT_POWERSETTINGCHANGE) {
    auto record = sim::power::monitorRecord(state);
    return mode.OnServiceControl(SERVICE_CONTROL_POWEREVENT, eventType, record.get());
  }
  CMSC mode{serviceHandle()};
};

TEST_F(MscModeTest, InitRegistersTheMonitorSettingOnTheStatusHandleAndUnInitUndoesIt) {
  EXPECT_TRUE(mode.init());
  auto made = sim::power::registrations();
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].setting, GUID_MONITOR_POWER_ON);
  EXPECT_EQ(made[0].flags, static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE));
  EXPECT_EQ(made[0].recipient, reinterpret_cast<HANDLE>(serviceHandle()));
  EXPECT_EQ(sim::power::activeRegistrations(), 1u);
  EXPECT_EQ(traces.texts(), (std::vector<std::wstring>{L"MSC init success"}));

  EXPECT_TRUE(mode.unInit());
  EXPECT_EQ(sim::power::activeRegistrations(), 0u);
  EXPECT_EQ(sim::callCount("PowerSettingUnregisterNotification"), 1);
  EXPECT_FALSE(traces.contains(L"MSC unInit success"));
}

TEST_F(MscModeTest, ARefusedRegistrationFailsInitWithItsCode) {
  sim::failCall("PowerSettingRegisterNotification", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(mode.init());
  EXPECT_EQ(traces.texts(), (std::vector<std::wstring>{L"Msc Regsiter failed 5"}));
  EXPECT_EQ(sim::power::activeRegistrations(), 0u);
}

TEST_F(MscModeTest, SuccessWithANullRegistrationIsAFailureAndUnInitThenDoesNothing) {
  sim::power::succeedWithNullRegistration();
  EXPECT_FALSE(mode.init());
  EXPECT_TRUE(traces.contains(L"Msc Regsiter failed 0"));
  EXPECT_TRUE(mode.unInit());
  EXPECT_TRUE(traces.contains(L"MSC unInit success"));
  EXPECT_EQ(sim::callCount("PowerSettingUnregisterNotification"), 0);
}

TEST_F(MscModeTest, AFailedUnregistrationAnswersFalse) {
  ASSERT_TRUE(mode.init());
  sim::failCall("PowerSettingUnregisterNotification", ERROR_INVALID_HANDLE);
  EXPECT_FALSE(mode.unInit());
  // The registration is still there to undo.
  EXPECT_TRUE(mode.unInit());
  EXPECT_EQ(sim::power::activeRegistrations(), 0u);
}

TEST_F(MscModeTest, DisplayOffSwitchesOnAndDisplayOnSwitchesOff) {
  EXPECT_TRUE(powerEvent(0));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{mscWord(1)}));
  EXPECT_EQ(sim::dev::functionFlag(DYTC_FUNC_MSC), 1u);
  EXPECT_EQ(traces.matching(L"MSC").front(),
            L"MSC OnServiceControl ctl d, EventType 8013, GUID 2731015-4510-4526-99e6,Data[0] 0");
  EXPECT_TRUE(traces.contains(L"Monitor GUID 2731015-4510-4526-99e6"));
  EXPECT_TRUE(traces.contains(L"MSC set status 1"));
  EXPECT_EQ(traces.all().back(), Info(L"MSC OnServiceControl ctl 13, EventType 32787,display off, MSC Mode On Success"));

  EXPECT_TRUE(powerEvent(1));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{mscWord(1), mscWord(0)}));
  EXPECT_EQ(sim::dev::functionFlag(DYTC_FUNC_MSC), 0u);
  EXPECT_EQ(traces.all().back(), Info(L"MSC OnServiceControl ctl 13, EventType 32787,display on,MSC Mode Off Success"));

  // No memory of the display state: each notification decides alone.
  EXPECT_TRUE(powerEvent(1));
  EXPECT_EQ(sim::dev::words().size(), 3u);
}

TEST_F(MscModeTest, ADimmedDisplaySwitchesNothing) {
  EXPECT_TRUE(powerEvent(2));
  EXPECT_TRUE(sim::dev::requests().empty());
  EXPECT_TRUE(traces.contains(L"MSC OnServiceControl ctl d, EventType 8013, GUID 2731015-4510-4526-99e6,Data[0] 2"));
}

TEST_F(MscModeTest, OnlyTheMonitorSettingCounts) {
  // Another setting, and one that differs from the monitor's in its last byte only.
  GUID other = GUID_MONITOR_POWER_ON;
  other.Data4[7] ^= 1;
  const GUID console = {0x6fe69556, 0x704a, 0x47a0, {0x8f, 0x24, 0xc2, 0x8d, 0x93, 0x6f, 0xda, 0x47}};
  for (const GUID& setting : {other, console}) {
    sim::power::SettingRecord record(setting, {0});
    EXPECT_TRUE(mode.OnServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, record.get()));
  }
  EXPECT_TRUE(sim::dev::requests().empty());
  EXPECT_TRUE(traces.contains(L"MSC OnServiceControl ctl d, EventType 8013, GUID 6fe69556-704a-47a0-8f24,Data[0] 0"));
}

TEST_F(MscModeTest, OtherEventsAndControlsAreIgnoredWithoutReadingTheirData) {
  EXPECT_TRUE(powerEvent(0, 0x000A));
  EXPECT_TRUE(powerEvent(0, 0x0012));
  auto record = sim::power::monitorRecord(0);
  for (DWORD control : {1u, 14u, 130u, 134u})
    EXPECT_TRUE(mode.OnServiceControl(control, PBT_POWERSETTINGCHANGE, record.get())) << control;
  // Neither a missing record nor one without data switches anything.
  EXPECT_TRUE(mode.OnServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, nullptr));
  sim::power::SettingRecord empty(GUID_MONITOR_POWER_ON, {});
  EXPECT_TRUE(mode.OnServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, empty.get()));
  EXPECT_TRUE(sim::dev::requests().empty());
  EXPECT_EQ(traces.matching(L"MSC OnServiceControl").size(), 1u);
}

TEST_F(MscModeTest, AFailedSwitchIsReportedByTheNotification) {
  sim::dev::failRequests(ERROR_NOT_READY);
  EXPECT_FALSE(mode.setStatus(1));
  EXPECT_EQ(traces.all().back(), Info(L"MSC set status failed"));
  EXPECT_FALSE(powerEvent(0));
  EXPECT_EQ(traces.all().back(), Error(L"MSC OnServiceControl ctl 13, EventType 32787,Mode On Failed"));
  EXPECT_FALSE(powerEvent(1));
  EXPECT_EQ(traces.all().back(), Error(L"MSC OnServiceControl ctl 13, EventType 32787,Mode Off"));
  // The next notification tries again.
  sim::dev::clearFailures();
  EXPECT_TRUE(powerEvent(0));
}

}  // namespace
