// The COM server against the protocol library's own session, in the same run: STATUS round trips
// early bound through IVanta and late bound through IDispatch by name, from an apartment-threaded
// client whose sink receives each reply as OnIncomingMessage.
#include "VantaProtocol_i.h"

#include <unitsim/virtual_unit.h>
#include <vantaproto/VantaSession.h>

#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr DWORD kReplyWaitMs = 10000;

unitsim::VirtualUnit& Unit() {
    static auto* unit = [] {
        auto* u = new unitsim::VirtualUnit(unitsim::Config{});
        u->start();
        return u;
    }();
    return *unit;
}

// The baseline: the protocol library's session, counting replies.
class CountingSession : public VantaSession {
public:
    using VantaSession::VantaSession;
    void WaitForMessages(uint64_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_messages >= count; });
    }

protected:
    void OnMessageReceived(const VTRecvCommand&) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_messages;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_messages = 0;
};

void BM_StatusRoundTrip_Session(benchmark::State& state) {
    CountingSession session("127.0.0.1", Unit().port(), "127.0.0.1", 0);
    uint64_t sent = 0;
    for (auto _ : state) {
        session.Status();
        session.WaitForMessages(++sent);
    }
    session.Stop(0);
    state.SetItemsProcessed(state.iterations());
}

// Counts OnIncomingMessage on the client's thread.
class Sink final : public IDispatch {
public:
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<uint64_t> messages{0};
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IVantaEvents) {
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (id == DISPID__IVantaEvents_OnIncomingMessage) {
            ++messages;
            SetEvent(wake);
        }
        return S_OK;
    }
    bool WaitFor(uint64_t count) {
        ULONGLONG end = GetTickCount64() + kReplyWaitMs;
        while (messages < count) {
            if (GetTickCount64() > end)
                return false;
            DWORD index;
            CoWaitForMultipleHandles(0, kReplyWaitMs, 1, &wake, &index);
        }
        return true;
    }
};

// One Vanta object with a session and a sink, made on the benchmark's (apartment) thread.
struct Client {
    Client() {
        CLSID clsid;
        CLSIDFromProgID(u"VantaProtocol.Vanta", &clsid);
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IVanta,
                         reinterpret_cast<void**>(&vanta));
        IConnectionPointContainer* c = nullptr;
        vanta->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&c));
        c->FindConnectionPoint(DIID__IVantaEvents, &point);
        c->Release();
        point->Advise(&sink, &cookie);
        BSTR host = SysAllocString(u"127.0.0.1");
        vanta->StartSession(host, Unit().port(), 0);
        SysFreeString(host);
    }
    ~Client() {
        vanta->StopSession();
        point->Unadvise(cookie);
        point->Release();
        vanta->Release();
    }
    IVanta* vanta = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    Sink sink;
};

void BM_StatusRoundTrip_EarlyBound(benchmark::State& state) {
    Client client;
    uint64_t sent = 0;
    for (auto _ : state) {
        if (FAILED(client.vanta->SendStatus()) || !client.sink.WaitFor(++sent)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_StatusRoundTrip_DispatchByName(benchmark::State& state) {
    Client client;
    uint64_t sent = 0;
    std::u16string name = u"SendStatus";
    for (auto _ : state) {
        // A script looks the name up on every call.
        LPOLESTR names[] = {name.data()};
        DISPID id = 0;
        client.vanta->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        HRESULT hr = client.vanta->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                          nullptr, nullptr, nullptr);
        if (FAILED(hr) || !client.sink.WaitFor(++sent)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// The same comparisons paired: each iteration makes one round trip through the session and one
// through COM, so both see the same load on a busy machine; the counters carry both rates.
void Paired(benchmark::State& state, bool byName) {
    using Clock = std::chrono::steady_clock;
    CountingSession session("127.0.0.1", Unit().port(), "127.0.0.1", 0);
    Client client;
    std::u16string name = u"SendStatus";
    uint64_t sessionSent = 0, comSent = 0;
    Clock::duration sessionTime{}, comTime{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        session.Status();
        session.WaitForMessages(++sessionSent);
        auto t1 = Clock::now();
        HRESULT hr;
        if (byName) {
            LPOLESTR names[] = {name.data()};
            DISPID id = 0;
            client.vanta->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            hr = client.vanta->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                      nullptr, nullptr, nullptr);
        } else {
            hr = client.vanta->SendStatus();
        }
        if (FAILED(hr) || !client.sink.WaitFor(++comSent)) {
            state.SkipWithError("no reply");
            break;
        }
        auto t2 = Clock::now();
        sessionTime += t1 - t0;
        comTime += t2 - t1;
    }
    session.Stop(0);
    const double n = static_cast<double>(state.iterations());
    const double sessionRate = n / std::chrono::duration<double>(sessionTime).count();
    const double comRate = n / std::chrono::duration<double>(comTime).count();
    state.counters["session_per_s"] = sessionRate;
    state.counters["com_per_s"] = comRate;
    state.counters["ratio"] = comRate / sessionRate;
}

void BM_Paired_EarlyBound(benchmark::State& state) {
    Paired(state, false);
}
void BM_Paired_DispatchByName(benchmark::State& state) {
    Paired(state, true);
}

BENCHMARK(BM_StatusRoundTrip_Session)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StatusRoundTrip_EarlyBound)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StatusRoundTrip_DispatchByName)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Paired_EarlyBound)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_Paired_DispatchByName)->UseRealTime()->MinTime(3.0);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end())
                rates[run.benchmark_name()] = items->second;
            auto ratio = run.counters.find("ratio");
            if (ratio != run.counters.end())
                rates[run.benchmark_name()] = ratio->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

double RateOf(const std::map<std::string, double>& rates, const std::string& prefix) {
    for (const auto& [name, rate] : rates)
        if (name.rfind(prefix, 0) == 0)
            return rate;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A registry of the run's own, with the server registered into it.
    char dir[] = "/tmp/bench-com-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    setenv("WINAPI_REGISTRY", (std::string(dir) + "/registry.reg").c_str(), 1);
    HMODULE server = LoadLibraryA(VANTAPROTOCOL_PATH);
    auto registerServer = server ? reinterpret_cast<LPFNREGISTERSERVER>(reinterpret_cast<void*>(
                                       GetProcAddress(server, "DllRegisterServer")))
                                 : nullptr;
    if (!registerServer || FAILED(registerServer())) {
        std::fprintf(stderr, "cannot register %s\n", VANTAPROTOCOL_PATH);
        return 1;
    }
    // --mta: the client thread joins the multithreaded apartment, so events reach the sink on the
    // session's threads directly instead of through the apartment's message loop.
    bool mta = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--mta") {
            mta = true;
            for (int k = i; k + 1 < argc; ++k)
                argv[k] = argv[k + 1];
            --argc;
            break;
        }
    }
    CoInitializeEx(nullptr, mta ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
    std::printf("client apartment: %s\n", mta ? "multithreaded" : "apartment-threaded");
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& r = reporter.rates;
    const double session = RateOf(r, "BM_StatusRoundTrip_Session");
    const double early = RateOf(r, "BM_StatusRoundTrip_EarlyBound");
    const double late = RateOf(r, "BM_StatusRoundTrip_DispatchByName");
    if (session > 0 && early > 0 && late > 0) {
        std::printf(
            "STATUS round trips, one run after another: session %.0f/s, early bound "
            "%.0f/s (ratio %.2f), IDispatch by name %.0f/s (ratio %.2f)\n",
            session, early, early / session, late, late / session);
    }
    const double pairedEarly = RateOf(r, "BM_Paired_EarlyBound");
    const double pairedLate = RateOf(r, "BM_Paired_DispatchByName");
    if (pairedEarly > 0 && pairedLate > 0) {
        std::printf(
            "STATUS round trips paired with the session: early bound ratio %.2f, "
            "IDispatch by name ratio %.2f\n",
            pairedEarly, pairedLate);
    }
    CoUninitialize();
    Unit().stop();
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
