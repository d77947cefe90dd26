// Fixture for tests that reach the Task Scheduler: the test thread joins the
// multithreaded apartment, and the test fails if a COM reference or a BSTR is left, or
// if any was released or freed once too often.
#pragma once

#include "tests/support/SimFixture.h"

#include <ostream>

namespace sim::taskschd {
inline void PrintTo(const TaskRecord& task, std::ostream* out) { *out << describe(task); }
}  // namespace sim::taskschd

class ComTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(sim::com::liveObjects(), std::vector<std::string>()) << "COM references left";
    EXPECT_EQ(sim::com::misuse(), std::vector<std::string>());
    EXPECT_EQ(sim::com::liveStrings(), 0u) << "BSTRs left";
    CoUninitialize();
    SimTest::TearDown();
  }
};
