// Which role each command line selects: only argv[1], a "-" or "/" and one of four words
// compared whole with A to Z folded.
#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Row {
  std::vector<std::wstring> args;  // after the program's name
  ProcessRole role;
};
void PrintTo(const Row& row, std::ostream* os) { *os << ::testing::PrintToString(row.args); }

ProcessRole roleOf(const std::vector<std::wstring>& args) {
  std::vector<const wchar_t*> argv{L"C:\\windows\\system32\\QTHERMSvc.exe"};
  for (auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return SelectProcessRole(static_cast<int>(argv.size() - 1), argv.data());
}

class RoleSwitchTest : public ::testing::TestWithParam<Row> {};

TEST_P(RoleSwitchTest, SelectsTheRole) { EXPECT_EQ(roleOf(GetParam().args), GetParam().role); }

using R = ProcessRole;
INSTANTIATE_TEST_SUITE_P(
    CommandLines, RoleSwitchTest,
    ::testing::Values(
        // No switch: the service.
        Row{{}, R::Service}, Row{{L"install"}, R::Service}, Row{{L""}, R::Service}, Row{{L"x-install"}, R::Service},
        Row{{L"\\install"}, R::Service}, Row{{L"install", L"-remove"}, R::Service},
        // The four words after "-" or "/", in any case of A to Z.
        Row{{L"-install"}, R::Install}, Row{{L"/install"}, R::Install}, Row{{L"-INSTALL"}, R::Install},
        Row{{L"/InStAlL"}, R::Install}, Row{{L"-remove"}, R::Remove}, Row{{L"/REMOVE"}, R::Remove},
        Row{{L"-delfile"}, R::DelFile}, Row{{L"/DelFile"}, R::DelFile}, Row{{L"-idletask"}, R::IdleTask},
        Row{{L"/IDLETASK"}, R::IdleTask},
        // Only the first argument counts.
        Row{{L"-remove", L"-install"}, R::Remove}, Row{{L"-bogus", L"-install"}, R::UnknownSwitch},
        // Words compared whole: a letter more or less, a doubled dash, a dash alone, blanks.
        Row{{L"-installx"}, R::UnknownSwitch}, Row{{L"-instal"}, R::UnknownSwitch},
        Row{{L"--install"}, R::UnknownSwitch}, Row{{L"-/install"}, R::UnknownSwitch}, Row{{L"-"}, R::UnknownSwitch},
        Row{{L"/"}, R::UnknownSwitch}, Row{{L"- install"}, R::UnknownSwitch},
        Row{{L"-install "}, R::UnknownSwitch}, Row{{L"-foo"}, R::UnknownSwitch},
        // Only A to Z fold: no locale's case mapping makes another letter match (dotted
        // capital I, dotless small i and the long s fold to i, I and S elsewhere).
        Row{{L"-\u0130nstall"}, R::UnknownSwitch}, Row{{L"-\u0131nstall"}, R::UnknownSwitch},
        Row{{L"-in\u017Ftall"}, R::UnknownSwitch}, Row{{L"-DEL\u017FILE"}, R::UnknownSwitch},
        Row{{L"-remov\u00C9"}, R::UnknownSwitch}, Row{{L"-idle\u0422ask"}, R::UnknownSwitch}));

TEST(RoleSwitch, NoArgumentVectorOrANullArgumentIsTheService) {
  EXPECT_EQ(SelectProcessRole(0, nullptr), ProcessRole::Service);
  const wchar_t* argv[] = {L"QTHERMSvc.exe", nullptr};
  EXPECT_EQ(SelectProcessRole(2, argv), ProcessRole::Service);
  EXPECT_FALSE(IsSwitch(nullptr));
}

}  // namespace
