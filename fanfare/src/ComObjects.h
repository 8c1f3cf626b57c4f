// PSplash and PAbout: the two creatable classes, each behind one dual interface.
#pragma once

#include "Fanfare_i.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <string>

namespace fanfare {

// The module's handle (its resources), the live-object count and the server locks.
HMODULE Module();
void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);
LONG LiveObjectsAndLocks();
// Makes sure the library's own resources and a widget application are there before any window
// is touched; false when the process runs a non-widget application.
bool EnterModuleState();
// String-table text; empty when missing.
std::string Text(UINT id);

// IUnknown and IDispatch for one dual interface.
template <class Interface>
class DualObject : public Interface {
public:
    DualObject(const DISPATCH_TABLE& table, const IID& iid) : table_(table), iid_(iid) {
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
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
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
        HRESULT hr = LoadRegTypeLib(LIBID_FANFARELib, 1, 0, 0, &lib);
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

private:
    std::atomic<ULONG> refs_{1};
    const DISPATCH_TABLE& table_;
    const IID iid_;
};

// A COM string kept as narrow (ANSI) text; a null string is empty.
std::string Narrow(BSTR text);

class CPSplash final : public DualObject<IPSplash> {
public:
    CPSplash() : DualObject(DispatchTable_IPSplash, IID_IPSplash) {}
    STDMETHODIMP ShowSplashScreen() override;
    STDMETHODIMP put_Version(BSTR newVal) override;
    STDMETHODIMP put_BuildDate(BSTR newVal) override;
    STDMETHODIMP put_ProductName(BSTR newVal) override;

private:
    std::string m_version;
    std::string m_buildDate;
    std::string m_productName;
};

class CPAbout final : public DualObject<IPAbout> {
public:
    CPAbout() : DualObject(DispatchTable_IPAbout, IID_IPAbout) {}
    STDMETHODIMP ShowAboutBox() override;
    STDMETHODIMP put_ProductName(BSTR newVal) override;

private:
    std::string m_productName;
};

}  // namespace fanfare
