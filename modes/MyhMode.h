// The MYH, following the "Mode" registry value.
#pragma once

#include "modes/ModeBase.h"

class CMYH : public ModeBase {
 public:
  CMYH() = default;
  bool install() override { return true; }
  bool unInstall() override { return true; }
  bool init() override { return true; }
  bool unInit() override { return true; }
  bool setStatus(int) override { return true; }
  bool hook() override { return true; }
  bool OnServiceControl(DWORD, DWORD, void*) override { return true; }
};
