// Whether "-remove" finds the service's installation gone, and the driver-store probes.
#include "service/RemovalCheck.h"
#include "tests/support/SimFixture.h"

#include <cstring>

namespace {

const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON";
const std::wstring kInf = L"C:\\windows\\INF\\oem12.inf";

std::vector<BYTE> units(const std::wstring& text) {
  std::vector<BYTE> data(text.size() * sizeof(wchar_t));
  std::memcpy(data.data(), text.data(), data.size());
  return data;
}

class RemovalCheckTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::reg::createKey(kServiceKey);
  }
  void setOwners() { sim::reg::setValue(kServiceKey, L"Owners", REG_MULTI_SZ, units(std::wstring(L"oem12.inf\0\0", 11))); }
  void installed(const std::wstring& displayName) {
    setOwners();
    sim::reg::setString(kServiceKey, L"DisplayName", displayName);
  }
};

TEST_F(RemovalCheckTest, AMissingKeyOwnersOrDisplayNameMeansTheServiceIsGone) {
  sim::reg::deleteKey(kServiceKey);
  EXPECT_TRUE(IsServiceInfMissing());

  // As the installer's own "install" leaves it: a display name but no "Owners".
  sim::reg::setString(kServiceKey, L"DisplayName", L"QTHRMON");
  EXPECT_TRUE(IsServiceInfMissing());

  sim::reg::deleteValue(kServiceKey, L"DisplayName");
  setOwners();
  EXPECT_TRUE(IsServiceInfMissing());

  sim::reg::setString(kServiceKey, L"DisplayName", L"QTHRMON");
  EXPECT_FALSE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, TheKeyIsOpenedForQueryAndEnumerationOnly) {
  installed(L"QTHRMON");
  sim::reg::setKeyAccess(kServiceKey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS);
  EXPECT_FALSE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, AnOwnersValueThatCannotBeReadMeansGone) {
  installed(L"QTHRMON");
  sim::failCall("RegQueryValueExW", ERROR_MORE_DATA, 2);
  EXPECT_TRUE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, AnEmptyOwnersValueIsStillPresent) {
  sim::reg::setValue(kServiceKey, L"Owners", REG_BINARY, {});
  sim::reg::setString(kServiceKey, L"DisplayName", L"QTHRMON");
  EXPECT_FALSE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, ADisplayNameMustFitWithItsNulInto260Characters) {
  installed(std::wstring(259, L'Q'));
  EXPECT_FALSE(IsServiceInfMissing());
  installed(std::wstring(260, L'Q'));
  EXPECT_TRUE(IsServiceInfMissing());
  // Data stored without a terminating NUL: 259 units still fit, 260 do not.
  sim::reg::setValue(kServiceKey, L"DisplayName", REG_SZ, units(std::wstring(259, L'Q')));
  EXPECT_FALSE(IsServiceInfMissing());
  sim::reg::setValue(kServiceKey, L"DisplayName", REG_SZ, units(std::wstring(260, L'Q')));
  EXPECT_TRUE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, ADisplayNameWithoutAnInfNameAnswersFalseWithoutLooking) {
  for (const wchar_t* name : {L"QTHRMON", L"@", L"@,,,", L"@oem1,description", L"@,oem1", L"", L"x@oem12.inf"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    installed(name);
    EXPECT_FALSE(IsServiceInfMissing());
  }
  EXPECT_EQ(sim::callCount("SHGetFolderPathW"), 0);
  EXPECT_EQ(sim::callCount("CreateFileW"), 0);
}

TEST_F(RemovalCheckTest, AnIndirectNameLooksForItsInfFileInTheWindowsFolder) {
  installed(L"@oem12.inf,%QTHERM.SvcDesc%;QTHERM Service");
  EXPECT_TRUE(IsServiceInfMissing());
  sim::files::put(kInf);
  EXPECT_FALSE(IsServiceInfMissing());

  // Five characters without a comma: the whole rest is the name.
  installed(L"@abcde");
  EXPECT_TRUE(IsServiceInfMissing());
  sim::files::put(L"C:\\windows\\INF\\abcde");
  EXPECT_FALSE(IsServiceInfMissing());

  // Commas right after the "@" are skipped.
  installed(L"@,,oem7.inf,description");
  EXPECT_TRUE(IsServiceInfMissing());
  sim::files::put(L"C:\\windows\\INF\\oem7.inf");
  EXPECT_FALSE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, TheShellsWindowsFolderIsUsed) {
  installed(L"@oem12.inf,x");
  sim::files::put(kInf);
  sim::text::setWindowsFolder(L"D:\\Win");
  EXPECT_TRUE(IsServiceInfMissing());
  sim::files::put(L"D:\\Win\\INF\\oem12.inf");
  EXPECT_FALSE(IsServiceInfMissing());
  sim::text::setWindowsFolder(L"");  // the shell cannot tell
  EXPECT_TRUE(IsServiceInfMissing());
}

TEST_F(RemovalCheckTest, AnInfFileThatCannotBeReadCountsAsMissing) {
  installed(L"@oem12.inf,x");
  sim::files::put(kInf);
  sim::files::lockAgainstReaders(kInf);
  EXPECT_TRUE(IsServiceInfMissing());
  sim::files::lockAgainstReaders(kInf, false);
  sim::files::denyRead(kInf);
  EXPECT_TRUE(IsServiceInfMissing());
  sim::files::denyRead(kInf, false);
  EXPECT_FALSE(IsServiceInfMissing());
  // Another process reading or writing the file and sharing reads leaves it readable: the
  // check's own open shares both.
  for (DWORD access : {GENERIC_WRITE, GENERIC_READ}) {
    HANDLE other;
    {
      sim::Unobserved outside;
      other = CreateFileW(kInf.c_str(), access, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    }
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(IsServiceInfMissing()) << std::hex << access;
    CloseHandle(other);
  }
}

TEST_F(RemovalCheckTest, AnInfPathLongerThanMaxPathCountsAsMissingRatherThanCut) {
  // "C:\windows\INF\" is 15 characters: a 244-character name makes 259, one more 260.
  std::wstring fits(244, L'a');
  std::wstring tooLong(245, L'a');
  sim::files::put(L"C:\\windows\\INF\\" + fits);
  sim::files::put(L"C:\\windows\\INF\\" + tooLong);
  installed(L"@" + fits);
  EXPECT_FALSE(IsServiceInfMissing());
  installed(L"@" + tooLong + L",x");
  EXPECT_TRUE(IsServiceInfMissing());
  EXPECT_EQ(sim::callCount("CreateFileW"), 1);
}

TEST_F(RemovalCheckTest, EveryNameOfAListIsLookedUpWithTheFolderAskedAnew) {
  sim::files::put(L"C:\\windows\\INF\\a.inf");
  sim::files::put(L"C:\\windows\\INF\\b.inf");
  EXPECT_FALSE(IsAnyInfFileMissing(L"a.inf\0b.inf\0"));
  EXPECT_EQ(sim::callCount("SHGetFolderPathW"), 2);
  EXPECT_TRUE(IsAnyInfFileMissing(L"a.inf\0c.inf\0"));
  EXPECT_TRUE(IsAnyInfFileMissing(L"c.inf\0a.inf\0"));
  EXPECT_EQ(sim::callCount("CreateFileW"), 5);
  EXPECT_FALSE(IsAnyInfFileMissing(L""));
}

TEST_F(RemovalCheckTest, ASubkeyNameIsSearchedForTheTextCaseSensitively) {
  const std::wstring store = L"SYSTEM\\DriverDatabase\\DriverPackages";
  EXPECT_FALSE(IsDriverPackageInStore(L"oem12.inf"));  // no store key
  sim::reg::createKey(store);
  EXPECT_FALSE(IsDriverPackageInStore(L""));  // no subkeys
  sim::reg::createKey(store + L"\\display.inf_amd64_1a2b");
  sim::reg::createKey(store + L"\\qtherm.inf_amd64_7f3e9c");
  EXPECT_TRUE(IsDriverPackageInStore(L""));
  EXPECT_TRUE(IsDriverPackageInStore(L"qtherm.inf"));
  EXPECT_FALSE(IsDriverPackageInStore(L"QTHERM.inf"));
  EXPECT_FALSE(IsDriverPackageInStore(L"oem12.inf"));
  // A subkey that cannot be enumerated is passed over.
  sim::failCall("RegEnumKeyExW", ERROR_MORE_DATA, 1);
  EXPECT_TRUE(IsDriverPackageInStore(L"qtherm"));
  sim::failCall("RegEnumKeyExW", ERROR_MORE_DATA, 2);
  EXPECT_FALSE(IsDriverPackageInStore(L"qtherm"));
}

TEST_F(RemovalCheckTest, TheComponentVersionProbeTracesWhenTheValueIsMissing) {
  EXPECT_FALSE(IsComponentVersionPresent());
  EXPECT_TRUE(traces.contains(L"get qth version failed!"));
  traces.clear();
  sim::reg::setDword(kServiceKey + L"\\QTHERM\\IC", L"Version", 0x01020003);
  EXPECT_TRUE(IsComponentVersionPresent());
  EXPECT_FALSE(traces.contains(L"get qth version failed!"));
}

}  // namespace
