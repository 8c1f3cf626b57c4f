// PSplash and PAbout created in any server context, their product names put, and shown.
#include "FanfareClient.h"

#include "StringTable.h"

#include "Fanfare_i.h"

#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>

#include <cstdio>

namespace fanfareclient {
namespace {

constexpr HRESULT kDispatchErrorFirst = static_cast<HRESULT>(0x80040200);
constexpr HRESULT kDispatchErrorLast = static_cast<HRESULT>(0x8004FFFF);

void ShowFailure(HRESULT hr) {
    MessageBoxA(nullptr, ErrorText(hr).c_str(), vantexstr::kApplication, MB_OK);
}

BSTR Bstr(const char* text) {
    std::u16string wide;
    for (const char* c = text; *c; ++c)
        wide.push_back(static_cast<unsigned char>(*c));
    return SysAllocString(wide.c_str());
}

template <class Interface>
HRESULT Create(const CLSID& clsid, const IID& iid, Interface** object) {
    *object = nullptr;
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  reinterpret_cast<void**>(&unknown));
    if (FAILED(hr))
        return hr;
    hr = unknown->QueryInterface(iid, reinterpret_cast<void**>(object));
    unknown->Release();
    return hr;
}

}  // namespace

std::string ErrorText(HRESULT hr) {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text;
    if (n > 0 && buffer) {
        text.assign(buffer, n);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
    }
    if (buffer)
        LocalFree(buffer);
    if (!text.empty())
        return text;
    char fallback[64];
    if (hr >= kDispatchErrorFirst && hr <= kDispatchErrorLast)
        std::snprintf(fallback, sizeof fallback, "IDispatch error #%d",
                      static_cast<int>(hr - kDispatchErrorFirst));
    else
        std::snprintf(fallback, sizeof fallback, "Unknown error 0x%0lX",
                      static_cast<unsigned long>(static_cast<DWORD>(hr)));
    return fallback;
}

bool EnsureRegistered(const std::string& libraryPath) {
    CLSID clsid{};
    if (SUCCEEDED(CLSIDFromProgID(u"Fanfare.PSplash", &clsid)) &&
        SUCCEEDED(CLSIDFromProgID(u"Fanfare.PAbout", &clsid)))
        return true;
    HMODULE module = LoadLibraryA(libraryPath.c_str());
    if (!module)
        return false;
    auto reg = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    const bool ok = reg && SUCCEEDED(reg());
    FreeLibrary(module);
    return ok;
}

bool ShowSplash() {
    if (FAILED(CoInitialize(nullptr))) {
        MessageBoxA(nullptr, vantexstr::kCoInitializeFailed, vantexstr::kApplication, MB_OK);
        return false;
    }
    IPSplash* splash = nullptr;
    HRESULT hr = Create(CLSID_PSplash, IID_IPSplash, &splash);
    if (SUCCEEDED(hr)) {
        BSTR name = Bstr(vantexstr::kSplashProduct);
        hr = splash->put_ProductName(name);
        SysFreeString(name);
        if (SUCCEEDED(hr))
            hr = splash->ShowSplashScreen();
        splash->Release();
    }
    if (FAILED(hr))
        ShowFailure(hr);
    CoUninitialize();
    return true;
}

void ShowAbout() {
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init))
        MessageBoxA(nullptr, vantexstr::kCoInitializeFailed, vantexstr::kApplication, MB_OK);
    IPAbout* about = nullptr;
    HRESULT hr = Create(CLSID_PAbout, IID_IPAbout, &about);
    if (SUCCEEDED(hr)) {
        BSTR name = Bstr(vantexstr::kAboutProduct);
        hr = about->put_ProductName(name);
        SysFreeString(name);
        if (SUCCEEDED(hr))
            hr = about->ShowAboutBox();
        about->Release();
    }
    if (FAILED(hr))
        ShowFailure(hr);
    if (SUCCEEDED(init))
        CoUninitialize();
}

}  // namespace fanfareclient
