// Fixture for the installer's tests: COM in the test thread (the task helper needs it),
// the installed executable on disk, every Sleep noted, and a check that no block of the
// process heap was left or freed twice.
#pragma once

#include "platform/platform.h"
#include "tests/support/ComFixture.h"

#include <ostream>
#include <string>
#include <vector>

namespace sim::scm {
inline void PrintTo(const AccessRequest& r, std::ostream* os) {
  static const char* kinds[] = {"Manager", "Service", "Create"};
  *os << "{" << kinds[r.kind] << " " << ::testing::PrintToString(r.service) << " access 0x" << std::hex << r.access
      << std::dec << " error " << r.error << "}";
}
inline void PrintTo(const SentControl& c, std::ostream* os) {
  *os << "{" << ::testing::PrintToString(c.service) << " control " << c.control << " error " << c.error << " at "
      << c.at << "}";
}
}  // namespace sim::scm

constexpr const wchar_t* kService = L"QTHRMON";
constexpr const wchar_t* kInstalledExe = L"C:\\windows\\system32\\QTHERMSvc.exe";
constexpr const wchar_t* kDeleteCopy = L"C:\\windows\\system32\\QTHERMSvcWillDel.exe";

using Req = sim::scm::AccessRequest;
inline Req Manager(DWORD access, DWORD error = 0) { return {Req::Manager, L"", access, error}; }
inline Req OpenSvc(const std::wstring& name, DWORD access, DWORD error = 0) {
  return {Req::Service, name, access, error};
}
inline Req Create(const std::wstring& name, DWORD access, DWORD error = 0) {
  return {Req::Create, name, access, error};
}

class ServiceControlTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    sim::files::put(kInstalledExe, "installed image");
    sim::onSleep([this](DWORD ms) { m_sleeps.push_back(ms); });
  }
  void TearDown() override {
    EXPECT_EQ(sim::process::liveHeapBlocks(), 0u) << "heap blocks left";
    EXPECT_EQ(sim::process::heapMisuse(), std::vector<std::string>());
    ComTest::TearDown();
  }

  // Sleeps on the test's own thread, in order (nothing else sleeps in these tests).
  const std::vector<DWORD>& sleeps() const { return m_sleeps; }
  void clearSleeps() { m_sleeps.clear(); }

  // A running peer "QTHRMON" that accepts stop (and pause/continue when asked).
  static void addRunningService(sim::scm::PeerService peer = {}) {
    peer.state = SERVICE_RUNNING;
    sim::scm::addService(kService, std::move(peer));
  }
  static DWORD stateOf(const std::wstring& name) { return sim::scm::serviceStatus(name)->dwCurrentState; }

 private:
  std::vector<DWORD> m_sleeps;
};
