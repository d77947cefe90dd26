#include "modes/Dytc.h"
#include "modes/ModeManager.h"
#include "tests/support/ModeManagerPeer.h"
#include "tests/support/SimFixture.h"

#include <atomic>
#include <chrono>
#include <future>
#include <new>
#include <set>
#include <thread>

// Modes that record what the manager asks of them, in one shared journal.
struct Journal {
  std::mutex lock;
  std::vector<std::string> entries;
  void add(std::string e) {
    std::lock_guard<std::mutex> g(lock);
    entries.push_back(std::move(e));
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> g(lock);
    return entries;
  }
};

struct Behaviour {
  bool init = true, control = true, unInit = true, install = true;
  std::function<void()> duringInit;
  std::set<std::string> throwsIn;  // calls that run out of memory, after the journal saw them
};

class FakeMode : public ModeBase {
 public:
  FakeMode(std::string name, Journal& journal, Behaviour behaviour, SERVICE_STATUS_HANDLE h)
      : ModeBase(h), m_name(std::move(name)), m_journal(journal), m_behaviour(std::move(behaviour)) {}
  ~FakeMode() override { m_journal.add(m_name + ".released"); }
  bool install() override { return note("install", m_behaviour.install); }
  bool unInstall() override { return note("unInstall", true); }
  bool init() override {
    if (m_behaviour.duringInit) m_behaviour.duringInit();
    return note("init", m_behaviour.init);
  }
  bool unInit() override { return note("unInit", m_behaviour.unInit); }
  bool setStatus(int) override { return true; }
  bool hook() override { return true; }
  bool OnServiceControl(DWORD control, DWORD, void*) override {
    return note("control" + std::to_string(control), m_behaviour.control);
  }
  SERVICE_STATUS_HANDLE statusHandle() const { return m_statusHandle; }

 private:
  bool note(const std::string& what, bool result) {
    m_journal.add(m_name + "." + what);
    if (m_behaviour.throwsIn.count(what)) throw std::bad_alloc();
    return result;
  }
  std::string m_name;
  Journal& m_journal;
  Behaviour m_behaviour;
};

struct FakeMMC : FakeMode { using FakeMode::FakeMode; };
struct FakeMSC : FakeMode { using FakeMode::FakeMode; };
struct FakeMYH : FakeMode { using FakeMode::FakeMode; };
struct FakeIFC : FakeMode { using FakeMode::FakeMode; };

namespace {

const wchar_t* kIc = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";
const wchar_t* kOld = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\IC";

class ModeManagerTest : public SimTest {
 protected:
  Journal journal;
  Behaviour mmc, msc, myh, ifc;
  SERVICE_STATUS_HANDLE seenMscHandle = NULL;

  ModeManager::CreationTable table() {
    auto base = ModeManager::defaultCreationTable();
    base[0].create = [this](SERVICE_STATUS_HANDLE h) { return std::make_shared<FakeMMC>("MMC", journal, mmc, h); };
    base[1].create = [this](SERVICE_STATUS_HANDLE h) {
      seenMscHandle = h;
      return std::make_shared<FakeMSC>("MSC", journal, msc, h);
    };
    base[2].create = [this](SERVICE_STATUS_HANDLE h) { return std::make_shared<FakeMYH>("MYH", journal, myh, h); };
    base[3].create = [this](SERVICE_STATUS_HANDLE h) { return std::make_shared<FakeIFC>("IFC", journal, ifc, h); };
    return base;
  }
};

SERVICE_STATUS_HANDLE statusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150); }

TEST_F(ModeManagerTest, CreatesSupportedModesInTableOrderAndTracesEachRow) {
  sim::dev::setCapability(0x18000000);
  ModeManager manager(table());
  EXPECT_TRUE(manager.initlize(statusHandle()));
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 2u);
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.init", "MSC.init"}));
  EXPECT_EQ(seenMscHandle, statusHandle());
  auto rows = traces.matching(L"ModeManager initlize ");
  EXPECT_EQ(rows, (std::vector<std::wstring>{
                      L"ModeManager initlize getFunctionCap 18000000 ",
                      L"ModeManager initlize support MMC",
                      L"ModeManager initlize support MSC",
                      L"ModeManager initlize do not support MYH",
                      L"ModeManager initlize do not support IFC",
                  }));
  EXPECT_TRUE(traces.contains(L"class FakeMMC mode init success "));
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{3}));
}

TEST_F(ModeManagerTest, StartUpIgnoresTheVerdictButInstallDoesNot) {
  sim::dev::setCapability(0x1C080000);
  {
    ModeManager manager(table());
    manager.initlize(NULL);
    EXPECT_EQ(ModeManagerPeer::modeCount(manager), 4u);
  }
  journal.entries.clear();
  ModeManager installer(table());
  EXPECT_TRUE(installer.install());
  EXPECT_EQ(ModeManagerPeer::modeCount(installer), 0u);
  EXPECT_TRUE(journal.get().empty());
  EXPECT_EQ(sim::reg::valueNames(kIc), (std::vector<std::wstring>{L"Version"}));
  EXPECT_EQ(sim::reg::getDword(kIc, L"Version"), 0x4000u);
}

TEST_F(ModeManagerTest, AFailedCapabilityQueryCreatesNothingAndStillSucceeds) {
  sim::dev::setCapability(0x1C080001);
  sim::dev::failRequests(ERROR_NOT_READY);
  ModeManager manager(table());
  EXPECT_TRUE(manager.initlize(NULL));
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 0u);
  EXPECT_TRUE(traces.contains(L"ModeManager initlize getFunctionCap error"));
  EXPECT_TRUE(manager.onServiceControlHandler(130, 0, nullptr));
  EXPECT_TRUE(manager.unInit());
}

TEST_F(ModeManagerTest, AModeWhoseInitFailsIsGoneBeforeTheNextInitRuns) {
  sim::dev::setCapability(0x1C080000);
  msc.init = false;
  ModeManager manager(table());
  manager.initlize(NULL);
  EXPECT_EQ(journal.get(),
            (std::vector<std::string>{"MMC.init", "MSC.init", "MSC.released", "MYH.init", "IFC.init"}));
  EXPECT_TRUE(traces.contains(L"class FakeMSC mode init failed "));
  journal.entries.clear();
  manager.onServiceControlHandler(1, 0, nullptr);
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.control1", "MYH.control1", "IFC.control1"}));
}

TEST_F(ModeManagerTest, AFailingModeDoesNotKeepLaterModesFromAControl) {
  sim::dev::setCapability(0x1C080000);
  mmc.control = false;
  ModeManager manager(table());
  manager.initlize(NULL);
  journal.entries.clear();
  EXPECT_FALSE(manager.onServiceControlHandler(134, 0, nullptr));
  EXPECT_EQ(journal.get(),
            (std::vector<std::string>{"MMC.control134", "MSC.control134", "MYH.control134", "IFC.control134"}));
  EXPECT_TRUE(traces.contains(L"ModeManager onServiceControlHandler 134"));
  EXPECT_TRUE(traces.contains(L"class FakeMMC mode OnServiceControl failed "));
}

TEST_F(ModeManagerTest, UnInitCallsEveryModeThenReleasesThem) {
  sim::dev::setCapability(0x18000000);
  mmc.unInit = false;
  ModeManager manager(table());
  manager.initlize(NULL);
  journal.entries.clear();
  EXPECT_FALSE(manager.unInit());
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.unInit", "MSC.unInit", "MMC.released", "MSC.released"}));
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 0u);
  EXPECT_TRUE(traces.contains(L"class FakeMMC mode unInit failed "));
}

TEST_F(ModeManagerTest, ASecondInitlizeChangesNothingBeforeOrAfterUnInit) {
  sim::dev::setCapability(0x8000000);
  ModeManager manager(table());
  manager.initlize(NULL);
  EXPECT_TRUE(manager.initlize(NULL));
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 1u);
  manager.unInit();
  sim::dev::setCapability(0x1C080000);
  EXPECT_TRUE(manager.initlize(NULL));
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 0u);
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{3}));
}

TEST_F(ModeManagerTest, InstallCreatesMmcAndIfcWritesValuesThenInstallsInOrder) {
  sim::dev::setCapability(0x0C000001);
  ModeManager manager(table());
  EXPECT_TRUE(manager.install());
  EXPECT_EQ(sim::reg::getDword(kIc, L"Auto Capability"), 1u);
  EXPECT_EQ(sim::reg::getDword(kIc, L"Version"), 0x4000u);
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.install", "IFC.install"}));
  EXPECT_EQ(traces.matching(L"ModeManager install "),
            (std::vector<std::wstring>{L"ModeManager install support MMC", L"ModeManager install support IFC"}));
}

TEST_F(ModeManagerTest, InstallWithMmcOnlyWritesAutoCapabilityZero) {
  sim::dev::setCapability(0x08000001);
  ModeManager manager(table());
  EXPECT_TRUE(manager.install());
  EXPECT_EQ(sim::reg::getDword(kIc, L"Auto Capability"), 0u);
  EXPECT_TRUE(traces.contains(L"ModeManager install do not support IFC"));
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.install"}));
}

// MSC, MYH and IFC each count for "Auto Capability"; of them only IFC is created.
class AutoCapabilityTest : public ModeManagerTest,
                           public ::testing::WithParamInterface<std::pair<DWORD, std::vector<std::string>>> {};

TEST_P(AutoCapabilityTest, InstallNeverCreatesMscOrMyhButCountsThem) {
  auto [word, installed] = GetParam();
  sim::dev::setCapability(word);
  ModeManager manager(table());
  EXPECT_TRUE(manager.install());
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), installed.size());
  EXPECT_EQ(journal.get(), installed);
  EXPECT_EQ(sim::reg::getDword(kIc, L"Auto Capability"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Words, AutoCapabilityTest,
                         ::testing::Values(std::pair<DWORD, std::vector<std::string>>{0x10080001, {}},
                                           std::pair<DWORD, std::vector<std::string>>{0x10000001, {}},
                                           std::pair<DWORD, std::vector<std::string>>{0x00080001, {}},
                                           std::pair<DWORD, std::vector<std::string>>{0x04000001, {"IFC.install"}}));

TEST_F(ModeManagerTest, AFailedModeInstallIsReportedAndTheOthersStillRun) {
  sim::dev::setCapability(0x0C000001);
  mmc.install = false;
  ModeManager manager(table());
  EXPECT_FALSE(manager.install());
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.install", "IFC.install"}));
  EXPECT_TRUE(traces.contains(L"class FakeMMC mode install failed "));
}

TEST_F(ModeManagerTest, AModeCallThatThrowsHasFailedAsIfItAnsweredFalse) {
  sim::dev::setCapability(0x0C000001);
  mmc.throwsIn = {"install", "init"};
  ifc.throwsIn = {"control134", "unInit"};
  ModeManager installer(table());
  EXPECT_FALSE(installer.install());
  ModeManager manager(table());
  EXPECT_TRUE(manager.initlize(NULL));
  EXPECT_FALSE(manager.onServiceControlHandler(134, 0, nullptr));
  EXPECT_FALSE(manager.unInit());
  EXPECT_EQ(journal.get(), (std::vector<std::string>{"MMC.install", "IFC.install", "MMC.init", "MMC.released", "IFC.init",
                                                     "IFC.control134", "IFC.unInit", "IFC.released"}));
  for (const wchar_t* trace : {L"class FakeMMC mode install failed ", L"class FakeMMC mode init failed ",
                               L"class FakeIFC mode OnServiceControl failed ", L"class FakeIFC mode unInit failed "})
    EXPECT_TRUE(traces.contains(trace)) << trace;

  // A mode that cannot be created at all is the caller's to handle.
  auto starved = table();
  starved[0].create = [](SERVICE_STATUS_HANDLE) -> std::shared_ptr<ModeBase> { throw std::bad_alloc(); };
  ModeManager starving(starved);
  EXPECT_THROW(starving.initlize(NULL), std::bad_alloc);
}

TEST_F(ModeManagerTest, InstallStopsAtAFailedQueryOrWrite) {
  sim::dev::setCapability(0x0C000001);
  sim::dev::failRequests(ERROR_NOT_READY, std::nullopt, 1);
  ModeManager first(table());
  EXPECT_FALSE(first.install());
  EXPECT_TRUE(traces.contains(L"ModeManager install getFunctionCap error"));
  EXPECT_TRUE(sim::reg::valueNames(kIc).empty());

  sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED);
  ModeManager second(table());
  EXPECT_FALSE(second.install());
  EXPECT_TRUE(traces.contains(L"ModeManager install set REG_CAP error!"));
  EXPECT_FALSE(sim::reg::getValue(kIc, L"Version"));

  sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED, 2);
  ModeManager third(table());
  EXPECT_FALSE(third.install());
  EXPECT_TRUE(traces.contains(L"ModeManager install set IC_VERSION error!"));
  EXPECT_TRUE(journal.get().empty());
}

TEST_F(ModeManagerTest, InstallDeletesTheOlderKeyOnlyWhenPresent) {
  sim::dev::setCapability(0x1);
  ModeManager manager(table());
  EXPECT_TRUE(manager.install());
  EXPECT_EQ(sim::callCount("RegDeleteTreeW"), 0);

  sim::reg::setDword(std::wstring(kOld) + L"\\MMC", L"CurrentSetting", 3);
  sim::reg::setDword(kOld, L"Version", 1);
  ModeManager again(table());
  EXPECT_TRUE(again.install());
  EXPECT_EQ(sim::callCount("RegDeleteTreeW"), 1);
  EXPECT_FALSE(sim::reg::keyExists(kOld));
  EXPECT_TRUE(sim::reg::keyExists(kIc));
}

TEST_F(ModeManagerTest, UnInstallResetsTheFirmware) {
  ModeManager manager(table());
  EXPECT_TRUE(manager.unInstall());
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{0x1FF}));
  sim::dev::setPresent(false);
  EXPECT_FALSE(manager.unInstall());
  EXPECT_TRUE(traces.contains(L"unInitlize resetDYTC error "));
}

TEST_F(ModeManagerTest, ProductionTableNamesTheFourModeClasses) {
  sim::dev::setCapability(0x1C080000);
  ModeManager manager(ModeManager::defaultCreationTable());
  manager.initlize(NULL);
  auto names = traces.matching(L" mode init ");
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0].substr(0, 11), L"class CMMC ");
  EXPECT_EQ(names[1].substr(0, 11), L"class CMSC ");
  EXPECT_EQ(names[2].substr(0, 11), L"class CMYH ");
  EXPECT_EQ(names[3].substr(0, 11), L"class CIFC ");
  manager.unInit();
}

TEST_F(ModeManagerTest, GetInstanceIsOneObject) {
  EXPECT_EQ(ModeManager::getInstance(), ModeManager::getInstance());
}

// A control that arrives while initialisation runs waits for the whole list.
TEST_F(ModeManagerTest, ControlsFromAnotherThreadNeverSeeAHalfBuiltList) {
  sim::dev::setCapability(0x1C080000);
  std::promise<void> mmcInitEntered;
  std::promise<void> releaseMmcInit;
  auto release = releaseMmcInit.get_future().share();
  mmc.duringInit = [&] {
    mmcInitEntered.set_value();
    release.wait();
  };
  myh.init = false;
  ModeManager manager(table());
  std::thread starter([&] { manager.initlize(NULL); });
  mmcInitEntered.get_future().wait();

  std::atomic<bool> controlDone{false};
  std::thread controller([&] {
    manager.onServiceControlHandler(135, 0, nullptr);
    controlDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(controlDone.load());
  releaseMmcInit.set_value();
  starter.join();
  controller.join();

  auto entries = journal.get();
  std::vector<std::string> controls;
  for (auto& e : entries)
    if (e.find("control") != std::string::npos) controls.push_back(e);
  EXPECT_EQ(controls, (std::vector<std::string>{"MMC.control135", "MSC.control135", "IFC.control135"}));
  // Every init ran before the first control reached any mode.
  auto firstControl = std::find(entries.begin(), entries.end(), "MMC.control135");
  auto lastInit = std::find(entries.begin(), entries.end(), "IFC.init");
  EXPECT_LT(lastInit, firstControl);
}

TEST_F(ModeManagerTest, ManyControlThreadsDuringStartAndStopStayConsistent) {
  sim::dev::setCapability(0x1C080000);
  ModeManager manager(table());
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 200; i++) manager.onServiceControlHandler(128 + t, 0, nullptr);
    });
  }
  go = true;
  manager.initlize(NULL);
  manager.unInit();
  for (auto& th : threads) th.join();
  EXPECT_EQ(ModeManagerPeer::modeCount(manager), 0u);
  // Each control reached either no mode (before or after the modes' life) or all four.
  std::map<std::string, int> perMode;
  for (auto& e : journal.get())
    if (e.find("control") != std::string::npos) perMode[e.substr(0, 3)]++;
  EXPECT_EQ(perMode["MMC"], perMode["MSC"]);
  EXPECT_EQ(perMode["MMC"], perMode["MYH"]);
  EXPECT_EQ(perMode["MMC"], perMode["IFC"]);
}

}  // namespace
