#include "platform/sim/sim_memory.h"

#include "platform/memory.h"

#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

// The sanitizers' runtimes, in the builds that have one.
extern "C" int __sanitizer_get_ownership(const volatile void* p) __attribute__((weak));
extern "C" int __asan_address_is_poisoned(const volatile void* p) __attribute__((weak));
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));
extern "C" void __asan_describe_address(void* address) __attribute__((weak));
extern "C" void __asan_poison_memory_region(const volatile void* p, std::size_t size) __attribute__((weak));
extern "C" void __asan_unpoison_memory_region(const volatile void* p, std::size_t size) __attribute__((weak));
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void* p) __attribute__((weak));

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
  UnseenLock g(m.lock);
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
    // The stack walk takes the unwinder's locks; it reads only what this thread's own
    // calls saved on its stack, no variable of the system's.
    Unseen unseen;
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

// Every block of operator new carries this record just before the caller's bytes: which
// family made it, checked when the block is given back. The malloc'd block ends where the
// caller's does, so the sanitizers still see an overrun past the end, and LeakSanitizer
// takes the caller's pointer as one into the block. Under AddressSanitizer the record and
// the padding before it stay poisoned while the block lives, so that an access just
// before the caller's bytes is reported as it is before a plain malloc'd block. No lock:
// the threads that allocate must not be ordered by the heap.
enum Family : uint16_t { kNew, kNewArray, kNewAligned, kNewArrayAligned };
struct Header {
  std::size_t size;  // as asked for
  uint32_t seal;     // kSeal mixed with the caller's address; cleared when given back
  uint16_t family;
  uint16_t alignShift;  // the aligned families' alignment, as a power of two
};
constexpr std::size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
static_assert(sizeof(Header) == kHeader, "the caller's bytes keep new's alignment");
constexpr uint32_t kSeal = 0x51de4ea9u;
constexpr std::size_t kUnsized = SIZE_MAX;

uint32_t sealOf(const char* user) {
  uint64_t address = reinterpret_cast<uintptr_t>(user);
  return kSeal ^ static_cast<uint32_t>(address) ^ static_cast<uint32_t>(address >> 32);
}
bool aligned(Family family) { return family == kNewAligned || family == kNewArrayAligned; }
bool array(Family family) { return family == kNewArray || family == kNewArrayAligned; }
std::size_t offsetFor(std::size_t alignment) { return alignment > kHeader ? alignment : kHeader; }

SIM_CALLER_SIDE void* allocate(std::size_t size, Family family, std::size_t alignment = 0) {
  std::size_t offset = offsetFor(alignment);
  if (size > SIZE_MAX - offset - 1) throw std::bad_alloc();
  for (;;) {
    void* base = nullptr;
    // One byte at least, so that the caller's pointer stays inside the block.
    std::size_t total = offset + (size ? size : 1);
    if (alignment > kHeader ? posix_memalign(&base, alignment, total) == 0 : (base = std::malloc(total)) != nullptr) {
      char* user = static_cast<char*>(base) + offset;
      *(reinterpret_cast<Header*>(user) - 1) =
          Header{size, sealOf(user), family, static_cast<uint16_t>(alignment ? std::countr_zero(alignment) : 0)};
      if (__asan_poison_memory_region) __asan_poison_memory_region(base, offset);
      return user;
    }
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

// Whether the record before a block given to operator delete may be read. AddressSanitizer
// guards the bytes before a block of malloc, and owns only the start of a block; the
// caller's pointer of ours never is one. ThreadSanitizer owns every byte of a block, and
// the record of ours lies inside one.
bool recordReadable(const char* user) {
  if (!__sanitizer_get_ownership) return true;
  if (__asan_address_is_poisoned) return !__sanitizer_get_ownership(user);
  return __sanitizer_get_ownership(user - kHeader) != 0;
}

// Opens the record of a live block of ours for the heap to read. The block starts the
// power of two before the caller's bytes that its alignment asked for, whichever the
// releasing form claims; a chunk that starts there and reaches the caller's bytes is one.
// Anything else (a block given back already, a pointer no operator new made) stays as it
// is, so that AddressSanitizer reports the heap's read of it.
void openRecord(const char* user, std::size_t claimedAlignment) {
  if (!__asan_unpoison_memory_region) return;
  const std::size_t farthest = std::max(offsetFor(claimedAlignment), std::size_t{1} << 30);
  for (std::size_t offset = kHeader; offset <= farthest; offset <<= 1) {
    const char* base = user - offset;
    if (!__sanitizer_get_ownership(base)) continue;
    // Chunks do not overlap: none that starts farther off reaches the caller's bytes.
    if (__sanitizer_get_allocated_size(base) > offset) __asan_unpoison_memory_region(user - kHeader, kHeader);
    return;
  }
}

void describe(char* out, std::size_t room, const char* name, Family family, std::size_t alignment, std::size_t size) {
  bool sized = size != kUnsized;
  if (aligned(family) && sized)
    std::snprintf(out, room, "%s (aligned %zu, %zu bytes)", name, alignment, size);
  else if (aligned(family))
    std::snprintf(out, room, "%s (aligned %zu)", name, alignment);
  else if (sized)
    std::snprintf(out, room, "%s (%zu bytes)", name, size);
  else
    std::snprintf(out, room, "%s", name);
}

// As AddressSanitizer reports a mismatched release: what gave the block back through what,
// then an end to the process, before the heap is corrupted.
[[noreturn]] void mismatch(void* block, Family family, std::size_t alignment, std::size_t size, const Header* made) {
  char released[64], what[96] = "a block that no operator new made, or one given back already";
  describe(released, sizeof released, array(family) ? "operator delete[]" : "operator delete", family, alignment, size);
  if (made) {
    auto by = static_cast<Family>(made->family);
    std::strcpy(what, "a block of ");
    describe(what + 11, sizeof what - 11, array(by) ? "operator new[]" : "operator new", by,
             std::size_t{1} << made->alignShift, made->size);
  }
  std::fprintf(stderr, "heap mismatch: %s releases %s\n", released, what);
  if (__sanitizer_print_stack_trace) {
    __sanitizer_print_stack_trace();
    if (__asan_describe_address) __asan_describe_address(block);  // where it was allocated
  } else {
    void* frames[kMaxFrames];
    backtrace_symbols_fd(frames, backtrace(frames, kMaxFrames), 2);
  }
  std::abort();
}

// The blocks came from malloc or posix_memalign: free is what gives them back, whatever
// the optimizer infers from the operator's name.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
SIM_CALLER_SIDE void release(void* block, Family family, std::size_t size = kUnsized, std::size_t alignment = 0) {
  if (!block) return;
  char* user = static_cast<char*>(block);
  if (!recordReadable(user)) mismatch(block, family, alignment, size, nullptr);
  openRecord(user, alignment);
  Header* header = reinterpret_cast<Header*>(user) - 1;
  if (header->seal != sealOf(user)) mismatch(block, family, alignment, size, nullptr);
  bool wrongSize = size != kUnsized && size != header->size;
  bool wrongAlignment = aligned(family) && alignment != std::size_t{1} << header->alignShift;
  if (header->family != family || wrongSize || wrongAlignment) mismatch(block, family, alignment, size, header);
  header->seal = 0;
  std::free(user - offsetFor(alignment));
}
#pragma GCC diagnostic pop

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
  UnseenLock g(m.lock);
  m.recording = true;
  m.bySite = true;
}

std::vector<AllocationSite> allocationSites() {
  auto& m = memory();
  return readUnseen(m.lock, [&] { return m.sites; });
}

void failAllocationAt(uint64_t stack, long nth) {
  auto& m = memory();
  UnseenLock g(m.lock);
  m.target = stack;
  m.targetNth = nth;
  m.targetSeen = 0;
  m.bySite = true;
}

size_t livePlatformBlocks() {
  auto& m = memory();
  UnseenLock g(m.lock);
  return m.blocks.size();
}

std::vector<std::string> platformBlockMisuse() {
  auto& m = memory();
  return readUnseen(m.lock, [&] { return m.misuse; });
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
    sim::UnseenLock g(m.lock);
    m.blocks[block] = size;
  }
  return block;
}

SIM_CALLER_SIDE void PlatformFree(void* block) {
  if (!block) return;
  {
    sim::Inside bookkeeping;
    auto& m = sim::memory();
    sim::UnseenLock g(m.lock);
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
  return sim::allocate(size, sim::kNew);
}

SIM_CALLER_SIDE void* operator new[](std::size_t size) {
  if (sim::decide("operator new[]") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocate(size, sim::kNewArray);
}

SIM_CALLER_SIDE void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new (nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocate(size, sim::kNew);
  } catch (...) {
    return nullptr;
  }
}

SIM_CALLER_SIDE void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new[] (nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocate(size, sim::kNewArray);
  } catch (...) {
    return nullptr;
  }
}

SIM_CALLER_SIDE void* operator new(std::size_t size, std::align_val_t alignment) {
  if (sim::decide("operator new (aligned)") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocate(size, sim::kNewAligned, static_cast<std::size_t>(alignment));
}

SIM_CALLER_SIDE void* operator new[](std::size_t size, std::align_val_t alignment) {
  if (sim::decide("operator new[] (aligned)") == sim::Verdict::Refused) throw std::bad_alloc();
  return sim::allocate(size, sim::kNewArrayAligned, static_cast<std::size_t>(alignment));
}

SIM_CALLER_SIDE void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new (aligned, nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocate(size, sim::kNewAligned, static_cast<std::size_t>(alignment));
  } catch (...) {
    return nullptr;
  }
}

SIM_CALLER_SIDE void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  if (sim::decide("operator new[] (aligned, nothrow)") == sim::Verdict::Refused) return nullptr;
  try {
    return sim::allocate(size, sim::kNewArrayAligned, static_cast<std::size_t>(alignment));
  } catch (...) {
    return nullptr;
  }
}

// Each form checks the block against its own family, its size and alignment against what
// was asked for. The nothrow forms belong to the allocating forms they pair with.
SIM_CALLER_SIDE void operator delete(void* block) noexcept { sim::release(block, sim::kNew); }
SIM_CALLER_SIDE void operator delete[](void* block) noexcept { sim::release(block, sim::kNewArray); }
SIM_CALLER_SIDE void operator delete(void* block, std::size_t size) noexcept { sim::release(block, sim::kNew, size); }
SIM_CALLER_SIDE void operator delete[](void* block, std::size_t size) noexcept {
  sim::release(block, sim::kNewArray, size);
}
SIM_CALLER_SIDE void operator delete(void* block, const std::nothrow_t&) noexcept { sim::release(block, sim::kNew); }
SIM_CALLER_SIDE void operator delete[](void* block, const std::nothrow_t&) noexcept {
  sim::release(block, sim::kNewArray);
}
SIM_CALLER_SIDE void operator delete(void* block, std::align_val_t alignment) noexcept {
  sim::release(block, sim::kNewAligned, sim::kUnsized, static_cast<std::size_t>(alignment));
}
SIM_CALLER_SIDE void operator delete[](void* block, std::align_val_t alignment) noexcept {
  sim::release(block, sim::kNewArrayAligned, sim::kUnsized, static_cast<std::size_t>(alignment));
}
SIM_CALLER_SIDE void operator delete(void* block, std::size_t size, std::align_val_t alignment) noexcept {
  sim::release(block, sim::kNewAligned, size, static_cast<std::size_t>(alignment));
}
SIM_CALLER_SIDE void operator delete[](void* block, std::size_t size, std::align_val_t alignment) noexcept {
  sim::release(block, sim::kNewArrayAligned, size, static_cast<std::size_t>(alignment));
}
SIM_CALLER_SIDE void operator delete(void* block, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  sim::release(block, sim::kNewAligned, sim::kUnsized, static_cast<std::size_t>(alignment));
}
SIM_CALLER_SIDE void operator delete[](void* block, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  sim::release(block, sim::kNewArrayAligned, sim::kUnsized, static_cast<std::size_t>(alignment));
}
