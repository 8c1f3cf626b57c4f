// What every class of the server shares: the module's handle and object count, error objects
// with string-table texts, BSTR conversions and the dual-interface object base.
#pragma once

#include "VantaProtocol_i.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <string>

namespace vantacom {

// String-table ids.
enum TextId : UINT {
    kTextProjectName = 100,
    kTextSessionStarted = 101,
    kTextMemory = 102,
    kTextNoSession = 103,
    kTextInvalidArgument = 104,
    kTextInvalidAddress = 105,
    kTextNoLocalAddress = 106,
    kTextUnsafeText = 107,
    kTextPortRange = 108,
    kTextUnresolvedUnit = 109,
};

inline constexpr char kProgIdVanta[] = "VantaProtocol.Vanta.1";
inline constexpr char kProgIdMessage[] = "VantaProtocol.VantaMessage.1";
inline constexpr char kProgIdHelper[] = "VantaProtocol.VantaHelper.1";

// The server's own module handle (for its resources) and the lock/object count.
HMODULE Module();
void ObjectCreated();
void ObjectDestroyed();
LONG LiveObjectsAndLocks();
void LockModule(bool lock);

// Sets the thread's error object (source `progId`, GUID_NULL, no help) and returns `hr`.
HRESULT Fail(const char* progId, HRESULT hr, const std::string& description);
HRESULT Fail(const char* progId, HRESULT hr, TextId text);
// The string-table text, or "Unknown Error" when it is missing.
std::string Text(TextId id);

// BSTR to ANSI; false for a null BSTR ("missing text").
bool ToAnsi(BSTR text, std::string& out);
// ANSI to a new BSTR; null when it cannot be allocated.
BSTR ToBstr(const std::string& ansi);
// Whether a text can travel inside one request line.
bool SafeOnWire(BSTR text);

// Reference counting, IUnknown/IDispatch/ISupportErrorInfo for one dual interface.
template <class Interface>
class DualObject : public Interface, public ISupportErrorInfo {
public:
    DualObject(const DISPATCH_TABLE& table, const IID& iid) : table_(table), iid_(iid) {
        ObjectCreated();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_)
            *ppv = static_cast<Interface*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppv = static_cast<ISupportErrorInfo*>(this);
        else
            *ppv = QueryMore(riid);
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
        HRESULT hr = LoadRegTypeLib(LIBID_VANTAPROTOCOLLib, 1, 0, 0, &lib);
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

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == iid_ ? S_OK : S_FALSE;
    }

protected:
    virtual ~DualObject() { ObjectDestroyed(); }
    virtual void* QueryMore(REFIID) { return nullptr; }
    virtual void Destroy() { delete this; }

private:
    std::atomic<ULONG> refs_{1};
    const DISPATCH_TABLE& table_;
    const IID iid_;
};

}  // namespace vantacom
