// Sends DYTC requests through the system's own device interface (modes/Dytc) and, for
// requests the system never makes, through DeviceIoControl directly; one output line per
// argument, so the tests compare what the caller got with what the driver recorded.
//   cap                      getFunctionCap     -> "cap ok=<0|1> reply=<hex>"
//   query:CMD                queryDYTC          -> "query ok=.. reply=.."
//   set:CMD:FN:MODE:FLAG     setDYTC            -> "set ok=.."
//   reset                    resetDYTC          -> "reset ok=.."
//   raw:CODE:IN:OUT:WORD     one request with the given control code and buffer sizes
//                            -> "raw ok=.. error=<GetLastError> returned=<n> reply=<hex>"
// The reply words start as 0xdeadbeef, so a word the call never wrote shows.
#include "modes/Dytc.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUnwritten = 0xDEADBEEF;

std::vector<DWORD> fields(const std::wstring& arg) {
  std::vector<DWORD> values;
  size_t start = arg.find(L':');
  while (start != std::wstring::npos) {
    size_t end = arg.find(L':', start + 1);
    values.push_back((DWORD)wcstoul(arg.substr(start + 1, end - start - 1).c_str(), nullptr, 0));
    start = end;
  }
  return values;
}

void line(const char* name, bool ok, DWORD reply) {
  printf("%s ok=%d reply=%08x\n", name, ok ? 1 : 0, (unsigned)reply);
}

bool raw(const std::vector<DWORD>& v) {
  HANDLE device = CreateFileW(DYTC_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    printf("raw ok=0 error=%u open=failed\n", (unsigned)GetLastError());
    return true;
  }
  unsigned char in[16] = {}, out[16] = {};
  DWORD word = v[3], reply = kUnwritten, returned = 0;
  memcpy(in, &word, sizeof(word));
  memcpy(out, &reply, sizeof(reply));
  SetLastError(0);
  BOOL ok = DeviceIoControl(device, v[0], v[1] ? in : nullptr, v[1], v[2] ? out : nullptr, v[2], &returned, nullptr);
  DWORD error = GetLastError();
  memcpy(&reply, out, sizeof(reply));
  CloseHandle(device);
  printf("raw ok=%d error=%u returned=%u reply=%08x\n", ok ? 1 : 0, (unsigned)(ok ? 0 : error), (unsigned)returned,
         (unsigned)reply);
  return true;
}

bool one(const std::wstring& arg) {
  std::wstring name = arg.substr(0, arg.find(L':'));
  std::vector<DWORD> v = fields(arg);
  DWORD reply = kUnwritten;
  if (name == L"cap" && v.empty()) {
    bool ok = getFunctionCap(&reply);
    line("cap", ok, reply);
  } else if (name == L"query" && v.size() == 1) {
    bool ok = queryDYTC(v[0], &reply);
    line("query", ok, reply);
  } else if (name == L"set" && v.size() == 4) {
    printf("set ok=%d\n", setDYTC(v[0], v[1], v[2], v[3]) ? 1 : 0);
  } else if (name == L"reset" && v.empty()) {
    printf("reset ok=%d\n", resetDYTC() ? 1 : 0);
  } else if (name == L"raw" && v.size() == 4 && v[1] <= 16 && v[2] <= 16) {
    return raw(v);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  for (int i = 1; i < argc; ++i) {
    if (!one(argv[i])) {
      printf("bad argument %d\n", i);
      return 2;
    }
  }
  fflush(stdout);
  return 0;
}
