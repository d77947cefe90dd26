// The C runtime's heap for records whose size the platform reports at run time.
// On Windows these are malloc and free; the simulated machine puts malloc behind its
// fault point "malloc", so that running out of memory can be reproduced.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#ifdef _WIN32
inline void* PlatformMalloc(size_t size) { return std::malloc(size); }
inline void PlatformFree(void* block) { std::free(block); }
#else
void* PlatformMalloc(size_t size);
void PlatformFree(void* block);
#endif

// Owns one block of PlatformMalloc and frees it on every way out.
struct PlatformFreeDeleter {
  void operator()(void* block) const { PlatformFree(block); }
};
template <class T>
using PlatformBlock = std::unique_ptr<T, PlatformFreeDeleter>;
