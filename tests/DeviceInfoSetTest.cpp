// The device-interface walk and the per-device toolkit over the simulated SetupAPI.
#include "helpers/DeviceInfoSet.h"
#include "tests/support/SimFixture.h"

#include <cstring>

namespace {

// Setup class of display adapters, and an interface class nothing here asks for.
constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kOtherInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr DWORD kFlags = DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

class DeviceInfoSetTest : public SimTest {
 protected:
  DEVINST addAdapter(const std::wstring& path) {
    DEVINST d = sim::setupapi::addDevice(L"PCI\\" + path, kDisplayClass);
    sim::setupapi::addInterface(d, GUID_DISPLAY_DEVICE_ARRIVAL, path);
    return d;
  }
  std::vector<std::wstring> walk(DWORD* status = nullptr) {
    DeviceInfoSet set(&GUID_DISPLAY_DEVICE_ARRIVAL, NULL, kFlags);
    std::vector<std::wstring> paths{L"kept"};
    DWORD s = set.GetInterfacePaths(paths);
    if (status) *status = s;
    return paths;
  }
};

TEST_F(DeviceInfoSetTest, ANullClassAsksForAllClassesAndAGivenClassKeepsItsFlags) {
  { DeviceInfoSet all(NULL, L"PCI", 0x2); }
  { DeviceInfoSet adapters(&GUID_DISPLAY_DEVICE_ARRIVAL, NULL, 0x1A); }
  auto requests = sim::setupapi::classDevsRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].hasClass);
  EXPECT_EQ(requests[0].flags, 0x6u);
  EXPECT_EQ(requests[0].enumerator, L"PCI");
  EXPECT_TRUE(requests[1].hasClass);
  EXPECT_EQ(requests[1].classGuid, GUID_DISPLAY_DEVICE_ARRIVAL);
  EXPECT_FALSE(requests[1].hasEnumerator);
  EXPECT_EQ(requests[1].flags, 0x1Au);
  EXPECT_EQ(sim::callCount("SetupDiDestroyDeviceInfoList"), 2);
}

TEST_F(DeviceInfoSetTest, AnEmptySetLeavesThePathsAsTheyWereAndReportsZero) {
  DWORD status = 99;
  EXPECT_EQ(walk(&status), std::vector<std::wstring>{L"kept"});
  EXPECT_EQ(status, 0u);
}

TEST_F(DeviceInfoSetTest, PathsOfTheClassAreAppendedInMemberOrder) {
  addAdapter(L"\\\\?\\pci#ven_8086&dev_9a49#1#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}");
  DEVINST camera = sim::setupapi::addDevice(L"USB\\VID_04F2", kDisplayClass);
  sim::setupapi::addInterface(camera, kOtherInterface, L"\\\\?\\usb#camera");
  DEVINST second = addAdapter(L"\\\\?\\pci#ven_10de&dev_1f99#2#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}");
  sim::setupapi::addInterface(second, kOtherInterface, L"\\\\?\\pci#ven_10de#other");
  std::wstring longPath = L"\\\\?\\pci#ven_1002&dev_73bf#" + std::wstring(300, L'x');
  addAdapter(longPath);
  sim::setupapi::addDevice(L"PCI\\absent", kDisplayClass, false);

  DWORD status = 0;
  auto paths = walk(&status);
  EXPECT_EQ(paths, (std::vector<std::wstring>{
                       L"kept", L"\\\\?\\pci#ven_8086&dev_9a49#1#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}",
                       L"\\\\?\\pci#ven_10de&dev_1f99#2#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}", longPath}));
  // The size query of the last interface answers "insufficient buffer".
  EXPECT_EQ(status, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(sim::callCount("malloc"), 3);
}

TEST_F(DeviceInfoSetTest, AnInterfaceWhoseDetailFailsIsSkipped) {
  addAdapter(L"first");
  addAdapter(L"second");
  addAdapter(L"third");
  // Calls 1 and 2 serve the first interface; call 4 fills the second one's record.
  sim::failCall("SetupDiGetDeviceInterfaceDetailW", ERROR_NOT_ENOUGH_MEMORY, 4);
  EXPECT_EQ(walk(), (std::vector<std::wstring>{L"kept", L"first", L"third"}));
  EXPECT_EQ(sim::callCount("malloc"), 3);
}

TEST_F(DeviceInfoSetTest, AnInterfaceThatVanishedBeforeItsSizeQueryIsSkippedWithoutARecord) {
  addAdapter(L"first");
  DEVINST second = addAdapter(L"second");
  addAdapter(L"third");
  DeviceInfoSet set(&GUID_DISPLAY_DEVICE_ARRIVAL, NULL, kFlags);
  sim::setupapi::unplug(second);  // after the snapshot: enumerated, but its detail is gone
  std::vector<std::wstring> paths;
  set.GetInterfacePaths(paths);
  EXPECT_EQ(paths, (std::vector<std::wstring>{L"first", L"third"}));
  EXPECT_EQ(sim::callCount("malloc"), 2);

  // A size query that fails before reporting a size is skipped the same way.
  sim::failCall("SetupDiGetDeviceInterfaceDetailW", ERROR_INVALID_PARAMETER, 1);
  paths.clear();
  set.GetInterfacePaths(paths);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"third"});
}

TEST_F(DeviceInfoSetTest, AFailedAllocationEndsTheWalkWithZeroAndKeepsWhatWasFound) {
  addAdapter(L"first");
  addAdapter(L"second");
  addAdapter(L"third");
  sim::failCall("malloc", ERROR_NOT_ENOUGH_MEMORY, 2);
  DWORD status = 99;
  EXPECT_EQ(walk(&status), (std::vector<std::wstring>{L"kept", L"first"}));
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(sim::callCount("SetupDiEnumDeviceInterfaces"), 2);
}

TEST_F(DeviceInfoSetTest, AFailedEnumerationSkipsThatMemberOnly) {
  addAdapter(L"first");
  addAdapter(L"second");
  addAdapter(L"third");
  sim::failCall("SetupDiEnumDeviceInterfaces", ERROR_NOT_ENOUGH_MEMORY, 2);
  EXPECT_EQ(walk(), (std::vector<std::wstring>{L"kept", L"first", L"third"}));
}

TEST_F(DeviceInfoSetTest, AWalkEndsWhenEnumerationNeverStopsFailing) {
  addAdapter(L"first");
  sim::failAlways("SetupDiEnumDeviceInterfaces", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(walk(), std::vector<std::wstring>{L"kept"});
  int calls = sim::callCount("SetupDiEnumDeviceInterfaces");
  EXPECT_GT(calls, 1);
  EXPECT_LE(calls, 64);
}

TEST_F(DeviceInfoSetTest, ASetThatWasNeverCreatedYieldsNothingAndIsNotDestroyed) {
  addAdapter(L"first");
  sim::failCall("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
  DWORD status = 99;
  EXPECT_EQ(walk(&status), std::vector<std::wstring>{L"kept"});
  EXPECT_EQ(status, 0u);
  EXPECT_LE(sim::callCount("SetupDiEnumDeviceInterfaces"), 64);
  EXPECT_EQ(sim::callCount("SetupDiDestroyDeviceInfoList"), 0);
}

TEST_F(DeviceInfoSetTest, TheWalkCanBeRepeatedFromTheFirstMember) {
  addAdapter(L"first");
  addAdapter(L"second");
  DeviceInfoSet set(&GUID_DISPLAY_DEVICE_ARRIVAL, NULL, kFlags);
  std::vector<std::wstring> paths;
  set.GetInterfacePaths(paths);
  set.GetInterfacePaths(paths);
  EXPECT_EQ(paths, (std::vector<std::wstring>{L"first", L"second", L"first", L"second"}));
}

TEST_F(DeviceInfoSetTest, NextWalksTheDevicesFromMemberZeroAndTheToolkitActsOnTheCurrentOne) {
  DEVINST gpu = sim::setupapi::addDevice(L"PCI\\VEN_8086", kDisplayClass);
  DEVINST broken = sim::setupapi::addDevice(L"PCI\\VEN_10DE", kDisplayClass);
  sim::setupapi::setStringProperty(gpu, SPDRP_FRIENDLYNAME, L"Graphics");
  sim::setupapi::setProblem(broken, 43);
  sim::setupapi::setClassDescription(kDisplayClass, L"Display adapters");

  DeviceInfoSet set(&kDisplayClass, NULL, DIGCF_PRESENT);
  ASSERT_TRUE(set.Next());
  EXPECT_EQ(sim::setupapi::enumDeviceInfoIndices(), std::vector<DWORD>{0});

  BYTE property[2048] = {};
  ASSERT_TRUE(set.GetRegistryProperty(SPDRP_FRIENDLYNAME, property));
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(property)), L"Graphics");
  EXPECT_FALSE(set.GetRegistryProperty(SPDRP_HARDWAREID, property));

  DWORD working = 7;
  ASSERT_TRUE(set.GetStatus(&working));
  EXPECT_EQ(working, 1u);
  wchar_t description[260] = {};
  ASSERT_TRUE(set.GetClassDescription(description));
  EXPECT_EQ(std::wstring(description), L"Display adapters");

  ASSERT_TRUE(set.Disable());
  EXPECT_TRUE(sim::setupapi::isDisabled(gpu));
  ASSERT_TRUE(set.GetStatus(&working));
  EXPECT_EQ(working, 0u);
  ASSERT_TRUE(set.Enable());
  EXPECT_FALSE(sim::setupapi::isDisabled(gpu));

  ASSERT_TRUE(set.Next());
  ASSERT_TRUE(set.GetStatus(&working));
  EXPECT_EQ(working, 0u);
  ASSERT_TRUE(set.Remove());
  EXPECT_TRUE(sim::setupapi::isRemoved(broken));
  EXPECT_FALSE(sim::setupapi::isRemoved(gpu));
  working = 7;
  EXPECT_FALSE(set.GetStatus(&working));  // the removed device has no devnode
  EXPECT_EQ(working, 7u);

  EXPECT_FALSE(set.Next());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(sim::setupapi::enumDeviceInfoIndices(), (std::vector<DWORD>{0, 1, 2}));
}

TEST_F(DeviceInfoSetTest, AStateChangeWhoseParametersAreRefusedCallsNoInstaller) {
  DEVINST gpu = sim::setupapi::addDevice(L"PCI\\VEN_8086", kDisplayClass);
  DeviceInfoSet set(&kDisplayClass, NULL, DIGCF_PRESENT);
  ASSERT_TRUE(set.Next());
  sim::failCall("SetupDiSetClassInstallParamsW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(set.Disable());
  EXPECT_EQ(sim::callCount("SetupDiCallClassInstaller"), 0);
  EXPECT_FALSE(sim::setupapi::isDisabled(gpu));
}

}  // namespace
