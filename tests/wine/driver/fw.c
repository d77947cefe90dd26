/*
 * Firmware model for the end-to-end tests: a kernel driver that creates \Device\PwrCtlDev
 * (link \DosDevices\PwrCtlDev) and answers DYTC command words the way the notebook's
 * firmware does. Test code only; never part of the product.
 *
 * Configuration: REG_DWORDs under the driver's service key, read on every request, so a
 * test changes the firmware's answers without reloading the driver.
 *   "Capability"     the whole reply word to the capability query, command 3 (default 0)
 *   "MmcCapability"  the upper half of the reply to command 6 (default 0)
 *   "MmcDefaultMode" the MMC mode at load and after a reset (default 15)
 *   "Reply<N>"       a fixed reply word for command N (decimal), replacing the model's
 *                    answer; the model's state is then left as it was
 *   "FailStatus"     nonzero: every DYTC request completes with this NTSTATUS, no output
 *
 * The model: bit 0 of every reply is the verdict. A set command (1) for a function the
 * capability word marks changes that function's mode and flag and is accepted; for any
 * other function it is refused (reply 0) and changes nothing. Command 6 replies
 * 1 | MmcCapability << 16, command 7 replies 1 | current MMC mode << 16, the reset (0x1FF)
 * puts every function back to its default (mode 15, flag 0; MMC "MmcDefaultMode") and
 * replies 1. Unknown commands are refused with reply 0.
 *
 * A missing device is modelled by not loading the driver, or by stopping it (the unload
 * removes the device and its link): Wine opens a device without waiting for the driver's
 * answer to the create request, so the driver cannot refuse an open.
 *
 * Record: every device-control request, valid or not, appends one line to
 * C:\windows\PwrCtlDev.log before it completes:
 *   "req <seq> <code> <inLength> <outLength> <word> <reply> <status> <arrival>"
 * (hexadecimal but for seq, the lengths and arrival; word 0 when the input was too short;
 * reply 0 when nothing was written; arrival: the performance counter when the request
 * reached the driver, the clock that QueryPerformanceCounter reads in every process, so a
 * client can time its requests to here). Each load of the driver appends "load".
 */
#include <ntddk.h>

#define PWRCTL_DEVICE_TYPE 0x8310
#define IOCTL_DYTC_METHOD 0x8310213C
#define FUNCTIONS 16
#define POOL_TAG 0x77467451 /* 'QtFw' */

static UNICODE_STRING g_serviceKey;
static KMUTEX g_lock;
static ULONG g_mode[FUNCTIONS];
static ULONG g_flag[FUNCTIONS];
static ULONG g_sequence;

static const WCHAR kDeviceName[] = L"\\Device\\PwrCtlDev";
static const WCHAR kLinkName[] = L"\\DosDevices\\PwrCtlDev";
static const WCHAR kLogPath[] = L"\\??\\C:\\windows\\PwrCtlDev.log";

/* ---- configuration ---- */

static BOOLEAN QueryDword(HANDLE key, const WCHAR* name, ULONG* value) {
  UNICODE_STRING valueName;
  ULONG storage[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)) / sizeof(ULONG) + 1];
  PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)storage;
  ULONG length = 0;
  if (!key) return FALSE;
  RtlInitUnicodeString(&valueName, name);
  if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof(storage), &length)))
    return FALSE;
  if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) return FALSE;
  *value = *(const ULONG*)info->Data;
  return TRUE;
}

static ULONG ReadDword(HANDLE key, const WCHAR* name, ULONG fallback) {
  ULONG value;
  return QueryDword(key, name, &value) ? value : fallback;
}

static HANDLE OpenServiceKey(void) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE key = NULL;
  InitializeObjectAttributes(&attributes, &g_serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return NULL;
  return key;
}

typedef struct {
  ULONG capability;
  ULONG mmcCapability;
  ULONG mmcDefaultMode;
  ULONG failStatus;
  BOOLEAN hasFixedReply;
  ULONG fixedReply;
} CONFIG;

static void ReadConfig(ULONG command, CONFIG* config) {
  WCHAR name[16] = L"Reply";
  WCHAR digits[12];
  int n = 0, i = 5;
  ULONG v = command;
  HANDLE key = OpenServiceKey();
  config->capability = ReadDword(key, L"Capability", 0);
  config->mmcCapability = ReadDword(key, L"MmcCapability", 0);
  config->mmcDefaultMode = ReadDword(key, L"MmcDefaultMode", 15) & 0xF;
  config->failStatus = ReadDword(key, L"FailStatus", 0);
  do {
    digits[n++] = (WCHAR)(L'0' + v % 10);
    v /= 10;
  } while (v);
  while (n) name[i++] = digits[--n];
  name[i] = 0;
  config->hasFixedReply = QueryDword(key, name, &config->fixedReply);
  if (key) ZwClose(key);
}

/* ---- the record ---- */

static char* PutHex(char* p, ULONG value) {
  int shift;
  for (shift = 28; shift >= 0; shift -= 4) *p++ = "0123456789abcdef"[(value >> shift) & 0xF];
  return p;
}

static char* PutDecimal(char* p, ULONGLONG value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  while (n) *p++ = digits[--n];
  return p;
}

static char* PutText(char* p, const char* text) {
  while (*text) *p++ = *text++;
  return p;
}

static void AppendLog(const char* line, ULONG length) {
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE file;
  LARGE_INTEGER end;
  RtlInitUnicodeString(&path, kLogPath);
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                               FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0))) {
    DbgPrint("PwrCtlDev: cannot open the request log\n");
    return;
  }
  end.HighPart = -1;
  end.LowPart = FILE_WRITE_TO_END_OF_FILE;
  if (!NT_SUCCESS(ZwWriteFile(file, NULL, NULL, NULL, &io, (PVOID)line, length, &end, NULL)))
    DbgPrint("PwrCtlDev: cannot write the request log\n");
  ZwClose(file);
}

static void RecordRequest(ULONG code, ULONG inLength, ULONG outLength, ULONG word, ULONG reply, NTSTATUS status,
                          LONGLONG arrival) {
  char line[128];
  char* p = PutText(line, "req ");
  p = PutDecimal(p, ++g_sequence);
  *p++ = ' ';
  p = PutHex(p, code);
  *p++ = ' ';
  p = PutDecimal(p, inLength);
  *p++ = ' ';
  p = PutDecimal(p, outLength);
  *p++ = ' ';
  p = PutHex(p, word);
  *p++ = ' ';
  p = PutHex(p, reply);
  *p++ = ' ';
  p = PutHex(p, (ULONG)status);
  *p++ = ' ';
  p = PutDecimal(p, (ULONGLONG)arrival);
  *p++ = '\n';
  AppendLog(line, (ULONG)(p - line));
}

/* ---- the firmware ---- */

static void ResetFunctions(ULONG mmcDefaultMode) {
  int f;
  for (f = 0; f < FUNCTIONS; f++) {
    g_mode[f] = 15;
    g_flag[f] = 0;
  }
  g_mode[11] = mmcDefaultMode;
}

static ULONG Answer(ULONG word, const CONFIG* config) {
  ULONG command = word & 0x1FF;
  ULONG function = (word >> 12) & 0xF;
  if (config->hasFixedReply) return config->fixedReply;
  switch (command) {
    case 1:
      if (!(config->capability & (1u << (16 + function)))) return 0;
      g_mode[function] = (word >> 16) & 0xF;
      g_flag[function] = (word >> 20) & 1;
      return 1;
    case 3:
      return config->capability;
    case 6:
      return 1 | (config->mmcCapability << 16);
    case 7:
      return 1 | (g_mode[11] << 16);
    case 0x1FF:
      ResetFunctions(config->mmcDefaultMode);
      return 1;
    default:
      return 0;
  }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG* buffer = (ULONG*)irp->AssociatedIrp.SystemBuffer;
  ULONG word = 0, reply = 0;
  ULONG_PTR written = 0;
  NTSTATUS status;
  CONFIG config;
  const LONGLONG arrival = KeQueryPerformanceCounter(NULL).QuadPart;
  (void)device;

  if (inLength >= sizeof(ULONG) && buffer) word = buffer[0];
  ReadConfig(word & 0x1FF, &config);
  KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
  if (code != IOCTL_DYTC_METHOD) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (inLength < sizeof(ULONG) || !buffer) {
    status = STATUS_INVALID_PARAMETER;
  } else if (outLength < sizeof(ULONG)) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else if (config.failStatus) {
    status = (NTSTATUS)config.failStatus;
  } else {
    reply = Answer(word, &config);
    buffer[0] = reply;
    written = sizeof(ULONG);
    status = STATUS_SUCCESS;
  }
  RecordRequest(code, inLength, outLength, word, reply, status, arrival);
  KeReleaseMutex(&g_lock, FALSE);
  return Complete(irp, status, written);
}

static void DriverUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kLinkName);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
  if (g_serviceKey.Buffer) ExFreePoolWithTag(g_serviceKey.Buffer, POOL_TAG);
  g_serviceKey.Buffer = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNICODE_STRING name, link;
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status;
  CONFIG config;

  /* The path given here is not guaranteed to outlive this call. */
  g_serviceKey.Length = registryPath->Length;
  g_serviceKey.MaximumLength = registryPath->Length;
  g_serviceKey.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, registryPath->Length, POOL_TAG);
  if (!g_serviceKey.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(g_serviceKey.Buffer, registryPath->Buffer, registryPath->Length);

  KeInitializeMutex(&g_lock, 0);
  ReadConfig(0, &config);
  ResetFunctions(config.mmcDefaultMode);

  RtlInitUnicodeString(&name, kDeviceName);
  status = IoCreateDevice(driver, 0, &name, PWRCTL_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    DbgPrint("PwrCtlDev: IoCreateDevice failed %08lx\n", status);
    ExFreePoolWithTag(g_serviceKey.Buffer, POOL_TAG);
    g_serviceKey.Buffer = NULL;
    return status;
  }
  RtlInitUnicodeString(&link, kLinkName);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    DbgPrint("PwrCtlDev: IoCreateSymbolicLink failed %08lx\n", status);
    IoDeleteDevice(device);
    ExFreePoolWithTag(g_serviceKey.Buffer, POOL_TAG);
    g_serviceKey.Buffer = NULL;
    return status;
  }
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = DriverUnload;
  AppendLog("load\n", 5);
  return STATUS_SUCCESS;
}
