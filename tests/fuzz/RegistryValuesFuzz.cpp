// The registry values the system reads, of any type and any size: "Version" and
// "GPULOAD" through GetRegKeyDwordValue, "Mode" through the MYH's start and through its
// watch thread when another program changes it. Data of four bytes or fewer is read
// whatever its type, over as many bytes of the DWORD as it has; longer data is refused
// with ERROR_MORE_DATA. The answers, the MYH's commands and the machine afterwards are
// compared with that.
#include "modes/Dytc.h"
#include "modes/ModeManager.h"
#include "modes/MyhMode.h"
#include "modes/Registry.h"
#include "service/RemovalCheck.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/TraceCapture.h"

#include <memory>
#include <optional>

namespace {

constexpr const char* kTarget = "registry-values";
constexpr DWORD kPreset = 0xA5A5A5A5;

constexpr DWORD myhWord(DWORD mode) { return DYTC_CMD_SET | DYTC_FUNC_MYH << 12 | mode << 16 | 1 << 20; }

// What a read of `data` into a DWORD holding `preset` gives: nullopt when refused.
std::optional<DWORD> readAs(const std::vector<BYTE>& data, DWORD preset = kPreset) {
  if (data.size() > 4) return std::nullopt;
  DWORD value = preset;
  if (!data.empty()) std::memcpy(&value, data.data(), data.size());
  return value;
}

std::optional<DWORD> myhMode(std::optional<DWORD> value) {
  static constexpr DWORD kModes[] = {2, 2, 0, 1, 1};
  if (!value || static_cast<int>(*value) < 0 || static_cast<int>(*value) > 4) return std::nullopt;
  return kModes[*value];
}

void checkHelper(const wchar_t* key, const wchar_t* name, const std::vector<BYTE>& data) {
  DWORD value = kPreset;
  LSTATUS status = GetRegKeyDwordValue(key, name, &value);
  std::optional<DWORD> expected = readAs(data);
  if (expected ? (status != ERROR_SUCCESS || value != *expected) : status != ERROR_MORE_DATA)
    fuzz::fail(kTarget, "GetRegKeyDwordValue's answer differs from the model's");
}

// A CMYH started on the value as it is; true when it came up.
bool startMyh(std::shared_ptr<CMYH>& mode) {
  mode = std::make_shared<CMYH>();
  return mode->init();
}

void stopMyh(std::shared_ptr<CMYH>& mode) {
  mode->unInit();
  std::weak_ptr<CMYH> gone = mode;
  mode.reset();
  if (!fuzz::eventually([&] { return gone.expired(); })) fuzz::fail(kTarget, "the MYH watch thread never ended");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  fuzz::Input in(input, size);
  const uint8_t which = in.byte() % 3;
  const DWORD type = in.byte();  // any type, known or not
  const std::vector<BYTE> data = in.bytes(4096);

  sim::reset();
  TraceCapture traces;  // every trace is formatted
  switch (which) {
    case 0:
      sim::reg::setValue(IC_REG_ROOT, IC_REG_VERSION, type, data);
      checkHelper(IC_REG_ROOT, IC_REG_VERSION, data);
      if (IsComponentVersionPresent() != readAs(data).has_value()) fuzz::fail(kTarget, "the version probe");
      break;
    case 1:
      sim::reg::setValue(IC_REG_ROOT, L"GPULOAD", type, data);
      checkHelper(IC_REG_ROOT, L"GPULOAD", data);
      break;
    default: {
      sim::reg::setValue(MYH_KEY, MYH_VALUE, type, data);
      checkHelper(MYH_KEY, MYH_VALUE, data);
      // The MYH reads into a DWORD that holds 0.
      const std::optional<DWORD> mode = myhMode(readAs(data, 0));
      std::vector<DWORD> expected;

      // The start reads the value: a mode it maps comes up and sets it.
      std::shared_ptr<CMYH> myh;
      if (startMyh(myh) != mode.has_value()) fuzz::fail(kTarget, "the MYH start differs from the model's");
      if (mode) {
        expected.push_back(myhWord(*mode));
        stopMyh(myh);
      }

      // The watch thread reads it after a change made by another program.
      sim::reg::setDword(MYH_KEY, MYH_VALUE, 3);
      if (!startMyh(myh)) fuzz::fail(kTarget, "the MYH did not start on a good value");
      expected.push_back(myhWord(1));
      if (!sim::waitForBlockedWaiters(1)) fuzz::fail(kTarget, "the watch thread never waited");
      size_t handled = traces.matching(L"MYH set status").size();
      sim::reg::setValue(MYH_KEY, MYH_VALUE, type, data);
      // The thread has handled the change once it set a status or traced the refusal.
      if (!fuzz::eventually([&] {
            return traces.matching(L"MYH set status").size() > handled ||
                   !traces.matching(L"RegQueryValueEx error").empty();
          }))
        fuzz::fail(kTarget, "the watch thread never handled the change");
      if (mode) expected.push_back(myhWord(*mode));
      stopMyh(myh);
      if (sim::dev::words() != expected) fuzz::fail(kTarget, "the MYH's commands differ from the model's");
      break;
    }
  }
  if (sim::openHandleCount() != 0) fuzz::fail(kTarget, "a handle was left open");
  traces.clear();
  return 0;
}
