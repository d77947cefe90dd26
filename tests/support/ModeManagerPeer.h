// What a test reads of the mode manager, through its friendship: the modes it holds.
#pragma once

#include "modes/ModeManager.h"

#include <mutex>

class ModeManagerPeer {
 public:
  static size_t modeCount(ModeManager& manager) {
    std::lock_guard<std::mutex> guard(manager.m_lock);
    return manager.m_modes.size();
  }
};
