// The fault-injection sweeps over every scenario (every platform call failing in turn,
// then every heap allocation), and the check that no platform call of the system's code
// escapes them.
//
// A new platform call in the system needs three things, or this suite fails: a fault
// point in the simulated machine (`sim::checkFault` with the call's name), a plausible
// error for it in platform/sim/sim_faults.cpp, and a scenario in Scenarios.cpp that
// reaches it.
#include "tests/reliability/PlatformCalls.h"
#include "tests/reliability/Sweep.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace reliability {
namespace {

std::string joined(const std::set<std::string>& names) {
  std::string text;
  for (auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

void reportUnfired(const SweepReport& report) {
  for (auto& e : report.excused) std::printf("  armed, not fired: %s\n", e.c_str());
  for (auto& u : report.unfired)
    ADD_FAILURE() << "armed, never fired: " << u
                  << " (if a rerun may legitimately not make it, name it in the scenario with why)";
}

class FaultSweep : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultSweep, EveryCallFailingInTurnLeavesTheSystemWholeAndTheMachineClean) {
  const Scenario* scenario = findScenario(GetParam());
  ASSERT_NE(scenario, nullptr);
  SweepReport report = sweep(*scenario, defaultParallelism());
  std::printf("%s\n", summary(report).c_str());
  for (auto& [api, n] : report.notInjected)
    std::printf("  not failed: %s x%zu (%s)\n", api.c_str(), n, sim::plausibleFailure(api).why);
  EXPECT_TRUE(report.unknownCalls.empty())
      << "calls without a plausible failure in platform/sim/sim_faults.cpp: "
      << joined({report.unknownCalls.begin(), report.unknownCalls.end()});
  for (auto& f : report.failures) ADD_FAILURE() << f;
  // A sweep that failed nothing proved nothing; a failure armed that never fired, neither.
  EXPECT_GT(report.injected, 0u);
  reportUnfired(report);
}

class AllocationSweep : public ::testing::TestWithParam<std::string> {};

TEST_P(AllocationSweep, EveryAllocationFailingInTurnLeavesTheSystemWholeAndTheMachineClean) {
  ASSERT_TRUE(sim::allocationsTracked()) << "this build cannot tell the machine's allocations from the system's";
  const Scenario* scenario = findScenario(GetParam());
  ASSERT_NE(scenario, nullptr);
  SweepReport report = sweepAllocations(*scenario, defaultParallelism());
  std::printf("%s\n", allocationSummary(report).c_str());
  for (auto& f : report.failures) ADD_FAILURE() << f;
  if (scenario->heap == Heap::Nothing)
    EXPECT_EQ(report.callsRecorded, 0u) << "the system allocates here, though the scenario says it does not";
  else
    EXPECT_NE(report.callsRecorded, 0u) << "no allocation of the system recorded: the scenario observes nothing";
  reportUnfired(report);
}

std::vector<std::string> scenarioNames() {
  std::vector<std::string> names;
  for (auto& s : scenarios()) names.push_back(s.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(scenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });
INSTANTIATE_TEST_SUITE_P(Scenarios, AllocationSweep, ::testing::ValuesIn(scenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });

TEST(FaultSweepCoverage, EveryPlatformCallTheSystemMakesIsReachedByAScenario) {
  PlatformCalls calls = platformCallsOfTheSystem(QTHERM_SOURCE_DIR);
  // The reading of the sources must have found the system's calls at all.
  for (const char* known : {"DeviceIoControl", "RegOpenKeyExW", "CreateEventW", "WaitForMultipleObjects",
                            "SetServiceStatus", "CoCreateInstance", "malloc"})
    EXPECT_TRUE(calls.functions.count(known)) << known << " not found among the system's calls";
  for (const char* known : {"Connect", "RegisterTaskDefinition", "put_Author"})
    EXPECT_TRUE(calls.methods.count(known)) << known << " not found among the system's COM calls";
  EXPECT_TRUE(calls.unfailable.count("GetLastError"));

  std::set<std::string> required = calls.functions;
  required.insert(calls.methods.begin(), calls.methods.end());
  auto reach = [&](const std::vector<std::string>& log) {
    for (auto& api : log) {
      size_t colons = api.find("::");
      required.erase(colons == std::string::npos ? api : api.substr(colons + 2));
    }
  };
  // The scenarios as they run, and the runs that lead to calls made only on failure.
  for (auto& scenario : scenarios()) {
    std::vector<std::optional<Injection>> runs{std::nullopt};
    for (auto& path : scenario.failurePaths) runs.push_back(path);
    for (auto& run : runScenario(scenario, runs, Faults::Calls, true, defaultParallelism())) {
      EXPECT_EQ(run.child.end, ChildResult::End::Finished) << scenario.name << ": " << run.describe();
      reach(run.calls);
    }
  }
  std::set<std::string> missed = required;
  std::printf("the system's code makes %zu platform calls with a fault point (%zu COM methods); %zu reached\n",
              calls.functions.size() + calls.methods.size(), calls.methods.size(),
              calls.functions.size() + calls.methods.size() - missed.size());
  EXPECT_TRUE(missed.empty()) << "platform calls of the system that no scenario reaches: " << joined(missed)
                              << " (reach each in a scenario of tests/reliability/Scenarios.cpp, or through one of "
                                 "its failure paths)";
}

}  // namespace
}  // namespace reliability
