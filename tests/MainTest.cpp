// The program's entry: what each role does on the simulated machine, down to its exit
// code and its use of COM.
#include "service/Main.h"

#include "modes/IfcMode.h"
#include "modes/Log.h"
#include "platform/sim/sim_memory.h"
#include "service/IdleWatcher.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/SimFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

const std::wstring kInstalledExe = L"C:\\windows\\system32\\QTHERMSvc.exe";
const std::wstring kDeleteCopy = L"C:\\windows\\system32\\QTHERMSvcWillDel.exe";
const std::wstring kIcKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";
const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON";

class MainTest : public SimTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(sim::com::liveObjects(), std::vector<std::string>()) << "COM references left";
    EXPECT_EQ(sim::com::misuse(), std::vector<std::string>());
    EXPECT_EQ(sim::com::liveStrings(), 0u) << "BSTRs left";
    SimTest::TearDown();
  }

  // Runs wmain on this thread as the process's main thread would.
  static int run(std::vector<std::wstring> args) {
    std::vector<std::wstring> storage{kInstalledExe};
    for (auto& a : args) storage.push_back(std::move(a));
    std::vector<wchar_t*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    wchar_t* envp[] = {nullptr};
    return wmain(static_cast<int>(storage.size()), argv.data(), envp);
  }

  // The traces of wmain itself.
  std::vector<std::wstring> mainTraces() const { return traces.matching(L"wmain"); }
};

TEST_F(MainTest, AnUnknownSwitchDoesNothingButReleaseCom) {
  EXPECT_EQ(run({L"-foo", L"-install"}), 0);
  EXPECT_EQ(mainTraces(), (std::vector<std::wstring>{L"wmain argc 3", L"wmain argv[1] -foo"}));
  EXPECT_EQ(traces.texts().size(), 2u);
  EXPECT_EQ(sim::callLog(), (std::vector<std::string>{"CoInitializeEx", "CoUninitialize"}));
  EXPECT_FALSE(sim::com::usable());
}

TEST_F(MainTest, AFailedComStartEndsTheRunAtOnce) {
  sim::failCall("CoInitializeEx", static_cast<DWORD>(E_OUTOFMEMORY));
  sim::files::put(kInstalledExe);
  EXPECT_EQ(run({L"-delfile"}), 0);
  EXPECT_EQ(traces.all(), std::vector<Trace>{Error(L"\nCoInitializeEx failed: 8007000e")});
  EXPECT_EQ(sim::callLog(), std::vector<std::string>{"CoInitializeEx"}) << "no role, and no CoUninitialize";
  EXPECT_TRUE(sim::files::exists(kInstalledExe));
}

// ---- "-delfile" ----

class DelFileRoleTest : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    sim::onSleep([this](DWORD ms) {
      sleeps.push_back(ms);
      if (onSleep) onSleep();
    });
  }
  std::vector<DWORD> sleeps;
  std::function<void()> onSleep;
};

TEST_F(DelFileRoleTest, DeletesTheInstalledExecutableAndMarksTheCopyForDeletionAtRestart) {
  sim::files::put(kInstalledExe, "image");
  sim::files::put(kDeleteCopy, "image");
  EXPECT_EQ(run({L"-delfile"}), 0);
  EXPECT_FALSE(sim::files::exists(kInstalledExe));
  EXPECT_TRUE(sim::files::exists(kDeleteCopy)) << "the running copy goes only at restart";
  EXPECT_EQ(sim::files::pendingDeletes(), std::vector<std::wstring>{kDeleteCopy});
  EXPECT_TRUE(sleeps.empty());
  EXPECT_EQ(g_deleteRetryCount, 0);
  EXPECT_EQ(sim::callLog(), (std::vector<std::string>{"CoInitializeEx", "DeleteFileW", "MoveFileExW", "CoUninitialize"}));
}

TEST_F(DelFileRoleTest, AMissingExecutableIsTriedTwentyOneTimesASecondApart) {
  const ULONGLONG start = sim::now();
  EXPECT_EQ(run({L"-DELFILE"}), 0);
  EXPECT_EQ(sim::callCount("DeleteFileW"), 21);
  EXPECT_EQ(sleeps, std::vector<DWORD>(20, 1000));
  EXPECT_EQ(sim::now() - start, 20000u);
  EXPECT_EQ(g_deleteRetryCount, 20);
  EXPECT_EQ(sim::files::pendingDeletes(), std::vector<std::wstring>{kDeleteCopy});
  auto log = sim::callLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "MoveFileExW");
  EXPECT_EQ(log.back(), "CoUninitialize");
  EXPECT_FALSE(sim::com::usable());
}

TEST_F(DelFileRoleTest, AnExecutableStillRunningIsDeletedOnceItsProcessHasEnded) {
  sim::files::put(kInstalledExe, "image");
  sim::files::setInUse(kInstalledExe);
  // The uninstalled service's process ends during the second second.
  onSleep = [this] {
    if (sleeps.size() == 2) sim::files::setInUse(kInstalledExe, false);
  };
  EXPECT_EQ(run({L"/delfile"}), 0);
  EXPECT_FALSE(sim::files::exists(kInstalledExe));
  EXPECT_EQ(sim::callCount("DeleteFileW"), 3);
  EXPECT_EQ(sleeps, (std::vector<DWORD>{1000, 1000}));
  EXPECT_EQ(g_deleteRetryCount, 2);
  EXPECT_EQ(sim::files::pendingDeletes(), std::vector<std::wstring>{kDeleteCopy});
}

// ---- "-install" and "-remove" ----

bool pnpTaskExists() { return sim::taskschd::task(L"\\Oltaro", L"QTHERM PNP Task").has_value(); }

TEST_F(MainTest, TheInstallerRegistersTheAutoStartServiceAsLocalSystem) {
  EXPECT_EQ(run({L"-Install"}), 0);
  auto config = sim::scm::config(L"QTHRMON");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->displayName, L"QTHRMON");
  EXPECT_EQ(config->startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_TRUE(config->dependencies.empty());
  EXPECT_EQ(config->account, L"LocalSystem");
  EXPECT_FALSE(config->password);
  EXPECT_EQ(sim::scm::starts(), std::vector<std::wstring>{L"QTHRMON"});
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is installed.\n");
  EXPECT_EQ(mainTraces(), (std::vector<std::wstring>{L"wmain argc 2", L"wmain argv[1] -Install"}));
  EXPECT_EQ(sim::callLog().back(), "CoUninitialize");
  EXPECT_FALSE(sim::com::usable());
}

class RemoveRoleTest : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    sim::files::put(kInstalledExe, "image");
    sim::scm::PeerService service;
    service.state = SERVICE_RUNNING;
    sim::scm::addService(L"QTHRMON", service);
  }
};

TEST_F(RemoveRoleTest, AnInstallationInPlaceIsKeptAndTheSecondArgumentIgnored) {
  sim::reg::setValue(kServiceKey, L"Owners", REG_MULTI_SZ, {});
  sim::reg::setString(kServiceKey, L"DisplayName", L"QTHRMON");
  EXPECT_EQ(run({L"-remove", L"-install"}), 0);
  EXPECT_TRUE(traces.contains(L"QTHERM.inf exist"));
  EXPECT_FALSE(traces.contains(L"QTHERM.inf not exist,uninstall the service"));
  EXPECT_EQ(sim::scm::serviceStatus(L"QTHRMON")->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_FALSE(sim::scm::config(L"QTHRMON")->markedForDelete);
  EXPECT_EQ(sim::callCount("CreateServiceW") + sim::callCount("DeleteService") + sim::callCount("ControlService"), 0);
  EXPECT_TRUE(sim::dev::words().empty()) << "no DYTC reset";
  EXPECT_TRUE(sim::process::launches().empty());
  EXPECT_EQ(sim::callLog().back(), "CoUninitialize");
}

TEST_F(RemoveRoleTest, AMissingInstallationUninstallsTheServiceAndStartsTheDeletionCopy) {
  EXPECT_EQ(run({L"/remove"}), 0);
  auto texts = traces.texts();
  auto removed = std::find(texts.begin(), texts.end(), L"QTHERM.inf not exist,uninstall the service");
  ASSERT_NE(removed, texts.end());
  EXPECT_EQ(removed + 1, texts.end()) << "traced after the uninstall";
  EXPECT_FALSE(traces.contains(L"QTHERM.inf exist"));
  auto config = sim::scm::config(L"QTHRMON");
  EXPECT_TRUE(!config || config->markedForDelete);
  EXPECT_EQ(sim::files::consoleOutput(), "QTHRMON is removed.\n");
  ASSERT_EQ(sim::process::launches().size(), 1u);
  EXPECT_EQ(sim::process::launches()[0].commandLine, kDeleteCopy + L" -delfile");
  EXPECT_EQ(sim::callLog().back(), "CoUninitialize");
}

// ---- The service ----

TEST_F(MainTest, StartedByHandWithoutVersionInstallsTheComponentThenFailsToBeAService) {
  sim::scm::addService(L"QTHRMON", {});  // registered and stopped
  EXPECT_EQ(run({L"install"}), 0);
  EXPECT_EQ(mainTraces(), std::vector<std::wstring>{L"wmain argc 2"}) << "no switch";
  EXPECT_TRUE(traces.contains(L"get qth version failed!"));
  EXPECT_FALSE(traces.contains(L"objContrService.InstallCompnent error"));
  // The component: "Version", the PnP task, and a start request.
  EXPECT_EQ(sim::reg::getDword(kIcKey, L"Version"), std::optional<DWORD>(0x4000));
  EXPECT_TRUE(pnpTaskExists());
  EXPECT_EQ(sim::scm::starts(), std::vector<std::wstring>{L"QTHRMON"});
  EXPECT_EQ(sim::callCount("CreateServiceW"), 0);
  // Not started by the SCM: the dispatcher fails at once and the run ends.
  EXPECT_EQ(sim::callCount("StartServiceCtrlDispatcherW"), 1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_TRUE(sim::scm::statusReports().empty());
  EXPECT_EQ(sim::callLog().back(), "CoUninitialize");
  EXPECT_FALSE(sim::com::usable());
}

TEST_F(MainTest, WithVersionTheServiceGoesStraightToTheDispatcher) {
  sim::reg::setDword(kIcKey, L"Version", 0x4000);
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(mainTraces(), std::vector<std::wstring>{L"wmain argc 1"});
  EXPECT_FALSE(traces.contains(L"get qth version failed!"));
  EXPECT_TRUE(sim::dev::words().empty()) << "no component install";
  EXPECT_EQ(sim::callCount("StartServiceCtrlDispatcherW"), 1);
  EXPECT_EQ(sim::callLog().back(), "CoUninitialize");
}

// A failed start reports stopped from the service-main thread; the dispatcher may return
// at that report and wmain destroy the frame before that thread runs again. The frame's
// lock is let go inside the C library, out of the sanitizers' sight: the test watches the
// frame's bytes instead, which nothing may write once wmain has returned.
__attribute__((no_sanitize("address", "thread"))) std::vector<unsigned char> bytesAt(const unsigned char* at,
                                                                                      size_t count) {
  std::vector<unsigned char> bytes(count);
  for (size_t i = 0; i < count; i++) bytes[i] = static_cast<const volatile unsigned char*>(at)[i];
  return bytes;
}

// Far below the frames its thread goes on to use: only a stale write reaches wmain's.
__attribute__((noinline)) int runDeep() {
  volatile char pad[64 * 1024];
  pad[0] = 1;
  std::wstring exe = kInstalledExe;
  wchar_t* argv[] = {exe.data(), nullptr};
  wchar_t* envp[] = {nullptr};
  int code = wmain(1, argv, envp);
  pad[sizeof(pad) - 1] = pad[0];
  return code;
}

TEST_F(MainTest, AFailedStartLeavesTheDestroyedFrameAlone) {
  SetLogSink(nullptr, nullptr);  // the product's logging: no allocation but the start's own
  sim::reg::setDword(kIcKey, L"Version", 0x4000);
  sim::dev::setCapability(0x8000000);  // MMC: creating it is the start's first allocation
  sim::onCall("RegisterServiceCtrlHandlerExW", [] { sim::failAllocation(1); });
  std::promise<void> looked, leave;
  std::shared_future<void> lookedAt = looked.get_future().share();
  sim::scm::afterStoppedReport([lookedAt] { lookedAt.wait(); });
  sim::scm::runAsService(L"QTHRMON");
  std::promise<int> exitCode;
  std::thread main([&] {
    exitCode.set_value(runDeep());
    leave.get_future().wait();  // its stack, where the frame was, stays for the test to read
  });
  auto code = exitCode.get_future();
  bool failed = code.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!failed) sim::scm::postControl(SERVICE_CONTROL_STOP);
  auto reports = sim::scm::statusReports();
  const unsigned char* around = failed ? reinterpret_cast<const unsigned char*>(reports.back().record) - 64 : nullptr;
  std::vector<unsigned char> before, after;
  if (around) before = bytesAt(around, 64 + 2 * sizeof(CServiceBase));
  looked.set_value();
  sim::scm::joinServiceThreads();
  if (around) after = bytesAt(around, before.size());
  leave.set_value();
  main.join();

  ASSERT_TRUE(failed) << "the start did not fail";
  EXPECT_EQ(code.get(), 0);
  EXPECT_EQ(::reports(), (std::vector<Report>{{SERVICE_START_PENDING, 1, 0}, {SERVICE_STOPPED, 0, 0}}));
  EXPECT_TRUE(after == before) << "the service-main thread wrote to the frame after wmain destroyed it";
}

TEST_F(MainTest, AFailedComponentInstallEndsTheRunWithoutTheDispatcher) {
  sim::dev::setPresent(false);
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(traces.matching(L"qth version"), std::vector<std::wstring>{L"get qth version failed!"});
  EXPECT_EQ(traces.all().back(), Error(L"objContrService.InstallCompnent error"));
  EXPECT_EQ(sim::callCount("StartServiceCtrlDispatcherW"), 0);
  EXPECT_EQ(sim::callCount("CoUninitialize"), 0);
  EXPECT_TRUE(sim::com::usable()) << "this early return keeps COM";
  CoUninitialize();
}

bool eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The whole system on one machine: the service run by the SCM, and an idle period's
// watcher whose controls and end drive the IFC function through DYTC.
TEST_F(MainTest, TheServiceFollowsTheWatcherFromStartToStop) {
  constexpr DWORD kIfcOn = 0x1FA001, kIfcOff = 0x0FA001;
  sim::reg::setDword(kIcKey, L"Version", 0x4000);
  sim::reg::setDword(kIcKey, L"GPULOAD", 0);  // every sample is high
  sim::dev::setCapability(0x4000000);          // IFC alone
  auto ifcWords = [] {
    std::vector<DWORD> out;
    for (DWORD w : sim::dev::words())
      if (w == kIfcOn || w == kIfcOff) out.push_back(w);
    return out;
  };

  sim::scm::runAsService(L"QTHRMON");
  std::promise<int> exitCode;
  std::thread main([&] { exitCode.set_value(run({})); });
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));

  std::promise<void> endWatcher;
  std::thread watcherProcess([&] {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IdleWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    watcher.Step();
    endWatcher.get_future().wait();
  });
  // 130 switches IFC on and starts the mode's watch on the idle mutex; the sample's 150
  // switches it off.
  ASSERT_TRUE(eventually([&] { return ifcWords().size() == 2; }));
  EXPECT_EQ(ifcWords(), (std::vector<DWORD>{kIfcOn, kIfcOff}));
  // The Task Scheduler ends the watcher: its mutex is abandoned and the mode switches off.
  endWatcher.set_value();
  watcherProcess.join();
  ASSERT_TRUE(eventually([&] { return ifcWords().size() == 3; }));
  EXPECT_EQ(ifcWords().back(), kIfcOff);

  EXPECT_EQ(sim::scm::postControl(SERVICE_CONTROL_STOP), (sim::scm::ControlResult{true, NO_ERROR}));
  auto code = exitCode.get_future();
  ASSERT_EQ(code.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(code.get(), 0);
  main.join();
  sim::scm::joinServiceThreads();
  EXPECT_EQ(sim::scm::serviceStatus(L"QTHRMON")->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  // The watcher's mutex handle is its process's to the end.
  EXPECT_EQ(sim::openHandleKinds(), std::vector<std::string>{"Mutex"});
  allowOpenHandles();
}

// ---- "-idletask" ----

TEST_F(MainTest, TheWatcherRoleReturnsOnlyWhenItCannotCreateItsMutex) {
  sim::failCall("CreateMutexW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(run({L"-IdleTask"}), 0);
  EXPECT_TRUE(traces.contains(L"CreateMutexW Global\\QTHUniversal_Idle_Mutex error"));
  EXPECT_TRUE(traces.contains(L"GPULoad 50"));
  // COM went at the watcher's start, once, before the sampler was set up.
  EXPECT_EQ(sim::callCount("CoUninitialize"), 1);
  auto log = sim::callLog();
  EXPECT_EQ(log.at(1), "CoUninitialize");
  EXPECT_FALSE(sim::com::usable());
  EXPECT_EQ(sim::callCount("ControlService"), 0);
}

}  // namespace
