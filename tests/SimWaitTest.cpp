#include "tests/support/SimFixture.h"

#include <chrono>
#include <thread>
#include <vector>

namespace {

class SimWaitTest : public SimTest {};

// Threads blocked in waits stay asleep while nothing they wait on changes: a thread that
// starts to wait does not wake the ones already waiting, which would wake each other in
// turn without end and make every idle watch thread spin.
TEST_F(SimWaitTest, BlockedWaitersSleepUntilAChange) {
  std::vector<HANDLE> events;
  for (int i = 0; i < 3; i++) events.push_back(CreateEventW(NULL, TRUE, FALSE, NULL));
  const long before = sim::waitWakeups();
  std::vector<std::thread> waiters;
  for (HANDLE e : events) waiters.emplace_back([e] { EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0); });
  ASSERT_TRUE(sim::waitForBlockedWaiters(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sim::waitWakeups(), before);
  EXPECT_EQ(sim::blockedWaiters(), 3);

  SetEvent(events[0]);
  waiters[0].join();
  EXPECT_GE(sim::waitWakeups() - before, 1);

  for (size_t i = 1; i < events.size(); i++) SetEvent(events[i]);
  for (size_t i = 1; i < waiters.size(); i++) waiters[i].join();
  for (HANDLE e : events) CloseHandle(e);
}

}  // namespace
