// Platform calls that Windows does not order must not hide a race between the threads
// that make them. Built only under ThreadSanitizer.
#include "platform/memory.h"
#include "tests/support/SimFixture.h"

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

class UnorderedCallsTest : public SimTest {};

// Relaxed flags order nothing for ThreadSanitizer. They lie away from the raced variables:
// it keeps only a few accesses per 8 bytes, and spinning on a flag there would push out
// the write it must see.
std::atomic<bool> called, written, hooked;
// Each row's report must be of the race it plants, not of any other in the run.
int raced;
LARGE_INTEGER filled;
const char* const kRacedReport = "ThreadSanitizer: data race(.|\n)*Location is global '[^']*raced'";

// Two threads write `raced`, each making `call` between its write and the other's; the
// second makes its call after the first has made its own, both threads alive.
[[noreturn]] void race(void (*call)()) {
  std::thread first([call] {
    raced = 1;
    call();
    called.store(true, std::memory_order_relaxed);
    while (!written.load(std::memory_order_relaxed)) std::this_thread::yield();
  });
  std::thread second([call] {
    while (!called.load(std::memory_order_relaxed)) std::this_thread::yield();
    call();
    raced = 2;
    written.store(true, std::memory_order_relaxed);
  });
  first.join();
  second.join();
  std::exit(0);
}

TEST_F(UnorderedCallsTest, ARaceAcrossCallsThatOrderNothingIsReported) {
  struct Row {
    const char* calls;
    void (*call)();
    void (*arm)() = nullptr;  // before the threads start
  };
  const Row rows[] = {
      {"GetTickCount64", [] { GetTickCount64(); }},
      {"Sleep", [] { Sleep(10); }},
      // Both threads run the one hook: its count must not order them.
      {"GetTickCount64 with a hook", [] { GetTickCount64(); }, [] { sim::onCall("GetTickCount64", [] {}); }},
      {"Sleep with a hook", [] { Sleep(10); }, [] { sim::onSleep([](DWORD) {}); }},
      {"CreateEventW, CloseHandle", [] { CloseHandle(CreateEventW(NULL, TRUE, FALSE, NULL)); }},
      {"PlatformMalloc, PlatformFree", [] { PlatformFree(PlatformMalloc(8)); }},
      {"operator new with its site recorded",
       [] {
         sim::recordAllocationSites();
         delete new int(0);
       }},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Row& row : rows)
    EXPECT_EXIT(
        {
          if (row.arm) row.arm();
          race(row.call);
        },
        ::testing::ExitedWithCode(66), kRacedReport)
        << row.calls;
}

// What the machine writes for its caller is the caller's: another thread's unordered read
// of it is a race.
TEST_F(UnorderedCallsTest, AnOutParameterFilledByTheMachineIsSeen) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::thread filler([] {
          QueryPerformanceCounter(&filled);
          called.store(true, std::memory_order_relaxed);
          while (!written.load(std::memory_order_relaxed)) std::this_thread::yield();
        });
        while (!called.load(std::memory_order_relaxed)) std::this_thread::yield();
        volatile LONGLONG read = filled.QuadPart;
        static_cast<void>(read);
        written.store(true, std::memory_order_relaxed);
        filler.join();
        std::exit(0);
      },
      ::testing::ExitedWithCode(66),
      "ThreadSanitizer: data race(.|\n)*Previous write of size 8(.|\n)*QueryPerformanceCounter(.|\n)*"
      "Location is global '[^']*filled'");
}

// What a test wrote before setting a hook is seen by the thread that runs it: were the
// hook not handed over, ThreadSanitizer would report the read of `armed` here.
TEST_F(UnorderedCallsTest, AHookSetDuringARunIsHandedToTheThreadThatRunsIt) {
  int armed = 0;
  std::thread caller([] {
    while (!hooked.load(std::memory_order_relaxed)) GetTickCount64();
  });
  armed = 1;
  sim::onCall("GetTickCount64", [&] { hooked.store(armed == 1, std::memory_order_relaxed); });
  caller.join();
}

}  // namespace
