/* Connection points: the container, the point and the enumerators of connections. */
#pragma once

#include "oaidl.h"

typedef struct tagCONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
} CONNECTDATA, *LPCONNECTDATA;

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IConnectionPointContainer;

WINAPI_INTERFACE_ID(IEnumConnections, "B196B287-BAB4-101A-B69C-00AA00341D07");
struct IEnumConnections : IUnknown {
    STDMETHOD(Next)(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cConnections) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumConnections** ppEnum) PURE;
};

WINAPI_INTERFACE_ID(IConnectionPoint, "B196B286-BAB4-101A-B69C-00AA00341D07");
struct IConnectionPoint : IUnknown {
    STDMETHOD(GetConnectionInterface)(IID* pIID) PURE;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) PURE;
    STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) PURE;
    STDMETHOD(Unadvise)(DWORD dwCookie) PURE;
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) PURE;
};

WINAPI_INTERFACE_ID(IEnumConnectionPoints, "B196B285-BAB4-101A-B69C-00AA00341D07");
struct IEnumConnectionPoints : IUnknown {
    STDMETHOD(Next)(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) PURE;
    STDMETHOD(Skip)(ULONG cConnections) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumConnectionPoints** ppEnum) PURE;
};

WINAPI_INTERFACE_ID(IConnectionPointContainer, "B196B284-BAB4-101A-B69C-00AA00341D07");
struct IConnectionPointContainer : IUnknown {
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) PURE;
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) PURE;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
