// Arbitrary "DisplayName" data, fed through the simulated registry into the removal
// check and compared with a plain model of the answer. Any read or write past a buffer
// is caught by AddressSanitizer; a wrong answer or a handle left open aborts.
#include "platform/platform.h"
#include "service/RemovalCheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::wstring kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\QTHRMON";
constexpr size_t kChars = 260;

// Byte 0 of the input chooses the set-up:
enum : uint8_t {
  kRawBytes = 0x01,       // the rest is stored as it is (any length, any alignment); else one unit per byte
  kTerminate = 0x02,      // a NUL unit is appended (unit mode)
  kLongFolder = 0x04,     // a Windows folder of 200 characters
  kNoFolder = 0x08,       // the shell cannot tell the Windows folder
  kInfPresent = 0x10,     // the INF file the model finds exists
  kInfLocked = 0x20,      // ... and is locked against readers
  kNoOwners = 0x40,       // no "Owners" value
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "display-name fuzz: %s\n", what);
  std::abort();
}

std::wstring folderFor(uint8_t mode) {
  if (mode & kNoFolder) return L"";
  if (mode & kLongFolder) return L"C:\\" + std::wstring(197, L'w');
  return L"C:\\windows";
}

// What the answer must be, worked out from the stored bytes.
bool expected(uint8_t mode, const std::vector<BYTE>& data, std::wstring* infPath) {
  if (mode & kNoOwners) return true;
  if (data.size() > kChars * sizeof(wchar_t)) return true;
  wchar_t buffer[kChars] = {};
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  if (buffer[kChars - 1] != 0) return true;
  std::wstring name(buffer);
  if (name.empty() || name[0] != L'@') return false;
  size_t start = name.find_first_not_of(L',', 1);
  if (start == std::wstring::npos) return false;
  std::wstring inf = name.substr(start, name.find(L',', start) - start);
  if (inf.size() < 5) return false;
  std::wstring folder = folderFor(mode);
  if (folder.empty()) return true;
  *infPath = folder + L"\\INF\\" + inf;
  if (infPath->size() >= kChars) return true;
  return !(mode & kInfPresent) || (mode & kInfLocked);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = input[0];
  std::vector<BYTE> data;
  if (mode & kRawBytes) {
    data.assign(input + 1, input + size);
  } else {
    std::wstring text;
    for (size_t i = 1; i < size; i++) text += static_cast<wchar_t>(input[i]);
    if (mode & kTerminate) text += L'\0';
    data.resize(text.size() * sizeof(wchar_t));
    if (!data.empty()) std::memcpy(data.data(), text.data(), data.size());
  }

  sim::reset();
  if (!(mode & kNoOwners)) sim::reg::setString(kServiceKey, L"Owners", L"oem12.inf", REG_MULTI_SZ);
  sim::reg::setValue(kServiceKey, L"DisplayName", REG_SZ, data);
  sim::text::setWindowsFolder(folderFor(mode));
  std::wstring infPath;
  bool want = expected(mode, data, &infPath);
  if (!infPath.empty() && (mode & kInfPresent)) {
    sim::files::put(infPath);
    if (mode & kInfLocked) sim::files::lockAgainstReaders(infPath);
  }

  bool got = IsServiceInfMissing();
  if (got != want) fail(want ? "answered false, expected true" : "answered true, expected false");
  if (sim::openHandleCount() != 0) fail("a handle was left open");
  return 0;
}
