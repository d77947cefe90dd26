#include "modes/Dytc.h"

#include "modes/Log.h"

acpiVpc::acpiVpc()
    : m_device(CreateFileW(DYTC_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL)) {
  if (m_device == INVALID_HANDLE_VALUE) LogError(L"acpiVpc Open Driver Failed errorcode = %x", GetLastError());
}

acpiVpc::~acpiVpc() {
  if (m_device != INVALID_HANDLE_VALUE) CloseHandle(m_device);
  m_device = INVALID_HANDLE_VALUE;
}

bool acpiVpc::isOpen() const { return m_device != INVALID_HANDLE_VALUE; }

bool DYTCMethod(DWORD word, DWORD* reply) {
  acpiVpc device;
  if (!device.isOpen()) {
    LogInfo(L"AcpiVpc Driver not exist");
    return false;
  }
  DWORD output = 0;
  DWORD returned = 0;
  bool completed = DeviceIoControl(device.handle(), IOCTL_DYTC_METHOD, &word, sizeof(word), &output,
                                   sizeof(output), &returned, NULL) != FALSE;
  if (!completed || (output & 1) == 0) LogInfo(L"DYTC Method error %x", GetLastError());
  LogInfo(L"DYTC DeviceIoControl output %x", output);
  *reply = output;
  return completed;
}

bool ToDYTCBuffer(DWORD command, DWORD function, DWORD mode, DWORD flag, DYTCBuffer* word) {
  try {
    word->value = (command & 0x1FF) | (function & 0xF) << 12 | (mode & 0xF) << 16 | (flag & 1) << 20;
    return true;
  } catch (...) {
    LogInfo(L"ToDYTCBuffer error %x", GetLastError());
    return false;
  }
}

bool queryDYTC(DWORD command, DWORD* reply) {
  DYTCBuffer word;
  if (!ToDYTCBuffer(command, 0, 0, 0, &word)) return false;
  LogInfo(L"DYTC input %x", word.value);
  return DYTCMethod(word.value, reply);
}

bool setDYTC(DWORD command, DWORD function, DWORD mode, DWORD flag) {
  DYTCBuffer word;
  if (!ToDYTCBuffer(command, function, mode, flag, &word)) return false;
  LogInfo(L"DYTC input %x", word.value);
  DWORD reply = 0;
  return DYTCMethod(word.value, &reply);
}

bool getFunctionCap(DWORD* capability) {
  LogInfo(L"getFunctionCap enter");
  if (!DYTCMethod(DYTC_CMD_QUERY, capability)) {
    LogError(L"DYTC getFunctionCap error %x", *capability);
    return false;
  }
  return true;
}

bool resetDYTC() {
  DWORD reply = 0;
  LogInfo(L"resetDYTC enter");
  if (!DYTCMethod(DYTC_CMD_RESET, &reply)) {
    LogError(L"DYTC reset error %x", reply);
    return false;
  }
  return true;
}
