/* COM base services: apartments, activation, task memory, GUID text, the global interface table,
   call cancellation and waits that service an apartment's incoming calls. */
#pragma once

#include "windef.h"
#include "winerror.h"
#include "unknwn.h"
#include "oaidl.h"
#include "ocidl.h"
#include "oleauto.h"

typedef enum tagCOINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_ALL = 0x17
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)

typedef enum tagCOWAIT_FLAGS {
    COWAIT_DEFAULT = 0,
    COWAIT_WAITALL = 1,
    COWAIT_ALERTABLE = 2,
    COWAIT_INPUTAVAILABLE = 4
} COWAIT_FLAGS;

#define CHARS_IN_GUID 39

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
WINAPI_INTERFACE_ID(IGlobalInterfaceTable, "00000146-0000-0000-C000-000000000046");
struct IGlobalInterfaceTable : IUnknown {
    STDMETHOD(RegisterInterfaceInGlobal)(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) PURE;
    STDMETHOD(RevokeInterfaceFromGlobal)(DWORD dwCookie) PURE;
    STDMETHOD(GetInterfaceFromGlobal)(DWORD dwCookie, REFIID riid, void** ppv) PURE;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
WINAPI_CLASS_ID(StdGlobalInterfaceTable, "00000323-0000-0000-C000-000000000046");

extern "C" {
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
void WINAPI CoUninitialize(void);
/* The calling thread's apartment: APTTYPE_STA 0, APTTYPE_MTA 1; CO_E_NOTINITIALIZED outside one. */
HRESULT WINAPI CoGetApartmentType(int* pAptType, int* pAptQualifier);

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv);
HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                LPVOID* ppv);
/* Unloads the in-process servers whose DllCanUnloadNow answers S_OK. */
void WINAPI CoFreeUnusedLibraries(void);
HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
void WINAPI CoTaskMemFree(LPVOID pv);

/* Waits for handles; in a single-threaded apartment the calls made into it meanwhile are
   serviced (and its posted messages dispatched). RPC_S_CALLPENDING on time-out. */
HRESULT WINAPI CoWaitForMultipleHandles(DWORD dwFlags, DWORD dwTimeout, ULONG cHandles,
                                        LPHANDLE pHandles, LPDWORD lpdwindex);

/* Call cancellation: a thread that enabled it can have its pending (or next) outgoing
   cross-apartment call cancelled by CoCancelCall; the call then fails with RPC_E_CALL_CANCELED.
   The request stays in force until the thread disables cancellation. */
HRESULT WINAPI CoEnableCallCancellation(LPVOID pReserved);
HRESULT WINAPI CoDisableCallCancellation(LPVOID pReserved);
HRESULT WINAPI CoCancelCall(DWORD dwThreadId, ULONG ulTimeout);
}
