// Vanta: session control with COM's error reporting, and events delivered to the sinks through
// the global interface table.
#include "CVanta.h"

#include "CVantaMessage.h"

#include <oleauto.h>
#include <vantaproto/IpHelper.h>
#include <vantaproto/VTException.h>
#include <vantaproto/VTLog.h>

#include <winsock2.h>

#include <atomic>
#include <cstdio>
#include <new>

using namespace vantacom;

// ---- Enumerators ------------------------------------------------------------------------------

namespace {

// A snapshot enumerator; each handed-out element carries a reference for the caller.
template <class Enum, class Item, const IID& Iid>
class SnapshotEnum final : public Enum {
public:
    SnapshotEnum(std::vector<Item> items, size_t at = 0) : m_items(std::move(items)), m_at(at) {
        for (auto& item : m_items)
            Unknown(item)->AddRef();
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == Iid) {
            *ppv = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched))
            return E_POINTER;
        ULONG n = 0;
        while (n < count && m_at < m_items.size()) {
            out[n] = m_items[m_at++];
            Unknown(out[n])->AddRef();
            ++n;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        size_t left = m_items.size() - m_at;
        m_at += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        m_at = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** ppEnum) override {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = new (std::nothrow) SnapshotEnum(m_items, m_at);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~SnapshotEnum() {
        for (auto& item : m_items)
            Unknown(item)->Release();
    }
    static IUnknown* Unknown(IConnectionPoint* p) { return p; }
    static IUnknown* Unknown(const CONNECTDATA& d) { return d.pUnk; }

    std::atomic<ULONG> m_refs{1};
    std::vector<Item> m_items;
    size_t m_at;
};

using ConnectionPointEnum =
    SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
using ConnectionEnum = SnapshotEnum<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;

}  // namespace

// ---- The connection point of _IVantaEvents
// -------------------------------------------------------

// Lives inside its container and counts on the container's references.
class CVanta::EventsPoint final : public IConnectionPoint {
public:
    explicit EventsPoint(CVanta* owner) : m_owner(owner) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_owner->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_owner->Release(); }

    STDMETHODIMP GetConnectionInterface(IID* pIID) override {
        if (!pIID)
            return E_POINTER;
        *pIID = DIID__IVantaEvents;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (!ppCPC)
            return E_POINTER;
        *ppCPC = static_cast<IConnectionPointContainer*>(m_owner);
        m_owner->AddRef();
        return S_OK;
    }
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        if (!pUnkSink || !pdwCookie)
            return E_POINTER;
        *pdwCookie = 0;
        IDispatch* sink = nullptr;
        if (FAILED(pUnkSink->QueryInterface(DIID__IVantaEvents, reinterpret_cast<void**>(&sink))) &&
            FAILED(pUnkSink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&sink))))
            return CONNECT_E_CANNOTCONNECT;
        DWORD cookie = 0;
        HRESULT hr = m_owner->m_git->RegisterInterfaceInGlobal(sink, IID_IDispatch, &cookie);
        sink->Release();
        if (FAILED(hr))
            return hr;
        EnterCriticalSection(&m_owner->m_sinkLock);
        m_owner->m_sinks.push_back(cookie);
        LeaveCriticalSection(&m_owner->m_sinkLock);
        *pdwCookie = cookie;
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD dwCookie) override {
        bool found = false;
        EnterCriticalSection(&m_owner->m_sinkLock);
        for (auto it = m_owner->m_sinks.begin(); it != m_owner->m_sinks.end(); ++it) {
            if (*it == dwCookie) {
                m_owner->m_sinks.erase(it);
                found = true;
                break;
            }
        }
        LeaveCriticalSection(&m_owner->m_sinkLock);
        if (!found)
            return CONNECT_E_NOCONNECTION;
        m_owner->m_git->RevokeInterfaceFromGlobal(dwCookie);
        return S_OK;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        EnterCriticalSection(&m_owner->m_sinkLock);
        std::vector<DWORD> cookies = m_owner->m_sinks;
        LeaveCriticalSection(&m_owner->m_sinkLock);
        std::vector<CONNECTDATA> connections;
        for (DWORD cookie : cookies) {
            IUnknown* sink = nullptr;
            if (SUCCEEDED(m_owner->m_git->GetInterfaceFromGlobal(cookie, IID_IUnknown,
                                                                 reinterpret_cast<void**>(&sink))))
                connections.push_back(CONNECTDATA{sink, cookie});
        }
        *ppEnum = new (std::nothrow) ConnectionEnum(connections);
        for (auto& c : connections)
            c.pUnk->Release();  // the enumerator holds its own references
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    CVanta* m_owner;
};

// ---- Object ------------------------------------------------------------------------------------

CVanta::CVanta() : DualObject(DispatchTable_IVanta, IID_IVanta) {
    InitializeCriticalSection(&m_sinkLock);
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                     IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&m_git));
    m_point = std::make_unique<EventsPoint>(this);
}

CVanta::~CVanta() {
    // The last reference went while a session runs: stop it before it goes.
    if (m_session) {
        std::string failure;
        if (!EndSession(false, failure))
            VTLOG(vtlog::kSession, "ending the session on release: %s", failure.c_str());
    }
    std::vector<DWORD> sinks;
    EnterCriticalSection(&m_sinkLock);
    sinks.swap(m_sinks);
    LeaveCriticalSection(&m_sinkLock);
    for (DWORD cookie : sinks)
        m_git->RevokeInterfaceFromGlobal(cookie);
    if (m_git)
        m_git->Release();
    DeleteCriticalSection(&m_sinkLock);
}

void* CVanta::QueryMore(REFIID riid) {
    if (riid == IID_IConnectionPointContainer)
        return static_cast<IConnectionPointContainer*>(this);
    return nullptr;
}

STDMETHODIMP CVanta::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) ConnectionPointEnum({m_point.get()});
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CVanta::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    if (riid != DIID__IVantaEvents)
        return CONNECT_E_NOCONNECTION;
    *ppCP = m_point.get();
    AddRef();
    return S_OK;
}

// ---- Session control ---------------------------------------------------------------------------

HRESULT CVanta::Start(BSTR host, LONG unitPort, const char* localAddress, LONG localPort) {
    if (m_session)
        return Fail(kProgIdVanta, E_FAIL, kTextSessionStarted);
    if (unitPort < 0 || unitPort > kMaxPort || localPort < 0 || localPort > kMaxPort)
        return Fail(kProgIdVanta, E_INVALIDARG, kTextPortRange);
    std::string name;
    ToAnsi(host, name);
    // A name that does not resolve would leave the unit's address 0.0.0.0, which reaches this
    // computer: the session would talk to itself.
    unsigned long unit = inet_addr(name.c_str());
    if (unit == INADDR_NONE && name != "255.255.255.255") {
        hostent* entry = name.empty() ? nullptr : gethostbyname(name.c_str());
        unit = (entry && entry->h_addr_list && entry->h_addr_list[0])
                   ? *reinterpret_cast<in_addr_t*>(entry->h_addr_list[0])
                   : INADDR_ANY;
    }
    if (unit == INADDR_ANY)
        return Fail(kProgIdVanta, E_FAIL, kTextUnresolvedUnit);
    in_addr unitAddress{};
    unitAddress.s_addr = static_cast<in_addr_t>(unit);
    std::string unitDotted = inet_ntoa(unitAddress);
    // Without a given local address, listen on the one that faces the unit: the host name's
    // address may be a loopback one (127.0.1.1) that a real unit cannot reach.
    std::string local = localAddress ? localAddress : "";
    if (!localAddress) {
        IpHelper helper;
        if (helper.LocalAddressTowards(unitDotted.c_str(), local) != 0)
            local.clear();
    }
    try {
        const auto unitPortNumber = static_cast<unsigned short>(unitPort);
        const auto localPortNumber = static_cast<unsigned short>(localPort);
        std::unique_ptr<EventingSession> session;
        if (local.empty())
            session.reset(new (std::nothrow)
                              EventingSession(this, name.c_str(), unitPortNumber, localPortNumber));
        else
            session.reset(new (std::nothrow) EventingSession(this, name.c_str(), unitPortNumber,
                                                             local.c_str(), localPortNumber));
        if (!session)
            return Fail(kProgIdVanta, E_POINTER, kTextMemory);
        EnterCriticalSection(&m_sinkLock);
        m_abandon = false;
        LeaveCriticalSection(&m_sinkLock);
        m_session = std::move(session);
        return S_OK;
    } catch (const CVTSocketException& e) {
        return Fail(kProgIdVanta, E_FAIL, e.message());
    } catch (const CVTException& e) {
        return Fail(kProgIdVanta, E_FAIL, e.message());
    } catch (const std::bad_alloc&) {
        return Fail(kProgIdVanta, E_POINTER, kTextMemory);
    } catch (...) {
        return Fail(kProgIdVanta, E_FAIL, kTextProjectName);
    }
}

STDMETHODIMP CVanta::StartSession(BSTR vantainetname, LONG vantaportnum, LONG localportnum) {
    return Start(vantainetname, vantaportnum, nullptr, localportnum);
}

STDMETHODIMP CVanta::StartSession2(BSTR VantexName, LONG VantexPortNum, BSTR LocalIP,
                                   LONG localportnum) {
    std::string local;
    ToAnsi(LocalIP, local);
    if (m_session)
        return Fail(kProgIdVanta, E_FAIL, kTextSessionStarted);
    // A missing local address listens on any, as the constructor without one does.
    return Start(VantexName, VantexPortNum, LocalIP ? local.c_str() : "", localportnum);
}

bool CVanta::EndSession(bool fromStop, std::string& failure) {
    // Deliveries under way are abandoned: their threads must end for the listener to stop, and
    // the client's thread, which would serve them, is busy here.
    EnterCriticalSection(&m_sinkLock);
    m_abandon = true;
    for (DWORD thread : m_delivering)
        CoCancelCall(thread, 0);
    LeaveCriticalSection(&m_sinkLock);

    // StopSession closes only a unit that answers a ping; a release closes as the session's
    // destructor would.
    int sendClose = 1;
    if (fromStop) {
        IpHelper helper;
        const std::string unit = m_session->UnitAddress().DottedText();
        sendClose = helper.Ping(unit.c_str(), kStopPingTimeoutMs) == 0 ? 1 : 0;
    }
    try {
        // The CLOSE the session's destructor would send is sent below, where its failure can
        // be reported; the destructor is told to send nothing.
        m_session->Stop(0);
    } catch (const CVTException& e) {
        failure = e.message();
        EnterCriticalSection(&m_sinkLock);
        m_abandon = false;
        LeaveCriticalSection(&m_sinkLock);
        return false;  // nothing is torn down yet: the session stays
    }
    bool ok = true;
    try {
        if (fromStop)
            Sleep(kStopPauseMs);
        if (sendClose && m_session->Started())
            m_session->Close();
    } catch (const CVTException& e) {
        failure = e.message();
        ok = false;
    } catch (...) {
        failure = Text(kTextProjectName);
        ok = false;
    }
    // Stopped and told not to send: the destructor has nothing left that can fail.
    try {
        m_session.reset();
    } catch (...) {
    }
    m_session.reset();
    return ok;
}

STDMETHODIMP CVanta::StopSession() {
    if (!m_session)
        return Fail(kProgIdVanta, E_POINTER, kTextNoSession);
    std::string failure;
    if (!EndSession(true, failure))
        return Fail(kProgIdVanta, E_FAIL, failure.empty() ? Text(kTextProjectName) : failure);
    return S_OK;
}

template <class Command>
HRESULT CVanta::Send(Command&& command) {
    if (!m_session)
        return Fail(kProgIdVanta, E_FAIL, kTextNoSession);
    try {
        command(*m_session);
        return S_OK;
    } catch (const CVTSocketException& e) {
        return Fail(kProgIdVanta, E_FAIL, e.message());
    } catch (const CVTException& e) {
        return Fail(kProgIdVanta, E_FAIL, e.message());
    } catch (const std::bad_alloc&) {
        return Fail(kProgIdVanta, E_OUTOFMEMORY, kTextMemory);
    } catch (...) {
        return Fail(kProgIdVanta, E_FAIL, kTextProjectName);
    }
}

STDMETHODIMP CVanta::SendStatus() {
    return Send([](VantaSession& s) { s.Status(); });
}
STDMETHODIMP CVanta::SendClose() {
    return Send([](VantaSession& s) { s.Close(); });
}
STDMETHODIMP CVanta::SendReset() {
    return Send([](VantaSession& s) { s.Reset(); });
}
STDMETHODIMP CVanta::Capture(VantaPictureSize pic) {
    return Send([pic](VantaSession& s) { s.Capture(pic); });
}
STDMETHODIMP CVanta::Get(VantaPictureSize pic) {
    return Send([pic](VantaSession& s) { s.Get(pic); });
}

HRESULT CVanta::SendTo(bool capture, VantaPictureSize pic, BSTR server, LONG port) {
    if (!m_session)
        return Fail(kProgIdVanta, E_FAIL, kTextNoSession);
    if (port < 0 || port > kMaxPort)
        return Fail(kProgIdVanta, E_INVALIDARG, kTextPortRange);
    std::string host;
    bool given = ToAnsi(server, host);
    return Send([&](VantaSession& s) {
        VTInetAddress target(given ? host.c_str() : nullptr, static_cast<unsigned short>(port));
        if (capture)
            s.CaptureTo(pic, target);
        else
            s.GetTo(pic, target);
    });
}

STDMETHODIMP CVanta::CaptureTo(VantaPictureSize pic, BSTR server_name, LONG portnum) {
    return SendTo(true, pic, server_name, portnum);
}
STDMETHODIMP CVanta::GetTo(VantaPictureSize pic, BSTR server_name, LONG portnum) {
    return SendTo(false, pic, server_name, portnum);
}

STDMETHODIMP CVanta::GetParameter(BSTR param_name) {
    if (!m_session)
        return Fail(kProgIdVanta, E_FAIL, kTextNoSession);
    if (!param_name)
        return S_OK;  // a missing name sends nothing
    if (!SafeOnWire(param_name))
        return Fail(kProgIdVanta, E_INVALIDARG, kTextUnsafeText);
    std::string name;
    ToAnsi(param_name, name);
    return Send([&](VantaSession& s) { s.GetParameter(name.c_str()); });
}

STDMETHODIMP CVanta::SetParameter(BSTR param_name, BSTR param_value) {
    if (!m_session)
        return Fail(kProgIdVanta, E_FAIL, kTextNoSession);
    if (!param_name || !param_value)
        return S_OK;  // a missing text sends nothing
    if (!SafeOnWire(param_name) || !SafeOnWire(param_value))
        return Fail(kProgIdVanta, E_INVALIDARG, kTextUnsafeText);
    std::string name, value;
    ToAnsi(param_name, name);
    ToAnsi(param_value, value);
    return Send([&](VantaSession& s) { s.SetParameter(name.c_str(), value.c_str()); });
}

// ---- Properties --------------------------------------------------------------------------------

namespace {
HRESULT TextResult(const std::string& text, BSTR* pVal) {
    *pVal = ToBstr(text);
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

// A property read from the running session: the out-pointer is checked first, then the session.
template <class T, class Read>
HRESULT SessionProperty(EventingSession* session, T* pVal, Read read) {
    if (!pVal)
        return Fail(kProgIdVanta, E_POINTER, kTextInvalidArgument);
    if (!session)
        return Fail(kProgIdVanta, E_FAIL, kTextNoSession);
    try {
        return read(*session, pVal);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
}  // namespace

STDMETHODIMP CVanta::get_LocalIP(BSTR* pVal) {
    return SessionProperty(m_session.get(), pVal, [](EventingSession& session, BSTR* out) {
        return TextResult(session.ReplyAddress().DottedText(), out);
    });
}

STDMETHODIMP CVanta::get_LocalPort(LONG* pVal) {
    return SessionProperty(m_session.get(), pVal, [](EventingSession& session, LONG* out) {
        *out = session.ReplyAddress().Port();
        return S_OK;
    });
}

STDMETHODIMP CVanta::get_VantaIP(BSTR* pVal) {
    return SessionProperty(m_session.get(), pVal, [](EventingSession& session, BSTR* out) {
        return TextResult(session.UnitAddress().DottedText(), out);
    });
}

STDMETHODIMP CVanta::get_VantaPort(LONG* pVal) {
    return SessionProperty(m_session.get(), pVal, [](EventingSession& session, LONG* out) {
        *out = session.UnitAddress().Port();
        return S_OK;
    });
}

STDMETHODIMP CVanta::get_SessionId(BSTR* pVal) {
    return SessionProperty(m_session.get(), pVal, [](EventingSession& session, BSTR* out) {
        return TextResult(session.SessionIdentity().Id(), out);
    });
}

STDMETHODIMP CVanta::get_Started(LONG* pVal) {
    if (!pVal)
        return Fail(kProgIdVanta, E_POINTER, kTextInvalidArgument);
    *pVal = m_session ? -1 : 0;
    return S_OK;
}

// ---- Events ------------------------------------------------------------------------------------

void CVanta::Raise(DISPID event, VARIANT& argument) {
    // Cancellation first, so a stop that finds this thread listed can always end its call.
    CoEnableCallCancellation(nullptr);
    const DWORD self = GetCurrentThreadId();
    std::vector<DWORD> sinks;
    EnterCriticalSection(&m_sinkLock);
    bool go = !m_abandon;
    if (go) {
        m_delivering.insert(self);
        sinks = m_sinks;
    }
    LeaveCriticalSection(&m_sinkLock);
    // The list is copied: a handler may Advise or Unadvise, and no lock is held while it runs.
    for (DWORD cookie : sinks) {
        if (!go)
            break;
        IDispatch* sink = nullptr;
        if (SUCCEEDED(m_git->GetInterfaceFromGlobal(cookie, IID_IDispatch,
                                                    reinterpret_cast<void**>(&sink)))) {
            DISPPARAMS params{&argument, nullptr, 1, 0};
            sink->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                         nullptr, nullptr);
            sink->Release();
        }
        EnterCriticalSection(&m_sinkLock);
        go = !m_abandon;
        LeaveCriticalSection(&m_sinkLock);
    }
    EnterCriticalSection(&m_sinkLock);
    m_delivering.erase(self);
    LeaveCriticalSection(&m_sinkLock);
    CoDisableCallCancellation(nullptr);
}

void CVanta::RaiseMessage(const VTRecvCommand& message) {
    auto* object = new (std::nothrow) CVantaMessage;
    if (!object)
        return;
    object->Assign(message);
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_DISPATCH;
    argument.pdispVal = static_cast<IDispatch*>(object);
    Raise(DISPID__IVantaEvents_OnIncomingMessage, argument);
    object->Release();
}

void CVanta::RaiseNumber(DISPID event, LONG value) {
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_I4;
    argument.lVal = value;
    Raise(event, argument);
}

// ---- EventingSession ---------------------------------------------------------------------------

namespace {
// Each delivery runs in the multithreaded apartment; a failure is logged and dropped, as nothing
// may leave a connection thread.
template <class Body>
void Deliver(const char* what, Body&& body) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        body();
    } catch (...) {
        VTLOG(vtlog::kSession, "event %s dropped: delivery failed", what);
    }
    if (SUCCEEDED(init))
        CoUninitialize();
}
}  // namespace

void EventingSession::OnMessageReceived(const VTRecvCommand& message) {
    Deliver("OnIncomingMessage", [&] { m_owner->RaiseMessage(message); });
}

void EventingSession::OnImageDownloadStarted(int32_t declaredLength) {
    Deliver("ImageDownloadStarted", [&] {
        m_owner->RaiseNumber(DISPID__IVantaEvents_ImageDownloadStarted, declaredLength);
    });
}

void EventingSession::OnImageDownloadProgress(int32_t chunkBytes) {
    Deliver("ImageDownloadProgress",
            [&] { m_owner->RaiseNumber(DISPID__IVantaEvents_ImageDownloadProgress, chunkBytes); });
}
