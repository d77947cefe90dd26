// The heap's record before each block of operator new must not hide from AddressSanitizer
// what it reports around a plain malloc'd block. Built only under AddressSanitizer.
#include "tests/support/SimFixture.h"

#include <cstdlib>
#include <new>

namespace {

class HeapRecordTest : public SimTest {};

// From the caller's side of the block: its last byte before the caller's bytes, and its
// first (the record's, or for an aligned form the padding's before it).
TEST_F(HeapRecordTest, AnAccessBeforeTheCallersBytesIsReported) {
  constexpr std::align_val_t a64{64};
  struct Row {
    const char* form;
    void* (*make)();
    int first;  // how far before the caller's bytes the block starts
  };
  const Row rows[] = {
      {"new", [] { return ::operator new(24); }, 16},
      {"new[]", [] { return ::operator new[](24); }, 16},
      {"new (nothrow)", [] { return ::operator new(24, std::nothrow); }, 16},
      {"new[] (nothrow)", [] { return ::operator new[](24, std::nothrow); }, 16},
      {"new (aligned)", [] { return ::operator new(24, a64); }, 64},
      {"new[] (aligned)", [] { return ::operator new[](24, a64); }, 64},
      {"new (aligned, nothrow)", [] { return ::operator new(24, a64, std::nothrow); }, 64},
      {"new[] (aligned, nothrow)", [] { return ::operator new[](24, a64, std::nothrow); }, 64},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Row& row : rows) {
    EXPECT_DEATH(static_cast<volatile char*>(row.make())[-1] = 1, "AddressSanitizer(.|\n)*WRITE of size 1")
        << row.form;
    EXPECT_DEATH(static_cast<void>(static_cast<volatile char*>(row.make())[-row.first]),
                 "AddressSanitizer(.|\n)*READ of size 1")
        << row.form;
  }
}

// The heap reads a block's record when it is given back: of a block given back already,
// that read is AddressSanitizer's to report.
TEST_F(HeapRecordTest, ABlockGivenBackTwiceIsReported) {
  struct Row {
    void* (*make)();
    void (*release)(void*);
  };
  const Row rows[] = {
      {[] { return ::operator new(24); }, [](void* p) { ::operator delete(p); }},
      {[] { return ::operator new[](24, std::align_val_t{64}); },
       [](void* p) { ::operator delete[](p, std::align_val_t{64}); }},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Row& row : rows)
    EXPECT_DEATH(
        {
          void* block = row.make();
          row.release(block);
          row.release(block);
        },
        "AddressSanitizer: heap-use-after-free");
}

void* g_kept;
__attribute__((noinline)) void loseABlock() {
  g_kept = ::operator new(24);
  g_kept = nullptr;
}

TEST_F(HeapRecordTest, ALostBlockIsALeak) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        loseABlock();
        std::exit(0);
      },
      ::testing::ExitedWithCode(1),
      "LeakSanitizer: detected memory leaks(.|\n)*Direct leak of 40 byte\\(s\\) in 1 object\\(s\\) "
      "allocated from:(\n[^\n]*){1,4} in loseABlock");
}

}  // namespace
