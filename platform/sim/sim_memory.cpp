#include "platform/sim/sim_memory.h"

#include "platform/memory.h"

#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

// Functions that must see the thread as their caller left it: the allocation entry
// points, and whatever moves the depth by hand.
#define SIM_CALLER_SIDE __attribute__((no_instrument_function))
#define SIM_CALLER_SIDE_NOINLINE __attribute__((no_instrument_function, noinline))

namespace sim {
namespace {

// How deep the thread is inside the machine's code. The build raises it around every
// function of the machine (GCC's -finstrument-functions on platform/sim); a callback into
// the system sets it to 0 for its length.
thread_local int t_depth = 0;

// The attribute does not reach constructors, but a marked constructor raises and
// lowers the depth in pairs all the same.
struct Inside {
  Inside() { ++t_depth; }
  ~Inside() { --t_depth; }
};

constexpr int kMaxFrames = 128;
// Frames of this thread's stack outside the part that identifies an allocation: what
// called the marked root. 0: the whole stack counts.
thread_local int t_rootFrames = 0;
// The frames of account, decide and the entry point, above the system's caller.
constexpr int kOwnFrames = 3;

struct Memory {
  std::atomic<long> count{0};
  std::atomic<long> failAt{0};  // 0: none armed
  std::atomic<bool> bySite{false};
  std::mutex lock;
  bool recording = false;
  std::vector<AllocationSite> sites;
  uint64_t target = 0;
  long targetNth = 0;
  long targetSeen = 0;
  std::unordered_map<void*, size_t> blocks;
  std::vector<std::string> misuse;
};
Memory& memory() {
  static auto* m = new Memory;  // outlives every static destructor
  return *m;
}

void resetMemory() {
  auto& m = memory();
  std::lock_guard<std::mutex> g(m.lock);
  m.count = 0;
  m.failAt = 0;
  m.bySite = false;
  m.recording = false;
  m.sites.clear();
  m.target = 0;
  m.targetNth = 0;
  m.targetSeen = 0;
  m.misuse.clear();
  // Live blocks are real memory, not the machine's state: they stay counted.
}
ResetHook g_reset(resetMemory);

uint64_t hashOf(void* const* frames, int count) {
  uint64_t h = 1469598103934665603ull;
  for (int i = 0; i < count; i++) {
    h ^= reinterpret_cast<uintptr_t>(frames[i]);
    h *= 1099511628211ull;
  }
  return h == 0 ? 1 : h;
}

// Counts one system allocation; true when it is the one to fail.
__attribute__((noinline)) bool account(const char* kind) {
  auto& m = memory();
  // Relaxed: a count and a claim, no order between the threads that allocate. The test
  // arms them before the system runs; what orders that is the test's own hand-over.
  long n = m.count.fetch_add(1, std::memory_order_relaxed) + 1;
  bool fail = false;
  if (m.failAt.load(std::memory_order_relaxed) == n) {
    m.failAt.store(0, std::memory_order_relaxed);
    fail = true;
  }
  if (m.bySite.load(std::memory_order_relaxed)) {
    void* frames[kMaxFrames];
    int depth = backtrace(frames, kMaxFrames);
    if (depth < kMaxFrames && t_rootFrames > 0 && depth - t_rootFrames > kOwnFrames) depth -= t_rootFrames;
    void* const* caller = frames + (depth > kOwnFrames ? kOwnFrames : depth);
    int count = depth > kOwnFrames ? depth - kOwnFrames : 0;
    uint64_t stack = hashOf(caller, count);
    std::lock_guard<std::mutex> g(m.lock);
    if (m.recording) m.sites.push_back({stack, kind, std::vector<void*>(caller, caller + count)});
    if (m.target == stack && ++m.targetSeen == m.targetNth) {
      m.target = 0;
      fail = true;
    }
  }
  if (fail) recordFiredFault(kind, ERROR_NOT_ENOUGH_MEMORY);
  return fail;
}

enum class Verdict { Machine, Granted, Refused };

// Whose allocation this is, and for the system's whether it fails.
SIM_CALLER_SIDE_NOINLINE Verdict decide(const char* kind) {
  if (t_depth > 0 || unobservedThread()) return Verdict::Machine;
  Inside bookkeeping;
  return account(kind) ? Verdict::Refused : Verdict::Granted;
}

SIM_CALLER_SIDE void* allocate(std::size_t size) {
  for (;;) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

SIM_CALLER_SIDE void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  auto align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  for (;;) {
    void* block = nullptr;
    if (posix_memalign(&block, align, size ? size : 1) == 0) return block;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

int depthWithin() { return t_depth; }

}  // namespace

SIM_CALLER_SIDE bool allocationsTracked() { return depthWithin() > t_depth; }

long systemAllocations() { return memory().count.load(); }

void failAllocation(long nth) {
  auto& m = memory();
  m.failAt = m.count.load() + (nth > 0 ? nth : 1);
}

SIM_CALLER_SIDE int SystemCallback::leave() { return std::exchange(t_depth, 0); }
SIM_CALLER_SIDE void SystemCallback::enter(int depth) { t_depth = depth; }

SIM_CALLER_SIDE_NOINLINE void allocationStacksFromHere() {
  void* frames[kMaxFrames];
  int depth = backtrace(frames, kMaxFrames);
  // This function's frame and its caller's remain: the caller's call of what follows is
  // the stacks' outermost frame.
  t_rootFrames = depth < kMaxFrames ? depth - 2 : 0;
}

void recordAllocationSites() {
  auto& m = memory();
  std::lock_guard<std::mutex> g(m.lock);
  m.recording = true;
  m.bySite = true;
}

std::vector<AllocationSite> allocationSites() {
  auto& m = memory();
  std::lock_guard<std::mutex> g(m.lock);
  return m.sites;
}

void failAllocationAt(uint64_t stack, long nth) {
  auto& m = memory();
  std::lock_guard<std::mutex> g(m.lock);
  m.target = stack;
  m.targetNth = nth;
  m.targetSeen = 0;
  m.bySite = true;
}

size_t livePlatformBlocks() {
  auto& m = memory();
  std::lock_guard<std::mutex> g(m.lock);
  return m.blocks.size();
}

std::vector<std::string> platformBlockMisuse() {
  auto& m = memory();
  std::lock_guard<std::mutex> g(m.lock);
  return m.misuse;
}

}  // namespace sim

// The machine's functions mark the thread as they run; these two are what the build calls.
extern "C" SIM_CALLER_SIDE void __cyg_profile_func_enter(void*, void*) { ++sim::t_depth; }
extern "C" SIM_CALLER_SIDE void __cyg_profile_func_exit(void*, void*) { --sim::t_depth; }

SIM_CALLER_SIDE void* PlatformMalloc(size_t size) {
  sim::Verdict verdict = sim::decide("PlatformMalloc");
  if (sim::checkFault("malloc") || verdict == sim::Verdict::Refused) return nullptr;
  void* block = std::malloc(size);
  if (block) {
    sim::Inside bookkeeping;
    auto& m = sim::memory();
    std::lock_guard<std::mutex> g(m.lock);
    m.blocks[block] = size;
  }
  return block;
}

SIM_CALLER_SIDE void PlatformFree(void* block) {
  if (!block) return;
  {
    sim::Inside bookkeeping;
    auto& m = sim::memory();
    std::lock_guard<std::mutex> g(m.lock);
    if (m.blocks.erase(block) == 0) {
      // Freed twice, or never ours: freeing it again would corrupt the heap.
      m.misuse.push_back("PlatformFree of a block not allocated");
      return;
    }
  }
  std::free(block);
}

// ---- operator new and delete in all their forms ----

SIM_CALLER_SIDE void* operator new(std::size_t size) {
  if (sim::decide("operator new") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocate(size);
}

SIM_CALLER_SIDE void* operator new[](std::size_t size) {
  if (sim::decide("operator new[]") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocate(size);
}

SIM_CALLER_SIDE void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new (nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocate(size);
  } catch (...) {
    return nullptr;
  }
}

SIM_CALLER_SIDE void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new[] (nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocate(size);
  } catch (...) {
    return nullptr;
  }
}

SIM_CALLER_SIDE void* operator new(std::size_t size, std::align_val_t alignment) {
  if (sim::decide("operator new (aligned)") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocateAligned(size, alignment);
}

SIM_CALLER_SIDE void* operator new[](std::size_t size, std::align_val_t alignment) {
  if (sim::decide("operator new[] (aligned)") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocateAligned(size, alignment);
}

SIM_CALLER_SIDE void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new (aligned, nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocateAligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

SIM_CALLER_SIDE void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new[] (aligned, nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocateAligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

// The blocks came from malloc or posix_memalign: free is what gives them back, whatever
// the optimizer infers from the operator's name.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
SIM_CALLER_SIDE void operator delete(void* block) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete[](void* block) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete(void* block, std::size_t) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
SIM_CALLER_SIDE void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
SIM_CALLER_SIDE void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
#pragma GCC diagnostic pop
