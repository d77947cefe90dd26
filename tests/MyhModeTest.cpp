#include "modes/Dytc.h"
#include "modes/MmcMode.h"
#include "modes/ModeManager.h"
#include "modes/MscMode.h"
#include "modes/MyhMode.h"
#include "modes/Registry.h"
#include "tests/support/SimFixture.h"

#include <chrono>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <future>
#include <thread>

namespace {

constexpr DWORD myhWord(DWORD mode) { return DYTC_CMD_SET | DYTC_FUNC_MYH << 12 | mode << 16 | 1 << 20; }

// A CMYH that reports its release. The watch thread shares ownership of the mode, so
// once the test drops its own reference the release marks the end of the thread.
class ObservedMYH : public CMYH {
 public:
  explicit ObservedMYH(std::promise<void>* released) : m_released(released) {}
  ~ObservedMYH() override { m_released->set_value(); }

 private:
  std::promise<void>* m_released;
};

// Holds DYTC requests from the watch thread in flight until the test lets them go.
class RequestGate {
 public:
  void arm() {
    sim::dev::onRequest([this](DWORD) {
      std::unique_lock<std::mutex> g(m_lock);
      m_entered++;
      m_changed.notify_all();
      m_changed.wait(g, [&] { return m_open; });
    });
  }
  bool waitEntered(int n) {
    std::unique_lock<std::mutex> g(m_lock);
    return m_changed.wait_for(g, std::chrono::seconds(10), [&] { return m_entered >= n; });
  }
  void open() {
    std::lock_guard<std::mutex> g(m_lock);
    m_open = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_entered = 0;
  bool m_open = false;
};

class MyhModeTest : public SimTest {
 protected:
  void TearDown() override {
    sim::dev::onRequest(nullptr);
    SimTest::TearDown();
  }

  std::shared_ptr<ObservedMYH> makeMode() { return std::make_shared<ObservedMYH>(&m_released); }
  // Drops the test's reference and waits for the mode's release.
  bool release(std::shared_ptr<ObservedMYH>& mode) {
    mode.reset();
    return waitReleased();
  }
  bool waitReleased() { return m_releasedFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
  bool released() { return m_releasedFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

  // Writes "Mode" the way the outside program does, from a thread of its own.
  void writeMode(DWORD value) {
    std::thread writer([value] { SetRegKeyDwordValue(MYH_KEY, MYH_VALUE, value); });
    writer.join();
  }
  // Starts a mode with "Mode" = initial and waits until its thread watches the key.
  std::shared_ptr<ObservedMYH> startWatching(DWORD initial) {
    sim::reg::setDword(MYH_KEY, MYH_VALUE, initial);
    auto mode = makeMode();
    EXPECT_TRUE(mode->init());
    EXPECT_TRUE(sim::waitForBlockedWaiters(1));
    EXPECT_TRUE(traces.contains(L"MYH init  success!"));
    return mode;
  }
  size_t setCommands() { return traces.matching(L"MYH DYTC set status ").size(); }

 private:
  std::promise<void> m_released;
  std::future<void> m_releasedFuture = m_released.get_future();
};

TEST_F(MyhModeTest, SetStatusMapsZeroToFourAndRejectsTheRest) {
  CMYH mode;
  for (int value = 0; value <= 4; value++) EXPECT_TRUE(mode.setStatus(value)) << value;
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(2), myhWord(0), myhWord(1), myhWord(1)}));
  EXPECT_EQ(traces.matching(L"MYH DYTC set status "),
            (std::vector<std::wstring>{L"MYH DYTC set status 2", L"MYH DYTC set status 2", L"MYH DYTC set status 0",
                                       L"MYH DYTC set status 1", L"MYH DYTC set status 1"}));

  traces.clear();
  for (DWORD value : {5u, 0xFFFFFFFFu, 0x80000000u}) EXPECT_FALSE(mode.setStatus(static_cast<int>(value)));
  EXPECT_EQ(sim::dev::words().size(), 5u);
  EXPECT_EQ(traces.texts(), (std::vector<std::wstring>{L"MYH set status 5", L"MYH set unkown status!",
                                                       L"MYH set status ffffffff", L"MYH set unkown status!",
                                                       L"MYH set status 80000000", L"MYH set unkown status!"}));
}

TEST_F(MyhModeTest, AFailedSetCommandIsReported) {
  CMYH mode;
  sim::dev::failRequests(ERROR_NOT_READY);
  EXPECT_FALSE(mode.setStatus(3));
  EXPECT_EQ(traces.all().back(), Error(L"MYH DYTC set status error!"));
}

TEST_F(MyhModeTest, ControlsDoNothing) {
  CMYH mode;
  int data = 0;
  for (DWORD control : {1u, 13u, 130u, 134u}) EXPECT_TRUE(mode.OnServiceControl(control, 0x8013, &data));
  EXPECT_TRUE(sim::dev::requests().empty());
  EXPECT_TRUE(traces.all().empty());
}

// Each failure before the thread starts drops the mode with no event and no thread:
// the mode goes the moment the test lets it go.
TEST_F(MyhModeTest, InitFailsWithoutAReadableValidModeOrWithoutItsStopEvent) {
  {
    auto mode = std::make_shared<CMYH>();
    EXPECT_FALSE(mode->init());
    EXPECT_EQ(traces.all().back(),
              Error(L"MYH init get MYH_KEY SOFTWARE\\Oltaro\\BravaMode MYH_VALUE failed, error 2"));
    EXPECT_TRUE(sim::dev::requests().empty());
  }
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 7);
  {
    auto mode = std::make_shared<CMYH>();
    traces.clear();
    EXPECT_FALSE(mode->init());
    EXPECT_EQ(traces.texts(), (std::vector<std::wstring>{L"MYH set status 7", L"MYH set unkown status!",
                                                         L"MYH init set failed"}));
  }
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
  {
    auto mode = std::make_shared<CMYH>();
    sim::dev::failRequests(ERROR_NOT_READY, std::nullopt, 1);
    EXPECT_FALSE(mode->init());
    EXPECT_EQ(traces.all().back(), Error(L"MYH init set failed"));
  }
  EXPECT_EQ(sim::callCount("CreateEventW"), 0);

  auto mode = makeMode();
  sim::failCall("CreateEventW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(mode->init());
  EXPECT_EQ(traces.all().back(), Error(L"MYH create stop event failed!"));
  EXPECT_EQ(sim::dev::words().back(), myhWord(0));
  EXPECT_EQ(sim::callCount("RegNotifyChangeKeyValue"), 0);
  mode.reset();
  EXPECT_TRUE(released());
}

// A mode no shared_ptr owns cannot share itself with a thread: init fails cleanly.
TEST_F(MyhModeTest, AModeThatNoSharedPointerOwnsGetsNoThread) {
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
  CMYH mode;
  EXPECT_FALSE(mode.init());
  EXPECT_EQ(traces.all().back(), Error(L"MYH create stop event failed!"));
  EXPECT_FALSE(sim::namedObjectExists(MYH_STOP_EVENT));
  EXPECT_EQ(sim::callCount("RegNotifyChangeKeyValue"), 0);
}

TEST_F(MyhModeTest, InitSetsTheModeAndTheThreadWatchesTheKeysOwnValues) {
  auto mode = startWatching(3);
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(1)}));
  EXPECT_TRUE(sim::namedObjectExists(MYH_STOP_EVENT));
  EXPECT_EQ(sim::reg::pendingNotifications(MYH_KEY), 1u);
  // A value of a subkey is not the key's own: the notification stays armed. A thread
  // woken by it would fail its re-arm and leave none.
  auto subkeyWriteLeavesTheWatch = [] {
    sim::failCall("RegNotifyChangeKeyValue", ERROR_ACCESS_DENIED);
    sim::reg::setDword(std::wstring(MYH_KEY) + L"\\Sub", L"Mode", 1);
    size_t armed = sim::reg::pendingNotifications(MYH_KEY);
    sim::clearFaults();
    return armed;
  };
  EXPECT_EQ(subkeyWriteLeavesTheWatch(), 1u);

  // "Mode" 3 -> 4: the same DYTC mode, set once more.
  writeMode(4);
  ASSERT_TRUE(traces.waitFor(L"MYH DYTC set status 1", 2));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(1), myhWord(1)}));
  EXPECT_EQ(subkeyWriteLeavesTheWatch(), 1u);  // the re-arm too

  // Another value under the key wakes the thread too; it reads "Mode" again.
  sim::reg::setDword(MYH_KEY, L"Other", 9);
  ASSERT_TRUE(traces.waitFor(L"MYH DYTC set status 1", 3));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words().size(), 3u);
  EXPECT_EQ(traces.count(L"MYH set status 4"), 2u);

  EXPECT_TRUE(mode->unInit());
  EXPECT_TRUE(release(mode));
  EXPECT_EQ(traces.matching(L"MYH myhRegMonitor stop thread ").size(), 1u);
  EXPECT_TRUE(traces.contains(L"MYH unInit success!"));
  // unInit sends nothing: the firmware keeps the last mode.
  EXPECT_EQ(sim::dev::words().size(), 3u);
  EXPECT_EQ(sim::dev::functionMode(DYTC_FUNC_MYH), 1u);
  EXPECT_FALSE(sim::namedObjectExists(MYH_STOP_EVENT));
  EXPECT_EQ(sim::reg::pendingNotifications(MYH_KEY), 0u);
}

TEST_F(MyhModeTest, ARejectedValueWhileRunningKeepsTheThreadWatching) {
  auto mode = startWatching(0);
  writeMode(9);
  ASSERT_TRUE(traces.waitFor(L"MYH set unkown status!"));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2)}));
  writeMode(2);
  ASSERT_TRUE(traces.waitFor(L"MYH DYTC set status 0"));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(0)}));
  EXPECT_EQ(sim::dev::functionMode(DYTC_FUNC_MYH), 0u);
  // Back to what init applied: followed like any other value.
  writeMode(0);
  ASSERT_TRUE(traces.waitFor(L"MYH DYTC set status 2", 2));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(0), myhWord(2)}));
  mode->unInit();
  EXPECT_TRUE(release(mode));
}

TEST_F(MyhModeTest, AnUnreadableValueIsReportedAndWatchingGoesOn) {
  auto mode = startWatching(1);
  sim::reg::deleteValue(MYH_KEY, MYH_VALUE);
  ASSERT_TRUE(traces.waitFor(L"MYH myhRegMonitor  RegQueryValueEx error 2"));
  // Data longer than one DWORD does not fit.
  sim::reg::setValue(MYH_KEY, MYH_VALUE, REG_BINARY, {2, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(traces.waitFor(L"MYH myhRegMonitor  RegQueryValueEx error ea"));
  writeMode(2);
  ASSERT_TRUE(traces.waitFor(L"MYH DYTC set status 0"));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(0)}));
  mode->unInit();
  EXPECT_TRUE(release(mode));
}

// A write that lands while the thread handles the previous one is not lost.
TEST_F(MyhModeTest, AWriteDuringASetIsFollowedToo) {
  auto mode = startWatching(0);
  RequestGate gate;
  gate.arm();
  writeMode(3);
  ASSERT_TRUE(gate.waitEntered(1));
  writeMode(2);
  gate.open();
  ASSERT_TRUE(traces.waitFor(L"MYH DYTC set status 0"));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(1), myhWord(0)}));
  mode->unInit();
  EXPECT_TRUE(release(mode));
}

// The manager drops its reference right after unInit, while the thread is still inside
// setStatus: the mode must live until the thread is done with it, and the stop wins
// over a change that is also pending.
TEST_F(MyhModeTest, TheModeOutlivesAThreadThatIsInsideSetStatusAtUnInit) {
  auto mode = startWatching(1);
  RequestGate gate;
  gate.arm();
  writeMode(3);
  ASSERT_TRUE(gate.waitEntered(1));
  writeMode(4);
  EXPECT_TRUE(mode->unInit());
  mode.reset();
  EXPECT_FALSE(released());
  gate.open();
  ASSERT_TRUE(waitReleased());
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(1)}));
  EXPECT_EQ(traces.matching(L"MYH myhRegMonitor stop thread ").size(), 1u);
}

TEST_F(MyhModeTest, AThreadThatFindsNoStopEventEndsAtOnceAndFreesTheLock) {
  auto mode = startWatching(2);
  EXPECT_TRUE(mode->unInit());
  ASSERT_TRUE(traces.waitFor(L"MYH myhRegMonitor stop thread "));
  traces.clear();
  const int opens = sim::callCount("RegOpenKeyExW");
  // A watch thread that starts only now finds the stop event gone.
  std::thread late(CMYH::myhRegMonitor, mode.get());
  late.join();
  EXPECT_EQ(sim::callCount("RegOpenKeyExW"), opens);
  EXPECT_EQ(sim::callCount("DuplicateHandle"), 1);
  EXPECT_TRUE(traces.all().empty());
  // The lock is free again: unInit takes it and finds nothing to do.
  EXPECT_TRUE(mode->unInit());
  EXPECT_EQ(sim::callCount("SetEvent"), 1);
  EXPECT_TRUE(release(mode));
}

// unInit right after init races the thread's start: whichever comes first, the thread
// ends and the mode is released.
TEST_F(MyhModeTest, UnInitRightAfterInitEndsTheThreadEitherWay) {
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 4);
  for (int round = 0; round < 50; round++) {
    std::promise<void> released;
    auto mode = std::make_shared<ObservedMYH>(&released);
    ASSERT_TRUE(mode->init());
    EXPECT_TRUE(mode->unInit());
    mode.reset();
    ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready) << round;
  }
  EXPECT_EQ(sim::blockedWaiters(), 0);
  EXPECT_FALSE(sim::namedObjectExists(MYH_STOP_EVENT));
}

// The thread's own set-up failures end it; the mode keeps its last DYTC mode.
TEST_F(MyhModeTest, TheThreadEndsOnItsOwnSetUpFailures) {
  struct Case {
    const char* api;
    int nth;  // init makes the first call of some of them
    DWORD error;
    const wchar_t* trace;
  } cases[] = {
      {"DuplicateHandle", 1, ERROR_ACCESS_DENIED, L"MYH myhRegMonitor DuplicateHandle failed 5"},
      {"RegOpenKeyExW", 2, ERROR_ACCESS_DENIED, L"MYH myhRegMonitor RegOpenKeyEx failed 5"},
      {"CreateEventW", 2, ERROR_NOT_ENOUGH_MEMORY, L"MYH myhRegMonitor CreateEvent failed 8"},
      {"RegNotifyChangeKeyValue", 1, ERROR_ACCESS_DENIED, L"MYH myhRegMonitor RegNotifyChangeKeyValue failed 5"},
  };
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
  for (auto& c : cases) {
    sim::clearCallLog();
    traces.clear();
    std::promise<void> released;
    auto mode = std::make_shared<ObservedMYH>(&released);
    sim::failCall(c.api, c.error, c.nth);
    ASSERT_TRUE(mode->init()) << c.api;
    ASSERT_TRUE(traces.waitFor(c.trace)) << c.api;
    // The thread is gone: the mode's reference is the last one.
    EXPECT_TRUE(mode->unInit());
    mode.reset();
    ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready) << c.api;
    EXPECT_EQ(sim::callCount("WaitForMultipleObjects"), 0) << c.api;
    EXPECT_EQ(sim::reg::pendingNotifications(MYH_KEY), 0u) << c.api;
    EXPECT_EQ(sim::openHandleCount(), 0u) << c.api;
  }
  EXPECT_EQ(sim::dev::functionMode(DYTC_FUNC_MYH), 0u);
}

// A failed re-arm still applies the change that woke the thread, then ends it.
TEST_F(MyhModeTest, AFailedReArmEndsTheThreadAfterTheChange) {
  auto mode = startWatching(1);
  sim::failCall("RegNotifyChangeKeyValue", ERROR_ACCESS_DENIED);
  writeMode(2);
  ASSERT_TRUE(traces.waitFor(L"MYH myhRegMonitor RegNotifyChangeKeyValue failed 5"));
  auto texts = traces.texts();
  EXPECT_EQ(texts.back(), L"MYH myhRegMonitor RegNotifyChangeKeyValue failed 5");
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{myhWord(2), myhWord(0)}));
  mode->unInit();
  EXPECT_TRUE(release(mode));
  EXPECT_EQ(sim::callCount("WaitForMultipleObjects"), 1);
}

// A wait that fails would fail again: the thread ends instead of spinning.
TEST_F(MyhModeTest, AFailingWaitEndsTheThread) {
  sim::failAlways("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 1);
  auto mode = makeMode();
  ASSERT_TRUE(mode->init());
  ASSERT_TRUE(traces.waitFor(L"MYH myhRegMonitor WaitForMultipleObjects failed 6"));
  mode->unInit();
  EXPECT_TRUE(release(mode));
  EXPECT_EQ(sim::callCount("WaitForMultipleObjects"), 1);
  EXPECT_EQ(sim::callCount("RegQueryValueExW"), 2);  // init's read and the first arm's
}

// A write between init's read and the thread's first arm wakes nobody: the thread reads
// "Mode" once after arming, and sets it only when it is no longer what init set.
TEST_F(MyhModeTest, AWriteBeforeTheFirstArmIsFollowed) {
  struct Case {
    DWORD written;
    std::vector<DWORD> words;
  } cases[] = {{2, {myhWord(1), myhWord(0)}}, {3, {myhWord(1)}}};
  for (auto& c : cases) {
    sim::reset();
    sim::reg::setDword(MYH_KEY, MYH_VALUE, 3);
    std::atomic<bool> written{false};
    sim::onCall("RegNotifyChangeKeyValue", [&] {
      if (!written.exchange(true)) sim::reg::setDword(MYH_KEY, MYH_VALUE, c.written);
    });
    std::promise<void> released;
    auto mode = std::make_shared<ObservedMYH>(&released);
    ASSERT_TRUE(mode->init());
    ASSERT_TRUE(sim::waitForBlockedWaiters(1));
    EXPECT_EQ(sim::dev::words(), c.words) << c.written;
    mode->unInit();
    mode.reset();
    ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    sim::onCall("RegNotifyChangeKeyValue", nullptr);
  }
}

// The manager's production table builds the real modes; they run side by side and
// the MYH thread ends after the manager's unInit.
TEST_F(MyhModeTest, TheManagersProductionTableRunsTheRealModes) {
  sim::dev::setCapability(CAP_MMC | CAP_MSC | CAP_MYH | 1);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 3);
  std::weak_ptr<ModeBase> myh;
  auto table = ModeManager::defaultCreationTable();
  auto makeMyh = table[2].create;
  table[2].create = [&](SERVICE_STATUS_HANDLE h) {
    auto created = makeMyh(h);
    myh = created;
    return created;
  };
  ModeManager manager(table);
  const auto status = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
  EXPECT_TRUE(manager.initlize(status));
  EXPECT_EQ(traces.matching(L" mode init "),
            (std::vector<std::wstring>{L"class CMMC mode init success ", L"class CMSC mode init success ",
                                       L"class CMYH mode init success "}));
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  ASSERT_EQ(sim::power::registrations().size(), 1u);
  EXPECT_EQ(sim::power::registrations()[0].recipient, reinterpret_cast<HANDLE>(status));
  EXPECT_EQ(sim::reg::getDword(MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING), 2u);

  auto displayOff = sim::power::monitorRecord(0);
  EXPECT_TRUE(manager.onServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOff.get()));
  EXPECT_TRUE(manager.onServiceControlHandler(MMC_CTL_COOL_QUIET, 0, nullptr));
  const DWORD mscOn = DYTC_CMD_SET | DYTC_FUNC_MSC << 12 | 15 << 16 | 1 << 20;
  const DWORD mmcCoolQuiet = DYTC_CMD_SET | DYTC_FUNC_MMC << 12 | 3 << 16 | 1 << 20;
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{DYTC_CMD_QUERY, DYTC_CMD_MODE_MMC_GET, myhWord(1), mscOn, mmcCoolQuiet}));

  EXPECT_TRUE(manager.unInit());
  EXPECT_EQ(sim::power::activeRegistrations(), 0u);
  ASSERT_TRUE(traces.waitFor(L"MYH myhRegMonitor stop thread "));
  // The thread's shared reference is the last one; it goes as the thread ends.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!myh.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(myh.expired());
}

}  // namespace
