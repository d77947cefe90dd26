// The simulated COM and Task Scheduler must behave as Windows does where the system
// relies on it, and must catch the faults a client can make.
#include "platform/com_ptr.h"
#include "platform/com_text.h"
#include "tests/support/ComFixture.h"

#include <gmock/gmock.h>

#include <cstring>
#include <thread>

namespace {

class SimComTest : public SimTest {};

TEST_F(SimComTest, ABstrCarriesItsByteCountInFrontAndIsFreedOnce) {
  BSTR text = SysAllocString(L"PT1M");
  ASSERT_NE(text, nullptr);
  DWORD prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(text) - sizeof(DWORD), sizeof prefix);
  EXPECT_EQ(prefix, 4 * sizeof(wchar_t));
  EXPECT_EQ(SysStringLen(text), 4u);
  EXPECT_EQ(sim::com::liveStrings(), 1u);
  {
    ComVariant held(L"");
    EXPECT_EQ(held.get().vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(held.get().bstrVal), 0u);
    EXPECT_EQ(sim::com::liveStrings(), 2u);
  }
  EXPECT_EQ(sim::com::liveStrings(), 1u);  // VariantClear freed the empty string
  SysFreeString(text);
  EXPECT_EQ(sim::com::liveStrings(), 0u);
  EXPECT_TRUE(sim::com::misuse().empty());
  wchar_t notABstr[] = L"Oltaro";
  SysFreeString(notABstr);
  EXPECT_EQ(sim::com::misuse(), std::vector<std::string>{"SysFreeString of a pointer that is no live BSTR"});
}

TEST_F(SimComTest, CreatingTheSchedulerNeedsCom) {
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, IID_ITaskService, &object),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);
  // Another thread's multithreaded apartment is this thread's too.
  std::thread member([] {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    ComPtr<ITaskService> service;
    EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, IID_ITaskService,
                               service.putVoid()),
              S_OK);
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
  });
  member.join();
  EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_LOCAL_SERVER, IID_ITaskService, &object),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_LOCAL_SERVER, IID_ITaskService, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, IID_ITaskFolder, &object),
            E_NOINTERFACE);
  CoUninitialize();
}

class SimSchedulerTest : public ComTest {
 protected:
  ComPtr<ITaskService> connect() {
    ComPtr<ITaskService> service;
    EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, IID_ITaskService, service.putVoid()),
              S_OK);
    ComVariant none;
    EXPECT_EQ(service->Connect(none.get(), none.get(), none.get(), none.get()), S_OK);
    return service;
  }
};

TEST_F(SimSchedulerTest, AReleaseTooManyAndAUseAfterReleaseAreRecorded) {
  ComPtr<ITaskService> service = connect();
  ComPtr<ITaskDefinition> definition;
  ASSERT_EQ(service->NewTask(0, definition.put()), S_OK);
  ITriggerCollection* triggers = nullptr;
  ASSERT_EQ(definition->get_Triggers(&triggers), S_OK);
  EXPECT_THAT(sim::com::liveObjects(),
              ::testing::UnorderedElementsAre("ITaskService", "ITaskDefinition", "ITriggerCollection"));
  triggers->Release();
  // The definition still holds its collection, so the memory is valid: the client is not.
  triggers->Release();
  LONG count = -1;
  triggers->get_Count(&count);
  EXPECT_EQ(sim::com::misuse(), std::vector<std::string>{"ITriggerCollection::get_Count on a released object"});
  definition.reset();
  EXPECT_EQ(sim::com::misuse(), (std::vector<std::string>{"ITriggerCollection::get_Count on a released object",
                                                          "ITriggerCollection released more often than referenced"}));
  service.reset();
  sim::reset();  // the fixture's own checks would report the misuse made on purpose
}

TEST_F(SimSchedulerTest, TheStoreRefusesWhatWindowsRefuses) {
  ComPtr<ITaskService> service = connect();
  ComPtr<ITaskFolder> root;
  ComString rootPath(L"\\");
  ASSERT_EQ(service->GetFolder(rootPath.get(), root.put()), S_OK);
  ComString name(L"QTHERM idle Task");
  EXPECT_EQ(root->DeleteTask(name.get(), 0), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  ComPtr<ITaskDefinition> definition;
  ASSERT_EQ(service->NewTask(0, definition.put()), S_OK);
  ComVariant user(L"NT AUTHORITY\\LocalService"), none, sddl(L"");
  // A definition without an action is incomplete.
  EXPECT_EQ(root->RegisterTaskDefinition(name.get(), definition.get(), TASK_CREATE_OR_UPDATE, user.get(), none.get(),
                                         TASK_LOGON_SERVICE_ACCOUNT, sddl.get(), nullptr),
            SCHED_E_MISSINGNODE);
  ComPtr<IActionCollection> actions;
  ComPtr<IAction> action;
  ComPtr<IExecAction> exec;
  ASSERT_EQ(definition->get_Actions(actions.put()), S_OK);
  ASSERT_EQ(actions->Create(TASK_ACTION_EXEC, action.put()), S_OK);
  ASSERT_EQ(action->QueryInterface(IID_IExecAction, exec.putVoid()), S_OK);
  ComString path(L"C:\\x.exe");
  ASSERT_EQ(exec->put_Path(path.get()), S_OK);
  ComVariant stranger(L"NOBODY\\Nobody");
  EXPECT_EQ(root->RegisterTaskDefinition(name.get(), definition.get(), TASK_CREATE_OR_UPDATE, stranger.get(),
                                         none.get(), TASK_LOGON_SERVICE_ACCOUNT, sddl.get(), nullptr),
            HRESULT_FROM_WIN32(1332));
  EXPECT_EQ(root->RegisterTaskDefinition(name.get(), definition.get(), TASK_CREATE, user.get(), none.get(),
                                         TASK_LOGON_SERVICE_ACCOUNT, sddl.get(), nullptr),
            S_OK);
  EXPECT_EQ(root->RegisterTaskDefinition(name.get(), definition.get(), TASK_CREATE, user.get(), none.get(),
                                         TASK_LOGON_SERVICE_ACCOUNT, sddl.get(), nullptr),
            HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  // Only an event trigger answers to IEventTrigger.
  ComPtr<ITriggerCollection> triggers;
  ComPtr<ITrigger> idle;
  ComPtr<IEventTrigger> event;
  ASSERT_EQ(definition->get_Triggers(triggers.put()), S_OK);
  ASSERT_EQ(triggers->Create(TASK_TRIGGER_IDLE, idle.put()), S_OK);
  EXPECT_EQ(idle->QueryInterface(IID_IEventTrigger, event.putVoid()), E_NOINTERFACE);
  // A literal passed where a BSTR belongs is caught.
  wchar_t literal[] = L"Trigger1";
  idle->put_Id(literal);
  EXPECT_EQ(sim::com::misuse(), std::vector<std::string>{"ITrigger::put_Id: the argument is not a BSTR"});
  sim::com::clearMisuse();
}

}  // namespace
