/* IUnknown and IClassFactory: abstract classes holding exactly COM's vtable slots. */
#pragma once

#include "guiddef.h"
#include "winerror.h"

#include <type_traits>

#define STDMETHODCALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0
#define STDAPI extern "C" HRESULT STDMETHODCALLTYPE
#define STDAPI_(type) extern "C" type STDMETHODCALLTYPE

/* No interface has a virtual destructor: the vtable holds the interface's slots and nothing more,
   so objects are destroyed only through Release. */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

WINAPI_INTERFACE_ID(IUnknown, "00000000-0000-0000-C000-000000000046");
struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;

    template <class Q>
    HRESULT QueryInterface(Q** pp) {
        return QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(pp));
    }
};
typedef IUnknown* LPUNKNOWN;

WINAPI_INTERFACE_ID(IClassFactory, "00000001-0000-0000-C000-000000000046");
struct IClassFactory : IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};
typedef IClassFactory* LPCLASSFACTORY;

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
