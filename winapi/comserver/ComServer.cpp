// In-process COM server support: the module's state, registration and class lookup.
#include "ComServer.h"

#include <olectl.h>

namespace comserver {
namespace {

constexpr int kMaxTextChars = 512;

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

// A function of this module whose address finds the module.
void Anchor() {}

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
HRESULT CanUnloadNow() {
    return LiveObjectsAndLocks() == 0 ? S_OK : S_FALSE;
}

std::string ModuleText(UINT id, const char* fallback) {
    char buffer[kMaxTextChars];
    if (LoadStringA(Module(), id, buffer, sizeof buffer) <= 0)
        return fallback;
    return buffer;
}

HRESULT RegisterServer(std::span<const UINT> scripts) {
    try {
        for (UINT script : scripts) {
            HRESULT hr = RegistrarRunResource(Module(), script, TRUE);
            if (FAILED(hr))
                return hr;
        }
        return RegisterTypeLibrary();
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT UnregisterServer(std::span<const UINT> scripts, HRESULT (*unregisterTypeLibrary)()) {
    try {
        HRESULT first = S_OK;
        for (UINT script : scripts) {
            HRESULT hr = RegistrarRunResource(Module(), script, FALSE);
            if (FAILED(hr) && SUCCEEDED(first))
                first = hr;
        }
        HRESULT hr = unregisterTypeLibrary();
        if (FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED && SUCCEEDED(first))
            first = hr;
        return first;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT GetClassObject(std::span<const ClassEntry> classes, REFCLSID rclsid, REFIID riid,
                       LPVOID* ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry& entry : classes)
        if (rclsid == *entry.clsid)
            return entry.factory->QueryInterface(riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace comserver
