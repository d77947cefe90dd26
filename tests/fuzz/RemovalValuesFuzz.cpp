// The removal check's "Owners" and "DisplayName" of any type and any size, present or
// not, with "Owners" growing between the check's size query and its read. The answer is
// compared with a plain model; any read or write past a buffer is caught by
// AddressSanitizer; a handle left open aborts.
#include "service/RemovalCheck.h"
#include "tests/fuzz/FuzzSupport.h"

#include <string>

namespace {

constexpr const char* kTarget = "removal-values";
const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON";
constexpr size_t kChars = 260;

enum : uint8_t {
  kOwners = 0x01,       // "Owners" exists
  kDisplayName = 0x02,  // "DisplayName" exists
  kGrows = 0x04,        // "Owners" grows by a unit between the size query and the read
  kInfPresent = 0x08,   // the INF file the display name names exists
};

// The answer, worked out from what is stored.
bool expected(uint8_t flags, const std::vector<BYTE>& name, std::wstring* infPath) {
  if (!(flags & kOwners) || (flags & kGrows) || !(flags & kDisplayName)) return true;
  if (name.size() > kChars * sizeof(wchar_t)) return true;
  wchar_t buffer[kChars] = {};
  if (!name.empty()) std::memcpy(buffer, name.data(), name.size());
  if (buffer[kChars - 1] != 0) return true;
  std::wstring text(buffer);
  if (text.empty() || text[0] != L'@') return false;
  size_t start = text.find_first_not_of(L',', 1);
  if (start == std::wstring::npos) return false;
  std::wstring inf = text.substr(start, text.find(L',', start) - start);
  if (inf.size() < 5) return false;
  *infPath = L"C:\\windows\\INF\\" + inf;
  if (infPath->size() >= kChars) return true;
  return !(flags & kInfPresent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  fuzz::Input in(input, size);
  const uint8_t flags = in.byte();
  const DWORD ownersType = in.byte();
  const DWORD nameType = in.byte();
  const std::vector<BYTE> owners = in.bytes(in.word());
  const std::vector<BYTE> name = in.rest();

  sim::reset();
  if (flags & kOwners) sim::reg::setValue(kServiceKey, L"Owners", ownersType, owners);
  if (flags & kDisplayName) sim::reg::setValue(kServiceKey, L"DisplayName", nameType, name);
  if (!(flags & (kOwners | kDisplayName))) sim::reg::createKey(kServiceKey);
  std::wstring infPath;
  const bool want = expected(flags, name, &infPath);
  if (!infPath.empty() && (flags & kInfPresent)) sim::files::put(infPath);
  int queries = 0;
  if ((flags & kGrows) && (flags & kOwners)) {
    // Another program writes a longer "Owners" just before the check reads it.
    std::vector<BYTE> longer = owners;
    longer.resize(longer.size() + sizeof(wchar_t), 0x41);
    sim::onCall("RegQueryValueExW", [&queries, longer, ownersType] {
      if (++queries == 2) sim::reg::setValue(kServiceKey, L"Owners", ownersType, longer);
    });
  }

  const bool got = IsServiceInfMissing();
  sim::onCall("RegQueryValueExW", nullptr);
  if (got != want) fuzz::fail(kTarget, want ? "answered false, expected true" : "answered true, expected false");
  if (sim::openHandleCount() != 0) fuzz::fail(kTarget, "a handle was left open");
  return 0;
}
