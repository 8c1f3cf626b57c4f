// Fanfare's exports: registration, class factories and unloading; the module state.
#include "ComObjects.h"

#include <olectl.h>
#include <oleauto.h>

#include <QApplication>

#include <new>
#include <string>

namespace fanfare {
namespace {

constexpr UINT kScriptSplash = 102;
constexpr UINT kScriptAbout = 103;
constexpr UINT kScripts[] = {kScriptSplash, kScriptAbout};
constexpr int kMaxTextChars = 512;

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

// A function of this module whose address finds the module.
void Anchor() {}

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
        auto* object = new (std::nothrow) Object;
        if (!object)
            return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override {
        LockModule(fLock != FALSE);
        return S_OK;
    }
};

ClassFactory<CPSplash> g_splashFactory;
ClassFactory<CPAbout> g_aboutFactory;

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

}  // namespace

HMODULE Module() {
    static HMODULE module = [] {
        HMODULE h = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(reinterpret_cast<void*>(&Anchor)), &h);
        return h;
    }();
    return module;
}

void ObjectCreated() {
    ++g_objects;
}
void ObjectDestroyed() {
    --g_objects;
}
void LockModule(bool lock) {
    if (lock)
        ++g_locks;
    else
        --g_locks;
}
LONG LiveObjectsAndLocks() {
    return g_objects + g_locks;
}

std::string Text(UINT id) {
    char buffer[kMaxTextChars];
    if (LoadStringA(Module(), id, buffer, sizeof buffer) <= 0)
        return std::string();
    return buffer;
}

bool EnterModuleState() {
    if (!QCoreApplication::instance()) {
        // A client without a widget application of its own gets one for the library's windows.
        static int argc = 1;
        static char name[] = "Fanfare";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

}  // namespace fanfare

using namespace fanfare;

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
        HRESULT hr = UnRegisterTypeLib(LIBID_FANFARELib, 1, 0, 0, SYS_WIN32);
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
    if (rclsid == CLSID_PSplash)
        factory = &g_splashFactory;
    else if (rclsid == CLSID_PAbout)
        factory = &g_aboutFactory;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, ppv);
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return LiveObjectsAndLocks() == 0 ? S_OK : S_FALSE;
}

}  // extern "C"
