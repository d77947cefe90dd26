// Adapter choice, set-up and the sampling arithmetic of the GPU usage sampler, over the
// simulated SetupAPI, gdi32 and display kernel.
#include "helpers/GpuUsageHelper.h"
#include "tests/support/GpuUsageHelperPeer.h"
#include "tests/support/SimFixture.h"

namespace {

constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC0000001);

const std::wstring kIntel = L"\\\\?\\PCI#VEN_8086&DEV_9A49&SUBSYS_\u00C422#3&11583659&0&10#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";
const std::wstring kNvidia = L"\\\\?\\PCI#VEN_10DE&DEV_1F99#4&2B9B2E2C&0&0008#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";
const std::wstring kAmd = L"\\\\?\\pci#ven_1002&dev_73bf#5&1#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";

// Only A to Z change: the sampler's lower-casing is not the locale's.
std::wstring asciiLower(std::wstring s) {
  for (auto& c : s)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  return s;
}

class GpuUsageHelperTest : public SimTest {
 protected:
  void addAdapter(const std::wstring& path, LUID luid = {0x1234, 0}) {
    DEVINST d = sim::setupapi::addDevice(L"PCI\\" + path, kDisplayClass);
    sim::setupapi::addInterface(d, GUID_DISPLAY_DEVICE_ARRIVAL, path);
    sim::display::addAdapter(path, luid);
  }
  // After a good set-up the helper holds gdi32 once and one process handle, for good.
  void expectHeldForLife() {
    allowOpenHandles();
    EXPECT_EQ(sim::display::gdi32References(), 1);
    EXPECT_EQ(sim::openHandleKinds(), std::vector<std::string>{"Process"});
  }
  void expectNothingHeld() {
    EXPECT_EQ(sim::display::gdi32References(), 0);
    EXPECT_EQ(sim::openHandleCount(), 0u);
  }
  // A set-up helper over one adapter, sampling the scripted counters and running times.
  void startSampling(std::vector<LONGLONG> counters, std::vector<sim::display::Sample> samples) {
    addAdapter(kIntel);
    ASSERT_TRUE(gpu.InitializeAdapter(0));
    sim::setPerformanceFrequency(10000000);
    sim::scriptPerformanceCounter(std::move(counters));
    sim::display::scriptStatistics(std::move(samples));
    allowOpenHandles();
  }

  GpuUsageHelper gpu;
};

TEST_F(GpuUsageHelperTest, IntelIsChosenBeforeNvidiaWhateverTheCaseOfTheirPaths) {
  addAdapter(kIntel, {0x51, 0});
  addAdapter(kNvidia, {0x77, 0});
  ASSERT_TRUE(gpu.InitializeAdapter(0));
  EXPECT_EQ(GpuUsageHelperPeer::intelPath(gpu), asciiLower(kIntel));
  EXPECT_EQ(GpuUsageHelperPeer::amdNvidiaPath(gpu), asciiLower(kNvidia));
  auto opens = sim::display::openRequests();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].deviceName, asciiLower(kIntel));
  // The interface class asked for, and gdi32 loaded once each way.
  auto requests = sim::setupapi::classDevsRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].classGuid, GUID_DISPLAY_DEVICE_ARRIVAL);
  EXPECT_EQ(requests[0].flags, 0x1Au);
  EXPECT_EQ(sim::callCount("LoadLibraryW"), 1);
  EXPECT_EQ(sim::callCount("LoadLibraryA"), 1);
  // Queries go to the opened adapter.
  gpu.GetGpuUsage();
  ASSERT_EQ(sim::display::queries().size(), 1u);
  EXPECT_EQ(sim::display::queries()[0].adapterLuid.LowPart, 0x51u);
  EXPECT_EQ(sim::display::queries()[0].status, 0);
  expectHeldForLife();
}

TEST_F(GpuUsageHelperTest, TheLastPathOfAVendorGroupWins) {
  const std::wstring secondIntel = L"\\\\?\\pci#ven_8086&dev_46a6#9#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";
  addAdapter(kIntel);
  addAdapter(kAmd);
  addAdapter(secondIntel);
  addAdapter(kNvidia);
  addAdapter(L"\\\\?\\root#basicdisplay#0000#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}");
  ASSERT_TRUE(gpu.InitVGACardList());
  EXPECT_EQ(GpuUsageHelperPeer::intelPath(gpu), secondIntel);
  EXPECT_EQ(GpuUsageHelperPeer::amdNvidiaPath(gpu), asciiLower(kNvidia));
  expectNothingHeld();
}

TEST_F(GpuUsageHelperTest, AnAmdAdapterAloneIsOpened) {
  addAdapter(kAmd);
  ASSERT_TRUE(gpu.InitializeAdapter(0));
  EXPECT_TRUE(GpuUsageHelperPeer::intelPath(gpu).empty());
  ASSERT_EQ(sim::display::openRequests().size(), 1u);
  EXPECT_EQ(sim::display::openRequests()[0].deviceName, kAmd);
  expectHeldForLife();
}

TEST_F(GpuUsageHelperTest, AFailedIntelOpenIsFinalEvenWithAnAmdAdapterPresent) {
  addAdapter(kAmd);
  addAdapter(kIntel);
  sim::display::scriptOpenStatus({kUnsuccessful});
  EXPECT_FALSE(gpu.InitializeAdapter(0));
  ASSERT_EQ(sim::display::openRequests().size(), 1u);
  EXPECT_EQ(sim::display::openRequests()[0].deviceName, asciiLower(kIntel));
  EXPECT_TRUE(traces.all().empty());
  expectNothingHeld();
}

TEST_F(GpuUsageHelperTest, WithNoKnownVendorTheEmptyNameIsRefusedAndSamplingStaysAtZero) {
  addAdapter(L"\\\\?\\root#display#ven_0000#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}");
  EXPECT_FALSE(gpu.InitializeAdapter(0));
  auto opens = sim::display::openRequests();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_TRUE(opens[0].hasName);
  EXPECT_EQ(opens[0].deviceName, L"");
  expectNothingHeld();
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_EQ(traces.count(L"GpuUsageHelper GetGpuUsage D3DKMTQueryStatistics function address is null."), 2u);
  EXPECT_EQ(sim::callCount("QueryPerformanceCounter"), 0);
}

TEST_F(GpuUsageHelperTest, OpenStatus63IsSuccessAnd64Failure) {
  addAdapter(kIntel);
  sim::display::scriptOpenStatus({63, 64});
  EXPECT_TRUE(gpu.InitializeAdapter(0));
  GpuUsageHelper other;
  EXPECT_FALSE(other.InitializeAdapter(0));
  expectHeldForLife();
}

TEST_F(GpuUsageHelperTest, ProcessZeroQueriesTheWholeNodeWithTheCallersOwnProcess) {
  sim::setProcessId(3100);
  addAdapter(kIntel);
  ASSERT_TRUE(gpu.InitializeAdapter(0));
  auto opens = sim::display::processOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].processId, 3100u);
  EXPECT_EQ(opens[0].access, static_cast<DWORD>(PROCESS_QUERY_INFORMATION));
  EXPECT_EQ(opens[0].inherit, TRUE);
  gpu.GetGpuUsage();
  auto queries = sim::display::queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].type, static_cast<UINT>(D3DKMT_QUERYSTATISTICS_NODE));
  EXPECT_EQ(queries[0].processId, std::optional<DWORD>(3100));
  EXPECT_EQ(queries[0].nodeId, 0u);
  expectHeldForLife();
}

TEST_F(GpuUsageHelperTest, AnotherProcessIdQueriesThatProcessesShareOfTheNode) {
  addAdapter(kIntel);
  sim::display::addProcess(500);
  ASSERT_TRUE(gpu.InitializeAdapter(500));
  ASSERT_EQ(sim::display::processOpens().size(), 1u);
  EXPECT_EQ(sim::display::processOpens()[0].processId, 500u);
  sim::display::setRunningTime(1234);
  gpu.GetGpuUsage();
  auto queries = sim::display::queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].type, static_cast<UINT>(D3DKMT_QUERYSTATISTICS_PROCESS_NODE));
  EXPECT_EQ(queries[0].processId, std::optional<DWORD>(500));
  EXPECT_EQ(queries[0].status, 0);
  expectHeldForLife();
}

TEST_F(GpuUsageHelperTest, EachFailedSetUpStepTracesItsOwnErrorAndHoldsNothing) {
  struct Case {
    std::function<void()> arrange;
    std::wstring trace;
  };
  const std::wstring listError = L"GpuUsageHelper InitializeAdapter InitVGACardList error!";
  std::vector<Case> cases = {
      {[] { sim::display::setGdi32Available(false); }, listError},
      {[] { sim::display::removeExport("D3DKMTOpenAdapterFromDeviceName"); }, listError},
      {[] { sim::failCall("LoadLibraryA", ERROR_MOD_NOT_FOUND); },
       L"GpuUsageHelper InitializeAdapter LoadLibraryA error!"},
      {[] { sim::failCall("GetProcAddress", ERROR_PROC_NOT_FOUND, 2); },
       L"GpuUsageHelper InitializeAdapter failed to get openAdapter address!"},
      {[] { sim::failCall("OpenProcess", ERROR_ACCESS_DENIED); },
       L"GpuUsageHelper InitializeAdapter failed to open process."},
      {[] { sim::display::removeExport("D3DKMTQueryStatistics"); },
       L"GpuUsageHelper InitializeAdapter failed to get queryStatistics address."},
  };
  for (size_t i = 0; i < cases.size(); i++) {
    SCOPED_TRACE(i);
    sim::reset();
    traces.clear();
    addAdapter(kIntel);
    cases[i].arrange();
    GpuUsageHelper helper;
    EXPECT_FALSE(helper.InitializeAdapter(0));
    EXPECT_EQ(traces.all(), std::vector<Trace>{Error(cases[i].trace)});
    expectNothingHeld();
    EXPECT_EQ(helper.GetGpuUsage(), 0.0f);
    EXPECT_TRUE(sim::display::queries().empty());
  }
}

TEST_F(GpuUsageHelperTest, AProcessThatCannotBeOpenedFailsTheSetUp) {
  addAdapter(kIntel);
  EXPECT_FALSE(gpu.InitializeAdapter(500));  // no process 500 on this machine
  EXPECT_TRUE(traces.contains(L"GpuUsageHelper InitializeAdapter failed to open process."));
  expectNothingHeld();
}

TEST_F(GpuUsageHelperTest, TheBusyShareIsRunningTimeOverWallClockTimeAndSharesAbove100PercentAreDropped) {
  startSampling({50000000, 60000000, 70000000, 80000000},
                {{0, 7000000}, {0, 9500000}, {0, 21500000}, {0, 22500000}});
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 25.0f);
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 25.0f);  // share 1.2
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 10.0f);
  EXPECT_FLOAT_EQ(GpuUsageHelperPeer::peakUsage(gpu), 0.25f);
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Info(L"GPU_Usage:Process:0 Gpu usage 25.000000\n"),
                                              Info(L"GPU_Usage:Process:0 Gpu usage 120.000008\n"),
                                              Info(L"GPU_Usage:Process:0 Gpu usage 10.000000\n")}));
}

TEST_F(GpuUsageHelperTest, AShareOfExactlyOneIsAcceptedAndBecomesThePeak) {
  startSampling({10000000, 20000000, 30000000}, {{0, 1000}, {0, 10001000}, {0, 12001000}});
  gpu.GetGpuUsage();
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 100.0f);
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 20.0f);
  EXPECT_FLOAT_EQ(GpuUsageHelperPeer::peakUsage(gpu), 1.0f);
}

TEST_F(GpuUsageHelperTest, TwoSamplesAtTheSameCounterGiveZero) {
  startSampling({50000000, 60000000, 60000000, 70000000},
                {{0, 7000000}, {0, 9500000}, {0, 9600000}, {0, 10600000}});
  gpu.GetGpuUsage();
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 25.0f);
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_EQ(traces.all().size(), 1u);  // no share was computed for the empty interval
  // The zero-length interval still moved the sample point.
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 10.0f);
}

TEST_F(GpuUsageHelperTest, AFallingRunningTimeGivesANegativePercent) {
  startSampling({50000000, 60000000, 70000000}, {{0, 7000000}, {0, 9500000}, {0, 8500000}});
  gpu.GetGpuUsage();
  gpu.GetGpuUsage();
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), -10.0f);
  EXPECT_FLOAT_EQ(GpuUsageHelperPeer::peakUsage(gpu), 0.25f);
}

TEST_F(GpuUsageHelperTest, AFailedQueryReturnsZeroAndTheNextSampleSpansIt) {
  startSampling({50000000, 60000000, 70000000, 80000000},
                {{0, 7000000}, {0, 9500000}, {kUnsuccessful, 99000000}, {0, 13500000}});
  gpu.GetGpuUsage();
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 25.0f);
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_TRUE(traces.all().back() == Error(L"GPU_Usage:fatal error!status(0xc0000001),check process(0)\n"));
  // 4,000,000 over the 2 s since the last good sample.
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 20.0f);
}

TEST_F(GpuUsageHelperTest, QueryStatus63IsASampleAnd64AFailure) {
  startSampling({50000000, 60000000, 70000000}, {{0, 7000000}, {63, 9500000}, {64, 9600000}});
  gpu.GetGpuUsage();
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 25.0f);
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_TRUE(traces.contains(L"GPU_Usage:fatal error!status(0x40),check process(0)\n"));
}

TEST_F(GpuUsageHelperTest, NoShareIsComputedUntilAPositiveRunningTimeWasRecorded) {
  startSampling({50000000, 60000000, 70000000}, {{0, 0}, {0, 5000000}, {0, 7500000}});
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_EQ(gpu.GetGpuUsage(), 0.0f);
  EXPECT_TRUE(traces.all().empty());
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 25.0f);
}

TEST_F(GpuUsageHelperTest, AGapTooLongForIntegerTicksIsStillMeasured) {
  // 2e12 ticks at 10 MHz is 55 hours: 2e19 hundred-nanosecond units overflow 64 bits.
  startSampling({1000, 2000000001000}, {{0, 1000}, {0, 1000 + 200000000000LL}});
  gpu.GetGpuUsage();
  EXPECT_FLOAT_EQ(gpu.GetGpuUsage(), 10.0f);
}

TEST_F(GpuUsageHelperTest, CallingIntoGdi32AfterReleasingItIsCaught) {
  HMODULE gdi32 = LoadLibraryW(L"GDI32.DLL");
  ASSERT_NE(gdi32, nullptr);
  auto open = reinterpret_cast<PFND3DKMT_OPENADAPTERFROMDEVICENAME>(
      reinterpret_cast<void (*)()>(GetProcAddress(gdi32, "D3DKMTOpenAdapterFromDeviceName")));
  ASSERT_NE(open, nullptr);
  EXPECT_TRUE(FreeLibrary(gdi32));
  EXPECT_FALSE(FreeLibrary(gdi32));
  D3DKMT_OPENADAPTERFROMDEVICENAME record{};
  record.pDeviceName = L"x";
  EXPECT_DEATH(open(&record), "not loaded");
}

}  // namespace
