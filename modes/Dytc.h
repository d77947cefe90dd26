// DYTC, the firmware's thermal method, reached through the driver's device
// "\\.\PwrCtlDev": one 32-bit command word in, one 32-bit reply word out per request.
#pragma once

#include "platform/platform.h"

// Command numbers.
constexpr DWORD DYTC_CMD_SET = 1;
constexpr DWORD DYTC_CMD_QUERY = 3;
constexpr DWORD DYTC_CMD_MODE_MMC_CAP = 6;
constexpr DWORD DYTC_CMD_MODE_MMC_GET = 7;
constexpr DWORD DYTC_CMD_RESET = 0x1FF;

// Function numbers; the capability word marks function F with bit 16 + F.
constexpr DWORD DYTC_FUNC_MYH = 3;
constexpr DWORD DYTC_FUNC_IFC = 10;
constexpr DWORD DYTC_FUNC_MMC = 11;
constexpr DWORD DYTC_FUNC_MSC = 12;

// Device type 0x8310, function 0x84F, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr DWORD IOCTL_DYTC_METHOD = 0x8310213C;
constexpr const wchar_t* DYTC_DEVICE_PATH = L"\\\\.\\PwrCtlDev";

// The command word: command in bits 0-8, function 12-15, mode 16-19, flag 20; the rest 0.
struct DYTCBuffer {
  DWORD value = 0;
  DWORD command() const { return value & 0x1FF; }
  DWORD function() const { return (value >> 12) & 0xF; }
  DWORD mode() const { return (value >> 16) & 0xF; }
  DWORD flag() const { return (value >> 20) & 1; }
};

// Owns the device handle for the length of one request.
class acpiVpc {
 public:
  acpiVpc();
  virtual ~acpiVpc();
  acpiVpc(const acpiVpc&) = delete;
  acpiVpc& operator=(const acpiVpc&) = delete;
  bool isOpen() const;
  HANDLE handle() const { return m_device; }

 private:
  HANDLE m_device;
};

bool DYTCMethod(DWORD word, DWORD* reply);
bool ToDYTCBuffer(DWORD command, DWORD function, DWORD mode, DWORD flag, DYTCBuffer* word);
bool queryDYTC(DWORD command, DWORD* reply);
bool setDYTC(DWORD command, DWORD function, DWORD mode, DWORD flag);
bool getFunctionCap(DWORD* capability);
bool resetDYTC();
