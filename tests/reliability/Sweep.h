// The fault-injection sweeps: a scenario is run once to record every platform call (or
// every heap allocation) the system makes, then once more per recorded call with that
// one call failing with a plausible error (per allocation, with that allocation failing).
// Every run must end in time, crash nowhere, and leave no handle, COM reference, BSTR,
// thread or heap block behind.
#pragma once

#include "platform/platform.h"
#include "tests/reliability/Isolated.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace reliability {

// One run of a scenario, in its own process, on a fresh machine.
class Run {
 public:
  explicit Run(bool injected) : m_injected(injected) {}
  // True when a call is armed to fail in this run.
  bool injected() const { return m_injected; }
  // A finding: something the run must never do, whatever failed.
  void fail(const std::string& what) { m_findings.push_back(what); }
  void check(bool condition, const std::string& what) {
    if (!condition) fail(what);
  }
  // A check of the scenario itself, made in the run without a failure: it proves the
  // scenario reaches what it claims to.
  void baseline(bool condition, const std::string& what) {
    if (!m_injected && !condition) fail("baseline: " + what);
  }
  // Waits until threads the last step woke have done their part: in the run without a
  // failure until `done` holds (what the scenario knows must follow), and in every run
  // until the machine has been quiet (no platform call) for a while. Bounded.
  void settle(const std::function<bool()>& done = nullptr);
  // Handle kinds that the scenario's process legitimately holds to its end.
  void allowHeld(const std::string& kind) { m_held.insert(kind); }
  // The process ends right after the scenario (a shutdown): what its threads hold is
  // released by that end, not checked.
  void processEnds() { m_processEnds = true; }

  const std::vector<std::string>& findings() const { return m_findings; }
  const std::multiset<std::string>& held() const { return m_held; }
  bool endsProcess() const { return m_processEnds; }

 private:
  bool m_injected;
  bool m_processEnds = false;
  std::vector<std::string> m_findings;
  std::multiset<std::string> m_held;
};

struct Injection {
  std::string api;  // the call; for an allocation, its kind
  int nth;          // 1-based, among the calls of that name (the allocations at that stack)
  DWORD error;
  bool persistent = false;  // every call of the name from the nth on fails (a device gone)
  uint64_t stack = 0;       // nonzero: the nth allocation made at this call stack fails
};

// What a sweep fails: platform calls (with every trace formatted, as a sink would), or
// heap allocations (with logging as the product has it, discarding every message).
enum class Faults { Calls, Allocations };

// A call that a rerun may legitimately not make, so a failure armed on it may not fire:
// whether the system makes it at all depends on how its threads interleave.
struct MayNotFire {
  std::string api;
  const char* why;
};

enum class Heap { Allocates, Nothing };

struct Scenario {
  std::string name;
  std::function<void(Run&)> body;
  // Runs that reach platform calls the system makes only when another call failed
  // (ExitProcess after a failed handler registration): the coverage check makes them.
  std::vector<Injection> failurePaths = {};
  // Whether the system allocates here; a scenario that should and records nothing has
  // lost what it observes.
  Heap heap = Heap::Allocates;
  std::vector<MayNotFire> mayNotFire = {};
};

// Every scenario of the sweep, in a fixed order.
const std::vector<Scenario>& scenarios();
const Scenario* findScenario(const std::string& name);

// One allocation of a run, as the child reported it.
struct Allocation {
  uint64_t stack;
  std::string kind;
  std::vector<void*> frames;
};

struct RunOutcome {
  ChildResult child;
  bool fired = false;
  std::vector<std::string> findings;
  std::vector<std::string> calls;                // the call log, when asked for
  std::vector<Allocation> allocations;  // the system's allocations, when asked for
  bool clean() const { return child.end == ChildResult::End::Finished && child.status == 0 && findings.empty(); }
  std::string describe() const;
};

// One run, or many side by side; `record` asks for what the kind of sweep records.
std::vector<RunOutcome> runScenario(const Scenario& scenario, const std::vector<std::optional<Injection>>& runs,
                                    Faults faults, bool record, size_t parallel);

struct SweepReport {
  std::string scenario;
  size_t callsRecorded = 0;              // calls (allocations) in the baseline run
  size_t stacks = 0;                     // the distinct call stacks of those allocations
  size_t injected = 0;                   // runs with one call armed to fail
  size_t exercised = 0;                  // ... whose armed call was reached and failed
  size_t persistent = 0;                 // runs with every call of one name failing
  size_t persistentFired = 0;            // ... whose armed name was reached and failed
  std::vector<std::string> unfired;      // armed failures that never fired, unexplained
  std::vector<std::string> excused;      // ... and those the scenario names, with why
  std::map<std::string, size_t> notInjected;  // calls that cannot fail, by name
  std::vector<std::string> unknownCalls;      // calls the failure table does not list
  std::vector<std::string> failures;          // runs that broke an invariant
  std::set<std::string> reached;              // names of every call recorded
};

// The runs of a sweep: the nth call of each name that can fail, in the order of the
// baseline's calls, then each such name failing for good; what cannot fail and what the
// failure table lacks are counted.
std::vector<std::optional<Injection>> plan(const std::vector<std::string>& baselineCalls, SweepReport* report);

SweepReport sweep(const Scenario& scenario, size_t parallel);
std::string summary(const SweepReport& report);

// The runs of an allocation sweep: each allocation of the baseline, as the nth made at
// its call stack.
std::vector<std::optional<Injection>> planAllocations(const std::vector<Allocation>& allocations,
                                                      SweepReport* report);
SweepReport sweepAllocations(const Scenario& scenario, size_t parallel);
std::string allocationSummary(const SweepReport& report);
// A call stack as source lines, innermost first.
std::string describeStack(const std::vector<void*>& frames);

}  // namespace reliability
