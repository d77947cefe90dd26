// The builders of the two task definitions: what each takes from the new definition,
// every property it sets, and in which order.
#include "helpers/TaskSchedulerHelper.h"

#include "modes/Log.h"
#include "modes/StringConvert.h"
#include "platform/com_text.h"

namespace {

// Event 420 of the Kernel-PnP configuration channel.
constexpr const wchar_t* PNP_EVENT_SUBSCRIPTION =
    L"<QueryList><Query Id=\"0\" Path=\"Microsoft-Windows-Kernel-PnP/Configuration\"><Select "
    L"Path=\"Microsoft-Windows-Kernel-PnP/Configuration\">*[System[Provider[@Name='Microsoft-Windows-Kernel-PnP'] "
    L"and EventID=420]]</Select></Query></QueryList>";

// A text property set through a BSTR made for the one call.
template <class Target, class Setter>
HRESULT putText(Target* target, Setter setter, const wchar_t* value) {
  ComString text(value);
  return text ? (target->*setter)(text.get()) : E_OUTOFMEMORY;
}

}  // namespace

int TaskSchedulerHelper::SetRegistrationInfo() {
  HRESULT hr = m_definition->get_RegistrationInfo(m_registrationInfo.put());
  if (FAILED(hr)) {
    LogError(L"Failed to get_RegistrationInfo: %x", hex(hr));
    return 0;
  }
  hr = putText(m_registrationInfo.get(), &IRegistrationInfo::put_Author, L"Oltaro");
  if (FAILED(hr)) {
    LogError(L"Failed to put_Author: %x", hex(hr));
    return 0;
  }
  ComString version;
  hr = m_registrationInfo->get_Version(version.put());
  if (FAILED(hr)) {
    LogError(L"Failed to get_Version: %x", hex(hr));
    return 0;
  }
  // A version the definition already carries is shown as its narrow text, then replaced.
  if (version) LogError(L"version %s", StringToWString(WStringToString(version.text())).c_str());
  hr = putText(m_registrationInfo.get(), &IRegistrationInfo::put_Version, L"1.8");
  if (FAILED(hr)) {
    LogError(L"Failed to put_Version: %x", hex(hr));
    return 0;
  }
  // Nothing is set on the principal: the account comes with the registration.
  hr = m_definition->get_Principal(m_principal.put());
  if (FAILED(hr)) {
    LogError(L"Failed to get_Principal: %x", hex(hr));
    return 0;
  }
  return 1;
}

int TaskSchedulerHelper::CreateEventTrigger() {
  HRESULT hr = m_definition->get_Triggers(m_triggers.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot get trigger collection: %x", hex(hr));
    return 0;
  }
  hr = m_triggers->Create(TASK_TRIGGER_EVENT, m_trigger.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot create the event trigger: %x", hex(hr));
    return 0;
  }
  hr = putText(m_trigger.get(), &ITrigger::put_Id, L"Trigger1");
  if (FAILED(hr)) {
    LogError(L"\nCannot put trigger ID: %x", hex(hr));
    return 0;
  }
  hr = m_trigger->QueryInterface(IID_IEventTrigger, m_eventTrigger.putVoid());
  if (FAILED(hr)) {
    LogError(L"\nQueryInterface call failed on IEventTrigger: %x", hex(hr));
    return 0;
  }
  hr = putText(m_eventTrigger.get(), &IEventTrigger::put_Subscription, PNP_EVENT_SUBSCRIPTION);
  if (FAILED(hr)) {
    LogError(L"\nCannot put subscription: %x", hex(hr));
    return 0;
  }
  return 1;
}

int TaskSchedulerHelper::CreateIdleTrigger() {
  HRESULT hr = m_definition->get_Triggers(m_triggers.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot get trigger collection: %x", hex(hr));
    return 0;
  }
  hr = m_triggers->Create(TASK_TRIGGER_IDLE, m_trigger.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot create the idle trigger: %x", hex(hr));
    return 0;
  }
  // Used through ITrigger alone: nothing but its Id is set.
  hr = putText(m_trigger.get(), &ITrigger::put_Id, L"Trigger1");
  if (FAILED(hr)) {
    LogError(L"\nCannot put trigger ID: %x", hex(hr));
    return 0;
  }
  return 1;
}

int TaskSchedulerHelper::SetIdleSettings() {
  HRESULT hr = m_definition->get_Settings(m_settings.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot get Task setting pointer: %x", hex(hr));
    return 0;
  }
  hr = m_settings->put_RunOnlyIfIdle(VARIANT_TRUE);
  if (FAILED(hr)) {
    LogError(L"\nCannot put_RunOnlyIfIdle pointer: %x", hex(hr));
    return 0;
  }
  ComPtr<IIdleSettings> idle;
  hr = m_settings->get_IdleSettings(idle.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot get_IdleSettings pointer: %x", hex(hr));
    return 0;
  }
  // The results of these four are not examined.
  putText(idle.get(), &IIdleSettings::put_IdleDuration, L"PT1M");
  putText(idle.get(), &IIdleSettings::put_WaitTimeout, L"PT0S");
  idle->put_StopOnIdleEnd(VARIANT_TRUE);
  idle->put_RestartOnIdle(VARIANT_FALSE);
  return 1;
}

int TaskSchedulerHelper::SetCommonSettings() {
  HRESULT hr;
  // The idle task reuses the settings that SetIdleSettings obtained.
  if (!m_settings) {
    hr = m_definition->get_Settings(m_settings.put());
    if (FAILED(hr)) {
      LogError(L"\nCannot get Task setting pointer: %x", hex(hr));
      return 0;
    }
  }
  // The results of these two are not examined.
  m_settings->put_AllowDemandStart(VARIANT_FALSE);
  m_settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
  hr = m_settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
  if (FAILED(hr)) {
    LogError(L"\nCannot add idle setting for task setting: %x", hex(hr));
    return 0;
  }
  return 1;
}

int TaskSchedulerHelper::CreateExecAction(std::wstring arguments) {
  HRESULT hr = m_definition->get_Actions(m_actions.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot get Task collection pointer: %x", hex(hr));
    return 0;
  }
  hr = m_actions->Create(TASK_ACTION_EXEC, m_action.put());
  if (FAILED(hr)) {
    LogError(L"\nCannot create the action: %x", hex(hr));
    return 0;
  }
  hr = m_action->QueryInterface(IID_IExecAction, m_execAction.putVoid());
  if (FAILED(hr)) {
    LogError(L"\nQueryInterface call failed on IExecAction: %x", hex(hr));
    return 0;
  }
  std::wstring path = GetModulePath();
  if (path.empty()) {
    LogError(L"\nGetModulePath returned empty");
    return 0;
  }
  LogInfo(L" exe path=%s", path.c_str());
  // The path goes unchanged: no quotes, also when it holds blanks.
  hr = putText(m_execAction.get(), &IExecAction::put_Path, path.c_str());
  if (FAILED(hr)) {
    LogError(L"\nCannot add path for executable action: %x", hex(hr));
    return 0;
  }
  hr = putText(m_execAction.get(), &IExecAction::put_Arguments, arguments.c_str());
  if (FAILED(hr)) {
    LogError(L"\nCannot add command line arg for executable action: %x", hex(hr));
    return 0;
  }
  return 1;
}
