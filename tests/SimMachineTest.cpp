// The simulated machine must behave as Windows does where the system relies on it;
// these cases pin the behaviour the system's own tests build on.
#include "platform/memory.h"
#include "tests/support/SimFixture.h"

#include <memory>
#include <new>
#include <thread>

namespace {

class SimMachineTest : public SimTest {};

TEST_F(SimMachineTest, LowestSignalledIndexWinsAndManualResetStaysSignalled) {
  HANDLE a = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE b = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE both[] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(b);
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), 0u);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), 0u);
  ResetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), 1u);
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(SimMachineTest, AWaitOnAClosedHandleFailsWithInvalidHandle) {
  HANDLE e = CreateEventW(NULL, TRUE, FALSE, NULL);
  CloseHandle(e);
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(e));
}

TEST_F(SimMachineTest, ANamedEventIsSharedAndItsNameGoesWithTheLastHandle) {
  HANDLE first = CreateEventW(NULL, TRUE, FALSE, L"regstopevent");
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateEventW(NULL, TRUE, FALSE, L"regstopevent");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetEvent(first);
  EXPECT_TRUE(sim::eventIsSignaled(second));
  CloseHandle(first);
  EXPECT_TRUE(sim::namedObjectExists(L"regstopevent"));
  CloseHandle(second);
  EXPECT_FALSE(sim::namedObjectExists(L"regstopevent"));
}

TEST_F(SimMachineTest, AMutexLeftByAnEndingThreadIsAbandonedForEachNextWaiter) {
  std::thread owner([] {
    HANDLE m = CreateMutexW(NULL, FALSE, L"Global\\QTHUniversal_Idle_Mutex");
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), 0u);
    CloseHandle(m);  // closing does not release ownership
  });
  owner.join();
  HANDLE stop = CreateEventW(NULL, TRUE, FALSE, NULL);
  std::thread next([&] {
    HANDLE m = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Global\\QTHUniversal_Idle_Mutex");
    // The name vanished with the owner's last handle; nothing to open.
    EXPECT_EQ(m, nullptr);
  });
  next.join();

  HANDLE keep = CreateMutexW(NULL, FALSE, L"Global\\QTHUniversal_Idle_Mutex");
  std::thread holder([] {
    HANDLE m = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Global\\QTHUniversal_Idle_Mutex");
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), 0u);
    CloseHandle(m);
  });
  holder.join();
  DWORD results[2] = {};
  for (DWORD& result : results) {
    std::thread waiter([&] {
      HANDLE m = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Global\\QTHUniversal_Idle_Mutex");
      HANDLE pair[] = {stop, m};
      result = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
      CloseHandle(m);
    });
    waiter.join();
  }
  EXPECT_EQ(results[0], static_cast<DWORD>(WAIT_ABANDONED_0 + 1));
  EXPECT_EQ(results[1], static_cast<DWORD>(WAIT_ABANDONED_0 + 1));
  CloseHandle(keep);
  CloseHandle(stop);
}

TEST_F(SimMachineTest, RegistryChangeSignalsAnArmedNotificationOnce) {
  sim::reg::createKey(L"SOFTWARE\\Oltaro\\BravaMode");
  HKEY key = NULL;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oltaro\\BravaMode", 0, KEY_QUERY_VALUE | KEY_NOTIFY, &key), 0);
  HANDLE changed = CreateEventW(NULL, TRUE, FALSE, NULL);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE), 0);
  std::thread writer([] { sim::reg::setDword(L"SOFTWARE\\Oltaro\\BravaMode", L"Mode", 3); });
  EXPECT_EQ(WaitForSingleObject(changed, INFINITE), 0u);
  writer.join();
  ResetEvent(changed);
  sim::reg::setDword(L"SOFTWARE\\Oltaro\\BravaMode", L"Mode", 4);
  EXPECT_FALSE(sim::eventIsSignaled(changed));  // not re-armed
  EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE), 0);
  RegCloseKey(key);  // closing the key completes the pending notification
  EXPECT_TRUE(sim::eventIsSignaled(changed));
  CloseHandle(changed);
}

TEST_F(SimMachineTest, FaultsHitTheChosenCallOnly) {
  sim::failCall("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 2);
  HANDLE first = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE second = CreateEventW(NULL, TRUE, FALSE, NULL);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE third = CreateEventW(NULL, TRUE, FALSE, NULL);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(sim::callCount("CreateEventW"), 3);
  CloseHandle(first);
  CloseHandle(third);
}

// The system's allocations on the threads the machine runs it on: the service's main
// thread, the dispatcher's (in the control handler), and a thread the service starts.
long g_counted[3];
SERVICE_STATUS_HANDLE g_countingStatus;
long countOne() {
  long before = sim::systemAllocations();
  delete new int(0);
  return sim::systemAllocations() - before;
}
DWORD WINAPI countingHandler(DWORD, DWORD, LPVOID, LPVOID) {
  g_counted[1] = countOne();
  SERVICE_STATUS stopped{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  SetServiceStatus(g_countingStatus, &stopped);
  return NO_ERROR;
}
void WINAPI countingMain(DWORD, LPWSTR*) {
  g_counted[0] = countOne();
  g_countingStatus = RegisterServiceCtrlHandlerExW(L"", countingHandler, NULL);
  std::thread([] { g_counted[2] = countOne(); }).join();
  SERVICE_STATUS running{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  SetServiceStatus(g_countingStatus, &running);
}

TEST_F(SimMachineTest, OnlyTheSystemsAllocationsAreCountedAndTheChosenOneFails) {
  ASSERT_TRUE(sim::allocationsTracked());
  std::wstring key, name;
  {
    sim::Unobserved test;  // the test's own allocations are not the system's
    key = L"SOFTWARE\\Oltaro\\BravaMode";
    name = L"Mode";
  }
  long start = sim::systemAllocations();
  // Nor is the machine's own bookkeeping.
  sim::reg::setDword(key, name, 3);
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, L"regstopevent");
  EXPECT_EQ(sim::systemAllocations(), start);
  auto counted = std::make_unique<int>(1);
  EXPECT_EQ(sim::systemAllocations(), start + 1);

  sim::failAllocation(2);
  void* block = PlatformMalloc(16);
  EXPECT_THROW(counted = std::make_unique<int>(2), std::bad_alloc);
  sim::failAllocation(1);
  EXPECT_EQ(new (std::nothrow) int(3), nullptr);
  sim::failAllocation(1);
  EXPECT_EQ(PlatformMalloc(16), nullptr);
  EXPECT_EQ(sim::livePlatformBlocks(), 1u);
  PlatformFree(block);
  EXPECT_EQ(sim::systemAllocations(), start + 5);
  CloseHandle(event);

  sim::scm::runAsService(L"QTHRMON");
  wchar_t service[] = L"QTHRMON";
  SERVICE_TABLE_ENTRYW table[] = {{service, countingMain}, {NULL, NULL}};
  std::thread dispatcher([&] { StartServiceCtrlDispatcherW(table); });
  {
    sim::Unobserved test;
    ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
    sim::scm::postControl(SERVICE_CONTROL_STOP);
    dispatcher.join();
    sim::scm::joinServiceThreads();
  }
  EXPECT_EQ(std::vector<long>(g_counted, g_counted + 3), (std::vector<long>{1, 1, 1}));
}

TEST_F(SimMachineTest, ABlockGivenBackThroughAnotherFamilyEndsTheProcess) {
  void* block = ::operator new(24, std::align_val_t{64});
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 64, 0u);
  ::operator delete(block, 24, std::align_val_t{64});
  // One mismatch a row, made and released through calls the compiler cannot pair: it
  // refuses a mismatch it sees.
  constexpr std::align_val_t a64{64};
  struct Row {
    void* (*make)();
    void (*release)(void*);
    const char* report;
  };
  const Row rows[] = {
      {[] { return ::operator new(24); }, [](void* p) { ::operator delete[](p); },
       "operator delete\\[\\] releases a block of operator new \\(24 bytes"},
      {[] { return ::operator new[](24, std::nothrow); }, [](void* p) { ::operator delete(p, std::nothrow); },
       "operator delete releases a block of operator new\\[\\] \\(24 bytes"},
      {[] { return ::operator new(24); }, [](void* p) { ::operator delete(p, 16); },
       "operator delete \\(16 bytes\\) releases a block of operator new \\(24"},
      {[] { return ::operator new[](24); }, [](void* p) { ::operator delete[](p, 32); },
       "operator delete\\[\\] \\(32 bytes\\) releases a block of operator new\\[\\] \\(24"},
      {[] { return ::operator new(24); }, [](void* p) { ::operator delete(p, a64); },
       "operator delete \\(aligned 64\\) releases a block of operator new \\(24"},
      {[] { return ::operator new(24, a64); }, [](void* p) { ::operator delete(p); },
       "operator delete releases a block of operator new \\(aligned 64, 24 bytes"},
      {[] { return ::operator new(24, a64); }, [](void* p) { ::operator delete(p, std::align_val_t{32}); },
       "operator delete \\(aligned 32\\) releases a block of operator new \\(aligned 64"},
      {[] { return ::operator new[](24, a64); }, [](void* p) { ::operator delete[](p, 8, a64); },
       "operator delete\\[\\] \\(aligned 64, 8 bytes\\) releases a block of operator new\\[\\] \\(aligned 64, 24"},
      {[] { return ::operator new(24, a64, std::nothrow); }, [](void* p) { ::operator delete[](p, a64, std::nothrow); },
       "operator delete\\[\\] \\(aligned 64\\) releases a block of operator new \\(aligned 64"},
      {[] { return std::malloc(24); }, [](void* p) { ::operator delete(p); },
       "operator delete releases a block that no operator new made"},
      {[] { return PlatformMalloc(24); }, [](void* p) { ::operator delete[](p); },
       "operator delete\\[\\] releases a block that no operator new made"},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Row& row : rows) EXPECT_DEATH(row.release(row.make()), row.report);
}

TEST_F(SimMachineTest, SleepRunsOnTheVirtualClock) {
  ULONGLONG start = GetTickCount64();
  Sleep(30000);
  EXPECT_EQ(GetTickCount64() - start, 30000u);
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  EXPECT_EQ(f.QuadPart, 10000000);
  EXPECT_EQ(c.QuadPart, 30000LL * 10000);
}

}  // namespace
