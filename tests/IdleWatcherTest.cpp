// The idle-time watcher: its start-up, the controls its samples send, and how watchers of
// successive idle periods take turns on the idle mutex. Samples come from the simulated
// display kernel, one second apart on the virtual clock; the controls reach a running
// "QTHRMON" through the simulated Service Control Manager.
#include "service/IdleWatcher.h"

#include "modes/IfcMode.h"
#include "tests/support/SimFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <optional>
#include <thread>

namespace {

constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const std::wstring kAdapter = L"\\\\?\\pci#ven_8086&dev_9a49#3&1#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";
const std::wstring kIcKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";
constexpr ULONGLONG kStartTime = 5000000;

const std::wstring kHigh50 = L"GetGpuUsage: more than 50, so exit IFC Mode";
const std::wstring kEnter50 = L"GetGpuUsage: less than 50 during one minute, so Enter IFC Mode";

// A control as the service saw it: the code and the virtual time it was sent.
struct Sent {
  DWORD code;
  ULONGLONG at;
  bool operator==(const Sent& o) const { return code == o.code && at == o.at; }
};
void PrintTo(const Sent& s, std::ostream* os) { *os << "{" << s.code << " at " << s.at << "}"; }

class IdleWatcherTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    // wmain has joined the multithreaded apartment when it starts the watcher.
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    // The service runs and takes the watcher's three controls.
    sim::scm::PeerService service;
    service.state = SERVICE_RUNNING;
    service.userControls = {IFC_CTL_IDLE_START, IFC_CTL_ENTER, IFC_CTL_EXIT};
    sim::scm::addService(L"QTHRMON", service);
    sim::setNow(kStartTime);
    // The watcher holds its mutex and the sampler's handles for good.
    allowOpenHandles();
  }

  // One display adapter whose busy time grows, during each second that the watcher
  // sleeps, by the load the test chose for the sample that follows that second.
  void addAdapter() {
    DEVINST d = sim::setupapi::addDevice(L"PCI\\" + kAdapter, kDisplayClass);
    sim::setupapi::addInterface(d, GUID_DISPLAY_DEVICE_ARRIVAL, kAdapter);
    sim::display::addAdapter(kAdapter, {0x42, 0});
    sim::display::setRunningTime(m_runningTime);
    sim::onSleep([this](DWORD ms) {
      m_runningTime += static_cast<LONGLONG>(ms) * 100 * m_nextLoad;  // 100-ns units
      sim::display::setRunningTime(m_runningTime);
    });
  }

  // Runs `count` samples after those already run. Sample k reads loadOf(k) percent,
  // except the first, which the sampler always reads as 0.
  void sample(int count, const std::function<int(int)>& loadOf) {
    for (int i = 0; i < count; i++) {
      ++m_samples;
      m_nextLoad = loadOf(m_samples + 1);
      watcher.Step();
    }
  }
  void sampleIdle(int count) {
    sample(count, [](int) { return 0; });
  }

  // The virtual time of sample k.
  static ULONGLONG timeOf(long long k) { return kStartTime + static_cast<ULONGLONG>(k - 1) * 1000; }

  static std::vector<Sent> sent() {
    std::vector<Sent> out;
    for (auto& c : sim::scm::controlsSent()) {
      EXPECT_EQ(c.service, L"QTHRMON");
      EXPECT_EQ(c.error, 0u) << "control " << c.control;
      out.push_back({c.control, c.at});
    }
    return out;
  }
  // The watcher's own traces, without those of the registry helper and the sender.
  std::vector<Trace> watcherTraces() const {
    std::vector<Trace> out;
    for (auto& t : traces.all())
      if (t.text.rfind(L"GetRegKeyDwordValue:", 0) != 0 && t.text.rfind(L"ServiceControl", 0) != 0) out.push_back(t);
    return out;
  }
  static std::vector<DWORD> codes() {
    std::vector<DWORD> out;
    for (auto& c : sim::scm::controlsSent()) out.push_back(c.control);
    return out;
  }

  IdleWatcher watcher;
  int m_samples = 0;

 private:
  LONGLONG m_runningTime = 1;
  int m_nextLoad = 0;
};

size_t indexOf(const std::vector<std::string>& log, const std::string& call) {
  return static_cast<size_t>(std::find(log.begin(), log.end(), call) - log.begin());
}

// ---- Start-up ----

TEST_F(IdleWatcherTest, StartUpGivesUpComTakesTheMutexAndThenSends130) {
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  EXPECT_EQ(sent(), (std::vector<Sent>{Sent{IFC_CTL_IDLE_START, kStartTime}}));
  EXPECT_FALSE(sim::com::usable()) << "the watcher runs without COM";
  EXPECT_EQ(watcher.Threshold(), 50u);
  EXPECT_EQ(watcherTraces(), (std::vector<Trace>{Error(L"GetRegKeyDwordValue.GPULOAD_KEY GPULOAD_VALUE error!"),
                                              Info(L"GPULoad 50"),
                                              Info(L"WaitForSingleObject  Global\\QTHUniversal_Idle_Mutex ok")}))
      << "the adapter set-up succeeds without a trace of its own";
  auto log = sim::callLog();
  EXPECT_LT(indexOf(log, "CoUninitialize"), indexOf(log, "LoadLibraryW"));
  EXPECT_LT(indexOf(log, "LoadLibraryW"), indexOf(log, "RegOpenKeyExW"));
  EXPECT_LT(indexOf(log, "RegOpenKeyExW"), indexOf(log, "CreateMutexW"));
  EXPECT_LT(indexOf(log, "CreateMutexW"), indexOf(log, "WaitForSingleObject"));
  EXPECT_LT(indexOf(log, "WaitForSingleObject"), indexOf(log, "ControlService"));

  // The mutex is owned and stays owned through the samples: another thread cannot take it.
  sampleIdle(3);
  ASSERT_EQ(sim::display::queries().size(), 3u);
  EXPECT_EQ(sim::display::queries()[0].type, static_cast<UINT>(D3DKMT_QUERYSTATISTICS_NODE))
      << "process id 0: the whole node";
  EXPECT_EQ(sim::callCount("ReleaseMutex"), 0);
  EXPECT_EQ(sim::openHandleCount("Mutex"), 1u);
  std::thread other([] {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, IFC_IDLE_MUTEX_NAME);
    ASSERT_NE(mutex, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(mutex);
  });
  other.join();
}

TEST_F(IdleWatcherTest, AFailedAdapterSetUpIsTracedAndEverySampleReadsZero) {
  // No display adapter at all. With the threshold 0 even those zeros are high.
  sim::reg::setDword(kIcKey, L"GPULOAD", 0);
  ASSERT_TRUE(watcher.Start());
  EXPECT_EQ(traces.all().at(0), Error(L"gpuhelper.InitializeAdapter error!"));
  EXPECT_TRUE(traces.contains(L"GPULoad 0"));
  sampleIdle(3);
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_EXIT, IFC_CTL_EXIT, IFC_CTL_EXIT}));
}

TEST_F(IdleWatcherTest, WithoutItsMutexTheWatcherSendsNothing) {
  addAdapter();
  sim::failCall("CreateMutexW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(watcher.Start());
  EXPECT_EQ(watcherTraces(), (std::vector<Trace>{Error(L"GetRegKeyDwordValue.GPULOAD_KEY GPULOAD_VALUE error!"),
                                                 Info(L"GPULoad 50"),
                                                 Error(L"CreateMutexW Global\\QTHUniversal_Idle_Mutex error")}));
  EXPECT_EQ(sim::callCount("WaitForSingleObject"), 0);
  EXPECT_TRUE(sim::scm::controlsSent().empty());
  EXPECT_FALSE(sim::namedObjectExists(IFC_IDLE_MUTEX_NAME));
}

// "GPULOAD" that cannot be read leaves the threshold at 50: a load of 50 is then high
// and 49 low.
class UnreadableThresholdTest : public IdleWatcherTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnreadableThresholdTest, LeavesTheDefault) {
  switch (GetParam()) {
    case 0:  // no key
      break;
    case 1:  // the key without the value
      sim::reg::setDword(kIcKey, L"Version", 0x4000);
      break;
    case 2:  // readable, but not with the full access that the read asks for
      sim::reg::setDword(kIcKey, L"GPULOAD", 10);
      sim::reg::setKeyAccess(kIcKey, KEY_READ);
      break;
  }
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  EXPECT_EQ(traces.count(L"GetRegKeyDwordValue.GPULOAD_KEY GPULOAD_VALUE error!"), 1u);
  EXPECT_TRUE(traces.contains(L"GPULoad 50"));
  sample(3, [](int k) { return k == 2 ? 49 : 50; });
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_EXIT}));
  EXPECT_EQ(traces.count(kHigh50), 1u);
}

INSTANTIATE_TEST_SUITE_P(MissingKeyMissingValueDeniedKey, UnreadableThresholdTest, ::testing::Values(0, 1, 2));

// ---- The samples ----

TEST_F(IdleWatcherTest, ThresholdZeroSends150EverySecondAnd149Never) {
  sim::reg::setDword(kIcKey, L"GPULOAD", 0);
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  traces.clear();
  sampleIdle(75);
  auto all = sent();
  ASSERT_EQ(all.size(), 76u);
  for (int k = 1; k <= 75; k++) EXPECT_EQ(all[static_cast<size_t>(k)], (Sent{IFC_CTL_EXIT, timeOf(k)}));
  EXPECT_EQ(traces.count(L"GetGpuUsage: more than 0, so exit IFC Mode"), 75u);
  EXPECT_TRUE(traces.matching(L"Enter IFC").empty());
  EXPECT_EQ(g_lowLoadSeconds, 0);
}

TEST_F(IdleWatcherTest, AnIdleGpuGets149OnceAtTheSixtiethSample) {
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  sampleIdle(59);
  EXPECT_EQ(codes(), std::vector<DWORD>{IFC_CTL_IDLE_START});
  sampleIdle(1);
  EXPECT_EQ(sent().back(), (Sent{IFC_CTL_ENTER, timeOf(60)}));
  EXPECT_EQ(timeOf(60) - kStartTime, 59000u) << "about 59 seconds after the first sample";
  sampleIdle(300);
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_ENTER}));
  EXPECT_EQ(traces.count(kEnter50), 1u);
  EXPECT_EQ(g_lowLoadSeconds, 360);
  // One sample a second: the clock moved by exactly the watcher's sleeps.
  EXPECT_EQ(sim::now(), timeOf(361));
}

TEST_F(IdleWatcherTest, ALoadEqualToTheThresholdIsHigh) {
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  // Samples 2 to 5 read 49, 50, 100 and 49.
  sample(5, [](int k) { return std::vector<int>{0, 0, 49, 50, 100, 49, 0}[static_cast<size_t>(k)]; });
  EXPECT_EQ(sent(), (std::vector<Sent>{{IFC_CTL_IDLE_START, kStartTime}, {IFC_CTL_EXIT, timeOf(3)}, {IFC_CTL_EXIT, timeOf(4)}}));
  EXPECT_EQ(g_lowLoadSeconds, 1);
}

TEST_F(IdleWatcherTest, AHighSampleAfter59LowOnesStartsTheMinuteAgain) {
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  sample(120, [](int k) { return k == 60 ? 80 : 10; });
  EXPECT_EQ(sent(), (std::vector<Sent>{{IFC_CTL_IDLE_START, kStartTime}, {IFC_CTL_EXIT, timeOf(60)}, {IFC_CTL_ENTER, timeOf(120)}}));
  EXPECT_EQ(traces.count(kHigh50), 1u);
  EXPECT_EQ(traces.count(kEnter50), 1u);
}

TEST_F(IdleWatcherTest, LowSamplesAfterTheEnterKeepCountingAndAHighOneStillExits) {
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  // 149 at 60; 150 at 100; 149 again only 60 low samples later, at 160.
  sample(200, [](int k) { return k == 100 ? 90 : 0; });
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_ENTER, IFC_CTL_EXIT, IFC_CTL_ENTER}));
  EXPECT_EQ(sent()[3], (Sent{IFC_CTL_ENTER, timeOf(160)}));
}

// The threshold is an unsigned number of percent: above 100 no sample is high, not even
// one that a signed reading of the value would find high.
class HighThresholdTest : public IdleWatcherTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(HighThresholdTest, NeverSends150) {
  sim::reg::setDword(kIcKey, L"GPULOAD", GetParam());
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  EXPECT_EQ(watcher.Threshold(), GetParam());
  EXPECT_TRUE(traces.contains(L"GPULoad " + std::to_wstring(static_cast<int>(GetParam()))));
  sample(70, [](int) { return 100; });
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_ENTER}));
}

INSTANTIATE_TEST_SUITE_P(Thresholds, HighThresholdTest, ::testing::Values(101u, 0x80000000u, 0xFFFFFFFFu));

TEST(IdleWatcherSample, HighMeansAtOrAboveTheThresholdAsAFloatAndNaNIsLow) {
  EXPECT_TRUE(IsHighGpuLoad(50.0f, 50));
  EXPECT_FALSE(IsHighGpuLoad(std::nextafter(50.0f, 0.0f), 50));
  EXPECT_TRUE(IsHighGpuLoad(0.0f, 0));
  EXPECT_FALSE(IsHighGpuLoad(-0.5f, 0));
  EXPECT_FALSE(IsHighGpuLoad(std::numeric_limits<float>::quiet_NaN(), 0));
  EXPECT_FALSE(IsHighGpuLoad(std::numeric_limits<float>::quiet_NaN(), 50));
  EXPECT_TRUE(IsHighGpuLoad(std::numeric_limits<float>::infinity(), 0xFFFFFFFFu));
  EXPECT_FALSE(IsHighGpuLoad(100.0f, 0xFFFFFFFFu));
  // 16777217 has no float of its own: it compares as 16777216.
  EXPECT_TRUE(IsHighGpuLoad(16777216.0f, 16777217u));
}

TEST_F(IdleWatcherTest, FailedSendsChangeNothingInTheCount) {
  addAdapter();
  // No service to receive the controls: every send fails, and the watcher goes on.
  sim::scm::script(L"QTHRMON", {}, SERVICE_STOPPED);
  ASSERT_TRUE(watcher.Start());
  sample(60, [](int k) { return k == 30 ? 70 : 0; });
  EXPECT_EQ(g_lowLoadSeconds, 30);
  sampleIdle(30);
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_EXIT, IFC_CTL_ENTER}));
  for (auto& c : sim::scm::controlsSent()) EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(traces.count(kHigh50), 1u);
  EXPECT_EQ(traces.count(kEnter50), 1u);
}

// The counter restarts from 0 at 1,000,000 low samples, so a second 149 goes out at the
// 1,000,060th. Run whole, on the virtual clock; the sampler without an adapter reads 0.
TEST_F(IdleWatcherTest, TheMillionAndSixtiethLowSampleSends149Again) {
  ASSERT_TRUE(watcher.Start());
  SetLogSink(nullptr, nullptr);  // a million traces are not worth keeping
  sampleIdle(1000000);
  sim::clearCallLog();
  EXPECT_EQ(g_lowLoadSeconds, 0);
  TraceCapture last;
  sampleIdle(60);
  EXPECT_EQ(sent(), (std::vector<Sent>{{IFC_CTL_IDLE_START, kStartTime},
                                      {IFC_CTL_ENTER, timeOf(60)},
                                      {IFC_CTL_ENTER, timeOf(1000060)}}));
  EXPECT_EQ(last.count(kEnter50), 1u);
  EXPECT_EQ(g_lowLoadSeconds, 60);
}

TEST_F(IdleWatcherTest, TheCounterRestartsOnlyOnceItReachesAMillion) {
  addAdapter();
  ASSERT_TRUE(watcher.Start());
  g_lowLoadSeconds = 999998;
  sampleIdle(1);
  EXPECT_EQ(g_lowLoadSeconds, 999999);
  sampleIdle(1);
  EXPECT_EQ(g_lowLoadSeconds, 0);
  sampleIdle(59);
  EXPECT_EQ(codes(), std::vector<DWORD>{IFC_CTL_IDLE_START});
  sampleIdle(1);
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_ENTER}));
}

// ---- Watchers of successive idle periods ----

// A watcher process: start-up and a few samples on a thread of its own, which ends (and
// so abandons the mutex) when the test says.
class WatcherThread {
 public:
  explicit WatcherThread(int samples) {
    m_thread = std::thread([this, samples] {
      CoInitializeEx(NULL, COINIT_MULTITHREADED);
      IdleWatcher watcher;
      m_started.set_value(watcher.Start());
      for (int i = 0; i < samples; i++) watcher.Step();
      m_sampled.set_value();
      m_end.get_future().wait();
    });
  }
  ~WatcherThread() { end(); }
  std::future<bool> started() { return m_started.get_future(); }
  void waitSampled() { m_sampled.get_future().wait(); }
  void end() {
    if (!m_thread.joinable()) return;
    if (!m_ended) m_end.set_value();
    m_ended = true;
    m_thread.join();
  }

 private:
  std::promise<bool> m_started;
  std::promise<void> m_sampled, m_end;
  bool m_ended = false;
  std::thread m_thread;
};

TEST_F(IdleWatcherTest, ASecondWatcherSends130OnlyAfterTheFirstHasEnded) {
  sim::reg::setDword(kIcKey, L"GPULOAD", 0);  // every sample sends 150, without an adapter
  std::optional<WatcherThread> second;  // ends after the first, which it waits for
  WatcherThread first(2);
  ASSERT_TRUE(first.started().get());
  first.waitSampled();
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_EXIT, IFC_CTL_EXIT}));

  second.emplace(1);
  auto secondStarted = second->started();
  ASSERT_TRUE(sim::waitForBlockedWaiters(1));
  EXPECT_EQ(secondStarted.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(codes().size(), 3u) << "the second watcher waits for the mutex before it sends anything";

  first.end();  // the process ends: its mutex is abandoned
  ASSERT_TRUE(secondStarted.get());
  second->waitSampled();
  EXPECT_EQ(codes(), (std::vector<DWORD>{IFC_CTL_IDLE_START, IFC_CTL_EXIT, IFC_CTL_EXIT, IFC_CTL_IDLE_START,
                                         IFC_CTL_EXIT}));
  // Only the first wait returned 0; the abandoned one goes on without the trace.
  EXPECT_EQ(traces.count(L"WaitForSingleObject  Global\\QTHUniversal_Idle_Mutex ok"), 1u);
  EXPECT_EQ(traces.count(L"GPULoad 0"), 2u);
  second->end();
}

}  // namespace
