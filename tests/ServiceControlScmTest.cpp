// The client side of the simulated Service Control Manager, and its processes and heap,
// must behave as Windows does, or the installer's tests would prove nothing.
#include "platform/handles.h"
#include "tests/support/ServiceControlFixture.h"

#include <cstring>

namespace {

using sim::scm::Phase;
using sim::scm::PeerService;

class ScmClientTest : public ServiceControlTest {};

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                   sizeof status, &needed));
  return status;
}

TEST_F(ScmClientTest, HandlesCarryOnlyTheRightsAskedAndOnlyCloseServiceHandleClosesThem) {
  sim::scm::addService(L"Peer", {});
  UniqueServiceHandle connect(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  ASSERT_TRUE(connect);
  EXPECT_EQ(CreateServiceW(connect.get(), L"New", NULL, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, L"x.exe", NULL, NULL, NULL, NULL, NULL),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  UniqueServiceHandle query(OpenServiceW(connect.get(), L"peer", SERVICE_QUERY_STATUS));  // names ignore case
  ASSERT_TRUE(query);
  SERVICE_STATUS status{};
  EXPECT_FALSE(StartServiceW(query.get(), 0, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ControlService(query.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteService(query.get()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD needed = 0, count = 0;
  EXPECT_FALSE(EnumDependentServicesW(query.get(), SERVICE_ACTIVE, NULL, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // An SC_HANDLE is no kernel handle.
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(query.get())));
  SC_HANDLE raw = query.release();
  EXPECT_TRUE(CloseServiceHandle(raw));
  EXPECT_FALSE(CloseServiceHandle(raw));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  sim::scm::denyServiceRights(L"Peer", SERVICE_STOP);
  EXPECT_EQ(OpenServiceW(connect.get(), L"Peer", SERVICE_STOP | SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenServiceW(connect.get(), L"Missing", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(sim::scm::accessRequests(),
            (std::vector<Req>{Manager(SC_MANAGER_CONNECT), Create(L"New", SERVICE_ALL_ACCESS, ERROR_ACCESS_DENIED),
                              OpenSvc(L"peer", SERVICE_QUERY_STATUS),
                              OpenSvc(L"Peer", SERVICE_STOP | SERVICE_QUERY_STATUS, ERROR_ACCESS_DENIED),
                              OpenSvc(L"Missing", SERVICE_QUERY_CONFIG, ERROR_SERVICE_DOES_NOT_EXIST)}));
}

TEST_F(ScmClientTest, CreationRefusesTakenNamesAndKeepsTheConfiguration) {
  sim::scm::addService(L"Other", {.displayName = L"Other Display"});
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  auto create = [&](LPCWSTR name, LPCWSTR display) {
    return CreateServiceW(scm.get(), name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, L"\"C:\\a b\\x.exe\"", NULL, NULL, L"Dep1\0Dep2\0",
                          L"LocalSystem", NULL);
  };
  EXPECT_EQ(create(L"OTHER", L"Fresh"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(create(L"Fresh", L"other display"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_EQ(create(L"a\\b", L"a\\b"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

  UniqueServiceHandle created(create(L"Fresh", L"Fresh Display"));
  ASSERT_TRUE(created);
  auto c = sim::scm::config(L"Fresh");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->displayName, L"Fresh Display");
  EXPECT_EQ(c->binaryPath, L"\"C:\\a b\\x.exe\"");
  EXPECT_EQ(c->dependencies, (std::vector<std::wstring>{L"Dep1", L"Dep2"}));
  EXPECT_FALSE(c->password);
  EXPECT_FALSE(c->description);
  EXPECT_EQ(query(created.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  // Marked for deletion, the name stays taken while a handle is open.
  ASSERT_TRUE(DeleteService(created.get()));
  EXPECT_FALSE(DeleteService(created.get()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(create(L"Fresh", L"Fresh Display"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_TRUE(sim::scm::config(L"Fresh"));
  created.reset();
  EXPECT_FALSE(sim::scm::config(L"Fresh"));
}

TEST_F(ScmClientTest, APeerFollowsItsScriptOnTheVirtualClock) {
  sim::scm::addService(
      L"Peer", {.onStart = {Phase{SERVICE_START_PENDING, 3000, 1, 1000, 2500}},
                .onStop = {Phase{SERVICE_STOP_PENDING, 4000, 7, 0, 5000}}});
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle peer(OpenServiceW(scm.get(), L"Peer", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(StartServiceW(peer.get(), 0, NULL));
  EXPECT_FALSE(StartServiceW(peer.get(), 0, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  auto s = query(peer.get());
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(s.dwCheckPoint, 1u);
  EXPECT_EQ(s.dwWaitHint, 3000u);
  EXPECT_NE(s.dwProcessId, 0u);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(peer.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  Sleep(2000);
  EXPECT_EQ(query(peer.get()).dwCheckPoint, 3u);
  Sleep(500);
  s = query(peer.get());
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(s.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));

  ASSERT_TRUE(ControlService(peer.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(status.dwCheckPoint, 7u);
  Sleep(4999);
  EXPECT_EQ(query(peer.get()).dwCheckPoint, 7u);  // frozen
  Sleep(1);
  EXPECT_EQ(query(peer.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(query(peer.get()).dwProcessId, 0u);
  EXPECT_FALSE(ControlService(peer.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ScmClientTest, ControlsAreCheckedAsTheScmChecksThem) {
  addRunningService({.controlsAccepted = SERVICE_ACCEPT_STOP, .userControls = {130}});
  sim::scm::addService(L"Dependent", {.dependencies = {L"QTHRMON"}, .state = SERVICE_RUNNING});
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(OpenServiceW(scm.get(), kService, SERVICE_ALL_ACCESS));
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service.get(), 130, &status));
  EXPECT_FALSE(ControlService(service.get(), 131, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_SHUTDOWN, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ControlService(service.get(), 256, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A running dependent keeps the service from stopping.
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING));
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_RUNNING));
  using C = sim::scm::SentControl;
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{kService, 130, 0, 0}, {kService, 131, ERROR_INVALID_SERVICE_CONTROL, 0},
                            {kService, SERVICE_CONTROL_CONTINUE, ERROR_INVALID_SERVICE_CONTROL, 0},
                            {kService, SERVICE_CONTROL_STOP, ERROR_DEPENDENT_SERVICES_RUNNING, 0}}));
}

TEST_F(ScmClientTest, DependentsComeInStopOrderThroughTheMoreDataProtocol) {
  addRunningService();
  sim::scm::addService(L"A", {.displayName = L"Alpha", .dependencies = {L"QTHRMON"}, .state = SERVICE_RUNNING});
  sim::scm::addService(L"B", {.dependencies = {L"A"}, .state = SERVICE_RUNNING});
  sim::scm::addService(L"C", {.dependencies = {L"QTHRMON"}});  // stopped: not active
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(OpenServiceW(scm.get(), kService, SERVICE_ENUMERATE_DEPENDENTS));
  DWORD needed = 0, count = 7;
  ASSERT_FALSE(EnumDependentServicesW(service.get(), SERVICE_ACTIVE, NULL, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  size_t strings = (2 + 2 + 2 + 6) * sizeof(wchar_t);  // "B", "B", "A", "Alpha" with their NULs
  EXPECT_EQ(needed, 2 * sizeof(ENUM_SERVICE_STATUSW) + strings);
  EXPECT_EQ(count, 0u);
  std::vector<BYTE> buffer(needed - 1);
  auto* entries = reinterpret_cast<LPENUM_SERVICE_STATUSW>(buffer.data());
  EXPECT_FALSE(EnumDependentServicesW(service.get(), SERVICE_ACTIVE, entries, needed - 1, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  buffer.resize(needed);
  entries = reinterpret_cast<LPENUM_SERVICE_STATUSW>(buffer.data());
  ASSERT_TRUE(EnumDependentServicesW(service.get(), SERVICE_ACTIVE, entries, needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(entries[0].lpServiceName, L"B");
  EXPECT_STREQ(entries[1].lpServiceName, L"A");
  EXPECT_STREQ(entries[1].lpDisplayName, L"Alpha");
  EXPECT_EQ(entries[1].ServiceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  // The names live inside the buffer.
  EXPECT_GE(reinterpret_cast<BYTE*>(entries[1].lpDisplayName), buffer.data());
  EXPECT_LT(reinterpret_cast<BYTE*>(entries[1].lpDisplayName), buffer.data() + buffer.size());

  UniqueServiceHandle lone(OpenServiceW(scm.get(), L"B", SERVICE_ENUMERATE_DEPENDENTS));
  EXPECT_TRUE(EnumDependentServicesW(lone.get(), SERVICE_ACTIVE, NULL, 0, &needed, &count));
  EXPECT_EQ(count, 0u);
}

TEST_F(ScmClientTest, ADeletedRunningServiceGoesOnceStoppedAndUnreferenced) {
  addRunningService({.onStop = {Phase{SERVICE_STOP_PENDING, 1000, 1, 0, 1000}}});
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(OpenServiceW(scm.get(), kService, SERVICE_ALL_ACCESS));
  ASSERT_TRUE(DeleteService(service.get()));
  EXPECT_FALSE(StartServiceW(service.get(), 0, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_FALSE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  service.reset();
  EXPECT_TRUE(sim::scm::config(kService)) << "gone while running";
  service.reset(OpenServiceW(scm.get(), kService, SERVICE_STOP));
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  Sleep(1000);
  EXPECT_TRUE(sim::scm::config(kService)) << "gone while a handle is open";
  service.reset();
  EXPECT_FALSE(sim::scm::config(kService));
}

TEST_F(ScmClientTest, DescriptionAndDelayedStartAreStored) {
  sim::scm::addService(L"Peer", {});
  UniqueServiceHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle peer(OpenServiceW(scm.get(), L"Peer", SERVICE_CHANGE_CONFIG));
  wchar_t text[] = L"words";
  SERVICE_DESCRIPTIONW description{text};
  ASSERT_TRUE(ChangeServiceConfig2W(peer.get(), SERVICE_CONFIG_DESCRIPTION, &description));
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  ASSERT_TRUE(ChangeServiceConfig2W(peer.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed));
  EXPECT_EQ(sim::scm::config(L"Peer")->description, std::optional<std::wstring>(L"words"));
  EXPECT_TRUE(sim::scm::config(L"Peer")->delayedAutoStart);
}

TEST_F(ScmClientTest, ALaunchIsRecordedAndItsHandlesMustBeClosed) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring line = L"C:\\windows\\system32\\QTHERMSvc.exe -x";
  ASSERT_TRUE(CreateProcessW(NULL, line.data(), NULL, NULL, FALSE, CREATE_NEW_PROCESS_GROUP, NULL, NULL, &startup,
                             &info));
  EXPECT_EQ(sim::openHandleCount("Process"), 1u);
  EXPECT_EQ(sim::openHandleCount("Thread"), 1u);
  EXPECT_TRUE(CloseHandle(info.hThread));
  EXPECT_TRUE(CloseHandle(info.hProcess));
  auto launches = sim::process::launches();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].commandLine, line);
  EXPECT_EQ(launches[0].application, L"");
  EXPECT_EQ(launches[0].creationFlags, static_cast<DWORD>(CREATE_NEW_PROCESS_GROUP));

  // No image, no process.
  std::wstring missing = L"C:\\nothere.exe";
  EXPECT_FALSE(CreateProcessW(missing.c_str(), line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sim::process::launches().size(), 1u);
}

class ProcessHeapTest : public SimTest {};

TEST_F(ProcessHeapTest, CountsLiveBlocksAndRefusesAForeignFree) {
  auto* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::count(block, block + 64, 0), 64);
  EXPECT_EQ(sim::process::liveHeapBlocks(), 1u);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
  EXPECT_EQ(sim::process::liveHeapBlocks(), 0u);
  int local = 0;
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, &local));
  EXPECT_EQ(sim::process::heapMisuse().size(), 1u);
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, block));  // twice
  EXPECT_EQ(sim::process::heapMisuse().size(), 2u);
}

}  // namespace
