// The watcher's road to the running service: user-defined control codes through the SCM,
// to a peer and to the service frame hosted by this process.
#include "modes/IfcMode.h"
#include "modes/ModeManager.h"
#include "service/ServiceBase.h"
#include "service/ServiceControl.h"
#include "tests/support/ServiceControlFixture.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/ModeManagerPeer.h"

namespace {

using C = sim::scm::SentControl;

class ControlCodeTest : public ServiceControlTest {};

TEST_F(ControlCodeTest, ADeliveredCodeGivesOneAndTracesTheResult) {
  addRunningService({.userControls = {IFC_CTL_ENTER}});
  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_ENTER), 1);
  EXPECT_EQ(traces.texts(), std::vector<std::wstring>{L"ServiceControl SendServiceControlCode ControlService 1"});
  EXPECT_EQ(sim::scm::accessRequests(),
            (std::vector<Req>{Manager(SC_MANAGER_CONNECT), OpenSvc(kService, SERVICE_USER_DEFINED_CONTROL)}));
  EXPECT_EQ(sim::scm::controlsSent(), (std::vector<C>{{kService, IFC_CTL_ENTER, 0, 0}}));
}

TEST_F(ControlCodeTest, ACodeTheServiceDoesNotTakeGivesZeroWithoutATrace) {
  addRunningService({.userControls = {IFC_CTL_ENTER}});
  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_EXIT), 0);
  EXPECT_TRUE(traces.texts().empty());
  EXPECT_EQ(sim::scm::controlsSent(), (std::vector<C>{{kService, IFC_CTL_EXIT, ERROR_INVALID_SERVICE_CONTROL, 0}}));

  sim::scm::script(kService, {});  // now stopped
  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_ENTER), 0);
  EXPECT_TRUE(traces.texts().empty());
}

TEST_F(ControlCodeTest, AMissingServiceOrScmGivesZeroWithItsTrace) {
  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_IDLE_START), 0);
  EXPECT_EQ(traces.texts(), std::vector<std::wstring>{L"ServiceControl SendServiceControlCode OpenService error"});
  EXPECT_EQ(sim::scm::accessRequests().back(),
            OpenSvc(kService, SERVICE_USER_DEFINED_CONTROL, ERROR_SERVICE_DOES_NOT_EXIST));

  traces.clear();
  sim::failCall("OpenSCManagerW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_IDLE_START), 0);
  EXPECT_EQ(traces.texts(), std::vector<std::wstring>{L"ServiceControl SendServiceControlCode OpenSCManager error"});
  EXPECT_EQ(sim::callCount("OpenServiceW"), 1);
}

TEST_F(ControlCodeTest, ACodeReachesTheHostedServicesModesAndTheStopWaitStopsIt) {
  sim::dev::setCapability(CAP_IFC);
  CServiceBase frame(L"QTHRMON", TRUE, TRUE, FALSE);
  ServiceProcess process(frame);
  ASSERT_TRUE(sim::scm::waitForState(SERVICE_RUNNING));
  ASSERT_EQ(ModeManagerPeer::modeCount(*ModeManager::getInstance()), 1u);
  sim::dev::clearRequests();

  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_ENTER), 1);
  EXPECT_TRUE(traces.contains(L"ModeManager onServiceControlHandler 149"));
  EXPECT_EQ(sim::dev::words().size(), 1u) << "IFC switched on";

  // The stop goes through the dispatcher's queue as well.
  EXPECT_TRUE(objContrService.StopServiceAndWait(kService));
  EXPECT_TRUE(process.join());
  EXPECT_EQ(stateOf(kService), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(ModeManagerPeer::modeCount(*ModeManager::getInstance()), 0u);
  EXPECT_EQ(sim::scm::controlsSent(),
            (std::vector<C>{{kService, IFC_CTL_ENTER, 0, 0}, {kService, SERVICE_CONTROL_STOP, 0, 0}}));
  EXPECT_TRUE(sleeps().empty());

  // Gone: the code is refused.
  EXPECT_EQ(objContrService.SendServiceControlCode(IFC_CTL_ENTER), 0);
  EXPECT_EQ(sim::scm::controlsSent().back().error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

}  // namespace
