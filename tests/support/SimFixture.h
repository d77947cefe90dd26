// Base fixture: a fresh simulated machine for every test, and a check that the test
// left no handle and no block of PlatformMalloc.
#pragma once

#include "platform/platform.h"
#include "tests/support/TraceCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
  void TearDown() override {
    if (m_checkHandles) {
      auto kinds = sim::openHandleKinds();
      kinds.erase(std::remove(kinds.begin(), kinds.end(), std::string("Console")), kinds.end());
      EXPECT_TRUE(kinds.empty()) << "handles left open: " << ::testing::PrintToString(kinds);
    }
    EXPECT_EQ(sim::livePlatformBlocks(), 0u) << "blocks of PlatformMalloc left";
    EXPECT_EQ(sim::platformBlockMisuse(), std::vector<std::string>());
  }
  // For tests that deliberately leave handles open (a watcher holding its mutex).
  void allowOpenHandles() { m_checkHandles = false; }

  TraceCapture traces;

 private:
  bool m_checkHandles = true;
};
