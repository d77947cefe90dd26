#include "platform/memory.h"

#include "platform/sim/sim_core.h"

void* PlatformMalloc(size_t size) {
  if (sim::checkFault("malloc")) return nullptr;
  return std::malloc(size);
}

void PlatformFree(void* block) { std::free(block); }
