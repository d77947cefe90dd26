// Device input and output on the simulated machine: "\\.\PwrCtlDev" answered by a
// firmware model that tests configure and that records every request in order.
#pragma once

#include "platform/sim/sim_core.h"

#include <functional>
#include <optional>
#include <vector>

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);

#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

namespace sim::dev {

// The control code the firmware driver answers.
constexpr DWORD kDytcIoctl = 0x8310213C;

struct Request {
  DWORD controlCode;
  DWORD input;       // the command word
  DWORD reply;       // what the driver wrote (0 when it wrote nothing)
  bool completed;    // DeviceIoControl returned nonzero
};

// Whether "\\.\PwrCtlDev" can be opened. Present after reset.
void setPresent(bool present);
// Reply to the capability query (command 3). 0 after reset.
void setCapability(DWORD word);
// A fixed reply for a command number (the word's low 9 bits), replacing the model's answer.
void setReply(DWORD command, DWORD reply);
void clearReply(DWORD command);
// Requests fail (DeviceIoControl returns FALSE with `error`); `written`, when given, is
// what the driver still writes to the output word. times -1: until cleared.
void failRequests(DWORD error, std::optional<DWORD> written = std::nullopt, int times = -1);
void clearFailures();
// Called for every request with its command word before the reply is made, outside any
// lock of the machine, so a test can hold a request in flight.
void onRequest(std::function<void(DWORD word)> hook);

std::vector<Request> requests();
std::vector<DWORD> words();  // the command words of the completed and failed requests, in order
void clearRequests();
// The model's state of a function (set commands change it; reset restores mode 15, flag 0).
DWORD functionMode(DWORD function);
DWORD functionFlag(DWORD function);

}  // namespace sim::dev
