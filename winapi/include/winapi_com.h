/* This layer's COM helpers beside the SDK's: generated dispatch tables, the registry-script
   registrar, and the type-library file format. */
#pragma once

#include "objbase.h"
#include "libloaderapi.h"

/* One member of a dual interface, as the type-library generator emits it. The thunk receives the
   arguments already coerced to `paramTypes` in declaration order (out parameters as VT_BYREF
   variants) and the result variant for an [out, retval] parameter. */
typedef struct tagDISPATCH_MEMBER {
    const char* name;
    DISPID dispid;
    WORD invokeKind; /* INVOKE_FUNC, INVOKE_PROPERTYGET or INVOKE_PROPERTYPUT */
    UINT paramCount;
    const VARTYPE* paramTypes;
    VARTYPE retvalType; /* VT_EMPTY: no [out, retval] */
    HRESULT (*thunk)(void* self, VARIANT* args, VARIANT* retval);
} DISPATCH_MEMBER;

typedef struct tagDISPATCH_TABLE {
    const IID* iid;
    const char* interfaceName;
    const DISPATCH_MEMBER* members;
    UINT memberCount;
} DISPATCH_TABLE;

extern "C" {
/* GetIDsOfNames over a table: names compare without case; one name (member) only, named
   parameters are not supported (DISP_E_UNKNOWNNAME for extra names). */
HRESULT WINAPI DispatchTableGetIDsOfNames(const DISPATCH_TABLE* table, LPOLESTR* rgszNames,
                                          UINT cNames, DISPID* rgDispId);
/* Invoke over a table: checks flags and argument count, coerces positional arguments (reverse
   order, by-reference ones followed), calls the thunk; a failure with an error object fills
   EXCEPINFO and returns DISP_E_EXCEPTION when pExcepInfo is given. */
HRESULT WINAPI DispatchTableInvoke(const DISPATCH_TABLE* table, void* self, DISPID dispIdMember,
                                   WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr);
/* Makes a table known by its IID, so ITypeInfo::Invoke of a loaded type library can use it. */
void WINAPI DispatchTableRegister(const DISPATCH_TABLE* table);

/* Runs a "REGISTRY" resource of the module as a registry script (the registrar's syntax: nested
   keys in braces, "val NAME = s 'text'", "ForceRemove" and "NoRemove" marks), with "%MODULE%"
   replaced by the module's path. bRegister FALSE removes what the script creates. */
HRESULT WINAPI RegistrarRunResource(HMODULE hModule, UINT resourceId, BOOL bRegister);
HRESULT WINAPI RegistrarRunScript(const char* script, const char* modulePath, BOOL bRegister);
}
