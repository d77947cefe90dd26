#include "modes/Registry.h"
#include "tests/support/SimFixture.h"

namespace {

const wchar_t* kKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC";

class RegistryHelpersTest : public SimTest {};

TEST_F(RegistryHelpersTest, ReadsAndWritesADword) {
  EXPECT_EQ(SetRegKeyDwordValue(kKey, L"Version", 0x4000), 0);
  auto stored = sim::reg::getValue(kKey, L"Version");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
  DWORD value = 0;
  EXPECT_EQ(GetRegKeyDwordValue(kKey, L"Version", &value), 0);
  EXPECT_EQ(value, 0x4000u);
}

TEST_F(RegistryHelpersTest, WritingCreatesEveryMissingKeyOnThePathToOutlastARestart) {
  EXPECT_FALSE(sim::reg::keyExists(L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON"));
  EXPECT_EQ(SetRegKeyDwordValue(L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC\\MMC", L"Capability", 8), 0);
  sim::reg::restart();
  EXPECT_EQ(sim::reg::getDword(L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC\\MMC", L"Capability"), 8u);
}

TEST_F(RegistryHelpersTest, MissingValueOrKeyGivesFileNotFoundAndKeepsTheCallersWord) {
  DWORD value = 77;
  EXPECT_EQ(GetRegKeyDwordValue(kKey, L"Version", &value), ERROR_FILE_NOT_FOUND);  // no key
  EXPECT_EQ(value, 77u);
  EXPECT_TRUE(traces.contains(
      L"GetRegKeyDwordValue:RegOpenKeyEx SubKey - SYSTEM\\CurrentControlSet\\Services\\QTHRMON\\QTHERM\\IC, value- "
      L"Version, dwValue- 77,Error - 0"));
  sim::reg::createKey(kKey);
  EXPECT_EQ(GetRegKeyDwordValue(kKey, L"Version", &value), ERROR_FILE_NOT_FOUND);  // no value
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(traces.matching(L"GetRegKeyDwordValue:RegQueryValueEx").size(), 1u);
}

TEST_F(RegistryHelpersTest, LongerDataGivesMoreData) {
  sim::reg::setValue(kKey, L"GPULOAD", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
  DWORD value = 9;
  EXPECT_EQ(GetRegKeyDwordValue(kKey, L"GPULOAD", &value), ERROR_MORE_DATA);
  EXPECT_EQ(value, 9u);
}

TEST_F(RegistryHelpersTest, ShorterDataOfAnyTypeOverwritesOnlyItsBytes) {
  sim::reg::setValue(kKey, L"GPULOAD", REG_BINARY, {0x11, 0x22});
  DWORD value = 0xAABBCCDD;
  EXPECT_EQ(GetRegKeyDwordValue(kKey, L"GPULOAD", &value), 0);
  EXPECT_EQ(value, 0xAABB2211u);
}

TEST_F(RegistryHelpersTest, AKeyThatAllowsOnlyReadingIsRefusedEvenToRead) {
  sim::reg::setDword(kKey, L"GPULOAD", 30);
  sim::reg::setKeyAccess(kKey, KEY_READ);
  DWORD value = 50;
  EXPECT_EQ(GetRegKeyDwordValue(kKey, L"GPULOAD", &value), ERROR_ACCESS_DENIED);
  EXPECT_EQ(value, 50u);
  EXPECT_EQ(SetRegKeyDwordValue(kKey, L"GPULOAD", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(sim::reg::getDword(kKey, L"GPULOAD"), 30u);
}

TEST_F(RegistryHelpersTest, FailedWriteReturnsTheFailingCallsCode) {
  sim::failCall("RegSetValueExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetRegKeyDwordValue(kKey, L"Version", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(traces.matching(L"SetRegKeyDwordValue:RegSetValueEx SubKey - ").size(), 1u);
  sim::failCall("RegCreateKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetRegKeyDwordValue(kKey, L"Version", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(traces.matching(L"SetRegKeyDwordValue:RegCreateKeyEx SubKey - ").size(), 1u);
  EXPECT_FALSE(sim::reg::getValue(kKey, L"Version"));
}

}  // namespace
