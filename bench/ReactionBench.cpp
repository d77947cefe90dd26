// What a reaction costs on the simulated machine, next to its floor: the bare platform
// calls that the reaction performs. Each benchmark measures its figure and its floor in
// turn, block by block or round by round, so both meet the same machine on this noisy
// host; the counters carry both and their ratio, the label names the floor, and
// scripts/bench gathers them into a table.
//
// The figures run the system's own code over the simulated machine, so the ratio says
// how much the system adds to the least that its work costs on that machine.
#include "bench/SimMachine.h"
#include "tests/support/IdleWatcherPeer.h"

#include "modes/Dytc.h"
#include "modes/IfcMode.h"
#include "modes/MmcMode.h"
#include "modes/ModeManager.h"
#include "modes/MyhMode.h"
#include "service/IdleWatcher.h"

#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kFloorDevice = "floor=device request";
constexpr const char* kFloorMmc = "floor=device request + 2 registry writes";
constexpr const char* kFloorMyh = "floor=registry write + device request";
constexpr const char* kFloorSample = "floor=sample calls + Sleep";
constexpr const char* kFloorSampleControl = "floor=sample calls + Sleep + service control";

// A key nobody watches, as deep as the MYH key: the floor's write must not wake the MYH
// thread, and the simulated registry's cost grows with the path.
constexpr const wchar_t* kScratchKey = L"SOFTWARE\\Oltaro\\QthermBench";

const DWORD kMmcWord = bench::setWord(DYTC_FUNC_MMC, 3, 1);

// A watched event comes to a service that has long been idle: the watch thread is
// asleep, not about to sleep. Off the clock, once it waits.
void settle() { std::this_thread::sleep_for(std::chrono::microseconds(300)); }

// ---- figure and floor, block by block ----

// Blocks of kBlock figure operations and kBlock floor operations in turn (which goes
// first alternates), each block timed whole; the machine's call records are trimmed
// between blocks, off the clock. Counters: figure_ns and floor_ns per operation, ratio.
template <class Figure, class Floor>
void paired(benchmark::State& state, Figure figure, Floor floor, const char* floorLabel) {
  constexpr int kBlock = 64;
  int64_t figureNs = 0, floorNs = 0;
  uint64_t operations = 0;
  bool figureFirst = true;
  for (auto _ : state) {
    int64_t spent[2] = {0, 0};
    for (int part = 0; part < 2; part++) {
      const bool isFigure = (part == 0) == figureFirst;
      const int64_t start = bench::nowNs();
      for (int i = 0; i < kBlock; i++) {
        if (isFigure)
          benchmark::DoNotOptimize(figure(i));
        else
          benchmark::DoNotOptimize(floor(i));
      }
      spent[isFigure ? 0 : 1] = bench::nowNs() - start;
    }
    figureNs += spent[0];
    floorNs += spent[1];
    operations += kBlock;
    figureFirst = !figureFirst;
    state.SetIterationTime(static_cast<double>(spent[0] + spent[1]) * 1e-9);
    bench::trimRecords();
  }
  if (operations == 0) return;
  state.counters["figure_ns"] = static_cast<double>(figureNs) / static_cast<double>(operations);
  state.counters["floor_ns"] = static_cast<double>(floorNs) / static_cast<double>(operations);
  state.counters["ratio"] = static_cast<double>(figureNs) / static_cast<double>(floorNs);
  state.SetLabel(floorLabel);
}

bool floorDevice(int) { return bench::bareDeviceRequest(kMmcWord); }

// What an MMC control performs: one request and two REG_DWORD writes, to the same key.
bool floorMmc(int) {
  return bench::bareDeviceRequest(kMmcWord) && bench::bareRegistryWrite(MMC_REG_ROOT, MMC_REG_CURRENTSETTING, 1) &&
         bench::bareRegistryWrite(MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING, 1);
}

// One user-defined control through the manager (every mode sees it) to the device.
void ManagerControl(benchmark::State& state, DWORD control, bool (*floor)(int), const char* floorLabel) {
  ModeManager* manager = ModeManager::getInstance();
  paired(state, [&](int) { return manager->onServiceControlHandler(control, 0, nullptr); }, floor, floorLabel);
}

// A monitor power-setting event, display off and on in turn, through the manager to MSC.
void DisplayPowerEvent(benchmark::State& state) {
  ModeManager* manager = ModeManager::getInstance();
  auto off = sim::power::monitorRecord(0);
  auto on = sim::power::monitorRecord(1);
  POWERBROADCAST_SETTING* records[2] = {off.get(), on.get()};
  paired(
      state,
      [&](int i) {
        return manager->onServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, records[i & 1]);
      },
      floorDevice, kFloorDevice);
}

void DytcMethodRoundTrip(benchmark::State& state) {
  paired(
      state,
      [](int) {
        DWORD reply = 0;
        return DYTCMethod(kMmcWord, &reply) && reply == 1;
      },
      floorDevice, kFloorDevice);
}

// ---- figure and floor, round by round ----

// Per-round latencies: their median and 99th percentile as counters.
class Latencies {
 public:
  void add(int64_t ns) { m_samples.push_back(ns); }
  void report(benchmark::State& state, const std::string& prefix) {
    if (m_samples.empty()) return;
    std::sort(m_samples.begin(), m_samples.end());
    state.counters[prefix + "p50_ns"] = static_cast<double>(m_samples[m_samples.size() / 2]);
    state.counters[prefix + "p99_ns"] = static_cast<double>(m_samples[m_samples.size() * 99 / 100]);
  }

 private:
  std::vector<int64_t> m_samples;
};

// Marks when a request reaches the device, from whichever thread makes it.
class DeviceMark {
 public:
  DeviceMark() {
    sim::dev::onRequest([this](DWORD) {
      m_at.store(bench::nowNs(), std::memory_order_relaxed);
      m_count.fetch_add(1, std::memory_order_release);
    });
  }
  ~DeviceMark() { sim::dev::onRequest(nullptr); }
  uint64_t count() const { return m_count.load(std::memory_order_acquire); }
  // Spins until the request after `seen` arrives; when it arrived.
  int64_t waitPast(uint64_t seen) const {
    while (m_count.load(std::memory_order_acquire) == seen) {
    }
    return m_at.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<uint64_t> m_count{0};
  std::atomic<int64_t> m_at{0};
};


// Until the IFC watch threads have switched off and ended: only the MYH thread waits.
void waitIfcThreadsGone() {
  while (sim::namedObjectExists(IFC_IDLE_MUTEX_NAME) || sim::blockedWaiters() != 1) std::this_thread::yield();
}

// Control 130: IFC on, and a mutex-watch thread started before the control returns. Each
// round ends off the clock with the watcher's end, which the thread answers with IFC off.
void IdleStartControl(benchmark::State& state) {
  ModeManager* manager = ModeManager::getInstance();
  Latencies figure, floor;
  for (auto _ : state) {
    std::optional<IdleWatcherPeer> watcher;
    watcher.emplace();
    int64_t start = bench::nowNs();
    benchmark::DoNotOptimize(manager->onServiceControlHandler(IFC_CTL_IDLE_START, 0, nullptr));
    const int64_t spent = bench::nowNs() - start;
    figure.add(spent);
    sim::waitForBlockedWaiters(2);  // the MYH thread and the new one
    watcher.reset();
    waitIfcThreadsGone();

    start = bench::nowNs();
    benchmark::DoNotOptimize(bench::bareDeviceRequest(kMmcWord));
    floor.add(bench::nowNs() - start);
    state.SetIterationTime(static_cast<double>(spent) * 1e-9);
    bench::trimRecords();
  }
  figure.report(state, "");
  floor.report(state, "floor_");
  state.SetLabel(kFloorDevice);
}

// "Mode" written by another program (here the benchmark's thread, on a key it holds
// open) until the MYH set command reaches the device from the watch thread; in turn with
// the floor, the same write to a key nobody watches and the request on this thread.
// awake_: from the write until the watch thread runs again.
void MyhModeChange(benchmark::State& state) {
  HKEY watched = NULL, scratch = NULL;
  DWORD disposition = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MYH_KEY, 0, KEY_SET_VALUE, &watched) != ERROR_SUCCESS ||
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kScratchKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &scratch, &disposition) !=
          ERROR_SUCCESS) {
    state.SkipWithError("cannot open the keys");
    return;
  }
  DeviceMark mark;
  // The watch thread's first call after its wait returns: when it runs again.
  std::atomic<int64_t> awake{0};
  sim::onCall("ResetEvent", [&] { awake.store(bench::nowNs(), std::memory_order_relaxed); });
  const DWORD myhWord = bench::setWord(DYTC_FUNC_MYH, 1, 1);
  Latencies figure, woke, floor;
  DWORD value = 0;
  for (auto _ : state) {
    value = value == 3 ? 0 : 3;
    auto write = [&](HKEY key) {
      RegSetValueExW(key, MYH_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    };

    settle();
    uint64_t seen = mark.count();
    int64_t start = bench::nowNs();
    write(watched);
    const int64_t spent = mark.waitPast(seen) - start;
    figure.add(spent);
    woke.add(awake.load(std::memory_order_relaxed) - start);
    while (sim::blockedWaiters() < 1) std::this_thread::yield();  // back in its wait

    settle();
    seen = mark.count();
    start = bench::nowNs();
    write(scratch);
    bench::bareDeviceRequest(myhWord);
    floor.add(mark.waitPast(seen) - start);

    state.SetIterationTime(static_cast<double>(spent) * 1e-9);
    bench::trimRecords();
  }
  sim::onCall("ResetEvent", nullptr);
  RegCloseKey(watched);
  RegCloseKey(scratch);
  figure.report(state, "");
  woke.report(state, "awake_");
  floor.report(state, "floor_");
  state.SetLabel(kFloorMyh);
}

// Not a floor of any one figure: what waking a sleeping thread costs on this machine
// (a plain condition variable, no simulated machine), the part of a watched event's
// latency that no same-thread floor holds.
void ThreadWake(benchmark::State& state) {
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false, asleep = false, stop = false;
  std::atomic<uint64_t> woke{0};
  std::atomic<int64_t> at{0};
  std::thread waiter([&] {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      asleep = true;
      changed.wait(g, [&] { return signalled || stop; });
      asleep = false;
      at.store(bench::nowNs(), std::memory_order_relaxed);
      woke.fetch_add(1, std::memory_order_release);
      if (stop) return;
      signalled = false;
    }
  });
  Latencies latencies;
  for (auto _ : state) {
    for (bool waiting = false; !waiting; std::this_thread::yield()) {
      std::lock_guard<std::mutex> g(lock);
      waiting = asleep;
    }
    settle();
    const uint64_t seen = woke.load(std::memory_order_acquire);
    const int64_t start = bench::nowNs();
    {
      std::lock_guard<std::mutex> g(lock);
      signalled = true;
    }
    changed.notify_one();
    while (woke.load(std::memory_order_acquire) == seen) {
    }
    const int64_t spent = at.load(std::memory_order_relaxed) - start;
    latencies.add(spent);
    state.SetIterationTime(static_cast<double>(spent) * 1e-9);
  }
  {
    std::lock_guard<std::mutex> g(lock);
    stop = true;
  }
  changed.notify_one();
  waiter.join();
  latencies.report(state, "");
}

// ---- idle ----

// What the process's threads other than the calling one have used, from the kernel's
// accounting of each thread: context switches and CPU time.
struct Usage {
  long switches = 0;
  int64_t cpuNs = 0;
};
Usage othersUsage() {
  Usage u;
  const std::string self = std::to_string(static_cast<long>(syscall(SYS_gettid)));
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == self) continue;
    std::ifstream schedstat(task.path() / "schedstat");
    int64_t ns = 0;
    if (schedstat >> ns) u.cpuNs += ns;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        u.switches += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return u;
}

// Nothing happens for a second with every mode up: the MYH thread watches its key and an
// IFC thread the watcher's mutex. Watch threads block and nothing polls, so the other
// threads of the process should not run at all (wakeups: their waits that woke;
// switches: their context switches; cpu_us: their CPU time).
void IdleAllModesUp(benchmark::State& state) {
  ModeManager* manager = ModeManager::getInstance();
  std::optional<IdleWatcherPeer> watcher;
  watcher.emplace();
  manager->onServiceControlHandler(IFC_CTL_IDLE_START, 0, nullptr);
  if (!sim::waitForBlockedWaiters(2)) {
    state.SkipWithError("the watch threads do not wait");
    return;
  }
  settle();
  double wakeups = 0, switches = 0, cpu = 0;
  for (auto _ : state) {
    const long wokeBefore = sim::waitWakeups();
    const Usage before = othersUsage();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Usage after = othersUsage();
    wakeups += static_cast<double>(sim::waitWakeups() - wokeBefore);
    switches += static_cast<double>(after.switches - before.switches);
    cpu += static_cast<double>(after.cpuNs - before.cpuNs) * 1e-3;
  }
  state.counters["wakeups"] = wakeups;
  state.counters["switches"] = switches;
  state.counters["cpu_us"] = cpu;
  watcher.reset();
  waitIfcThreadsGone();
  bench::trimRecords();
}

// ---- the idle-time watcher ----

// Started once, after every benchmark that takes the idle mutex itself: the watcher holds
// it on this thread for good.
IdleWatcher* watcher() {
  static IdleWatcher* started = bench::startWatcher();
  return started;
}

// One second of the watcher over a quiet graphics processor: a low sample, nothing sent.
void WatcherStepLow(benchmark::State& state) {
  IdleWatcher* w = watcher();
  if (!w) {
    state.SkipWithError("the watcher did not start");
    return;
  }
  bench::setGpuLoad(0);
  paired(
      state,
      [&](int) {
        w->Step();
        return true;
      },
      [](int) { return bench::bareSampleStep(); }, kFloorSample);
}

// A busy graphics processor: every sample sends 150 (IFC off) to the service.
void WatcherStepHigh(benchmark::State& state) {
  IdleWatcher* w = watcher();
  if (!w) {
    state.SkipWithError("the watcher did not start");
    return;
  }
  bench::setGpuLoad(100);
  w->Step();  // the first sample after the change still reads the quiet second before it
  paired(
      state,
      [&](int) {
        w->Step();
        return true;
      },
      [](int) { return bench::bareSampleStep(IFC_CTL_EXIT); }, kFloorSampleControl);
}

}  // namespace

BENCHMARK_CAPTURE(ManagerControl, MMC_134_AutoOff, MMC_CTL_AUTO_OFF, floorMmc, kFloorMmc)->UseManualTime();
BENCHMARK_CAPTURE(ManagerControl, MMC_135_AutoOn, MMC_CTL_AUTO_ON, floorMmc, kFloorMmc)->UseManualTime();
BENCHMARK_CAPTURE(ManagerControl, MMC_146_CoolQuiet, MMC_CTL_COOL_QUIET, floorMmc, kFloorMmc)->UseManualTime();
BENCHMARK_CAPTURE(ManagerControl, MMC_148_Performance, MMC_CTL_PERFORMANCE, floorMmc, kFloorMmc)->UseManualTime();
BENCHMARK_CAPTURE(ManagerControl, IFC_149_Enter, IFC_CTL_ENTER, floorDevice, kFloorDevice)->UseManualTime();
BENCHMARK_CAPTURE(ManagerControl, IFC_150_Exit, IFC_CTL_EXIT, floorDevice, kFloorDevice)->UseManualTime();
BENCHMARK(DisplayPowerEvent)->UseManualTime();
BENCHMARK(DytcMethodRoundTrip)->UseManualTime();
BENCHMARK(IdleStartControl)->UseManualTime()->Iterations(1000);
BENCHMARK(MyhModeChange)->UseManualTime()->Iterations(1000);
BENCHMARK(ThreadWake)->UseManualTime()->Iterations(1000);
BENCHMARK(IdleAllModesUp)->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);
// Last: the watcher keeps the idle mutex from here on.
BENCHMARK(WatcherStepLow)->UseManualTime();
BENCHMARK(WatcherStepHigh)->UseManualTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!bench::bringUpAllModes()) {
    std::fprintf(stderr, "the modes did not come up on the simulated machine\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  bench::tearDown();
  benchmark::Shutdown();
  return 0;
}
