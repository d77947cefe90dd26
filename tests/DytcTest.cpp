#include "modes/Dytc.h"
#include "tests/support/SimFixture.h"

namespace {

class DytcTest : public SimTest {};

TEST_F(DytcTest, SetCommandsPackEveryFieldIntoTheWordSent) {
  struct Case {
    DWORD function, mode, flag, word;
  } cases[] = {
      {11, 2, 1, 0x12B001}, {11, 3, 1, 0x13B001}, {11, 15, 1, 0x1FB001}, {12, 15, 1, 0x1FC001},
      {12, 15, 0, 0xFC001}, {10, 15, 1, 0x1FA001}, {10, 15, 0, 0xFA001}, {3, 0, 1, 0x103001},
      {3, 1, 1, 0x113001},  {3, 2, 1, 0x123001},
  };
  std::vector<DWORD> expected;
  for (auto& c : cases) {
    EXPECT_TRUE(setDYTC(DYTC_CMD_SET, c.function, c.mode, c.flag));
    expected.push_back(c.word);
  }
  EXPECT_EQ(sim::dev::words(), expected);
  for (auto& r : sim::dev::requests()) EXPECT_EQ(r.controlCode, 0x8310213Cu);
}

TEST_F(DytcTest, QueriesCapabilityAndResetSendTheBareCommand) {
  DWORD reply = 0;
  EXPECT_TRUE(queryDYTC(DYTC_CMD_MODE_MMC_CAP, &reply));
  EXPECT_TRUE(queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply));
  EXPECT_TRUE(getFunctionCap(&reply));
  EXPECT_TRUE(resetDYTC());
  EXPECT_EQ(sim::dev::words(), (std::vector<DWORD>{6, 7, 3, 0x1FF}));
}

TEST_F(DytcTest, PackingCutsWideValuesToTheirFields) {
  DYTCBuffer word;
  word.value = 0xFFFFFFFF;
  EXPECT_TRUE(ToDYTCBuffer(0x3FF, 0x1F, 0x1F, 3, &word));
  EXPECT_EQ(word.value, 0x1FF1FFu);
  EXPECT_EQ(word.command(), 0x1FFu);
  EXPECT_EQ(word.function(), 0xFu);
  EXPECT_EQ(word.mode(), 0xFu);
  EXPECT_EQ(word.flag(), 1u);
}

TEST_F(DytcTest, EveryCallOpensAndClosesTheDevice) {
  DWORD reply = 0;
  queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply);
  setDYTC(DYTC_CMD_SET, DYTC_FUNC_MMC, 2, 1);
  EXPECT_EQ(sim::callCount("CreateFileW"), 2);
  EXPECT_EQ(sim::callCount("CloseHandle"), 2);
  EXPECT_EQ(sim::openHandleCount("Device"), 0u);
}

TEST_F(DytcTest, WithoutTheDeviceNothingIsSentAndTheCallersWordIsKept) {
  sim::dev::setPresent(false);
  DWORD reply = 0xABCD;
  EXPECT_FALSE(queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply));
  EXPECT_EQ(reply, 0xABCDu);
  EXPECT_FALSE(setDYTC(DYTC_CMD_SET, DYTC_FUNC_MMC, 2, 1));
  EXPECT_FALSE(resetDYTC());
  DWORD capability = 0x77;
  EXPECT_FALSE(getFunctionCap(&capability));
  EXPECT_EQ(capability, 0x77u);
  EXPECT_TRUE(sim::dev::requests().empty());
  EXPECT_EQ(sim::callCount("DeviceIoControl"), 0);
  EXPECT_TRUE(traces.contains(L"AcpiVpc Driver not exist"));
  // The capability error shows the caller's preset word.
  EXPECT_TRUE(traces.contains(L"DYTC getFunctionCap error 77"));
  auto open = traces.matching(L"acpiVpc Open Driver Failed errorcode = ");
  ASSERT_FALSE(open.empty());
  EXPECT_EQ(open[0], L"acpiVpc Open Driver Failed errorcode = 2");
}

TEST_F(DytcTest, AFailedRequestStillOverwritesTheCallersWord) {
  sim::dev::failRequests(ERROR_NOT_READY);
  DWORD reply = 0x1234;
  EXPECT_FALSE(queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply));
  EXPECT_EQ(reply, 0u);
  EXPECT_TRUE(traces.contains(L"DYTC Method error 15"));
  EXPECT_TRUE(traces.contains(L"DYTC DeviceIoControl output 0"));

  sim::dev::failRequests(ERROR_NOT_READY, 0x55);
  reply = 0x1234;
  EXPECT_FALSE(queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply));
  EXPECT_EQ(reply, 0x55u);
  EXPECT_EQ(sim::openHandleCount("Device"), 0u);
}

TEST_F(DytcTest, AReplyWithoutTheVerdictBitIsStillASuccessfulCall) {
  sim::dev::setReply(DYTC_CMD_MODE_MMC_GET, 0x00020000);
  DWORD reply = 0;
  EXPECT_TRUE(queryDYTC(DYTC_CMD_MODE_MMC_GET, &reply));
  EXPECT_EQ(reply, 0x20000u);
  auto texts = traces.texts();
  // The verdict failure is traced before the output.
  auto error = std::find(texts.begin(), texts.end(), L"DYTC Method error 0");
  auto output = std::find(texts.begin(), texts.end(), L"DYTC DeviceIoControl output 20000");
  ASSERT_NE(error, texts.end());
  ASSERT_NE(output, texts.end());
  EXPECT_LT(error, output);
}

TEST_F(DytcTest, ResetErrorShowsItsOwnReplyWord) {
  sim::dev::failRequests(ERROR_NOT_READY, 0x40);
  EXPECT_FALSE(resetDYTC());
  EXPECT_TRUE(traces.contains(L"resetDYTC enter"));
  EXPECT_TRUE(traces.contains(L"DYTC reset error 40"));
}

TEST_F(DytcTest, TracesOfOneSetCallComeInOrder) {
  setDYTC(DYTC_CMD_SET, DYTC_FUNC_MSC, 15, 1);
  EXPECT_EQ(traces.texts(), (std::vector<std::wstring>{L"DYTC input 1fc001", L"DYTC DeviceIoControl output 1"}));
}

}  // namespace
