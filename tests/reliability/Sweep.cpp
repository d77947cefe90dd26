#include "tests/reliability/Sweep.h"

#include "tests/support/TraceCapture.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace reliability {
namespace {

constexpr int kRunLimitMs = 90000;  // real time for one run, sanitizers and a busy machine included
constexpr int kThreadsEndMs = 10000;

std::string hex(DWORD value) {
  std::ostringstream s;
  s << "0x" << std::hex << value;
  return s.str();
}

// The checks every run ends with, written as lines for the parent.
void finish(Run& run, const std::optional<Injection>& injection, const std::set<long>& threadsBefore, Faults faults,
            bool record, Lines& out) {
  bool processEnded = sim::scm::processExitCode().has_value() || run.endsProcess();
  if (!processEnded) {
    if (!waitThreadsEnded(threadsBefore, kThreadsEndMs)) {
      size_t extra = 0;
      for (long id : threadIds()) extra += threadsBefore.count(id) ? 0 : 1;
      run.fail(std::to_string(extra) + " thread(s) the run started never ended");
    }
    std::multiset<std::string> held = run.held();
    std::vector<std::string> left;
    for (auto& kind : sim::openHandleKinds()) {
      if (kind == "Console") continue;
      auto it = held.find(kind);
      if (it != held.end())
        held.erase(it);
      else
        left.push_back(kind);
    }
    if (!left.empty()) {
      std::string kinds;
      for (auto& k : left) kinds += " " + k;
      run.fail("handles left open:" + kinds);
    }
    for (auto& object : sim::com::liveObjects()) run.fail("COM reference left: " + object);
    if (size_t n = sim::com::liveStrings()) run.fail(std::to_string(n) + " BSTR(s) left");
    if (size_t n = sim::process::liveHeapBlocks()) run.fail(std::to_string(n) + " process heap block(s) left");
    if (size_t n = sim::livePlatformBlocks()) run.fail(std::to_string(n) + " block(s) of PlatformMalloc left");
    // A registration is given back unless giving it back is what failed.
    bool unregisterFailed = injection && injection->api == "PowerSettingUnregisterNotification";
    if (sim::power::activeRegistrations() != 0 && !unregisterFailed) run.fail("a power-setting registration left");
  }
  for (auto& m : sim::process::heapMisuse()) run.fail("heap misuse: " + m);
  for (auto& m : sim::com::misuse()) run.fail("COM misuse: " + m);
  for (auto& m : sim::platformBlockMisuse()) run.fail("heap misuse: " + m);
  if (leaksFound()) run.fail("heap blocks leaked (LeakSanitizer's report above)");

  out.add(std::string("fired ") + (sim::firedFaults().empty() ? "0" : "1"));
  for (auto& f : run.findings()) out.add("finding " + f);
  if (record && faults == Faults::Calls)
    for (auto& c : sim::callLog()) out.add("call " + c);
  if (record && faults == Faults::Allocations) {
    for (auto& site : sim::allocationSites()) {
      std::ostringstream line;
      line << "alloc " << std::hex << site.stack << std::dec << ' ' << site.frames.size();
      for (void* frame : site.frames) line << ' ' << frame;
      line << ' ' << site.kind;
      out.add(line.str());
    }
  }
}

Allocation parseAllocation(const std::string& line) {
  std::istringstream in(line);
  Allocation a{};
  size_t count = 0;
  in >> std::hex >> a.stack >> std::dec >> count;
  for (size_t i = 0; i < count; i++) {
    void* frame = nullptr;
    in >> frame;
    a.frames.push_back(frame);
  }
  std::getline(in >> std::ws, a.kind);
  return a;
}

// A run whose armed failure never fired: a hole in the sweep unless the scenario names
// the call as one a rerun may not make.
void unfired(const Scenario& scenario, const std::string& api, const std::string& what, SweepReport* report) {
  for (auto& m : scenario.mayNotFire)
    if (m.api == api) {
      report->excused.push_back(what + ": " + m.why);
      return;
    }
  report->unfired.push_back(what);
}

}  // namespace

void Run::settle(const std::function<bool()>& done) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kQuiet = std::chrono::milliseconds(25);
  if (done && !m_injected) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto deadline = Clock::now() + std::chrono::seconds(3);
  size_t seen = sim::recordedCalls();
  auto quietSince = Clock::now();
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    size_t now = sim::recordedCalls();
    if (now != seen) {
      seen = now;
      quietSince = Clock::now();
    } else if (Clock::now() - quietSince >= kQuiet) {
      return;
    }
  }
}

const Scenario* findScenario(const std::string& name) {
  for (auto& s : scenarios())
    if (s.name == name) return &s;
  return nullptr;
}

std::string RunOutcome::describe() const {
  std::string text;
  if (child.end != ChildResult::End::Finished || child.status != 0) text = child.describe();
  for (auto& f : findings) text += (text.empty() ? "" : "; ") + f;
  return text;
}

std::vector<RunOutcome> runScenario(const Scenario& scenario, const std::vector<std::optional<Injection>>& runs,
                                    Faults faults, bool record, size_t parallel) {
  auto body = [&](size_t i, Lines& out) {
    // The scenario's own code is the test's: its calls into the system say so.
    sim::Unobserved test;
    sim::reset();
    // Every trace formatted, as a sink would; the allocation sweep runs as the product
    // logs, discarding every message unformatted.
    std::optional<TraceCapture> traces;
    if (faults == Faults::Calls) traces.emplace();
    const std::optional<Injection>& injection = runs[i];
    Run run(injection.has_value());
    std::set<long> before = threadIds();
    if (record && faults == Faults::Allocations) sim::recordAllocationSites();
    if (injection && injection->stack)
      sim::failAllocationAt(injection->stack, injection->nth);
    else if (injection)
      sim::failCall(injection->api, injection->error, injection->nth, injection->persistent ? -1 : 1);
    // How this child was reached (which sweep, which run) is not part of a stack.
    sim::allocationStacksFromHere();
    scenario.body(run);
    finish(run, injection, before, faults, record, out);
    // Taken under the capture's lock: the traces of threads that ended unjoined are seen
    // to end before the capture goes.
    if (traces) traces->clear();
  };
  std::vector<ChildResult> children = runIsolated(runs.size(), body, parallel, kRunLimitMs);
  std::vector<RunOutcome> outcomes;
  for (auto& child : children) {
    RunOutcome o;
    o.child = child;
    for (auto& line : child.lines) {
      if (line.rfind("fired ", 0) == 0)
        o.fired = line == "fired 1";
      else if (line.rfind("finding ", 0) == 0)
        o.findings.push_back(line.substr(8));
      else if (line.rfind("call ", 0) == 0)
        o.calls.push_back(line.substr(5));
      else if (line.rfind("alloc ", 0) == 0)
        o.allocations.push_back(parseAllocation(line.substr(6)));
    }
    outcomes.push_back(std::move(o));
  }
  return outcomes;
}

std::vector<std::optional<Injection>> plan(const std::vector<std::string>& baselineCalls, SweepReport* report) {
  std::vector<std::optional<Injection>> runs;
  std::map<std::string, int> seen;
  std::set<std::string> unknown;
  for (auto& api : baselineCalls) {
    report->reached.insert(api);
    int nth = ++seen[api];
    sim::PlausibleFailure failure = sim::plausibleFailure(api);
    if (!failure.known)
      unknown.insert(api);
    else if (!failure.error)
      report->notInjected[api]++;
    else
      runs.push_back(Injection{api, nth, *failure.error});
  }
  report->unknownCalls.assign(unknown.begin(), unknown.end());
  report->injected = runs.size();
  std::set<std::string> names;
  for (auto& run : std::vector<std::optional<Injection>>(runs)) {
    if (!names.insert(run->api).second) continue;
    runs.push_back(Injection{run->api, 1, run->error, true});
    report->persistent++;
  }
  return runs;
}

SweepReport sweep(const Scenario& scenario, size_t parallel) {
  SweepReport report;
  report.scenario = scenario.name;
  RunOutcome baseline = runScenario(scenario, {std::nullopt}, Faults::Calls, true, 1).front();
  if (!baseline.clean()) {
    report.failures.push_back("without a failure: " + baseline.describe());
    return report;
  }
  report.callsRecorded = baseline.calls.size();
  std::vector<std::optional<Injection>> runs = plan(baseline.calls, &report);

  std::vector<RunOutcome> outcomes = runScenario(scenario, runs, Faults::Calls, false, parallel);
  for (size_t i = 0; i < runs.size(); i++) {
    const Injection& armed = *runs[i];
    std::string what = armed.api + (armed.persistent ? " (every call)" : " #" + std::to_string(armed.nth));
    if (outcomes[i].fired)
      (armed.persistent ? report.persistentFired : report.exercised)++;
    else if (outcomes[i].child.end == ChildResult::End::Finished && outcomes[i].child.status == 0)  // reported whole
      unfired(scenario, armed.api, what, &report);
    if (!outcomes[i].clean())
      report.failures.push_back(what + " failing with " + hex(armed.error) + ": " + outcomes[i].describe());
  }
  return report;
}

std::string summary(const SweepReport& r) {
  std::ostringstream s;
  size_t skipped = 0;
  for (auto& [api, n] : r.notInjected) skipped += n;
  s << r.scenario << ": " << r.callsRecorded << " calls recorded, " << r.injected << " failed one at a time, "
    << r.exercised << " injection points exercised, " << r.persistent << " calls failed for good ("
    << r.persistentFired << " fired), " << skipped
    << " calls that cannot fail there, " << r.failures.size() << " broken runs";
  return s.str();
}

std::vector<std::optional<Injection>> planAllocations(const std::vector<Allocation>& allocations,
                                                      SweepReport* report) {
  std::vector<std::optional<Injection>> runs;
  std::map<uint64_t, int> seen;
  for (auto& a : allocations) runs.push_back(Injection{a.kind, ++seen[a.stack], ERROR_NOT_ENOUGH_MEMORY, false, a.stack});
  report->callsRecorded = allocations.size();
  report->stacks = seen.size();
  report->injected = runs.size();
  return runs;
}

SweepReport sweepAllocations(const Scenario& scenario, size_t parallel) {
  SweepReport report;
  report.scenario = scenario.name;
  RunOutcome baseline = runScenario(scenario, {std::nullopt}, Faults::Allocations, true, 1).front();
  if (!baseline.clean()) {
    report.failures.push_back("without a failure: " + baseline.describe());
    return report;
  }
  std::vector<std::optional<Injection>> runs = planAllocations(baseline.allocations, &report);
  std::map<uint64_t, const Allocation*> where;
  for (auto& a : baseline.allocations) where.emplace(a.stack, &a);

  std::vector<RunOutcome> outcomes = runScenario(scenario, runs, Faults::Allocations, false, parallel);
  for (size_t i = 0; i < runs.size(); i++) {
    // Resolving a stack takes a while: only for a run that is reported.
    auto what = [&] {
      return runs[i]->api + " #" + std::to_string(runs[i]->nth) + " at\n" +
             describeStack(where[runs[i]->stack]->frames);
    };
    if (outcomes[i].fired)
      report.exercised++;
    else if (outcomes[i].child.end == ChildResult::End::Finished && outcomes[i].child.status == 0)
      report.unfired.push_back(what());  // an allocation has no name to excuse it by
    if (!outcomes[i].clean()) report.failures.push_back(what() + "failing: " + outcomes[i].describe());
  }
  return report;
}

std::string allocationSummary(const SweepReport& r) {
  std::ostringstream s;
  s << r.scenario << ": " << r.callsRecorded << " allocations recorded at " << r.stacks << " call stacks, "
    << r.injected << " failed one at a time, " << r.exercised << " exercised, " << r.failures.size() << " broken runs";
  return s.str();
}

std::string describeStack(const std::vector<void*>& frames) {
  constexpr size_t kShown = 10;
  char self[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  std::string text;
  size_t shown = 0;
  for (size_t i = 0; i < frames.size() && shown < kShown; i++) {
    Dl_info info{};
    char resolved[PATH_MAX] = {};
    std::string function, place;
    if (dladdr(frames[i], &info) && info.dli_fname && realpath(info.dli_fname, resolved) && exe == resolved) {
      // A return address: the call is the instruction before it.
      auto offset = reinterpret_cast<uintptr_t>(frames[i]) - reinterpret_cast<uintptr_t>(info.dli_fbase) - 1;
      std::ostringstream command;
      command << "addr2line -f -C -e " << exe << " 0x" << std::hex << offset << " 2>/dev/null";
      if (std::FILE* p = popen(command.str().c_str(), "r")) {
        char buffer[2048];
        if (std::fgets(buffer, sizeof buffer, p)) function = buffer;
        if (std::fgets(buffer, sizeof buffer, p)) place = buffer;
        pclose(p);
      }
    } else {
      function = std::string(info.dli_sname ? info.dli_sname : "?") + "\n";
      place = std::string(info.dli_fname ? info.dli_fname : "?") + "\n";
    }
    // The standard library's frames after the first say nothing of who allocated.
    bool library = place.find("/usr/") != std::string::npos;
    if (library && i > 0) continue;
    while (!function.empty() && function.back() == '\n') function.pop_back();
    text += "    " + function.substr(0, 160) + "  " + place;
    shown++;
  }
  return text;
}

}  // namespace reliability
