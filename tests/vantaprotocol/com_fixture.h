// Shared by the server's tests: a private registry with the server registered, apartment threads,
// a recording event sink, and a raw peer that writes replies to a session's port.
#pragma once

#include "VantaProtocol_i.h"

#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace comtest {

inline constexpr DWORD kEventWaitMs = 20000;
inline constexpr DWORD kPumpSliceMs = 50;

// A registry file of the test's own, and the server registered into it.
class RegisteredServer : public ::testing::Environment {
public:
    void SetUp() override {
        char dir[] = "/tmp/vantaprotocol-registry-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        registry_ = std::string(dir) + "/registry.reg";
        setenv("WINAPI_REGISTRY", registry_.c_str(), 1);
        std::signal(SIGPIPE, SIG_IGN);
        module_ = LoadLibraryA(VANTAPROTOCOL_PATH);
        ASSERT_NE(module_, nullptr);
        ASSERT_EQ(Call("DllRegisterServer"), S_OK);
    }
    static HRESULT Call(const char* name) {
        auto f = reinterpret_cast<LPFNREGISTERSERVER>(
            reinterpret_cast<void*>(GetProcAddress(module_, name)));
        return f ? f() : E_FAIL;
    }
    static HMODULE module_;
    static std::string registry_;
};
inline HMODULE RegisteredServer::module_ = nullptr;
inline std::string RegisteredServer::registry_;

inline std::u16string W(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}
inline std::string N(BSTR s) {
    std::string out;
    for (UINT i = 0; i < SysStringLen(s); ++i)
        out.push_back(static_cast<char>(s[i]));
    return out;
}

// A BSTR owned by the test.
struct Bstr {
    explicit Bstr(const std::string& s) : p(SysAllocString(W(s).c_str())) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(p); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR p = nullptr;
};

// The thread's error object as (source, description); empty when there is none.
inline std::pair<std::string, std::string> TakeError() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info)
        return {};
    BSTR source = nullptr, text = nullptr;
    info->GetSource(&source);
    info->GetDescription(&text);
    std::pair<std::string, std::string> out{N(source), N(text)};
    SysFreeString(source);
    SysFreeString(text);
    info->Release();
    return out;
}

template <class T>
T* Create(const char* progId) {
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(W(progId).c_str(), &clsid), S_OK) << progId;
    T* object = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, uuidof<T>(),
                               reinterpret_cast<void**>(&object)),
              S_OK)
        << progId;
    return object;
}

// Runs `body` on a new thread in its own apartment.
inline void InApartment(DWORD model, const std::function<void()>& body) {
    std::thread t([&] {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, model)));
        body();
        CoUninitialize();
    });
    t.join();
}

// What a sink saw, in order.
struct SeenEvent {
    DISPID id;
    LONG number = 0;
    DWORD thread = 0;
    IVantaMessage* message = nullptr;  // held by the recorder
};

class RecordingSink final : public IDispatch {
public:
    RecordingSink() { wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    // Called inside the handler, on the sink's thread, after recording.
    std::function<void(const SeenEvent&)> onEvent;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IVantaEvents) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        SeenEvent e{id, 0, GetCurrentThreadId(), nullptr};
        if (params && params->cArgs == 1) {
            VARIANT& a = params->rgvarg[0];
            if (a.vt == VT_DISPATCH && a.pdispVal)
                a.pdispVal->QueryInterface(IID_IVantaMessage, reinterpret_cast<void**>(&e.message));
            else if (a.vt == VT_I4)
                e.number = a.lVal;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(e);
        }
        SetEvent(wake_);
        if (onEvent)
            onEvent(e);
        return S_OK;
    }

    std::vector<SeenEvent> Seen() {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }
    size_t Count(DISPID id) {
        size_t n = 0;
        for (auto& e : Seen())
            n += e.id == id;
        return n;
    }
    // Services the apartment until `done` holds; false after the bound.
    bool PumpUntil(const std::function<bool()>& done, DWORD boundMs = kEventWaitMs) {
        ULONGLONG end = GetTickCount64() + boundMs;
        while (!done()) {
            if (GetTickCount64() > end)
                return false;
            DWORD index;
            CoWaitForMultipleHandles(0, kPumpSliceMs, 1, &wake_, &index);
        }
        return true;
    }
    ~RecordingSink() {
        for (auto& e : seen_)
            if (e.message)
                e.message->Release();
        CloseHandle(wake_);
    }

private:
    std::atomic<ULONG> refs_{1};
    std::mutex lock_;
    std::vector<SeenEvent> seen_;
    HANDLE wake_;
};

inline DWORD Advise(IVanta* vanta, IDispatch* sink) {
    IConnectionPointContainer* container = nullptr;
    EXPECT_EQ(
        vanta->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
        S_OK);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(DIID__IVantaEvents, &point), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
    point->Release();
    container->Release();
    return cookie;
}

// Connects to 127.0.0.1:port and writes a reply in pieces, as a unit on a slow link does.
inline bool WriteReply(unsigned short port, const std::string& bytes, size_t piece,
                       std::chrono::milliseconds pause) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    for (size_t at = 0; at < bytes.size() && ok; at += piece) {
        int n = static_cast<int>(std::min(piece, bytes.size() - at));
        ok = send(s, bytes.data() + at, n, 0) == n;
        if (pause.count())
            std::this_thread::sleep_for(pause);
    }
    closesocket(s);
    WSACleanup();
    return ok;
}

inline std::string ImageReply(const std::string& id, int bytes) {
    std::string reply = "ID=" + id + "\r\nCMD=CAPTURE\r\nLEN=" + std::to_string(bytes) + "\r\n";
    for (int i = 0; i < bytes; ++i)
        reply.push_back(static_cast<char>(i * 7));
    return reply;
}

}  // namespace comtest
