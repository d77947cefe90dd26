#include "helpers/TaskSchedulerHelper.h"

#include "modes/Log.h"
#include "platform/com_text.h"

#include <algorithm>

namespace {

constexpr const wchar_t* TASK_FOLDER_NAME = L"Oltaro";
constexpr const wchar_t* PNP_TASK_USER = L"NT AUTHORITY\\System";
constexpr const wchar_t* IDLE_TASK_USER = L"NT AUTHORITY\\LocalService";

}  // namespace

TaskSchedulerHelper::TaskSchedulerHelper() { Init(); }

int TaskSchedulerHelper::Init() {
  HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                m_service.putVoid());
  if (FAILED(hr)) {
    LogError(L"Failed to create an instance of ITaskService: %x", hex(hr));
    return disconnect();
  }
  ComVariant none;
  hr = m_service->Connect(none.get(), none.get(), none.get(), none.get());
  if (FAILED(hr)) {
    LogError(L"ITaskService::Connect failed: %x", hex(hr));
    return disconnect();
  }
  ComString root(L"\\");
  hr = root ? m_service->GetFolder(root.get(), m_rootFolder.put()) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogError(L"Cannot get Root Folder pointer: %x", hex(hr));
    return disconnect();
  }
  // Relative to the root: no leading backslash.
  ComString name(TASK_FOLDER_NAME);
  hr = name ? m_rootFolder->GetFolder(name.get(), m_folder.put()) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogError(L"Failed to GetFolder: %x", hex(hr));
    ComVariant noSecurity;
    hr = name ? m_rootFolder->CreateFolder(name.get(), noSecurity.get(), m_folder.put()) : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      LogError(L"Failed to CreateFolder: %x", hex(hr));
      return disconnect();
    }
  }
  LogInfo(L"success to init task");
  return 1;
}

int TaskSchedulerHelper::disconnect() {
  m_folder.reset();
  m_rootFolder.reset();
  m_service.reset();
  return 0;
}

void TaskSchedulerHelper::releaseDefinition() {
  m_registeredTask.reset();
  m_settings.reset();
  m_execAction.reset();
  m_action.reset();
  m_actions.reset();
  m_eventTrigger.reset();
  m_trigger.reset();
  m_triggers.reset();
  m_principal.reset();
  m_registrationInfo.reset();
  m_definition.reset();
}

// A text that finds no memory (the module path, a copy of an argument) fails the task
// like any failed step: the result is 0, never an exception.
int TaskSchedulerHelper::CreateTask(std::wstring name, std::wstring arguments, int isIdleTask) try {
  if (!m_folder && !Init()) return 0;
  // A second task on one object starts from nothing: no member of the first may be
  // taken for the new definition.
  releaseDefinition();

  HRESULT hr = m_service->NewTask(0, m_definition.put());
  if (FAILED(hr)) {
    LogError(L"Failed to NewTask: %x", hex(hr));
    return 0;
  }
  if (!SetRegistrationInfo()) return 0;

  const wchar_t* user;
  if (isIdleTask) {
    if (!CreateIdleTrigger() || !SetIdleSettings() || !SetCommonSettings() || !CreateExecAction(arguments)) return 0;
    user = IDLE_TASK_USER;
  } else {
    if (!CreateEventTrigger() || !SetCommonSettings() || !CreateExecAction(arguments)) return 0;
    user = PNP_TASK_USER;
  }

  if (!RegisterTask(name, user)) return 0;
  LogInfo(L"[1216]success to create task");
  return 1;
} catch (...) {
  return 0;
}

int TaskSchedulerHelper::RegisterTask(std::wstring name, const wchar_t* user) {
  ComString path(name);
  ComVariant userId(user);
  ComVariant password;
  // A BSTR of length 0, not an empty variant.
  ComVariant sddl(L"");
  HRESULT hr = path && userId.ok() && sddl.ok()
                   ? m_folder->RegisterTaskDefinition(path.get(), m_definition.get(), TASK_CREATE_OR_UPDATE,
                                                      userId.get(), password.get(), TASK_LOGON_SERVICE_ACCOUNT,
                                                      sddl.get(), m_registeredTask.put())
                   : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogError(L"\nError saving the Task : %x", hex(hr));
    return 0;
  }
  return 1;
}

int TaskSchedulerHelper::DeleteTask(std::wstring name) {
  if (!m_folder && (!Init() || !m_folder)) return 0;
  ComString path(name);
  HRESULT hr = path ? m_folder->DeleteTask(path.get(), 0) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogError(L"Failed to DeleteTask: %x", hex(hr));
    return 0;
  }
  return 1;
}

std::wstring TaskSchedulerHelper::GetModulePath() {
  wchar_t path[MAX_PATH] = {};
  // The result is not examined: nothing written leaves the text empty, and a path that
  // does not fit comes back cut to what the call left in the buffer.
  GetModuleFileNameW(NULL, path, MAX_PATH);
  return std::wstring(path, std::find(path, path + MAX_PATH, L'\0'));
}
