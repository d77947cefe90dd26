// The heap as the system sees it: every allocation the system makes (operator new in all
// its forms, and PlatformMalloc) is counted and can be made to fail; the machine's own
// allocations, and those of threads inside an Unobserved, are neither.
//
// The machine's code is built so that each of its functions marks the thread as inside
// the machine while it runs (GCC's function instrumentation); a build without it cannot
// tell the two apart, and allocationsTracked() says so.
#pragma once

#include "platform/sim/sim_core.h"

#include <cstdint>
#include <vector>

namespace sim {

// True when the machine's own allocations are told from the system's in this build.
bool allocationsTracked();

// System allocations since reset.
long systemAllocations();
// The nth (1-based, counted from now) system allocation fails: operator new throws
// std::bad_alloc, its nothrow forms and PlatformMalloc return null.
void failAllocation(long nth);

// System code that the machine calls back (a service's main function, its control
// handler): what it allocates while this lives is the system's.
class SystemCallback {
 public:
  // Defined here, in a header, where the machine's marking leaves them alone (it would
  // wrap a constructor defined in the machine's sources whatever its attributes say).
  SystemCallback() : m_depth(leave()) {}
  ~SystemCallback() { enter(m_depth); }
  SystemCallback(const SystemCallback&) = delete;
  SystemCallback& operator=(const SystemCallback&) = delete;

 private:
  static int leave();
  static void enter(int depth);
  int m_depth;
};

// ---- For sweeps: allocations by the call stack that made them ----
struct AllocationSite {
  uint64_t stack;             // identifies the call stack within this executable
  const char* kind;           // "operator new", "operator new (nothrow)", "PlatformMalloc"...
  std::vector<void*> frames;  // innermost first, from the system's caller of the allocation
};
// The calling thread's allocation stacks end at the caller of this function: how the
// caller itself was reached is not part of them.
void allocationStacksFromHere();
// Records each system allocation's site from now until reset.
void recordAllocationSites();
std::vector<AllocationSite> allocationSites();
// The nth (1-based) system allocation made at `stack` fails.
void failAllocationAt(uint64_t stack, long nth);

// ---- Blocks of PlatformMalloc ----
// Blocks not yet given back to PlatformFree, and frees refused (a block not allocated,
// or freed twice).
size_t livePlatformBlocks();
std::vector<std::string> platformBlockMisuse();

}  // namespace sim
