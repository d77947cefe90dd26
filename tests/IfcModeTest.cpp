#include "modes/IfcMode.h"

#include "modes/ModeManager.h"
#include "tests/support/ComFixture.h"
#include "tests/support/IdleWatcherPeer.h"
#include "tests/support/ModeManagerPeer.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

// DYTC set commands of the IFC function (10), mode 15.
constexpr DWORD kOn = 0x1FA001;
constexpr DWORD kOff = 0x0FA001;

bool eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}


class IfcModeTest : public ComTest {
 protected:
  std::shared_ptr<CIFC> started() {
    auto mode = std::make_shared<CIFC>();
    EXPECT_TRUE(mode->init());
    return mode;
  }
  // The mutex-watch threads are done with the mode once the test holds its only reference.
  static bool threadsDone(const std::shared_ptr<CIFC>& mode) {
    return eventually([&] { return mode.use_count() == 1; });
  }
  std::vector<std::wstring> ifcTraces() {
    std::vector<std::wstring> found;
    for (auto& t : traces.texts())
      if (t.rfind(L"IFC", 0) == 0 || t.rfind(L"OpenMutex", 0) == 0) found.push_back(t);
    return found;
  }
};

TEST_F(IfcModeTest, InitCreatesTheStopEventAndUnInitSignalsAndClosesIt) {
  auto mode = started();
  HANDLE peek = OpenEventW(SYNCHRONIZE, FALSE, L"qthidlestopevent");
  ASSERT_NE(peek, nullptr);
  EXPECT_FALSE(sim::eventIsSignaled(peek));
  EXPECT_TRUE(mode->unInit());
  EXPECT_TRUE(sim::eventIsSignaled(peek));
  CloseHandle(peek);
  EXPECT_FALSE(sim::namedObjectExists(L"qthidlestopevent"));
  EXPECT_EQ(traces.all(), std::vector<Trace>{Info(L"IFC unInit success!")});
  // Again, with no stop event: no platform call.
  EXPECT_TRUE(mode->unInit());
  EXPECT_EQ(sim::callCount("SetEvent"), 1);
  EXPECT_EQ(sim::callCount("CloseHandle"), 2);
  EXPECT_TRUE(sim::dev::words().empty());
}

TEST_F(IfcModeTest, InitFailsWhenTheStopEventCannotBeMade) {
  sim::failCall("CreateEventW", ERROR_NOT_ENOUGH_MEMORY);
  CIFC mode;
  EXPECT_FALSE(mode.init());
  EXPECT_EQ(traces.all(), std::vector<Trace>{Error(L"IFC create stop event failed!")});
}

TEST_F(IfcModeTest, Control130SwitchesOnAndTheWatchThreadSwitchesOffWhenTheServiceStops) {
  IdleWatcherPeer watcher;
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words(), std::vector<DWORD>{kOn});
  EXPECT_EQ(mode.use_count(), 2);  // the thread shares the mode
  // A slow driver: the stop still waits for the switch-off before it returns.
  sim::dev::onRequest([](DWORD) { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
  EXPECT_TRUE(mode->unInit());
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOff}));
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_EQ(traces.count(L"IFC wait objects ok"), 1u);
  EXPECT_EQ(traces.matching(L"IFC set status"), (std::vector<std::wstring>{L"IFC set status 1", L"IFC set status 0"}));
  EXPECT_EQ(sim::callCount("OpenMutexW"), 1);
}

// A driver that never answers must not keep the service from reporting stopped.
TEST_F(IfcModeTest, AStopWaitsForTheSwitchOffOnlySoLong) {
  IdleWatcherPeer watcher;
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  std::promise<void> answer;
  std::shared_future<void> answered = answer.get_future().share();
  sim::dev::onRequest([answered](DWORD) { answered.wait(); });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(mode->unInit());
  // The stop's own bound is one second: not much less, nor much more on a loaded machine.
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(traces.all().back(), Info(L"IFC unInit success!"));
  answer.set_value();
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOff}));
}

// One SetEvent of unInit wakes every waiting thread: the stop event resets manually.
TEST_F(IfcModeTest, OneStopSwitchesOffThroughEveryWaitingWatchThread) {
  IdleWatcherPeer watcher;
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(sim::waitForBlockedWaiters(2));
  EXPECT_TRUE(mode->unInit());
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOn, kOff, kOff}));
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_EQ(traces.count(L"IFC wait objects ok"), 2u);
}

TEST_F(IfcModeTest, AStopBeforeTheThreadWaitsStillFindsAValidStopEvent) {
  IdleWatcherPeer watcher;
  auto mode = started();
  // Hold the new thread before its wait until unInit has signalled and closed the
  // mode's handle to the stop event.
  std::promise<void> stopped;
  std::shared_future<void> stoppedSeen = stopped.get_future().share();
  std::atomic<bool> reached{false};
  sim::onCall("OpenMutexW", [&] {
    reached = true;
    stoppedSeen.wait();
  });
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(eventually([&] { return reached.load(); }));
  EXPECT_TRUE(mode->unInit());
  stopped.set_value();
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_EQ(traces.count(L"IFC wait objects ok"), 1u);
  EXPECT_TRUE(traces.matching(L"wait ret").empty());
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOff}));
}

TEST_F(IfcModeTest, TwoWatchThreadsEachSwitchOffInTurnWhenTheWatcherEnds) {
  IdleWatcherPeer watcher;
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(sim::waitForBlockedWaiters(2));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOn}));
  watcher.end();
  ASSERT_TRUE(threadsDone(mode));
  // Each woke with the abandoned mutex (0x81), not an unexpected result.
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOn, kOff, kOff}));
  EXPECT_EQ(traces.count(L"IFC wait objects ok"), 2u);
  EXPECT_TRUE(traces.matching(L"wait ret").empty());
  EXPECT_FALSE(sim::namedObjectExists(L"Global\\QTHUniversal_Idle_Mutex"));
  // Stopping the service later finds no thread left to switch.
  EXPECT_TRUE(mode->unInit());
  EXPECT_EQ(sim::dev::words().size(), 4u);
}

TEST_F(IfcModeTest, WithTheWatcherAlreadyGoneIfcStaysOn) {
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_EQ(sim::dev::words(), std::vector<DWORD>{kOn});
  EXPECT_EQ(ifcTraces(), (std::vector<std::wstring>{L"IFC set status 1",
                                                    L"OpenMutex Global\\QTHUniversal_Idle_Mutex error ERROR_FILE_NOT_FOUND"}));
  mode->unInit();
}

TEST_F(IfcModeTest, A130AfterUnInitFindsNoStopEventAndLeavesIfcOn) {
  IdleWatcherPeer watcher;
  auto mode = started();
  mode->unInit();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_EQ(sim::dev::words(), std::vector<DWORD>{kOn});
  EXPECT_EQ(ifcTraces(), (std::vector<std::wstring>{L"IFC unInit success!", L"IFC set status 1", L"IFC Event Not FOUND"}));
  EXPECT_EQ(sim::callCount("OpenMutexW"), 0);
}

TEST_F(IfcModeTest, A130WhoseSwitchFailsStartsNoThread) {
  IdleWatcherPeer watcher;
  auto mode = started();
  sim::dev::failRequests(ERROR_NOT_READY);
  EXPECT_FALSE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  EXPECT_EQ(ifcTraces(), (std::vector<std::wstring>{L"IFC set status 1", L"IFC dytc error 15", L"IFC set error 15"}));
  EXPECT_EQ(mode.use_count(), 1);
  EXPECT_EQ(sim::callCount("DuplicateHandle"), 0);
  mode->unInit();
}

TEST_F(IfcModeTest, Controls149And150SwitchWithoutAThreadAndOthersDoNothing) {
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_ENTER, 0, nullptr));
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_EXIT, 0, nullptr));
  for (DWORD other : {1u, 13u, 134u}) EXPECT_TRUE(mode->OnServiceControl(other, 0, nullptr));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOff}));
  EXPECT_EQ(mode.use_count(), 1);
  sim::dev::failRequests(ERROR_NOT_READY);
  EXPECT_FALSE(mode->OnServiceControl(IFC_CTL_EXIT, 0, nullptr));
  EXPECT_EQ(traces.all().back(), Error(L"IFC set error 15"));
  EXPECT_EQ(sim::callCount("DuplicateHandle"), 0);
  mode->unInit();
}

TEST_F(IfcModeTest, AnUnexpectedWaitResultStillSwitchesOff) {
  IdleWatcherPeer watcher;
  auto mode = started();
  sim::failCall("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_TRUE(traces.contains(L"IFC wait objects wait ret ffffffff error 6"));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOff}));
  mode->unInit();
}

TEST_F(IfcModeTest, AFailedSwitchOffInTheThreadIsTraced) {
  IdleWatcherPeer watcher;
  auto mode = started();
  EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  sim::dev::failRequests(ERROR_NOT_READY);
  mode->unInit();
  ASSERT_TRUE(threadsDone(mode));
  EXPECT_THAT(traces.all(), ::testing::Contains(Error(L"IFC thread set mode off")));
}

TEST_F(IfcModeTest, NoThreadWhenTheStopEventCannotBeHandedOnOrTheThreadCannotStart) {
  IdleWatcherPeer watcher;
  const std::function<void()> failures[] = {
      [] { sim::failCall("DuplicateHandle", ERROR_NOT_ENOUGH_MEMORY); },
      // The thread's start is the first allocation after the copy.
      [] { sim::onCall("DuplicateHandle", [] { sim::failAllocation(1); }); },
  };
  for (const auto& fail : failures) {
    auto mode = started();
    fail();
    EXPECT_FALSE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
    EXPECT_EQ(traces.all().back(), Error(L"IFC create stop event failed!"));
    EXPECT_EQ(sim::dev::words().back(), kOn);  // IFC stays on
    EXPECT_EQ(mode.use_count(), 1);
    // Nothing is left for the stop to wait for.
    auto start = std::chrono::steady_clock::now();
    mode->unInit();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  }
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOn}));
}

TEST_F(IfcModeTest, TheUninstallersOwnModeStartsNoThreadOn130) {
  IdleWatcherPeer watcher;
  CIFC mode;  // on the stack: nothing can share it with a thread
  EXPECT_FALSE(mode.OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
  EXPECT_EQ(traces.all().back(), Error(L"IFC create stop event failed!"));
  EXPECT_EQ(sim::dev::words(), std::vector<DWORD>{kOn});
  EXPECT_EQ(sim::callCount("OpenMutexW"), 0);
}

TEST_F(IfcModeTest, TheModeOutlivesItsThreadAfterTheManagerLetsItGo) {
  IdleWatcherPeer watcher;
  sim::dev::setCapability(CAP_IFC);
  ModeManager manager(ModeManager::defaultCreationTable());
  manager.initlize(NULL);
  ASSERT_EQ(ModeManagerPeer::modeCount(manager), 1u);
  EXPECT_TRUE(manager.onServiceControlHandler(IFC_CTL_IDLE_START, 0, nullptr));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  // The manager drops its reference right after unInit; the woken thread still switches.
  EXPECT_TRUE(manager.unInit());
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 0u);
  ASSERT_TRUE(eventually([] { return sim::openHandleCount("Event") == 0; }));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{3, kOn, kOff}));  // the capability query, on, off
  EXPECT_EQ(traces.count(L"IFC wait objects ok"), 1u);
}

TEST_F(IfcModeTest, AModeReleasedWithoutUnInitLivesUntilItsThreadEnds) {
  // As after a shutdown control, when the process's end releases the modes.
  auto watcher = std::make_unique<IdleWatcherPeer>();
  std::weak_ptr<CIFC> weak;
  {
    auto mode = started();
    weak = mode;
    EXPECT_TRUE(mode->OnServiceControl(IFC_CTL_IDLE_START, 0, nullptr));
    ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  }
  EXPECT_FALSE(weak.expired());
  watcher->end();
  ASSERT_TRUE(eventually([&] { return weak.expired(); }));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{kOn, kOff}));
  // The mode's destructor closed its own handle, without signalling.
  EXPECT_TRUE(eventually([] { return sim::openHandleCount() == 0; }));
}

TEST_F(IfcModeTest, InstallCreatesTheIdleTaskAndUnInstallDeletesIt) {
  CIFC mode;  // never initialised, as the uninstaller's
  EXPECT_TRUE(mode.install());
  auto task = sim::taskschd::task(L"\\Oltaro", L"QTHERM idle Task");
  ASSERT_TRUE(task);
  EXPECT_EQ(task->definition.triggers.at(0).type, TASK_TRIGGER_IDLE);
  EXPECT_EQ(task->definition.actions.at(0).arguments, L"-idletask");
  EXPECT_TRUE(traces.contains(L"IFC install success"));
  EXPECT_TRUE(mode.unInstall());
  EXPECT_FALSE(sim::taskschd::task(L"\\Oltaro", L"QTHERM idle Task"));
  EXPECT_EQ(traces.all().back(), Info(L"IFC unInstall success"));
  EXPECT_FALSE(mode.unInstall());
  EXPECT_EQ(traces.all().back(), Error(L"IFC unInstall error"));
  sim::taskschd::setServiceRunning(false);
  EXPECT_FALSE(mode.install());
  EXPECT_EQ(traces.all().back(), Error(L"IFC install error"));
  // No memory for the task helper's arguments (the first allocation once traces are not
  // formatted): failed, as any other failure of the helper.
  sim::taskschd::setServiceRunning(true);
  SetLogSink(nullptr, nullptr);
  sim::failAllocation(1);
  EXPECT_FALSE(mode.install());
  sim::failAllocation(1);
  EXPECT_FALSE(mode.unInstall());
  EXPECT_EQ(sim::firedFaults().size(), 2u);
}

TEST_F(IfcModeTest, TheManagersInstallCreatesTheIdleTask) {
  sim::dev::setCapability(CAP_IFC | 1);
  ModeManager manager(ModeManager::defaultCreationTable());
  EXPECT_TRUE(manager.install());
  EXPECT_TRUE(sim::taskschd::task(L"\\Oltaro", L"QTHERM idle Task"));
}

}  // namespace
