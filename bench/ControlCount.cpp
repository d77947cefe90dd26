// A small driver for instruction counts under callgrind: brings all modes up on the
// simulated machine and performs one reaction, or its floor, N times inside
// qtherm_count_chunk, the only function whose instructions scripts/bench collects
// (--collect-atstart=no --toggle-collect=qtherm_count_chunk).
//
//   qtherm_bench_count WHAT N
//   WHAT: control:<code>   a user-defined control through the manager
//         display          monitor power events, off and on in turn, through the manager
//         dytc             one DYTCMethod round trip
//         watcher:low      one sample step of the idle-time watcher, quiet graphics processor
//         watcher:high     one sample step, busy graphics processor (it sends 150)
//         floor:device     the bare device request
//         floor:mmc        the bare device request and two bare registry writes
//         floor:sample     the bare calls of a sample step
//         floor:sample-control  the same and a bare service control
#include "bench/SimMachine.h"

#include "modes/Dytc.h"
#include "modes/MmcMode.h"
#include "modes/IfcMode.h"
#include "modes/ModeManager.h"
#include "service/IdleWatcher.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

enum class Op { Control, Display, Dytc, WatcherLow, WatcherHigh, FloorDevice, FloorMmc, FloorSample, FloorSampleControl };

struct Work {
  Op op = Op::Control;
  DWORD control = 0;
  POWERBROADCAST_SETTING* records[2] = {};
  IdleWatcher* watcher = nullptr;
};

bool parse(const std::string& what, Work* work) {
  if (what.rfind("control:", 0) == 0) {
    work->op = Op::Control;
    work->control = static_cast<DWORD>(std::strtoul(what.c_str() + 8, nullptr, 0));
    return work->control != 0;
  }
  if (what == "display") work->op = Op::Display;
  else if (what == "dytc") work->op = Op::Dytc;
  else if (what == "floor:device") work->op = Op::FloorDevice;
  else if (what == "floor:mmc") work->op = Op::FloorMmc;
  else if (what == "watcher:low") work->op = Op::WatcherLow;
  else if (what == "watcher:high") work->op = Op::WatcherHigh;
  else if (what == "floor:sample") work->op = Op::FloorSample;
  else if (what == "floor:sample-control") work->op = Op::FloorSampleControl;
  else return false;
  return true;
}

unsigned perform(const Work* work, unsigned n, unsigned first) {
  ModeManager* manager = ModeManager::getInstance();
  const DWORD word = bench::setWord(DYTC_FUNC_MMC, 3, 1);
  unsigned ok = 0;
  for (unsigned i = 0; i < n; i++) {
    switch (work->op) {
      case Op::Control:
        ok += manager->onServiceControlHandler(work->control, 0, nullptr);
        break;
      case Op::Display:
        ok += manager->onServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE,
                                               work->records[(first + i) & 1]);
        break;
      case Op::Dytc: {
        DWORD reply = 0;
        ok += DYTCMethod(word, &reply);
        break;
      }
      case Op::FloorDevice:
        ok += bench::bareDeviceRequest(word);
        break;
      case Op::FloorMmc:
        ok += bench::bareDeviceRequest(word) && bench::bareRegistryWrite(MMC_REG_ROOT, MMC_REG_CURRENTSETTING, 1) &&
              bench::bareRegistryWrite(MMC_REG_ROOT, MMC_REG_AUTOMATICMODESETTING, 1);
        break;
      case Op::WatcherLow:
      case Op::WatcherHigh:
        work->watcher->Step();
        ok++;
        break;
      case Op::FloorSample:
        ok += bench::bareSampleStep();
        break;
      case Op::FloorSampleControl:
        ok += bench::bareSampleStep(IFC_CTL_EXIT);
        break;
    }
  }
  return ok;
}

}  // namespace

// Not inlined and not static: callgrind finds it by this name.
extern "C" __attribute__((noinline)) unsigned qtherm_count_chunk(const void* work, unsigned n, unsigned first) {
  return perform(static_cast<const Work*>(work), n, first);
}

int main(int argc, char** argv) {
  Work work;
  if (argc != 3 || !parse(argv[1], &work)) {
    std::fprintf(stderr, "usage: %s OPERATION N (see the source)\n", argv[0]);
    return 2;
  }
  const unsigned n = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0));
  if (!bench::bringUpAllModes()) {
    std::fprintf(stderr, "the modes did not come up on the simulated machine\n");
    return 1;
  }
  if (work.op == Op::WatcherLow || work.op == Op::WatcherHigh || work.op == Op::FloorSample ||
      work.op == Op::FloorSampleControl) {
    work.watcher = bench::startWatcher();
    if (!work.watcher) {
      std::fprintf(stderr, "the watcher did not start\n");
      return 1;
    }
    bench::setGpuLoad(work.op == Op::WatcherHigh || work.op == Op::FloorSampleControl ? 100 : 0);
  }
  auto off = sim::power::monitorRecord(0);
  auto on = sim::power::monitorRecord(1);
  work.records[0] = off.get();
  work.records[1] = on.get();

  // Warm-up outside the collected function: first-call costs (lazy binding, the first
  // node of each key) are not the reaction's.
  perform(&work, 16, 0);
  bench::trimRecords();

  unsigned ok = 0;
  constexpr unsigned kChunk = 1024;  // the machine's records are trimmed between chunks
  for (unsigned done = 0; done < n; done += kChunk) {
    const unsigned count = n - done < kChunk ? n - done : kChunk;
    ok += qtherm_count_chunk(&work, count, done);
    bench::trimRecords();
  }
  bench::tearDown();
  std::printf("operations=%u succeeded=%u\n", n, ok);
  return ok == n ? 0 : 1;
}
