// COM basics of the simulated machine: apartments (CoInitializeEx, CoUninitialize),
// CoCreateInstance, IUnknown and IDispatch, BSTRs with their length prefix, VARIANTs.
// Simulated COM objects stay in memory until the machine is reset, so a release too many
// or a call on a released object is recorded as misuse instead of touching freed memory.
#pragma once

#include "platform/sim/sim_core.h"

#include <atomic>
#include <string>
#include <vector>

typedef wchar_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef BSTR* LPBSTR;
typedef short VARIANT_BOOL;
typedef unsigned short VARTYPE;
typedef double DATE;
typedef LONG SCODE;
typedef DWORD LCID;
typedef LONG DISPID;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_BYREF = 0x4000,
};

struct IUnknown;
struct IDispatch;
struct ITypeInfo;
struct DISPPARAMS;
struct EXCEPINFO;

typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    struct {
      PVOID pvRecord;
      PVOID pRecInfo;
    } record;  // keeps the size of the real VARIANT (24 bytes on x64)
  };
} VARIANT, VARIANTARG;
typedef VARIANT* LPVARIANT;
typedef VARIANTARG* LPVARIANTARG;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// As in the SDK, interfaces have no destructor of their own: an object goes with its
// last Release, never with delete.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IDispatch : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                                  DISPID* ids) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                           VARIANT* result, EXCEPINFO* exception, UINT* argError) = 0;
};

#pragma GCC diagnostic pop

extern const IID IID_IUnknown;
extern const IID IID_IDispatch;

// COM calls.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object);

// OLE Automation strings and variants.
BSTR SysAllocString(const OLECHAR* text);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
void VariantInit(VARIANTARG* value);
HRESULT VariantClear(VARIANTARG* value);

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_DISABLE_OLE1DDE 0x4
#define COINIT_SPEED_OVER_MEMORY 0x8

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)

namespace sim::com {

// The bookkeeping of one simulated COM object: its references, those that other
// simulated objects hold on it (a definition holds its trigger collection, as on Windows),
// and the name under which calls, releases and misuse are recorded ("ITaskFolder", ...).
class Tracked {
 public:
  explicit Tracked(std::string name) : m_name(std::move(name)) {}
  virtual ~Tracked() = default;
  const std::string& name() const { return m_name; }
  // How releases() shows the object; its name unless it says more (a folder's path).
  virtual std::string label() const { return m_name; }
  // References that clients hold.
  long clientReferences() const { return m_refs.load() - m_held.load(); }
  // A reference that the machine gives a client with a new or existing object.
  void grant() { m_refs++; }
  // A reference that another simulated object keeps, and its end.
  void hold();
  void unhold();

 protected:
  ULONG addRef();
  ULONG release();
  // Called when the last reference goes: the object lets go of what it holds.
  virtual void onFinalRelease() {}
  // Every method call starts here: records a call on a released object, counts the
  // call as "<name>::<method>" and returns the failure armed for it, else S_OK.
  HRESULT enter(const char* method) const;

 private:
  std::string m_name;
  std::atomic<long> m_refs{0};
  std::atomic<long> m_held{0};
};

// Keeps a new object (no references yet) in memory until reset.
void registerObject(std::shared_ptr<Tracked> object);
template <class T, class... Args>
T* create(Args&&... args) {
  auto object = std::make_shared<T>(std::forward<Args>(args)...);
  T* raw = object.get();
  registerObject(std::move(object));
  return raw;
}

// Makes a class creatable with CoCreateInstance (in-process server only).
using ClassFactory = HRESULT (*)(REFIID riid, void** object);
void registerClass(const CLSID& clsid, ClassFactory create);

// Objects that clients still hold references to, one entry per reference (and objects
// released more often than referenced).
std::vector<std::string> liveObjects();
// Labels of the objects, one per Release call made by a client, in order.
std::vector<std::string> releases();
void clearReleases();
// What a correct client never does: a Release too many, a call on a released object, a
// freed string that SysAllocString did not make, a BSTR argument that is not a BSTR, a
// VARIANT_BOOL that is neither VARIANT_TRUE nor VARIANT_FALSE.
std::vector<std::string> misuse();
void recordMisuse(const std::string& what);
void clearMisuse();
// BSTRs made and not yet freed.
size_t liveStrings();
// True when `text` is a live BSTR (null counts as the empty BSTR).
bool isString(BSTR text);
// The text of a BSTR argument by its length prefix; records misuse when it is no BSTR.
std::wstring text(BSTR value, const char* where);
// Whether the calling thread may use COM (its own apartment, or the process's MTA).
bool usable();

}  // namespace sim::com
