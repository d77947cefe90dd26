// Races, stressed: client threads flooding the service with controls while it starts,
// runs and stops; watch threads whose mode is released while they are inside a DYTC
// call; start and stop cycles. Run natively, under ASan+UBSan and under TSan: any
// report, any thread that does not end, any DYTC request not accounted for fails.
#include "modes/Dytc.h"
#include "modes/IfcMode.h"
#include "modes/MmcMode.h"
#include "modes/ModeManager.h"
#include "modes/MscMode.h"
#include "modes/MyhMode.h"
#include "service/ServiceBase.h"
#include "tests/reliability/Isolated.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/IdleWatcherPeer.h"
#include "tests/support/SimFixture.h"
#include "tests/support/ModeManagerPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <thread>

namespace reliability {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kAllFunctions = 0x1C080001;

constexpr DWORD setWord(DWORD function, DWORD mode, DWORD flag) {
  return DYTC_CMD_SET | function << 12 | mode << 16 | flag << 20;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}


// ---- Clients flooding the service ----

enum Kind {
  kAutoOff, kAutoOn, kCool, kPerformance, kEnter, kExit, kIdleStart, kDisplayOff, kDisplayOn, kSession, kKinds
};

struct Tally {
  std::array<long, kKinds> sent{};
  std::array<long, kKinds> delivered{};
};

constexpr int kCycles = 10;
constexpr int kClients = 4;
constexpr int kPerClient = 250;  // 10 x 4 x 250 = 10,000 controls

// One service process's life under the flood; lines report the tallies and what went wrong.
void floodedServiceLife(size_t cycle, Lines& out) {
  sim::reset();
  TraceCapture traces;
  sim::dev::setCapability(kAllFunctions);
  sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
  auto fail = [&](const std::string& what) { out.add("finding " + what); };
  std::set<long> threadsBefore = threadIds();
  std::vector<Tally> tallies(kClients);
  {
    IdleWatcherPeer watcher;
    CServiceBase frame(L"QTHRMON", TRUE, TRUE, FALSE);
    std::atomic<long> sent{0}, delivered{0};
    std::atomic<bool> writing{true};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++) {
      clients.emplace_back([&, c] {
        std::mt19937 random(static_cast<unsigned>(cycle * 131 + c));
        auto displayOff = sim::power::monitorRecord(0);
        auto displayOn = sim::power::monitorRecord(1);
        WTSSESSION_NOTIFICATION session{sizeof(WTSSESSION_NOTIFICATION), 1};
        for (int i = 0; i < kPerClient; i++) {
          // The first few race the start; the rest go once the service has run, and
          // race its stop.
          if (i == kPerClient / 10) sim::scm::waitForState(SERVICE_RUNNING, 20000);
          // A new watch thread now and then, not with every other control.
          int kind = static_cast<int>(random() % (kKinds * 8));
          kind = kind >= kKinds * 7 ? kIdleStart : kind % kKinds == kIdleStart ? kEnter : kind % kKinds;
          sim::scm::ControlResult r;
          switch (kind) {
            case kAutoOff: r = sim::scm::postControl(MMC_CTL_AUTO_OFF); break;
            case kAutoOn: r = sim::scm::postControl(MMC_CTL_AUTO_ON); break;
            case kCool: r = sim::scm::postControl(MMC_CTL_COOL_QUIET); break;
            case kPerformance: r = sim::scm::postControl(MMC_CTL_PERFORMANCE); break;
            case kEnter: r = sim::scm::postControl(IFC_CTL_ENTER); break;
            case kExit: r = sim::scm::postControl(IFC_CTL_EXIT); break;
            case kIdleStart: r = sim::scm::postControl(IFC_CTL_IDLE_START); break;
            case kDisplayOff:
              r = sim::scm::postControl(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOff.get());
              break;
            case kDisplayOn:
              r = sim::scm::postControl(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, displayOn.get());
              break;
            default: r = sim::scm::postControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, &session); break;
          }
          tallies[c].sent[kind]++;
          if (r.delivered) tallies[c].delivered[kind]++, delivered++;
          sent++;
        }
      });
    }
    // The outside program changes "Mode" all along.
    std::thread writer([&] {
      for (DWORD v = 0; writing; v = (v + 1) % 5) {
        sim::reg::setDword(MYH_KEY, MYH_VALUE, v);
        std::this_thread::sleep_for(200us);
      }
    });
    {
      // The service starts while the controls already come, and is stopped while they
      // still come.
      std::this_thread::sleep_for(std::chrono::microseconds(100 * (cycle % 5)));
      ServiceProcess process(frame);
      // Stopped once a share of the flood has reached it, or when the flood is over.
      const long total = kClients * kPerClient;
      const long stopAt = total * (30 + static_cast<long>(cycle % 5) * 10) / 100;
      if (!eventually([&] { return delivered >= stopAt || sent == total; }, 60s)) fail("the clients stalled");
      // The SCM refuses a stop while the start is pending; its caller tries again.
      if (!sim::scm::waitForState(SERVICE_RUNNING, 20000)) fail("the service never ran");
      auto stop = sim::scm::postControl(SERVICE_CONTROL_STOP);
      if (!stop.delivered) fail("the stop was not delivered");
      if (!process.join()) fail("the dispatcher failed");
    }
    for (auto& t : clients) t.join();
    writing = false;
    writer.join();
    watcher.end();
  }
  if (!waitThreadsEnded(threadsBefore, 20000)) fail("a watch thread never ended");
  if (ModeManagerPeer::modeCount(*ModeManager::getInstance()) != 0) fail("modes left after stop");
  for (auto& kind : sim::openHandleKinds()) fail("handle left open: " + kind);

  Tally all;
  for (auto& t : tallies)
    for (int k = 0; k < kKinds; k++) all.sent[k] += t.sent[k], all.delivered[k] += t.delivered[k];
  // Every DYTC command comes from one delivered control, the start, a "Mode" change or a
  // watch thread's end, and nothing is left unexplained.
  std::map<DWORD, long> words;
  for (DWORD w : sim::dev::words()) words[w]++;
  auto take = [&](DWORD word, long expected, const char* what) {
    if (words[word] != expected)
      fail(std::string(what) + ": " + std::to_string(words[word]) + " commands for " + std::to_string(expected));
    words.erase(word);
  };
  auto& got = all.delivered;
  take(DYTC_CMD_QUERY, 1, "capability queries");
  take(DYTC_CMD_MODE_MMC_GET, 1, "MMC mode queries");
  take(setWord(DYTC_FUNC_MMC, 2, 1), got[kAutoOff] + got[kPerformance], "MMC mode 2");
  take(setWord(DYTC_FUNC_MMC, 15, 1), got[kAutoOn], "MMC automatic");
  take(setWord(DYTC_FUNC_MMC, 3, 1), got[kCool], "MMC cool and quiet");
  // Power events go to the service in any state: one that came before the modes were
  // made reached no MSC. The manager's traces tell which ones: its control trace came
  // before its capability query's.
  std::vector<std::wstring> texts = traces.texts();
  long early = 0, seenOff = 0, seenOn = 0;
  bool modesMade = false;
  for (auto& t : texts) {
    if (t.rfind(L"ModeManager initlize getFunctionCap", 0) == 0) modesMade = true;
    if (!modesMade && t == L"ModeManager onServiceControlHandler 13") early++;
    if (t.rfind(L"MSC OnServiceControl ctl d, EventType 8013, GUID", 0) == 0) {
      seenOff += t.size() > 2 && t.substr(t.size() - 2) == L" 0" ? 1 : 0;
      seenOn += t.size() > 2 && t.substr(t.size() - 2) == L" 1" ? 1 : 0;
    }
  }
  if (got[kDisplayOff] + got[kDisplayOn] != seenOff + seenOn + early)
    fail("power events lost: " + std::to_string(got[kDisplayOff] + got[kDisplayOn]) + " delivered, " +
         std::to_string(seenOff + seenOn) + " seen by MSC, " + std::to_string(early) + " before the modes");
  take(setWord(DYTC_FUNC_MSC, 15, 1), seenOff, "MSC on");
  take(setWord(DYTC_FUNC_MSC, 15, 0), seenOn, "MSC off");
  take(setWord(DYTC_FUNC_IFC, 15, 1), got[kEnter] + got[kIdleStart], "IFC on");
  // Every watch thread that came to wait switches IFC off once, at the stop or when the
  // watcher ends; one that starts after both finds no mutex to open and leaves IFC on.
  long waited =
      static_cast<long>(traces.count(L"IFC wait objects ok") + traces.matching(L"IFC wait objects wait ret").size());
  long noMutex =
      static_cast<long>(traces.count(L"OpenMutex Global\\QTHUniversal_Idle_Mutex error ERROR_FILE_NOT_FOUND"));
  if (waited + noMutex != got[kIdleStart])
    fail("watch threads lost: " + std::to_string(got[kIdleStart]) + " started, " + std::to_string(waited) +
         " waited, " + std::to_string(noMutex) + " found no mutex");
  take(setWord(DYTC_FUNC_IFC, 15, 0), got[kExit] + waited, "IFC off");
  long myh = 0;
  for (DWORD mode : {0u, 1u, 2u}) {
    myh += words[setWord(DYTC_FUNC_MYH, mode, 1)];
    words.erase(setWord(DYTC_FUNC_MYH, mode, 1));
  }
  if (myh < 1) fail("MYH never set");
  for (auto& [word, n] : words)
    if (n) fail("unexplained DYTC word " + std::to_string(word) + " x" + std::to_string(n));

  long sentTotal = 0, deliveredTotal = 0;
  for (int k = 0; k < kKinds; k++) sentTotal += all.sent[k], deliveredTotal += all.delivered[k];
  out.add("sent " + std::to_string(sentTotal));
  out.add("delivered " + std::to_string(deliveredTotal));
  out.add("watch " + std::to_string(got[kIdleStart]));
  out.add("late " + std::to_string(noMutex));
  out.add("myh " + std::to_string(myh));
  traces.clear();  // under the capture's lock, after every thread's last trace
}

TEST(ControlFlood, TenThousandMixedControlsFromFourClientsWhileTheServiceStartsRunsAndStops) {
  auto results = runIsolated(kCycles, floodedServiceLife, defaultParallelism(), 120000);
  long sent = 0, delivered = 0, watch = 0, myh = 0, late = 0;
  for (size_t i = 0; i < results.size(); i++) {
    auto& r = results[i];
    EXPECT_TRUE(r.end == ChildResult::End::Finished && r.status == 0) << "cycle " << i << ": " << r.describe();
    for (auto& line : r.lines) {
      auto value = [&](const char* key) { return std::stol(line.substr(std::strlen(key) + 1)); };
      if (line.rfind("finding ", 0) == 0) ADD_FAILURE() << "cycle " << i << ": " << line.substr(8);
      if (line.rfind("sent ", 0) == 0) sent += value("sent");
      if (line.rfind("delivered ", 0) == 0) delivered += value("delivered");
      if (line.rfind("watch ", 0) == 0) watch += value("watch");
      if (line.rfind("myh ", 0) == 0) myh += value("myh");
      if (line.rfind("late ", 0) == 0) late += value("late");
    }
  }
  std::printf("%d service lives: %ld controls sent, %ld delivered, %ld watch threads started and ended (%ld after "
              "the watcher had gone), %ld MYH commands from \"Mode\" changes\n",
              kCycles, sent, delivered, watch, late, myh);
  EXPECT_EQ(sent, kCycles * kClients * kPerClient);
  // The flood must have met a running service, not only refusals.
  EXPECT_GT(delivered, sent / 5);
}

// ---- Watch threads released mid-call ----

// Holds DYTC requests made by any thread but the test's until released (IFC's only when
// asked: a stop waits for them). The machine's hook shares the gate, so a thread still
// leaving it never meets a gate that is gone.
class Gate : public std::enable_shared_from_this<Gate> {
 public:
  Gate(std::thread::id test, bool holdIfc) : m_test(test), m_holdIfc(holdIfc) {}
  void arm() {
    sim::dev::onRequest([self = shared_from_this()](DWORD word) { self->pass(word); });
  }
  void pass(DWORD word) {
    if (std::this_thread::get_id() == m_test) return;
    if (!m_holdIfc && (word >> 12 & 0xF) == DYTC_FUNC_IFC) return;
    std::unique_lock<std::mutex> g(m_lock);
    m_inside++;
    m_changed.notify_all();
    m_changed.wait(g, [&] { return m_open; });
    m_inside--;
  }
  bool waitInside(int n) {
    std::unique_lock<std::mutex> g(m_lock);
    return m_changed.wait_for(g, 10s, [&] { return m_inside >= n; });
  }
  void open() {
    std::lock_guard<std::mutex> g(m_lock);
    m_open = true;
    m_changed.notify_all();
  }

 private:
  std::thread::id m_test;
  bool m_holdIfc;
  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_inside = 0;
  bool m_open = false;
};

// The production modes, each watched through a weak reference: it expires when the
// manager and every watch thread have let the mode go.
ModeManager::CreationTable watchedTable(std::vector<std::weak_ptr<ModeBase>>& modes) {
  auto table = ModeManager::defaultCreationTable();
  for (auto& row : table) {
    auto create = row.create;
    row.create = [create, &modes](SERVICE_STATUS_HANDLE h) {
      auto mode = create(h);
      modes.push_back(mode);
      return mode;
    };
  }
  return table;
}

class WatchThreadStress : public SimTest {
 protected:
  void TearDown() override {
    sim::dev::onRequest(nullptr);
    SimTest::TearDown();
  }
};

TEST_F(WatchThreadStress, ModesReleasedWhileTheirWatchThreadsAreInsideADytcCall) {
  constexpr int kRounds = 150;
  std::mt19937 random(7);
  int midCall = 0;
  for (int round = 0; round < kRounds; round++) {
    sim::reset();
    sim::dev::setCapability(CAP_MYH | CAP_IFC);
    sim::reg::setDword(MYH_KEY, MYH_VALUE, 2);
    std::vector<std::weak_ptr<ModeBase>> modes;
    {
      IdleWatcherPeer watcher;
      ModeManager manager(watchedTable(modes));
      ASSERT_TRUE(manager.initlize(NULL));
      ASSERT_EQ(ModeManagerPeer::modeCount(manager), 2u);
      ASSERT_TRUE(manager.onServiceControlHandler(IFC_CTL_IDLE_START, 0, nullptr));
      ASSERT_TRUE(sim::waitForBlockedWaiters(2));  // both watch threads wait

      // Now and then a driver holds IFC's switch-off past the stop's wait for it.
      const bool hung = round % 50 == 0;
      auto gate = std::make_shared<Gate>(std::this_thread::get_id(), hung);
      gate->arm();
      // The MYH thread goes into its DYTC call on a "Mode" change, and is inside the
      // driver when the manager lets its mode go, or gets there just after; the IFC
      // thread switches off as the stop wakes it, before the manager lets IFC go.
      sim::reg::setDword(MYH_KEY, MYH_VALUE, 4);
      int variant = static_cast<int>(random() % 3);
      if (variant < 2 || hung) {
        ASSERT_TRUE(gate->waitInside(1));
      }
      ASSERT_TRUE(manager.unInit());
      if (hung) {
        ASSERT_TRUE(gate->waitInside(2));
      } else {
        auto sent = sim::dev::words();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), setWord(DYTC_FUNC_IFC, 15, 0)), 1)
            << "round " << round << ": the stop returned before IFC was off";
      }
      if (variant == 2) std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
      midCall += variant < 2 || hung ? 1 : 0;
      gate->open();
      watcher.end();
    }
    // The manager is gone: only the threads could hold the modes now.
    ASSERT_TRUE(eventually([&] {
      for (auto& m : modes)
        if (!m.expired()) return false;
      return true;
    })) << "round " << round << ": a watch thread never let its mode go";
    ASSERT_TRUE(eventually([] { return sim::openHandleCount() == 0; })) << "round " << round;
    sim::dev::onRequest(nullptr);
    // Every request accounted for: MYH at start (mode 0) and for "Mode" 4 (mode 1) when
    // the change came before the stop; IFC on for 130 and off by its woken thread.
    std::map<DWORD, int> words;
    for (DWORD w : sim::dev::words()) words[w]++;
    EXPECT_EQ(words[DYTC_CMD_QUERY], 1);
    EXPECT_EQ(words[setWord(DYTC_FUNC_MYH, 0, 1)], 1);
    EXPECT_LE(words[setWord(DYTC_FUNC_MYH, 1, 1)], 1);
    EXPECT_EQ(words[setWord(DYTC_FUNC_IFC, 15, 1)], 1);
    EXPECT_EQ(words[setWord(DYTC_FUNC_IFC, 15, 0)], 1);
    EXPECT_EQ(sim::dev::words().size(), 4u + words[setWord(DYTC_FUNC_MYH, 1, 1)]) << "round " << round;
  }
  std::printf("%d rounds, %d with a watch thread inside the driver as its mode was let go\n", kRounds, midCall);
}

TEST_F(WatchThreadStress, StartAndStopCyclesWithControlsAndAllFourModes) {
  constexpr int kCyclesHere = 300;
  long threads = 0;
  for (int cycle = 0; cycle < kCyclesHere; cycle++) {
    sim::reset();
    sim::dev::setCapability(kAllFunctions);
    sim::reg::setDword(MYH_KEY, MYH_VALUE, static_cast<DWORD>(cycle % 5));
    std::vector<std::weak_ptr<ModeBase>> modes;
    {
      IdleWatcherPeer watcher;
      ModeManager manager(watchedTable(modes));
      // A control racing the start from another thread, as the SCM's thread does.
      std::thread early([&] { manager.onServiceControlHandler(MMC_CTL_COOL_QUIET, 0, nullptr); });
      manager.initlize(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x7A000));
      early.join();
      for (int i = 0; i < cycle % 3; i++, threads++) manager.onServiceControlHandler(IFC_CTL_IDLE_START, 0, nullptr);
      if (cycle % 2) sim::reg::setDword(MYH_KEY, MYH_VALUE, 1);
      manager.unInit();
    }
    ASSERT_TRUE(eventually([&] {
      for (auto& m : modes)
        if (!m.expired()) return false;
      return true;
    })) << "cycle " << cycle << ": a mode outlived its threads' end";
    ASSERT_TRUE(eventually([] { return sim::openHandleCount() == 0; })) << "cycle " << cycle;
    ASSERT_EQ(sim::power::activeRegistrations(), 0u) << "cycle " << cycle;
  }
  std::printf("%d start and stop cycles, %ld IFC watch threads\n", kCyclesHere, threads);
}

}  // namespace
}  // namespace reliability
