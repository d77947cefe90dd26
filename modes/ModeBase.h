// The interface every mode implements. Modes live on the heap, owned through
// shared pointers: the manager's list holds the long-lived reference, and a mode's
// own watch threads hold one while they run, so a mode outlives its threads.
#pragma once

#include "platform/platform.h"

#include <memory>

class ModeBase : public std::enable_shared_from_this<ModeBase> {
 public:
  explicit ModeBase(SERVICE_STATUS_HANDLE statusHandle = NULL) : m_statusHandle(statusHandle) {}
  virtual ~ModeBase() { m_statusHandle = NULL; }
  ModeBase(const ModeBase&) = delete;
  ModeBase& operator=(const ModeBase&) = delete;

  virtual bool install() = 0;
  virtual bool unInstall() = 0;
  virtual bool init() = 0;
  virtual bool unInit() = 0;
  virtual bool setStatus(int status) = 0;
  virtual bool hook() = 0;
  virtual bool OnServiceControl(DWORD control, DWORD eventType, void* eventData) = 0;

 protected:
  SERVICE_STATUS_HANDLE m_statusHandle;
  bool m_reserved = false;
};
