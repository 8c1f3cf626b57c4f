// In-process COM server support: module handle and lock count, class factories, self
// registration through the registrar and the type library, and the dual-interface object base.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winapi_com.h>

#include <atomic>
#include <new>
#include <span>
#include <string>

namespace comserver {

// The handle of the module this library is linked into (for its resources).
HMODULE Module();
// Live objects and server locks; the module may unload when both are zero.
void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);
LONG LiveObjectsAndLocks();
// DllCanUnloadNow's answer.
HRESULT CanUnloadNow();

// String-table text of the module, or `fallback` when it is missing.
std::string ModuleText(UINT id, const char* fallback);

// DllRegisterServer: runs each registry script, then registers the module's type library.
HRESULT RegisterServer(std::span<const UINT> scripts);
// DllUnregisterServer: runs each script to remove its keys and unregisters the type library;
// a library that was not registered is no failure. Returns the first failure.
HRESULT UnregisterServer(std::span<const UINT> scripts, HRESULT (*unregisterTypeLibrary)());

// A static class factory for `Object`; a client's reference to it holds the module like a lock.
template <class Object>
class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        LockModule(true);
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        LockModule(false);
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        try {
            auto* object = new (std::nothrow) Object;
            if (!object)
                return E_OUTOFMEMORY;
            HRESULT hr = object->QueryInterface(riid, ppv);
            object->Release();
            return hr;
        } catch (...) {
            return E_FAIL;
        }
    }
    STDMETHODIMP LockServer(BOOL fLock) override {
        LockModule(fLock != FALSE);
        return S_OK;
    }
};

// One creatable class: its CLSID and its factory.
struct ClassEntry {
    const CLSID* clsid;
    IClassFactory* factory;
};

// DllGetClassObject over the server's classes.
HRESULT GetClassObject(std::span<const ClassEntry> classes, REFCLSID rclsid, REFIID riid,
                       LPVOID* ppv);

// Reference counting, IUnknown and IDispatch (over a generated dispatch table and the
// registered type library `libid`) for one dual interface. Further interfaces come from
// QueryOther; Destroy ends the object when its last reference goes.
template <class Interface>
class DualObject : public Interface {
public:
    DualObject(const DISPATCH_TABLE& table, const IID& iid, const GUID& libid)
        : table_(table), iid_(iid), libid_(libid) {
        ObjectCreated();
    }
    DualObject(const DualObject&) = delete;
    DualObject& operator=(const DualObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_)
            *ppv = static_cast<Interface*>(this);
        else
            *ppv = QueryOther(riid);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0)
            Destroy();
        return left;
    }

    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0)
            return DISP_E_BADINDEX;
        ITypeLib* lib = nullptr;
        HRESULT hr = LoadRegTypeLib(libid_, 1, 0, 0, &lib);
        if (FAILED(hr))
            return hr;
        hr = lib->GetTypeInfoOfGuid(iid_, ppTInfo);
        lib->Release();
        return hr;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                               DISPID* rgDispId) override {
        if (riid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        return DispatchTableGetIDsOfNames(&table_, rgszNames, cNames, rgDispId);
    }
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override {
        if (riid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        return DispatchTableInvoke(&table_, static_cast<Interface*>(this), dispIdMember, wFlags,
                                   pDispParams, pVarResult, pExcepInfo, puArgErr);
    }

protected:
    virtual ~DualObject() { ObjectDestroyed(); }
    virtual void* QueryOther(REFIID) { return nullptr; }
    virtual void Destroy() { delete this; }
    const IID& InterfaceId() const { return iid_; }

private:
    std::atomic<ULONG> refs_{1};
    const DISPATCH_TABLE& table_;
    const IID iid_;
    const GUID libid_;
};

}  // namespace comserver
