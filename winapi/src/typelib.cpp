// Type libraries in this layer's WTLB format: loading (from a file or a module's "TYPELIB"
// resource), ITypeLib/ITypeInfo, registration, and Invoke over generated dispatch tables.
#include "typelib_format.h"

#include <windows.h>
#include <objbase.h>
#include <winapi_com.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

std::string WinapiGuidText(REFGUID g);

namespace {

constexpr char kTypeLibResourceType[] = "TYPELIB";
constexpr WORD kTypeLibResourceId = 1;
constexpr char kAutomationProxyStub[] = "{00020424-0000-0000-C000-000000000046}";
constexpr MEMBERID kMemberIdNil = -1;

GUID ToGuid(const wtlb::Guid& g) {
    GUID out{g.d1, g.d2, g.d3, {}};
    std::memcpy(out.Data4, g.d4, 8);
    return out;
}

BSTR ToBstr(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    BSTR s = SysAllocStringLen(nullptr, n > 0 ? n : 0);
    if (s && n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), s, n);
    return s;
}

std::string FromOle(LPCOLESTR s) {
    if (!s)
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
    return out;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::map<GUID, const DISPATCH_TABLE*, bool (*)(const GUID&, const GUID&)>& Tables() {
    static auto* m = new std::map<GUID, const DISPATCH_TABLE*, bool (*)(const GUID&, const GUID&)>(
        [](const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) < 0; });
    return *m;
}
std::mutex& TablesLock() {
    static auto* m = new std::mutex;
    return *m;
}

const DISPATCH_TABLE* TableFor(REFIID iid) {
    std::lock_guard<std::mutex> guard(TablesLock());
    auto it = Tables().find(iid);
    return it == Tables().end() ? nullptr : it->second;
}

class TypeLib;

class TypeInfo final : public ITypeInfo {
public:
    TypeInfo(TypeLib* lib, UINT index);
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
            *ppv = static_cast<ITypeInfo*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetTypeKind(TYPEKIND* pTypeKind) override {
        if (!pTypeKind)
            return E_INVALIDARG;
        *pTypeKind = static_cast<TYPEKIND>(Type().kind);
        return S_OK;
    }
    STDMETHODIMP GetGuid(GUID* pGuid) override {
        if (!pGuid)
            return E_INVALIDARG;
        *pGuid = ToGuid(Type().guid);
        return S_OK;
    }
    STDMETHODIMP GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                          UINT* pcNames) override {
        if (!rgBstrNames || !pcNames)
            return E_INVALIDARG;
        const wtlb::Member* m = Find(memid);
        if (!m)
            return TYPE_E_ELEMENTNOTFOUND;
        UINT n = 0;
        if (n < cMaxNames)
            rgBstrNames[n++] = ToBstr(m->name);
        for (const auto& p : m->params)
            if (n < cMaxNames)
                rgBstrNames[n++] = ToBstr(p.name);
        *pcNames = n;
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        if (!rgszNames || !pMemId || cNames == 0)
            return E_INVALIDARG;
        std::string wanted = FromOle(rgszNames[0]);
        for (const auto& m : Type().members) {
            if (!SameName(m.name, wanted))
                continue;
            pMemId[0] = m.id;
            HRESULT hr = S_OK;
            for (UINT i = 1; i < cNames; ++i) {
                pMemId[i] = DISPID_UNKNOWN;
                std::string param = FromOle(rgszNames[i]);
                for (size_t k = 0; k < m.params.size(); ++k)
                    if (SameName(m.params[k].name, param))
                        pMemId[i] = static_cast<MEMBERID>(k);
                if (pMemId[i] == DISPID_UNKNOWN)
                    hr = DISP_E_UNKNOWNNAME;
            }
            return hr;
        }
        for (UINT i = 0; i < cNames; ++i)
            pMemId[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        if (!pvInstance)
            return E_INVALIDARG;
        GUID iid = ToGuid(Type().guid);
        const DISPATCH_TABLE* table = TableFor(iid);
        if (!table)
            return E_NOTIMPL;  // the interface's module has not been loaded
        return DispatchTableInvoke(table, pvInstance, memid, wFlags, pDispParams, pVarResult,
                                   pExcepInfo, puArgErr);
    }
    STDMETHODIMP GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                  DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        std::string name, help;
        if (memid == kMemberIdNil) {
            name = Type().name;
            help = Type().help;
        } else {
            const wtlb::Member* m = Find(memid);
            if (!m)
                return TYPE_E_ELEMENTNOTFOUND;
            name = m->name;
            help = m->help;
        }
        if (pBstrName)
            *pBstrName = ToBstr(name);
        if (pBstrDocString)
            *pBstrDocString = ToBstr(help);
        if (pdwHelpContext)
            *pdwHelpContext = 0;
        if (pBstrHelpFile)
            *pBstrHelpFile = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;

private:
    const wtlb::Type& Type() const;
    const wtlb::Member* Find(MEMBERID id) const {
        for (const auto& m : Type().members)
            if (m.id == id)
                return &m;
        return nullptr;
    }
    std::atomic<ULONG> refs_{1};
    TypeLib* lib_;
    UINT index_;
};

class TypeLib final : public ITypeLib {
public:
    explicit TypeLib(wtlb::Library data) : data_(std::move(data)) {}
    const wtlb::Library& Data() const { return data_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeLib) {
            *ppv = static_cast<ITypeLib*>(this);
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
    STDMETHODIMP_(UINT) GetTypeInfoCount() override {
        return static_cast<UINT>(data_.types.size());
    }
    STDMETHODIMP GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
        if (!ppTInfo)
            return E_INVALIDARG;
        *ppTInfo = nullptr;
        if (index >= data_.types.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *ppTInfo = new TypeInfo(this, index);
        return S_OK;
    }
    STDMETHODIMP GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
        if (!pTKind)
            return E_INVALIDARG;
        if (index >= data_.types.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *pTKind = static_cast<TYPEKIND>(data_.types[index].kind);
        return S_OK;
    }
    STDMETHODIMP GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
        if (!ppTinfo)
            return E_INVALIDARG;
        *ppTinfo = nullptr;
        for (UINT i = 0; i < data_.types.size(); ++i) {
            if (data_.types[i].kind != TKIND_ENUM && ToGuid(data_.types[i].guid) == guid) {
                *ppTinfo = new TypeInfo(this, i);
                return S_OK;
            }
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHODIMP GetLibAttr(TLIBATTR** ppTLibAttr) override {
        if (!ppTLibAttr)
            return E_INVALIDARG;
        auto* attr =
            new TLIBATTR{ToGuid(data_.libid), data_.lcid, SYS_WIN32, data_.major, data_.minor, 0};
        *ppTLibAttr = attr;
        return S_OK;
    }
    STDMETHODIMP GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                  DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        std::string name, help;
        if (index == -1) {
            name = data_.name;
            help = data_.help;
        } else if (index >= 0 && static_cast<size_t>(index) < data_.types.size()) {
            name = data_.types[index].name;
            help = data_.types[index].help;
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if (pBstrName)
            *pBstrName = ToBstr(name);
        if (pBstrDocString)
            *pBstrDocString = ToBstr(help);
        if (pdwHelpContext)
            *pdwHelpContext = 0;
        if (pBstrHelpFile)
            *pBstrHelpFile = nullptr;
        return S_OK;
    }
    STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

private:
    ~TypeLib() = default;
    std::atomic<ULONG> refs_{1};
    wtlb::Library data_;
};

// A type description holds its library for as long as it lives.
TypeInfo::TypeInfo(TypeLib* lib, UINT index) : lib_(lib), index_(index) {
    lib_->AddRef();
}
ULONG TypeInfo::AddRef() {
    return ++refs_;
}
ULONG TypeInfo::Release() {
    ULONG left = --refs_;
    if (left == 0) {
        lib_->Release();
        delete this;
    }
    return left;
}
const wtlb::Type& TypeInfo::Type() const {
    return lib_->Data().types[index_];
}
HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    if (ppTLib) {
        *ppTLib = lib_;
        lib_->AddRef();
    }
    if (pIndex)
        *pIndex = index_;
    return S_OK;
}

HRESULT LoadFromBytes(const void* data, size_t size, ITypeLib** pptlib) {
    auto parsed = wtlb::Parse(data, size);
    if (!parsed)
        return TYPE_E_INVDATAREAD;
    *pptlib = new TypeLib(std::move(*parsed));
    return S_OK;
}

std::string VersionKey(const GUID& libid, WORD major, WORD minor) {
    char version[16];
    std::snprintf(version, sizeof version, "%x.%x", major, minor);
    return "TypeLib\\" + WinapiGuidText(libid) + "\\" + version;
}

LONG SetText(HKEY root, const std::string& path, const char* name, const std::string& text) {
    HKEY key;
    LONG r = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return r;
    r = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return r;
}

bool ReadText(const std::string& path, std::string& text) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char buffer[1024];
    DWORD size = sizeof buffer;
    LONG r =
        RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || size == 0)
        return false;
    text.assign(buffer, strnlen(buffer, size));
    return true;
}

bool KeyIsEmpty(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char name[256];
    DWORD size = sizeof name;
    bool empty = RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                 ERROR_NO_MORE_ITEMS;
    RegCloseKey(key);
    return empty;
}

}  // namespace

extern "C" {

void WINAPI DispatchTableRegister(const DISPATCH_TABLE* table) {
    if (!table)
        return;
    std::lock_guard<std::mutex> guard(TablesLock());
    Tables()[*table->iid] = table;
}

HRESULT WINAPI DispatchTableGetIDsOfNames(const DISPATCH_TABLE* table, LPOLESTR* rgszNames,
                                          UINT cNames, DISPID* rgDispId) {
    if (!table || !rgszNames || !rgDispId || cNames == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        rgDispId[i] = DISPID_UNKNOWN;
    std::string wanted = FromOle(rgszNames[0]);
    for (UINT i = 0; i < table->memberCount; ++i) {
        if (SameName(table->members[i].name, wanted)) {
            rgDispId[0] = table->members[i].dispid;
            return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

HRESULT WINAPI DispatchTableInvoke(const DISPATCH_TABLE* table, void* self, DISPID dispIdMember,
                                   WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!table || !self)
        return E_INVALIDARG;
    const DISPATCH_MEMBER* member = nullptr;
    for (UINT i = 0; i < table->memberCount; ++i) {
        if (table->members[i].dispid == dispIdMember)
            member = &table->members[i];
    }
    if (!member)
        return DISP_E_MEMBERNOTFOUND;
    const bool put = member->invokeKind == INVOKE_PROPERTYPUT;
    WORD needed = member->invokeKind == INVOKE_FUNC          ? DISPATCH_METHOD
                  : member->invokeKind == INVOKE_PROPERTYGET ? DISPATCH_PROPERTYGET
                                                             : DISPATCH_PROPERTYPUT;
    if (!(wFlags & needed))
        return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!pDispParams)
        pDispParams = &none;
    // A property put names its one argument DISPID_PROPERTYPUT; nothing else may be named.
    const bool namedPut = put && pDispParams->cNamedArgs == 1 && pDispParams->rgdispidNamedArgs &&
                          pDispParams->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    if (pDispParams->cNamedArgs > 0 && !namedPut)
        return DISP_E_NONAMEDARGS;
    if (pDispParams->cArgs != member->paramCount)
        return DISP_E_BADPARAMCOUNT;
    UINT count = member->paramCount;
    VARIANT args[16];
    if (count > 16)
        return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < count; ++i)
        VariantInit(&args[i]);
    auto clear = [&] {
        for (UINT i = 0; i < count; ++i)
            if (!(args[i].vt & VT_BYREF))
                VariantClear(&args[i]);
    };
    for (UINT i = 0; i < count; ++i) {
        UINT position = count - 1 - i;  // arguments arrive last first
        VARIANT& given = pDispParams->rgvarg[position];
        VARTYPE wanted = member->paramTypes[i];
        HRESULT hr;
        if (wanted & VT_BYREF) {
            // An [out] parameter takes the caller's own storage of exactly that type.
            if (given.vt != wanted || !given.byref) {
                hr = DISP_E_TYPEMISMATCH;
            } else {
                args[i] = given;
                hr = S_OK;
            }
        } else if (wanted == VT_VARIANT) {
            hr = VariantCopyInd(&args[i], &given);
        } else {
            hr = VariantChangeType(&args[i], &given, 0, wanted);
            if (hr == DISP_E_BADVARTYPE)
                hr = DISP_E_TYPEMISMATCH;
        }
        if (FAILED(hr)) {
            clear();
            if (puArgErr)
                *puArgErr = position;
            return hr;
        }
    }
    VARIANT result;
    VariantInit(&result);
    SetErrorInfo(0, nullptr);
    HRESULT hr = member->thunk(self, args, &result);
    clear();
    if (FAILED(hr)) {
        VariantClear(&result);
        if (pExcepInfo) {
            *pExcepInfo = EXCEPINFO{};
            pExcepInfo->scode = hr;
            IErrorInfo* error = nullptr;
            if (GetErrorInfo(0, &error) == S_OK && error) {
                error->GetSource(&pExcepInfo->bstrSource);
                error->GetDescription(&pExcepInfo->bstrDescription);
                error->GetHelpFile(&pExcepInfo->bstrHelpFile);
                error->GetHelpContext(&pExcepInfo->dwHelpContext);
                SetErrorInfo(0, error);  // still there for a caller that asks the thread
                error->Release();
            }
            return DISP_E_EXCEPTION;
        }
        return hr;
    }
    if (pVarResult) {
        VariantClear(pVarResult);
        *pVarResult = result;
    } else {
        VariantClear(&result);
    }
    return hr;
}

HRESULT WINAPI DispInvoke(void* _this, ITypeInfo* ptinfo, DISPID dispidMember, WORD wFlags,
                          DISPPARAMS* pparams, VARIANT* pvarResult, EXCEPINFO* pexcepinfo,
                          UINT* puArgErr) {
    if (!ptinfo)
        return E_INVALIDARG;
    return ptinfo->Invoke(_this, dispidMember, wFlags, pparams, pvarResult, pexcepinfo, puArgErr);
}

HRESULT WINAPI DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames,
                                 DISPID* rgdispid) {
    if (!ptinfo)
        return E_INVALIDARG;
    return ptinfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
}

HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    if (!szFile || !pptlib)
        return E_INVALIDARG;
    *pptlib = nullptr;
    std::string path = FromOle(szFile);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return TYPE_E_CANTLOADLIBRARY;
    char magic[4] = {};
    in.read(magic, 4);
    if (std::memcmp(magic, wtlb::kMagic, 4) == 0) {
        in.seekg(0);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        std::string data = bytes.str();
        return LoadFromBytes(data.data(), data.size(), pptlib);
    }
    // A module: its "TYPELIB" resource 1.
    HMODULE module =
        LoadLibraryA(path.find('/') == std::string::npos ? ("./" + path).c_str() : path.c_str());
    if (!module)
        return TYPE_E_CANTLOADLIBRARY;
    HRESULT hr = TYPE_E_CANTLOADLIBRARY;
    if (HRSRC res =
            FindResourceA(module, MAKEINTRESOURCEA(kTypeLibResourceId), kTypeLibResourceType)) {
        const void* data = LockResource(LoadResource(module, res));
        hr = LoadFromBytes(data, SizeofResource(module, res), pptlib);
    }
    FreeLibrary(module);
    return hr;
}

HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID,
                                     BSTR* lpbstrPathName) {
    if (!lpbstrPathName)
        return E_INVALIDARG;
    *lpbstrPathName = nullptr;
    std::string path;
    if (!ReadText(VersionKey(guid, wMaj, wMin) + "\\0\\win32", path)) {
        // A later minor version of the same major one serves as well.
        bool found = false;
        for (USHORT minor = wMin + 1; minor < wMin + 16 && !found; ++minor)
            found = ReadText(VersionKey(guid, wMaj, minor) + "\\0\\win32", path);
        if (!found)
            return TYPE_E_LIBNOTREGISTERED;
    }
    *lpbstrPathName = ToBstr(path);
    return *lpbstrPathName ? S_OK : E_OUTOFMEMORY;
}

HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                              ITypeLib** pptlib) {
    if (!pptlib)
        return E_INVALIDARG;
    *pptlib = nullptr;
    BSTR path = nullptr;
    HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &path);
    if (FAILED(hr))
        return hr;
    hr = LoadTypeLib(path, pptlib);
    SysFreeString(path);
    return hr;
}

HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (!ptlib || !szFullPath)
        return E_INVALIDARG;
    TLIBATTR* attr = nullptr;
    HRESULT hr = ptlib->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    GUID libid = attr->guid;
    WORD major = attr->wMajorVerNum, minor = attr->wMinorVerNum;
    ptlib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, help = nullptr;
    ptlib->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    std::string helpText = FromOle(help);
    std::string libName = FromOle(name);
    SysFreeString(name);
    SysFreeString(help);
    std::string base = VersionKey(libid, major, minor);
    LONG r = SetText(HKEY_CLASSES_ROOT, base, nullptr, helpText);
    if (r == ERROR_SUCCESS)
        r = SetText(HKEY_CLASSES_ROOT, base + "\\0\\win32", nullptr, FromOle(szFullPath));
    if (r == ERROR_SUCCESS)
        r = SetText(HKEY_CLASSES_ROOT, base + "\\FLAGS", nullptr, "0");
    if (r == ERROR_SUCCESS)
        r = SetText(HKEY_CLASSES_ROOT, base + "\\HELPDIR", nullptr,
                    szHelpDir ? FromOle(szHelpDir) : std::string());
    // Dual interfaces and dispinterfaces are marshalled by the automation marshaller.
    char version[16];
    std::snprintf(version, sizeof version, "%x.%x", major, minor);
    UINT count = ptlib->GetTypeInfoCount();
    for (UINT i = 0; i < count && r == ERROR_SUCCESS; ++i) {
        TYPEKIND kind;
        ptlib->GetTypeInfoType(i, &kind);
        if (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH)
            continue;
        ITypeInfo* info = nullptr;
        if (FAILED(ptlib->GetTypeInfo(i, &info)))
            continue;
        GUID iid;
        info->GetGuid(&iid);
        BSTR typeName = nullptr;
        info->GetDocumentation(-1, &typeName, nullptr, nullptr, nullptr);
        info->Release();
        std::string key = "Interface\\" + WinapiGuidText(iid);
        r = SetText(HKEY_CLASSES_ROOT, key, nullptr, FromOle(typeName));
        SysFreeString(typeName);
        if (r == ERROR_SUCCESS)
            r = SetText(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid32", nullptr,
                        kAutomationProxyStub);
        if (r == ERROR_SUCCESS)
            r = SetText(HKEY_CLASSES_ROOT, key + "\\TypeLib", nullptr, WinapiGuidText(libid));
        if (r == ERROR_SUCCESS)
            r = SetText(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version", version);
    }
    (void)libName;
    return r == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                 SYSKIND) {
    // The interfaces it registered are read from the library itself, while it is still there.
    ITypeLib* lib = nullptr;
    if (SUCCEEDED(LoadRegTypeLib(libID, wVerMajor, wVerMinor, lcid, &lib))) {
        UINT count = lib->GetTypeInfoCount();
        for (UINT i = 0; i < count; ++i) {
            TYPEKIND kind;
            lib->GetTypeInfoType(i, &kind);
            if (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH)
                continue;
            ITypeInfo* info = nullptr;
            if (FAILED(lib->GetTypeInfo(i, &info)))
                continue;
            GUID iid;
            info->GetGuid(&iid);
            info->Release();
            RegDeleteTreeA(HKEY_CLASSES_ROOT, ("Interface\\" + WinapiGuidText(iid)).c_str());
        }
        lib->Release();
    }
    std::string base = VersionKey(libID, wVerMajor, wVerMinor);
    LONG r = RegDeleteTreeA(HKEY_CLASSES_ROOT, base.c_str());
    if (r == ERROR_FILE_NOT_FOUND)
        return TYPE_E_LIBNOTREGISTERED;
    std::string libKey = "TypeLib\\" + WinapiGuidText(libID);
    if (KeyIsEmpty(libKey))
        RegDeleteKeyA(HKEY_CLASSES_ROOT, libKey.c_str());
    return r == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

}  // extern "C"
