// The thread's COM error object: CreateErrorInfo, SetErrorInfo, GetErrorInfo.
#include <objbase.h>

#include <atomic>

namespace {

thread_local IErrorInfo* t_errorInfo = nullptr;

// Releases the thread's error object when the thread ends.
struct ErrorSlotCleanup {
    ~ErrorSlotCleanup() {
        if (t_errorInfo)
            t_errorInfo->Release();
        t_errorInfo = nullptr;
    }
};
thread_local ErrorSlotCleanup t_cleanup;

BSTR Copy(BSTR s) {
    return s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
}

class ErrorObject final : public IErrorInfo, public ICreateErrorInfo {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            *ppv = static_cast<IErrorInfo*>(this);
        } else if (riid == IID_ICreateErrorInfo) {
            *ppv = static_cast<ICreateErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
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

    STDMETHODIMP GetGUID(GUID* pGUID) override {
        if (!pGUID)
            return E_INVALIDARG;
        *pGUID = guid_;
        return S_OK;
    }
    STDMETHODIMP GetSource(BSTR* p) override { return Out(source_, p); }
    STDMETHODIMP GetDescription(BSTR* p) override { return Out(description_, p); }
    STDMETHODIMP GetHelpFile(BSTR* p) override { return Out(helpFile_, p); }
    STDMETHODIMP GetHelpContext(DWORD* p) override {
        if (!p)
            return E_INVALIDARG;
        *p = helpContext_;
        return S_OK;
    }

    STDMETHODIMP SetGUID(REFGUID rguid) override {
        guid_ = rguid;
        return S_OK;
    }
    STDMETHODIMP SetSource(LPOLESTR s) override { return In(source_, s); }
    STDMETHODIMP SetDescription(LPOLESTR s) override { return In(description_, s); }
    STDMETHODIMP SetHelpFile(LPOLESTR s) override { return In(helpFile_, s); }
    STDMETHODIMP SetHelpContext(DWORD c) override {
        helpContext_ = c;
        return S_OK;
    }

private:
    ~ErrorObject() {
        SysFreeString(source_);
        SysFreeString(description_);
        SysFreeString(helpFile_);
    }
    static HRESULT Out(BSTR value, BSTR* p) {
        if (!p)
            return E_INVALIDARG;
        *p = Copy(value);
        return (value && !*p) ? E_OUTOFMEMORY : S_OK;
    }
    static HRESULT In(BSTR& field, LPOLESTR s) {
        BSTR fresh = s ? SysAllocString(s) : nullptr;
        if (s && !fresh)
            return E_OUTOFMEMORY;
        SysFreeString(field);
        field = fresh;
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    GUID guid_{};
    BSTR source_ = nullptr;
    BSTR description_ = nullptr;
    BSTR helpFile_ = nullptr;
    DWORD helpContext_ = 0;
};

}  // namespace

extern "C" {

HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (!pperrinfo)
        return E_INVALIDARG;
    auto* object = new (std::nothrow) ErrorObject;
    if (!object) {
        *pperrinfo = nullptr;
        return E_OUTOFMEMORY;
    }
    *pperrinfo = object;
    return S_OK;
}

HRESULT WINAPI SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
    (void)&t_cleanup;
    if (perrinfo)
        perrinfo->AddRef();
    IErrorInfo* old = t_errorInfo;
    t_errorInfo = perrinfo;
    if (old)
        old->Release();
    return S_OK;
}

// Hands the caller the thread's error object and clears it; S_FALSE when there is none.
HRESULT WINAPI GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
    if (!pperrinfo)
        return E_INVALIDARG;
    *pperrinfo = t_errorInfo;
    t_errorInfo = nullptr;
    return *pperrinfo ? S_OK : S_FALSE;
}

}  // extern "C"
