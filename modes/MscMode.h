// The MSC, on while the display is off: driven by the monitor's power-setting
// notification, which reaches the service as a power-event control.
#pragma once

#include "modes/ModeBase.h"

class CMSC : public ModeBase {
 public:
  explicit CMSC(SERVICE_STATUS_HANDLE statusHandle) : ModeBase(statusHandle) {}
  bool install() override { return true; }
  bool unInstall() override { return true; }
  bool init() override;
  bool unInit() override;
  bool setStatus(int status) override;
  bool hook() override { return true; }
  bool OnServiceControl(DWORD control, DWORD eventType, void* eventData) override;

 private:
  HPOWERNOTIFY m_registration = NULL;
};
