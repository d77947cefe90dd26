// The display kernel's records and the display-adapter interface class, which no
// mingw-w64 header declares. Both builds take them from here; the layout is the x64
// driver kit's and is pinned below, since the kernel writes these records whole.
#pragma once

#include <cstddef>

typedef UINT D3DKMT_HANDLE;

typedef struct _D3DKMT_OPENADAPTERFROMDEVICENAME {
  const wchar_t* pDeviceName;  // a pointer in both builds: no wchar_t array, so no width difference
  D3DKMT_HANDLE hAdapter;
  LUID AdapterLuid;
} D3DKMT_OPENADAPTERFROMDEVICENAME;

typedef enum _D3DKMT_QUERYSTATISTICS_TYPE {
  D3DKMT_QUERYSTATISTICS_ADAPTER = 0,
  D3DKMT_QUERYSTATISTICS_PROCESS = 1,
  D3DKMT_QUERYSTATISTICS_PROCESS_ADAPTER = 2,
  D3DKMT_QUERYSTATISTICS_SEGMENT = 3,
  D3DKMT_QUERYSTATISTICS_PROCESS_SEGMENT = 4,
  D3DKMT_QUERYSTATISTICS_NODE = 5,
  D3DKMT_QUERYSTATISTICS_PROCESS_NODE = 6,
  D3DKMT_QUERYSTATISTICS_VIDPNSOURCE = 7,
  D3DKMT_QUERYSTATISTICS_PROCESS_VIDPNSOURCE = 8,
} D3DKMT_QUERYSTATISTICS_TYPE;

// Only the running time is named; the context-switch, preemption and packet statistics
// that follow it are carried as bytes.
typedef struct _D3DKMT_QUERYSTATISTICS_PROCESS_NODE_INFORMATION {
  LARGE_INTEGER RunningTime;  // 100-ns units
  BYTE Unread[264];
} D3DKMT_QUERYSTATISTICS_PROCESS_NODE_INFORMATION;

typedef struct _D3DKMT_QUERYSTATISTICS_NODE_INFORMATION {
  D3DKMT_QUERYSTATISTICS_PROCESS_NODE_INFORMATION GlobalInformation;
  D3DKMT_QUERYSTATISTICS_PROCESS_NODE_INFORMATION SystemInformation;
} D3DKMT_QUERYSTATISTICS_NODE_INFORMATION;

// The kernel writes the whole union, so it keeps its full size.
typedef union _D3DKMT_QUERYSTATISTICS_RESULT {
  D3DKMT_QUERYSTATISTICS_NODE_INFORMATION NodeInformation;
  D3DKMT_QUERYSTATISTICS_PROCESS_NODE_INFORMATION ProcessNodeInformation;
  BYTE Whole[776];
} D3DKMT_QUERYSTATISTICS_RESULT;

typedef struct _D3DKMT_QUERYSTATISTICS_QUERY_SEGMENT {
  ULONG SegmentId;
} D3DKMT_QUERYSTATISTICS_QUERY_SEGMENT;

typedef struct _D3DKMT_QUERYSTATISTICS_QUERY_NODE {
  ULONG NodeId;
} D3DKMT_QUERYSTATISTICS_QUERY_NODE;

typedef struct _D3DKMT_QUERYSTATISTICS_QUERY_VIDPNSOURCE {
  ULONG VidPnSourceId;
} D3DKMT_QUERYSTATISTICS_QUERY_VIDPNSOURCE;

typedef struct _D3DKMT_QUERYSTATISTICS {
  D3DKMT_QUERYSTATISTICS_TYPE Type;
  LUID AdapterLuid;
  HANDLE hProcess;
  D3DKMT_QUERYSTATISTICS_RESULT QueryResult;
  union {
    D3DKMT_QUERYSTATISTICS_QUERY_SEGMENT QuerySegment;
    D3DKMT_QUERYSTATISTICS_QUERY_SEGMENT QueryProcessSegment;
    D3DKMT_QUERYSTATISTICS_QUERY_NODE QueryNode;
    D3DKMT_QUERYSTATISTICS_QUERY_NODE QueryProcessNode;
    D3DKMT_QUERYSTATISTICS_QUERY_VIDPNSOURCE QueryVidPnSource;
    D3DKMT_QUERYSTATISTICS_QUERY_VIDPNSOURCE QueryProcessVidPnSource;
  };
} D3DKMT_QUERYSTATISTICS;

// gdi32's exports, as GetProcAddress hands them out.
typedef NTSTATUS(APIENTRY* PFND3DKMT_OPENADAPTERFROMDEVICENAME)(D3DKMT_OPENADAPTERFROMDEVICENAME*);
typedef NTSTATUS(APIENTRY* PFND3DKMT_QUERYSTATISTICS)(const D3DKMT_QUERYSTATISTICS*);

static_assert(sizeof(D3DKMT_QUERYSTATISTICS_TYPE) == 4);
static_assert(sizeof(LUID) == 8 && alignof(LUID) == 4);
static_assert(sizeof(D3DKMT_OPENADAPTERFROMDEVICENAME) == 24);
static_assert(offsetof(D3DKMT_OPENADAPTERFROMDEVICENAME, pDeviceName) == 0);
static_assert(offsetof(D3DKMT_OPENADAPTERFROMDEVICENAME, hAdapter) == 8);
static_assert(offsetof(D3DKMT_OPENADAPTERFROMDEVICENAME, AdapterLuid) == 12);
static_assert(sizeof(D3DKMT_QUERYSTATISTICS_PROCESS_NODE_INFORMATION) == 272);
static_assert(sizeof(D3DKMT_QUERYSTATISTICS_RESULT) == 776);
static_assert(sizeof(D3DKMT_QUERYSTATISTICS) == 808);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, Type) == 0);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, AdapterLuid) == 4);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, hProcess) == 16);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, QueryResult) == 24);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, QueryResult.NodeInformation.GlobalInformation.RunningTime) == 24);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, QueryResult.NodeInformation.SystemInformation) == 24 + 272);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, QueryResult.ProcessNodeInformation.RunningTime) == 24);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, QueryNode.NodeId) == 800);
static_assert(offsetof(D3DKMT_QUERYSTATISTICS, QueryProcessNode.NodeId) == 800);

// Interface class of display adapters {1CA05180-A699-450A-9A0C-DE4FBE3DDD89}.
inline constexpr GUID GUID_DISPLAY_DEVICE_ARRIVAL = {0x1CA05180, 0xA699, 0x450A,
                                                     {0x9A, 0x0C, 0xDE, 0x4F, 0xBE, 0x3D, 0xDD, 0x89}};
