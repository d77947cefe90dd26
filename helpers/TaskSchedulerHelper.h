// The system's one road to the Task Scheduler: creates and deletes the tasks that start
// this executable, in the folder "\Oltaro". Each object serves one operation: construct
// it (which connects and opens the folder, creating it when missing), call CreateTask or
// DeleteTask once, destroy it. COM must be initialised on the calling thread.
#pragma once

#include "platform/com_ptr.h"
#include "platform/platform.h"

#include <string>

class TaskSchedulerHelper {
 public:
  TaskSchedulerHelper();
  // The interface pointers are released in reverse declaration order, m_registeredTask
  // first and m_service last, whatever order they were filled in.
  ~TaskSchedulerHelper() = default;
  TaskSchedulerHelper(const TaskSchedulerHelper&) = delete;
  TaskSchedulerHelper& operator=(const TaskSchedulerHelper&) = delete;

  // isIdleTask 0: the PnP task (event trigger, run as System); any other value: the
  // idle task (idle trigger, run as LocalService). 1 when the task is registered, 0 on
  // any failure, memory running out included.
  int CreateTask(std::wstring name, std::wstring arguments, int isIdleTask);
  // 1 when the task is deleted from "\Oltaro".
  int DeleteTask(std::wstring name);

 private:
  int Init();
  // Releases the connection's three members; 0 for Init to return.
  int disconnect();
  int RegisterTask(std::wstring name, const wchar_t* user);
  std::wstring GetModulePath();
  // Releases what an earlier CreateTask on this object built, newest first.
  void releaseDefinition();
  // An HRESULT as the unsigned 32-bit value that "%x" takes.
  static unsigned hex(HRESULT hr) { return static_cast<unsigned>(hr); }

  // The builders of the task definitions.
  int SetRegistrationInfo();
  int CreateEventTrigger();
  int CreateIdleTrigger();
  int SetIdleSettings();
  int SetCommonSettings();
  int CreateExecAction(std::wstring arguments);

  ComPtr<ITaskService> m_service;
  ComPtr<ITaskFolder> m_rootFolder;
  ComPtr<ITaskFolder> m_folder;
  ComPtr<ITaskDefinition> m_definition;
  ComPtr<IRegistrationInfo> m_registrationInfo;
  ComPtr<IPrincipal> m_principal;
  ComPtr<ITriggerCollection> m_triggers;
  ComPtr<ITrigger> m_trigger;
  ComPtr<IEventTrigger> m_eventTrigger;
  ComPtr<IActionCollection> m_actions;
  ComPtr<IAction> m_action;
  ComPtr<IExecAction> m_execAction;
  ComPtr<ITaskSettings> m_settings;
  ComPtr<IRegisteredTask> m_registeredTask;
};

// Names and arguments of the two tasks.
constexpr const wchar_t* PNP_TASK_NAME = L"QTHERM PNP Task";
constexpr const wchar_t* PNP_TASK_ARGUMENTS = L"-remove";
constexpr const wchar_t* IDLE_TASK_NAME = L"QTHERM idle Task";
constexpr const wchar_t* IDLE_TASK_ARGUMENTS = L"-idletask";
