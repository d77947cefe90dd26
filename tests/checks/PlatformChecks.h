// Behaviours of the platform that the system relies on, each checked once through the
// Win32 API of platform/platform.h. The same table runs natively against the simulated
// machine (unit tests) and, cross-built, under Wine (the "wine" tests), so both must give
// what Windows gives.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

// Where a row's expected answer comes from: Windows' documentation, or Wine's answer
// where the documentation says nothing of it. A documented row asserts what the
// documentation states, and more only where Wine gives it and `wineParts` names it: a
// refusal whose error code neither gives reads "refused".
enum class Source { Documentation, Wine };

struct PlatformCheck {
  const char* name;
  const char* expected;  // what Windows gives
  Source source;
  std::string (*run)();
  // What Wine 8 answers where it is more lenient than the documentation: the row is
  // skipped there, and this answer is checked instead.
  const char* wineGives = nullptr;
  // The parts of a documented row's answer that Wine gives and the documentation does not
  // state (the error code of a documented refusal, mostly).
  const char* wineParts = nullptr;
};

const std::vector<PlatformCheck>& platformChecks();

// Provided by each build: returns once `count` threads of the check are blocked in waits
// (natively the machine knows; on Windows a pause stands in). Results never depend on it:
// it only makes a check exercise blocked waiters rather than late ones.
void letWaitersBlock(int count);
// Provided by each build: the key under HKEY_LOCAL_MACHINE grants everyone `granted` and
// nothing else (natively the machine's key access; on Windows the key's DACL).
void setKeySecurity(const std::wstring& path, REGSAM granted);
