// The platform checks against the simulated machine, one test per row on a fresh machine.
#include "tests/checks/PlatformChecks.h"
#include "tests/support/SimFixture.h"

#include <ostream>

void letWaitersBlock(int count) { sim::waitForBlockedWaiters(count); }
void setKeySecurity(const std::wstring& path, REGSAM granted) { sim::reg::setKeyAccess(path, granted); }
void PrintTo(const PlatformCheck& check, std::ostream* os) { *os << check.name; }

namespace {

class PlatformCheckTest : public SimTest, public ::testing::WithParamInterface<PlatformCheck> {};

TEST_P(PlatformCheckTest, GivesWhatWindowsGives) { EXPECT_EQ(GetParam().run(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Table, PlatformCheckTest, ::testing::ValuesIn(platformChecks()),
                         [](const ::testing::TestParamInfo<PlatformCheck>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
