// The server's exports: registration, class factories, unloading, and its version.
#include "CVanta.h"
#include "CVantaHelper.h"
#include "CVantaMessage.h"
#include "ComSupport.h"

#include <olectl.h>
#include <vantaprotocol/VantaProtocolVersion.h>

#include <cstring>
#include <new>
#include <string>

using namespace vantacom;

namespace {

constexpr UINT kScriptVanta = 101;
constexpr UINT kScriptMessage = 105;
constexpr UINT kScriptHelper = 106;
constexpr UINT kScripts[] = {kScriptVanta, kScriptMessage, kScriptHelper};

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
    // Factories are static; a reference held by a client keeps the module like a lock does.
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

ClassFactory<CVanta> g_vantaFactory;
ClassFactory<CVantaMessage> g_messageFactory;
ClassFactory<CVantaHelper> g_helperFactory;

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string ModulePath() {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(Module(), path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

HRESULT RegisterTypeLibrary() {
    std::string path = ModulePath();
    if (path.empty())
        return SELFREG_E_TYPELIB;
    std::string dir = path.substr(0, path.rfind('/'));
    std::u16string widePath = Wide(path), wideDir = Wide(dir);
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLib(widePath.c_str(), &lib);
    if (FAILED(hr))
        return hr;
    hr = RegisterTypeLib(lib, widePath.c_str(), wideDir.c_str());
    lib->Release();
    return hr;
}

// UnRegisterTypeLib is bound at run time from "oleaut32.dll", which is libwinapi.so's own
// export here when no module of that name exists.
HRESULT UnregisterTypeLibrary() {
    typedef HRESULT(WINAPI * UnRegisterFunction)(REFGUID, WORD, WORD, LCID, SYSKIND);
    UnRegisterFunction unregister = nullptr;
    HMODULE oleaut = LoadLibraryA("oleaut32.dll");
    if (oleaut)
        unregister = reinterpret_cast<UnRegisterFunction>(
            reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
    if (!unregister)
        unregister = &UnRegisterTypeLib;
    HRESULT hr = unregister(LIBID_VANTAPROTOCOLLib, 1, 0, 0, SYS_WIN32);
    if (oleaut)
        FreeLibrary(oleaut);
    return hr;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllRegisterServer() {
    try {
        for (UINT script : kScripts) {
            HRESULT hr = RegistrarRunResource(Module(), script, TRUE);
            if (FAILED(hr))
                return hr;
        }
        return RegisterTypeLibrary();
    } catch (...) {
        return E_FAIL;
    }
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllUnregisterServer() {
    try {
        HRESULT first = S_OK;
        for (UINT script : kScripts) {
            HRESULT hr = RegistrarRunResource(Module(), script, FALSE);
            if (FAILED(hr) && SUCCEEDED(first))
                first = hr;
        }
        HRESULT hr = UnregisterTypeLibrary();
        if (FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED && SUCCEEDED(first))
            first = hr;
        return first;
    } catch (...) {
        return E_FAIL;
    }
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid,
                                                                                   REFIID riid,
                                                                                   LPVOID* ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    if (rclsid == CLSID_Vanta)
        factory = &g_vantaFactory;
    else if (rclsid == CLSID_VantaMessage)
        factory = &g_messageFactory;
    else if (rclsid == CLSID_VantaHelper)
        factory = &g_helperFactory;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, ppv);
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return LiveObjectsAndLocks() == 0 ? S_OK : S_FALSE;
}

__attribute__((visibility("default"))) const char* VantaProtocolVersion() {
    return kVantaProtocolFileVersion;
}

}  // extern "C"
