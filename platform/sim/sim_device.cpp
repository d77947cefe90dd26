#include "platform/sim/sim_device.h"

#include "platform/sim/sim_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace sim::dev {
namespace {

struct Model {
  std::mutex lock;
  bool present = true;
  DWORD capability = 0;
  std::map<DWORD, DWORD> fixedReplies;
  std::map<DWORD, DWORD> modes;  // function -> mode
  std::map<DWORD, DWORD> flags;  // function -> flag
  std::optional<DWORD> failError;
  std::optional<DWORD> failWritten;
  int failTimes = 0;
  std::function<void(DWORD)> hook;
  std::vector<Request> log;
};
Model& model() {
  static auto* m = new Model;
  return *m;
}

struct DeviceHandle : Object {
  const char* kind() const override { return "Device"; }
};

void resetModel() {
  auto& m = model();
  std::lock_guard<std::mutex> g(m.lock);
  m.present = true;
  m.capability = 0;
  m.fixedReplies.clear();
  m.modes.clear();
  m.flags.clear();
  m.failError.reset();
  m.failWritten.reset();
  m.failTimes = 0;
  m.hook = nullptr;
  m.log.clear();
}
ResetHook g_reset(resetModel);

DWORD modeOf(Model& m, DWORD function) {
  auto it = m.modes.find(function);
  return it == m.modes.end() ? 15 : it->second;
}

// The firmware's answer to one command word. Bit 0 of a reply is its verdict.
DWORD answer(Model& m, DWORD word) {
  DWORD command = word & 0x1FF;
  auto fixed = m.fixedReplies.find(command);
  if (fixed != m.fixedReplies.end()) return fixed->second;
  DWORD function = (word >> 12) & 0xF;
  switch (command) {
    case 1:  // set a function's mode and flag
      m.modes[function] = (word >> 16) & 0xF;
      m.flags[function] = (word >> 20) & 1;
      return 1;
    case 3:  // capability
      return m.capability;
    case 6:  // MMC capability: none known unless configured
      return 1;
    case 7:  // MMC current mode in the upper half
      return 1 | (modeOf(m, 11) << 16);
    case 0x1FF:
      m.modes.clear();
      m.flags.clear();
      return 1;
    default:
      return 0;
  }
}

}  // namespace

void setPresent(bool present) {
  std::lock_guard<std::mutex> g(model().lock);
  model().present = present;
}
void setCapability(DWORD word) {
  std::lock_guard<std::mutex> g(model().lock);
  model().capability = word;
}
void setReply(DWORD command, DWORD reply) {
  std::lock_guard<std::mutex> g(model().lock);
  model().fixedReplies[command] = reply;
}
void clearReply(DWORD command) {
  std::lock_guard<std::mutex> g(model().lock);
  model().fixedReplies.erase(command);
}
void failRequests(DWORD error, std::optional<DWORD> written, int times) {
  std::lock_guard<std::mutex> g(model().lock);
  model().failError = error;
  model().failWritten = written;
  model().failTimes = times;
}
void clearFailures() {
  std::lock_guard<std::mutex> g(model().lock);
  model().failError.reset();
  model().failTimes = 0;
}
void onRequest(std::function<void(DWORD)> hook) {
  std::lock_guard<std::mutex> g(model().lock);
  model().hook = std::move(hook);
}
std::vector<Request> requests() {
  std::lock_guard<std::mutex> g(model().lock);
  return model().log;
}
std::vector<DWORD> words() {
  std::vector<DWORD> w;
  for (auto& r : requests()) w.push_back(r.input);
  return w;
}
void clearRequests() {
  std::lock_guard<std::mutex> g(model().lock);
  model().log.clear();
}
DWORD functionMode(DWORD function) {
  std::lock_guard<std::mutex> g(model().lock);
  return modeOf(model(), function);
}
DWORD functionFlag(DWORD function) {
  std::lock_guard<std::mutex> g(model().lock);
  auto it = model().flags.find(function);
  return it == model().flags.end() ? 0 : it->second;
}

// Opening "\\.\PwrCtlDev" (called by CreateFileW for device paths).
HANDLE openDevice(const std::wstring& path) {
  bool present;
  {
    std::lock_guard<std::mutex> g(model().lock);
    present = model().present;
  }
  if (!present || path != L"\\\\.\\PwrCtlDev") {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return insertHandle(std::make_shared<DeviceHandle>());
}

}  // namespace sim::dev

using namespace sim;

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  // Without an OVERLAPPED, Windows writes the byte count through the pointer whatever
  // comes of the request: a null pointer is an access violation there.
  if (!overlapped && !bytesReturned) {
    std::fprintf(stderr, "simulated machine: DeviceIoControl without OVERLAPPED needs lpBytesReturned\n");
    std::abort();
  }
  if (auto e = checkFault("DeviceIoControl")) {
    SetLastError(*e);
    return FALSE;
  }
  auto handle = lookupHandle(device);
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (std::string(handle->kind()) != "Device" || controlCode != dev::kDytcIoctl) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (!inBuffer || inSize < 4) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!outBuffer || outSize < 4) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  DWORD word;
  std::memcpy(&word, inBuffer, 4);
  std::function<void(DWORD)> hook;
  {
    std::lock_guard<std::mutex> g(dev::model().lock);
    hook = dev::model().hook;
  }
  if (hook) hook(word);

  auto& m = dev::model();
  std::lock_guard<std::mutex> g(m.lock);
  if (m.failError && m.failTimes != 0) {
    if (m.failTimes > 0) m.failTimes--;
    DWORD written = 0;
    if (m.failWritten) {
      written = *m.failWritten;
      std::memcpy(outBuffer, &written, 4);
    }
    m.log.push_back({controlCode, word, written, false});
    SetLastError(*m.failError);
    return FALSE;
  }
  DWORD reply = dev::answer(m, word);
  std::memcpy(outBuffer, &reply, 4);
  if (bytesReturned) *bytesReturned = 4;
  m.log.push_back({controlCode, word, reply, true});
  return TRUE;
}
