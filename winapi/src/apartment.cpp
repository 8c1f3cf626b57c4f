// Apartments: CoInitializeEx/CoUninitialize, the global interface table with its IDispatch proxy
// whose calls run on the registering apartment's thread, waits that service those calls, and call
// cancellation.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr UINT kCallMessage = WM_USER + 0x0C0;
constexpr char kApartmentWindowClass[] = "OleMainThreadWndClass";
// A pumping wait looks at the thread's posted messages at least this often; calls into the
// apartment wake it at once.
constexpr DWORD kPumpSliceMs = 10;

enum AptType { kAptSta = 0, kAptMta = 1 };

struct CallerState;

struct Call {
    std::function<void()> work;  // runs on the apartment's thread
    std::shared_ptr<CallerState> caller;
    enum State { Pending, Running, Done, Abandoned } state = Pending;
    IErrorInfo* error = nullptr;  // the error object the call left, handed to the caller
};

struct Apartment {
    DWORD threadId = 0;
    HWND window = nullptr;
    HANDLE callArrived = nullptr;               // auto-reset; set with every call posted
    std::deque<std::shared_ptr<Call>> pending;  // guarded by CallLock()
    bool alive = true;                          // guarded by CallLock()
};

struct CallerState {
    std::condition_variable changed;  // with CallLock()
    bool cancelEnabled = false;
    bool cancelRequested = false;
};

std::mutex& CallLock() {
    static auto* m = new std::mutex;
    return *m;
}

std::map<DWORD, std::weak_ptr<CallerState>>& Cancellable() {
    static auto* m = new std::map<DWORD, std::weak_ptr<CallerState>>;
    return *m;
}

void EndApartment(const std::shared_ptr<Apartment>& apartment);

struct ThreadState {
    int initCount = 0;
    int type = -1;
    std::shared_ptr<Apartment> sta;
    std::shared_ptr<CallerState> caller = std::make_shared<CallerState>();
    ~ThreadState() {
        if (sta)
            EndApartment(sta);
        std::lock_guard<std::mutex> guard(CallLock());
        Cancellable().erase(GetCurrentThreadId());
    }
};

ThreadState& Current() {
    thread_local ThreadState state;
    return state;
}

void RunOneCall(const std::shared_ptr<Apartment>& apartment) {
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::mutex> guard(CallLock());
        while (!apartment->pending.empty() && !call) {
            call = apartment->pending.front();
            apartment->pending.pop_front();
            if (call->state != Call::Pending)
                call.reset();  // cancelled before it started
        }
        if (!call)
            return;
        call->state = Call::Running;
    }
    SetErrorInfo(0, nullptr);
    call->work();
    IErrorInfo* error = nullptr;
    GetErrorInfo(0, &error);
    std::lock_guard<std::mutex> guard(CallLock());
    if (call->state == Call::Running) {
        call->state = Call::Done;
        call->error = error;
        call->caller->changed.notify_all();
    } else if (error) {
        error->Release();
    }
}

LRESULT CALLBACK ApartmentWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kCallMessage) {
        auto& state = Current();
        if (state.sta)
            RunOneCall(state.sta);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void EndApartment(const std::shared_ptr<Apartment>& apartment) {
    std::deque<std::shared_ptr<Call>> abandoned;
    {
        std::lock_guard<std::mutex> guard(CallLock());
        apartment->alive = false;
        abandoned.swap(apartment->pending);
        for (auto& call : abandoned) {
            if (call->state == Call::Pending) {
                call->state = Call::Abandoned;
                call->caller->changed.notify_all();
            }
        }
    }
    if (apartment->window)
        DestroyWindow(apartment->window);
    apartment->window = nullptr;
}

std::shared_ptr<Apartment> StartApartment() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = ApartmentWindowProc;
        wc.lpszClassName = kApartmentWindowClass;
        RegisterClassA(&wc);
    });
    auto apartment = std::make_shared<Apartment>();
    apartment->threadId = GetCurrentThreadId();
    apartment->callArrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    apartment->window = CreateWindowExA(0, kApartmentWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, nullptr, nullptr);
    if (!apartment->window || !apartment->callArrived)
        return nullptr;
    return apartment;
}

// Runs `work` on the apartment's thread and waits for it; RPC_E_CALL_CANCELED when the caller's
// call is cancelled, RPC_E_DISCONNECTED when the apartment ends first.
HRESULT CallInto(const std::shared_ptr<Apartment>& apartment, std::function<void()> work) {
    auto& self = Current();
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    call->caller = self.caller;
    {
        std::lock_guard<std::mutex> guard(CallLock());
        if (self.caller->cancelEnabled && self.caller->cancelRequested)
            return RPC_E_CALL_CANCELED;
        if (!apartment->alive)
            return RPC_E_DISCONNECTED;
        apartment->pending.push_back(call);
    }
    if (!PostMessageA(apartment->window, kCallMessage, 0, 0)) {
        std::lock_guard<std::mutex> guard(CallLock());
        call->state = Call::Abandoned;
        return RPC_E_DISCONNECTED;
    }
    SetEvent(apartment->callArrived);
    std::unique_lock<std::mutex> lock(CallLock());
    self.caller->changed.wait(lock, [&] {
        return call->state == Call::Done || call->state == Call::Abandoned ||
               (self.caller->cancelEnabled && self.caller->cancelRequested);
    });
    if (call->state == Call::Done) {
        IErrorInfo* error = call->error;
        call->error = nullptr;
        lock.unlock();
        SetErrorInfo(0, error);
        if (error)
            error->Release();
        return S_OK;
    }
    bool cancelled = call->state != Call::Abandoned;
    call->state = Call::Abandoned;
    return cancelled ? RPC_E_CALL_CANCELED : RPC_E_DISCONNECTED;
}

// ---- Global interface table ------------------------------------------------------------------

struct GitEntry {
    IUnknown* object = nullptr;  // guarded by CallLock(); null once revoked
    IID iid{};
    std::shared_ptr<Apartment> apartment;  // null: the multithreaded apartment
};

std::map<DWORD, std::shared_ptr<GitEntry>>& GitEntries() {
    static auto* m = new std::map<DWORD, std::shared_ptr<GitEntry>>;
    return *m;
}

// The registered object with a reference for the caller, or null once revoked.
IUnknown* TakeObject(const std::shared_ptr<GitEntry>& entry) {
    std::lock_guard<std::mutex> guard(CallLock());
    if (entry->object)
        entry->object->AddRef();
    return entry->object;
}

// Holds a by-reference argument's value on the apartment's side of a call.
struct ArgumentCopy {
    std::vector<VARIANT> args;    // reverse order, as given
    std::vector<VARIANT> byrefs;  // values behind by-reference arguments
    std::vector<DISPID> named;
    ~ArgumentCopy() {
        for (auto& v : args)
            if (!(v.vt & VT_BYREF))
                VariantClear(&v);
        for (auto& v : byrefs)
            VariantClear(&v);
    }
};

// An IDispatch whose calls run on the registering apartment's thread.
class DispatchProxy final : public IDispatch {
public:
    explicit DispatchProxy(std::shared_ptr<GitEntry> entry) : entry_(std::move(entry)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    // What a forwarded call leaves behind lives in shared state: a cancelled caller may be gone
    // when its call still finishes on the apartment's thread.
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo)
            return E_POINTER;
        struct Outcome {
            HRESULT result = E_FAIL;
            UINT count = 0;
        };
        auto outcome = std::make_shared<Outcome>();
        HRESULT hr = Forward(
            [outcome](IDispatch* d) { outcome->result = d->GetTypeInfoCount(&outcome->count); });
        if (FAILED(hr))
            return hr;
        *pctinfo = outcome->count;
        return outcome->result;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        // Type information stays in its apartment; a client reads the registered type library.
        if (ppTInfo)
            *ppTInfo = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override {
        if (!rgszNames || !rgDispId)
            return E_POINTER;
        struct Outcome {
            HRESULT result = E_FAIL;
            std::vector<std::u16string> names;
            std::vector<DISPID> ids;
        };
        auto outcome = std::make_shared<Outcome>();
        for (UINT i = 0; i < cNames; ++i)
            outcome->names.emplace_back(rgszNames[i] ? rgszNames[i] : u"");
        outcome->ids.assign(cNames, DISPID_UNKNOWN);
        IID iid = riid;
        HRESULT hr = Forward([outcome, iid, cNames, lcid](IDispatch* d) {
            std::vector<LPOLESTR> pointers;
            for (auto& n : outcome->names)
                pointers.push_back(n.data());
            outcome->result =
                d->GetIDsOfNames(iid, pointers.data(), cNames, lcid, outcome->ids.data());
        });
        if (FAILED(hr))
            return hr;
        std::copy(outcome->ids.begin(), outcome->ids.end(), rgDispId);
        return outcome->result;
    }
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;

private:
    ~DispatchProxy() = default;

    // Runs `body` with the object's IDispatch on its apartment's thread. The state it touches
    // is shared, so a cancelled call leaves nothing dangling behind.
    template <class Body>
    HRESULT Forward(Body&& body) {
        auto entry = entry_;
        HRESULT qi = S_OK;
        auto shared = std::make_shared<Body>(std::forward<Body>(body));
        auto state = std::make_shared<HRESULT>(S_OK);
        HRESULT hr = CallInto(entry->apartment, [entry, shared, state] {
            IUnknown* object = TakeObject(entry);
            if (!object) {
                *state = CO_E_OBJNOTCONNECTED;
                return;
            }
            IDispatch* dispatch = nullptr;
            *state = object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
            object->Release();
            if (SUCCEEDED(*state)) {
                (*shared)(dispatch);
                dispatch->Release();
            }
        });
        if (FAILED(hr))
            return hr;
        qi = *state;
        return qi;
    }

    std::atomic<ULONG> refs_{1};
    std::shared_ptr<GitEntry> entry_;
};

struct InvokeOutcome {
    HRESULT result = E_FAIL;
    VARIANT value{};
    EXCEPINFO excep{};
    UINT argErr = 0;
    ArgumentCopy copy;
    ~InvokeOutcome() {
        VariantClear(&value);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
    }
};

STDMETHODIMP DispatchProxy::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!pDispParams)
        return E_POINTER;
    auto outcome = std::make_shared<InvokeOutcome>();
    VariantInit(&outcome->value);
    UINT count = pDispParams->cArgs;
    outcome->copy.args.resize(count);
    outcome->copy.byrefs.resize(count);
    for (UINT i = 0; i < count; ++i) {
        VARIANT& given = pDispParams->rgvarg[i];
        VariantInit(&outcome->copy.args[i]);
        VariantInit(&outcome->copy.byrefs[i]);
        if (given.vt & VT_BYREF) {
            VARTYPE base = given.vt & ~VT_BYREF;
            HRESULT hr = VariantCopyInd(&outcome->copy.byrefs[i], &given);
            if (FAILED(hr))
                return hr;
            VARIANT& arg = outcome->copy.args[i];
            arg.vt = given.vt;
            arg.byref = base == VT_VARIANT ? static_cast<void*>(&outcome->copy.byrefs[i])
                                           : static_cast<void*>(&outcome->copy.byrefs[i].llVal);
        } else {
            HRESULT hr = VariantCopy(&outcome->copy.args[i], &given);
            if (FAILED(hr))
                return hr;
        }
    }
    for (UINT i = 0; i < pDispParams->cNamedArgs; ++i)
        outcome->copy.named.push_back(pDispParams->rgdispidNamedArgs[i]);
    IID iid = riid;
    bool wantResult = pVarResult != nullptr;
    bool wantExcep = pExcepInfo != nullptr;
    UINT namedCount = pDispParams->cNamedArgs;
    HRESULT hr = Forward([=](IDispatch* d) {
        DISPPARAMS params{outcome->copy.args.data(),
                          namedCount ? outcome->copy.named.data() : nullptr, count, namedCount};
        outcome->result = d->Invoke(dispIdMember, iid, lcid, wFlags, &params,
                                    wantResult ? &outcome->value : nullptr,
                                    wantExcep ? &outcome->excep : nullptr, &outcome->argErr);
    });
    if (FAILED(hr))
        return hr;
    // Back to the caller: by-reference values, the result and the exception.
    for (UINT i = 0; i < count; ++i) {
        VARIANT& given = pDispParams->rgvarg[i];
        if (!(given.vt & VT_BYREF))
            continue;
        VARTYPE base = given.vt & ~VT_BYREF;
        VARIANT& held = outcome->copy.byrefs[i];
        if (base == VT_VARIANT) {
            VariantClear(given.pvarVal);
            *given.pvarVal = held;
            VariantInit(&held);
        } else if (base == VT_BSTR) {
            SysFreeString(*given.pbstrVal);
            *given.pbstrVal = held.bstrVal;
            VariantInit(&held);
        } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
            if (*given.ppunkVal)
                (*given.ppunkVal)->Release();
            *given.ppunkVal = held.punkVal;
            VariantInit(&held);
        } else if (!(base & VT_ARRAY)) {
            switch (base) {
                case VT_I2:
                case VT_UI2:
                case VT_BOOL:
                    *given.piVal = held.iVal;
                    break;
                case VT_UI1:
                case VT_I1:
                    *given.pbVal = held.bVal;
                    break;
                case VT_R8:
                    *reinterpret_cast<double*>(given.byref) = held.dblVal;
                    break;
                default:
                    *given.plVal = held.lVal;
                    break;
            }
        }
    }
    if (pVarResult) {
        VariantClear(pVarResult);
        *pVarResult = outcome->value;
        VariantInit(&outcome->value);
    }
    if (pExcepInfo) {
        *pExcepInfo = outcome->excep;
        outcome->excep = EXCEPINFO{};
    }
    if (puArgErr)
        *puArgErr = outcome->argErr;
    return outcome->result;
}

class GlobalInterfaceTable final : public IGlobalInterfaceTable {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
            *ppv = static_cast<IGlobalInterfaceTable*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // One table per process that lives as long as the process.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) override {
        if (!pUnk || !pdwCookie)
            return E_INVALIDARG;
        auto& self = Current();
        if (self.initCount == 0)
            return CO_E_NOTINITIALIZED;
        void* typed = nullptr;
        HRESULT hr = pUnk->QueryInterface(riid, &typed);
        if (FAILED(hr))
            return hr;
        auto entry = std::make_shared<GitEntry>();
        entry->object = static_cast<IUnknown*>(typed);
        entry->iid = riid;
        entry->apartment = self.sta;
        std::lock_guard<std::mutex> guard(CallLock());
        DWORD cookie = ++nextCookie_;
        GitEntries()[cookie] = entry;
        *pdwCookie = cookie;
        return S_OK;
    }
    STDMETHODIMP RevokeInterfaceFromGlobal(DWORD dwCookie) override {
        IUnknown* object = nullptr;
        {
            std::lock_guard<std::mutex> guard(CallLock());
            auto it = GitEntries().find(dwCookie);
            if (it == GitEntries().end())
                return E_INVALIDARG;
            object = it->second->object;
            it->second->object = nullptr;
            GitEntries().erase(it);
        }
        if (object)
            object->Release();
        return S_OK;
    }
    STDMETHODIMP GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_INVALIDARG;
        *ppv = nullptr;
        auto& self = Current();
        if (self.initCount == 0)
            return CO_E_NOTINITIALIZED;
        std::shared_ptr<GitEntry> entry;
        {
            std::lock_guard<std::mutex> guard(CallLock());
            auto it = GitEntries().find(dwCookie);
            if (it == GitEntries().end())
                return E_INVALIDARG;
            entry = it->second;
        }
        if (!entry->apartment || entry->apartment == self.sta) {
            IUnknown* object = TakeObject(entry);
            if (!object)
                return E_INVALIDARG;
            HRESULT hr = object->QueryInterface(riid, ppv);
            object->Release();
            return hr;
        }
        // Another apartment: only IDispatch crosses, through a proxy.
        if (riid != IID_IDispatch && riid != IID_IUnknown)
            return E_NOINTERFACE;
        {
            std::lock_guard<std::mutex> guard(CallLock());
            if (!entry->apartment->alive)
                return RPC_E_DISCONNECTED;
        }
        auto* proxy = new (std::nothrow) DispatchProxy(entry);
        if (!proxy)
            return E_OUTOFMEMORY;
        *ppv = static_cast<IDispatch*>(proxy);
        return S_OK;
    }

private:
    DWORD nextCookie_ = 0x100;  // guarded by CallLock()
};

}  // namespace

// Used by activation.
IUnknown* WinapiGlobalInterfaceTable() {
    static auto* table = new GlobalInterfaceTable;
    return table;
}
bool WinapiThreadInitialized() {
    return Current().initCount > 0;
}

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD dwCoInit) {
    auto& self = Current();
    int wanted = (dwCoInit & COINIT_APARTMENTTHREADED) ? kAptSta : kAptMta;
    if (self.initCount > 0) {
        if (self.type != wanted)
            return RPC_E_CHANGED_MODE;
        ++self.initCount;
        return S_FALSE;
    }
    if (wanted == kAptSta) {
        self.sta = StartApartment();
        if (!self.sta)
            return E_OUTOFMEMORY;
    }
    self.type = wanted;
    self.initCount = 1;
    return S_OK;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void WINAPI CoUninitialize(void) {
    auto& self = Current();
    if (self.initCount == 0)
        return;
    if (--self.initCount > 0)
        return;
    if (self.sta) {
        EndApartment(self.sta);
        if (self.sta->callArrived)
            CloseHandle(self.sta->callArrived);
        self.sta.reset();
    }
    self.type = -1;
}

HRESULT WINAPI CoGetApartmentType(int* pAptType, int* pAptQualifier) {
    if (!pAptType || !pAptQualifier)
        return E_INVALIDARG;
    auto& self = Current();
    *pAptQualifier = 0;
    if (self.initCount == 0) {
        *pAptType = -1;
        return CO_E_NOTINITIALIZED;
    }
    *pAptType = self.type;
    return S_OK;
}

HRESULT WINAPI CoWaitForMultipleHandles(DWORD dwFlags, DWORD dwTimeout, ULONG cHandles,
                                        LPHANDLE pHandles, LPDWORD lpdwindex) {
    if (!pHandles || !lpdwindex || cHandles == 0 || cHandles >= MAXIMUM_WAIT_OBJECTS)
        return E_INVALIDARG;
    auto& self = Current();
    if (!self.sta) {
        DWORD r =
            WaitForMultipleObjects(cHandles, pHandles, (dwFlags & COWAIT_WAITALL) != 0, dwTimeout);
        if (r == WAIT_TIMEOUT)
            return RPC_S_CALLPENDING;
        if (r == WAIT_FAILED)
            return HRESULT_FROM_WIN32(GetLastError());
        *lpdwindex = r;
        return S_OK;
    }
    auto apartment = self.sta;
    const ULONGLONG start = GetTickCount64();
    std::vector<HANDLE> handles(pHandles, pHandles + cHandles);
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            DispatchMessageA(&msg);
        }
        DWORD r =
            WaitForMultipleObjects(cHandles, handles.data(), (dwFlags & COWAIT_WAITALL) != 0, 0);
        if (r < WAIT_OBJECT_0 + cHandles) {
            *lpdwindex = r;
            return S_OK;
        }
        if (r == WAIT_FAILED)
            return HRESULT_FROM_WIN32(GetLastError());
        ULONGLONG elapsed = GetTickCount64() - start;
        if (dwTimeout != INFINITE && elapsed >= dwTimeout)
            return RPC_S_CALLPENDING;
        DWORD slice = kPumpSliceMs;
        if (dwTimeout != INFINITE && dwTimeout - elapsed < slice)
            slice = static_cast<DWORD>(dwTimeout - elapsed);
        // Either a handle or a call into the apartment ends the slice early.
        handles.push_back(apartment->callArrived);
        WaitForMultipleObjects(cHandles + 1, handles.data(), FALSE, slice);
        handles.pop_back();
    }
}

HRESULT WINAPI CoEnableCallCancellation(LPVOID) {
    auto& self = Current();
    std::lock_guard<std::mutex> guard(CallLock());
    self.caller->cancelEnabled = true;
    self.caller->cancelRequested = false;
    Cancellable()[GetCurrentThreadId()] = self.caller;
    return S_OK;
}

HRESULT WINAPI CoDisableCallCancellation(LPVOID) {
    auto& self = Current();
    std::lock_guard<std::mutex> guard(CallLock());
    self.caller->cancelEnabled = false;
    self.caller->cancelRequested = false;
    Cancellable().erase(GetCurrentThreadId());
    return S_OK;
}

HRESULT WINAPI CoCancelCall(DWORD dwThreadId, ULONG) {
    std::lock_guard<std::mutex> guard(CallLock());
    auto it = Cancellable().find(dwThreadId);
    if (it == Cancellable().end())
        return CO_E_CANCEL_DISABLED;
    auto caller = it->second.lock();
    if (!caller || !caller->cancelEnabled)
        return CO_E_CANCEL_DISABLED;
    caller->cancelRequested = true;
    caller->changed.notify_all();
    return S_OK;
}

}  // extern "C"
