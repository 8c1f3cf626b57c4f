// Activation of in-process servers through the registry (ProgID -> CLSID -> InprocServer32 ->
// LoadLibrary -> DllGetClassObject), GUID text and task memory.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

IUnknown* WinapiGlobalInterfaceTable();
bool WinapiThreadInitialized();

namespace {

constexpr size_t kMaxRegistryText = 1024;

std::string Narrow(LPCOLESTR text) {
    std::string out;
    if (!text)
        return out;
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return out;
    out.resize(n);
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(n - 1);
    return out;
}

bool ReadDefault(const std::string& path, std::string& value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char buffer[kMaxRegistryText];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    LONG r = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_SZ || size == 0)
        return false;
    value.assign(buffer, strnlen(buffer, size));
    return true;
}

bool ParseGuid(const std::string& text, GUID& guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (size_t i = 1; i < 37; ++i) {
        char c = text[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    guid = MakeGuid(text.c_str() + 1);
    return true;
}

std::string GuidText(REFGUID g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// Loaded in-process servers by path; each stays loaded until its DllCanUnloadNow allows.
struct Servers {
    std::mutex lock;
    std::map<std::string, HMODULE> loaded;
};
Servers& LoadedServers() {
    static auto* s = new Servers;
    return *s;
}

template <class F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

std::string WinapiGuidText(REFGUID g) {
    return GuidText(g);
}

extern "C" {

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb ? cb : 1);
}

void WINAPI CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < CHARS_IN_GUID)
        return 0;
    std::string text = GuidText(rguid);
    for (size_t i = 0; i < text.size(); ++i)
        lpsz[i] = static_cast<OLECHAR>(text[i]);
    lpsz[text.size()] = 0;
    return CHARS_IN_GUID;
}

HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (!lpsz || !lpiid)
        return E_INVALIDARG;
    return ParseGuid(Narrow(lpsz), *lpiid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid)
        return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    std::string progId = Narrow(lpszProgID);
    if (progId.empty() || progId.find('\\') != std::string::npos)
        return CO_E_CLASSSTRING;
    std::string text;
    if (!ReadDefault(progId + "\\CLSID", text)) {
        // A version-independent ProgID may name its class only through CurVer.
        std::string current;
        if (!ReadDefault(progId + "\\CurVer", current) || current == progId ||
            !ReadDefault(current + "\\CLSID", text))
            return CO_E_CLASSSTRING;
    }
    return ParseGuid(text, *lpclsid) ? S_OK : REGDB_E_CLASSNOTREG;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!lpsz || !pclsid)
        return E_INVALIDARG;
    std::string text = Narrow(lpsz);
    if (!text.empty() && text.front() == '{')
        return ParseGuid(text, *pclsid) ? S_OK : CO_E_CLASSSTRING;
    return CLSIDFromProgID(lpsz, pclsid);
}

HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (!lplpszProgID)
        return E_INVALIDARG;
    *lplpszProgID = nullptr;
    std::string progId;
    if (!ReadDefault("CLSID\\" + GuidText(clsid) + "\\ProgID", progId))
        return REGDB_E_CLASSNOTREG;
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((progId.size() + 1) * sizeof(OLECHAR)));
    if (!out)
        return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_ACP, 0, progId.c_str(), -1, out, static_cast<int>(progId.size() + 1));
    *lplpszProgID = out;
    return S_OK;
}

HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid,
                                LPVOID* ppv) {
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    if (!WinapiThreadInitialized())
        return CO_E_NOTINITIALIZED;
    if (!(dwClsContext & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;  // only in-process servers exist here
    std::string path;
    if (!ReadDefault("CLSID\\" + GuidText(rclsid) + "\\InprocServer32", path))
        return REGDB_E_CLASSNOTREG;
    HMODULE module = nullptr;
    {
        auto& servers = LoadedServers();
        std::lock_guard<std::mutex> guard(servers.lock);
        auto it = servers.loaded.find(path);
        if (it != servers.loaded.end()) {
            module = it->second;
        } else {
            module = LoadLibraryA(path.c_str());
            if (!module)
                return CO_E_DLLNOTFOUND;
            servers.loaded[path] = module;
        }
    }
    auto getClassObject = Export<LPFNGETCLASSOBJECT>(module, "DllGetClassObject");
    if (!getClassObject)
        return CO_E_ERRORINDLL;
    return getClassObject(rclsid, riid, ppv);
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!WinapiThreadInitialized())
        return CO_E_NOTINITIALIZED;
    if (rclsid == CLSID_StdGlobalInterfaceTable) {
        if (pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        return WinapiGlobalInterfaceTable()->QueryInterface(riid, ppv);
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

void WINAPI CoFreeUnusedLibraries(void) {
    auto& servers = LoadedServers();
    std::lock_guard<std::mutex> guard(servers.lock);
    for (auto it = servers.loaded.begin(); it != servers.loaded.end();) {
        auto canUnload = Export<LPFNCANUNLOADNOW>(it->second, "DllCanUnloadNow");
        if (canUnload && canUnload() == S_OK) {
            FreeLibrary(it->second);
            it = servers.loaded.erase(it);
        } else {
            ++it;
        }
    }
}

}  // extern "C"
