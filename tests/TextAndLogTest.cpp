#include "modes/Log.h"
#include "modes/StringConvert.h"
#include "modes/WideFormat.h"
#include "tests/support/SimFixture.h"

namespace {

class TextAndLogTest : public SimTest {};

TEST_F(TextAndLogTest, StringToWStringWidensEachByteAsSigned) {
  EXPECT_EQ(StringToWString("class CMMC"), L"class CMMC");
  std::wstring wide = StringToWString(std::string("a\xE9", 2));
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(static_cast<uint32_t>(wide[1]), 0xFFE9u);
  EXPECT_EQ(StringToWString(std::string("\0x", 2)).size(), 2u);
}

TEST_F(TextAndLogTest, WStringToStringStopsAtTheFirstNulAndUsesTheAnsiCodePage) {
  EXPECT_EQ(WStringToString(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(WStringToString(L""), "");
  EXPECT_EQ(WStringToString(L"caf\u00e9 \u20ac"), "caf\xE9 \x80");
}

TEST_F(TextAndLogTest, FormatFollowsTheWindowsConvention) {
  EXPECT_EQ(FormatWide(L"%s is installed.\n", L"QTHRMON"), L"QTHRMON is installed.\n");
  EXPECT_EQ(FormatWide(L"DeleteService failed w/err 0x%08lx\n", static_cast<DWORD>(1072)),
            L"DeleteService failed w/err 0x00000430\n");
  EXPECT_EQ(FormatWide(L"%d %x %u", -1, 0xFFFFFFFFu, 3000000000u), L"-1 ffffffff 3000000000");
  EXPECT_EQ(FormatWide(L"%ld|%5li|%ld", static_cast<LONG>(-5), static_cast<LONG>(-42), static_cast<LONG>(INT32_MIN)),
            L"-5|  -42|-2147483648");
  EXPECT_EQ(FormatWide(L"version %S", "1.8"), L"version 1.8");
  EXPECT_EQ(FormatWide(L"%f", 25.0), L"25.000000");
  EXPECT_EQ(FormatWide(L"%5s|%-4d|", L"ab", 7), L"   ab|7   |");
  EXPECT_EQ(FormatWide(L"100%% %q"), L"100% %q");
}

TEST_F(TextAndLogTest, EntryPointsDiscardWithoutASink) {
  SetLogSink(nullptr, nullptr);
  LogInfo(L"%s", L"x");
  LogOpen(L"qthdebug.log", 0);
  LogSpare1(L"%d", 1);
  LogSpare2(L"%d", 1);
  EXPECT_TRUE(traces.texts().empty());
}

TEST_F(TextAndLogTest, SinkReceivesLevelAndText) {
  LogInfo(L"a %d", 1);
  LogError(L"b %s", L"c");
  EXPECT_EQ(traces.all(), (std::vector<Trace>{Info(L"a 1"), Error(L"b c")}));
}

TEST_F(TextAndLogTest, LogDirectoryOfAGivenFolderGetsItsBackslashAndIsCreated) {
  EXPECT_EQ(GetLogDirectory(L"C:\\logs\\qth"), L"C:\\logs\\qth\\");
  EXPECT_TRUE(sim::text::directoryExists(L"C:\\logs\\qth"));
  EXPECT_EQ(GetLogDirectory(L"C:\\other\\"), L"C:\\other\\");
  sim::failCall("MakeSureDirectoryPathExists", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLogDirectory(L"D:\\x"), L"D:\\x\\");
  EXPECT_EQ(sim::text::debugOutput(), (std::vector<std::wstring>{L"Log - MakeSureDirectoryPathExists - Error"}));
}

TEST_F(TextAndLogTest, DefaultLogDirectoryIsUnderCommonAppData) {
  EXPECT_EQ(GetLogDirectory(nullptr), L"C:\\ProgramData\\Oltaro\\QTHRMON\\");
  EXPECT_TRUE(sim::text::directoryExists(L"C:\\ProgramData\\Oltaro\\QTHRMON"));
  sim::reset();
  sim::failCall("CreateDirectoryW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLogDirectory(L""), L"C:\\ProgramData");
}

}  // namespace
