// The MSC, on while the display is off.
#pragma once

#include "modes/ModeBase.h"

class CMSC : public ModeBase {
 public:
  explicit CMSC(SERVICE_STATUS_HANDLE statusHandle) : ModeBase(statusHandle) {}
  bool install() override { return true; }
  bool unInstall() override { return true; }
  bool init() override { return true; }
  bool unInit() override { return true; }
  bool setStatus(int) override { return true; }
  bool hook() override { return true; }
  bool OnServiceControl(DWORD, DWORD, void*) override { return true; }
};
