// The COM subset of the Win32 layer, each area through its public functions.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winapi_com.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr DWORD kWaitMs = 20000;

// Every test gets a registry file of its own.
class PrivateRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/winapi-com-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        setenv("WINAPI_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("WINAPI_REGISTRY");
        std::system(("rm -rf " + dir_).c_str());
    }
    std::string dir_;
};

std::string Value(HKEY root, const char* path, const char* name = nullptr) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    char buffer[256];
    DWORD size = sizeof buffer;
    LONG r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? std::string(buffer) : "<no value>";
}

TEST(Strings, BstrsCarryTheirLengthAndAnyCharacter) {
    const OLECHAR text[] = {u'a', 0, u'b'};
    BSTR s = SysAllocStringLen(text, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(SysStringByteLen(s), 6u);
    EXPECT_EQ(s[3], 0);  // terminated
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    SysFreeString(s);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    static_assert(sizeof(OLECHAR) == 2);
}

TEST(Strings, TheAnsiCodePageIsWindows1252BothWays) {
    EXPECT_EQ(GetACP(), 1252u);
    struct Row {
        unsigned char byte;
        char16_t unit;
    } rows[] = {{'A', u'A'}, {0x80, 0x20AC}, {0x9F, 0x0178}, {0xE9, 0x00E9}, {0x81, 0x0081}};
    for (auto row : rows) {
        char in = static_cast<char>(row.byte);
        char16_t wide = 0;
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, &in, 1, &wide, 1), 1);
        EXPECT_EQ(wide, row.unit) << int(row.byte);
        char back = 0;
        BOOL defaulted = TRUE;
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, &wide, 1, &back, 1, nullptr, &defaulted), 1);
        EXPECT_EQ(static_cast<unsigned char>(back), row.byte);
        EXPECT_FALSE(defaulted);
    }
    const char16_t notInPage[] = u"\u4E2D";
    char out[4] = {};
    BOOL defaulted = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, notInPage, 1, out, 4, nullptr, &defaulted), 1);
    EXPECT_EQ(out[0], '?');
    EXPECT_TRUE(defaulted);
    // Sizes first, and too small a buffer.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    char16_t small[2];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, small, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // UTF-8 for tools.
    char16_t euro[2] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE2\x82\xAC", 3, euro, 2), 1);
    EXPECT_EQ(euro[0], 0x20AC);
}

TEST(Variants, CopiesConversionsAndClearing) {
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = VT_BSTR;
    a.bstrVal = SysAllocString(u"42");
    ASSERT_EQ(VariantChangeType(&b, &a, 0, VT_I4), S_OK);
    EXPECT_EQ(b.vt, VT_I4);
    EXPECT_EQ(b.lVal, 42);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    VariantClear(&b);
    SysReAllocString(&a.bstrVal, u"4x");
    EXPECT_EQ(VariantChangeType(&b, &a, 0, VT_I4), DISP_E_TYPEMISMATCH);
    SysReAllocString(&a.bstrVal, u"99999999999");
    EXPECT_EQ(VariantChangeType(&b, &a, 0, VT_I4), DISP_E_OVERFLOW);
    VariantClear(&a);
    EXPECT_EQ(a.vt, VT_EMPTY);
    LONG target = 7;
    a.vt = VT_BYREF | VT_I4;
    a.plVal = &target;
    ASSERT_EQ(VariantChangeType(&b, &a, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(b.bstrVal), u"7");
    VariantClear(&b);
}

TEST(SafeArrays, VectorsOfBytesWithBoundsLocksAndCopies) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 2000000);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(array), 1u);
    LONG lower, upper;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 1999999);
    EXPECT_EQ(SafeArrayGetUBound(array, 2, &upper), DISP_E_BADINDEX);
    VARTYPE vt;
    EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    static_cast<BYTE*>(data)[1999999] = 0x5A;
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    SafeArrayUnaccessData(array);
    VARIANT v, w;
    VariantInit(&v);
    VariantInit(&w);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = array;
    ASSERT_EQ(VariantCopy(&w, &v), S_OK);
    EXPECT_NE(w.parray, v.parray);
    SafeArrayAccessData(w.parray, &data);
    EXPECT_EQ(static_cast<BYTE*>(data)[1999999], 0x5A);
    SafeArrayUnaccessData(w.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(VariantClear(&w), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_UI1, 0, 0xFFFFFFFF) != nullptr, false);
}

TEST(Guids, TextBothWays) {
    constexpr GUID g = MakeGuid("1B451293-6DE2-4506-A6FA-FF9CE1FD0B4D");
    OLECHAR text[CHARS_IN_GUID];
    ASSERT_EQ(StringFromGUID2(g, text, CHARS_IN_GUID), CHARS_IN_GUID);
    EXPECT_EQ(std::u16string(text), u"{1B451293-6DE2-4506-A6FA-FF9CE1FD0B4D}");
    GUID back;
    EXPECT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_TRUE(back == g);
    EXPECT_EQ(IIDFromString(u"{1B451293-6DE2-4506-A6FA-FF9CE1FD0B4}", &back), CO_E_CLASSSTRING);
    EXPECT_TRUE(uuidof<IDispatch>() == IID_IDispatch);
}

TEST_F(PrivateRegistry, KeysValuesEnumerationAndDeletion) {
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Suite\\Communication", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const char ip[] = "127.0.0.1";
    EXPECT_EQ(
        RegSetValueExA(key, "VantaIP", 0, REG_SZ, reinterpret_cast<const BYTE*>(ip), sizeof ip),
        ERROR_SUCCESS);
    DWORD port = 104;
    EXPECT_EQ(RegSetValueExA(key, "VantaPort", 0, REG_DWORD, reinterpret_cast<BYTE*>(&port), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
    // Names ignore case; a second process would read the same file.
    EXPECT_EQ(Value(HKEY_CURRENT_USER, "software\\suite\\COMMUNICATION", "vantaip"), "127.0.0.1");
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Suite\\Communication", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 2;
    char tiny[2];
    EXPECT_EQ(
        RegQueryValueExA(key, "VantaIP", nullptr, &type, reinterpret_cast<BYTE*>(tiny), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof ip);
    DWORD read = 0;
    size = 4;
    EXPECT_EQ(
        RegQueryValueExA(key, "VantaPort", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, 104u);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Suite", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    char name[64];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Communication");
    chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Suite"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Suite"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Suite", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "Software"), "<no key>");  // the roots are apart
}

TEST_F(PrivateRegistry, ScriptsHonourForceRemoveNoRemoveAndModule) {
    const char* script = R"(HKCR
{
    Sample.Thing.1 = s 'Thing Class'
    {
        CLSID = s '{00000000-0000-0000-0000-000000000001}'
    }
    NoRemove CLSID
    {
        ForceRemove {00000000-0000-0000-0000-000000000001} = s 'Thing Class'
        {
            ForceRemove 'Programmable'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
        }
    }
})";
    // A stale subkey of a ForceRemove key disappears on registration.
    HKEY key;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}\\Stale", 0,
                    nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
    RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-00000000FFFF}", 0, nullptr,
                    0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
    ASSERT_EQ(RegistrarRunScript(script, "/opt/lib/libThing.so", TRUE), S_OK);
    EXPECT_EQ(
        Value(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32"),
        "/opt/lib/libThing.so");
    EXPECT_EQ(
        Value(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32",
              "ThreadingModel"),
        "Apartment");
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}\\Stale"),
              "<no key>");
    ASSERT_EQ(RegistrarRunScript(script, "/opt/lib/libThing.so", FALSE), S_OK);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "Sample.Thing.1"), "<no key>");
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}"),
              "<no key>");
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-00000000FFFF}", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);  // someone else's class stays
    RegCloseKey(key);
    EXPECT_EQ(RegistrarRunScript("HKCR { broken = s 'unterminated }", nullptr, TRUE),
              DISP_E_EXCEPTION);
}

TEST(Resources, AModuleCarriesTypedNumberedResourcesAndStringTables) {
    HMODULE module = LoadLibraryA(VANTAPROTOCOL_PATH);
    ASSERT_NE(module, nullptr);
    HRSRC typelib = FindResourceA(module, MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_NE(typelib, nullptr);
    EXPECT_EQ(std::memcmp(LockResource(LoadResource(module, typelib)), "WTLB", 4), 0);
    EXPECT_GT(SizeofResource(module, typelib), 100u);
    EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(105), "REGISTRY"), nullptr);
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(102), "REGISTRY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(1), "BITMAP"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    char text[64];
    EXPECT_EQ(LoadStringA(module, 102, text, sizeof text), 25);
    EXPECT_STREQ(text, "Memory allocation errror.");
    EXPECT_EQ(LoadStringA(module, 100, text, 4), 3);  // truncated, terminated
    EXPECT_STREQ(text, "Van");
    EXPECT_EQ(LoadStringA(module, 99, text, sizeof text), 0);
    char path[4096];
    EXPECT_GT(GetModuleFileNameA(module, path, sizeof path), 0u);
    EXPECT_NE(std::string(path).find("libVantaProtocol.so"), std::string::npos);
    FreeLibrary(module);
}

TEST(ErrorInfo, OnePerThreadHandedOverOnce) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetSource(const_cast<LPOLESTR>(u"Sample.Thing.1"));
    create->SetDescription(const_cast<LPOLESTR>(u"went wrong"));
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
    std::thread([] {
        IErrorInfo* none = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    }).join();
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR text = nullptr;
    info->GetDescription(&text);
    EXPECT_EQ(std::u16string(text), u"went wrong");
    SysFreeString(text);
    info->Release();
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

// An IDispatch that counts calls and notes the thread that made them.
class Counter final : public IDispatch {
public:
    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* ids) override {
        ids[0] = 7;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        thread = GetCurrentThreadId();
        SetEvent(entered);
        WaitForSingleObject(release, INFINITE);
        ++calls;
        if (p->cArgs == 1 && p->rgvarg[0].vt == (VT_BYREF | VT_I4))
            *p->rgvarg[0].plVal = 41 + calls;
        if (result) {
            result->vt = VT_I4;
            result->lVal = calls;
        }
        return S_OK;
    }
    std::atomic<ULONG> refs{1};
};

TEST(Apartments, AProxyRunsCallsOnTheRegisteringThreadWhileItWaits) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    IGlobalInterfaceTable* git = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git)),
              S_OK);
    Counter counter;
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&counter, IID_IDispatch, &cookie), S_OK);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LONG byref = 0;
    HRESULT callResult = E_UNEXPECTED;
    std::thread caller([&] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        IDispatch* proxy = nullptr;
        EXPECT_EQ(
            git->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&proxy)),
            S_OK);
        EXPECT_NE(proxy, static_cast<IDispatch*>(&counter));
        std::u16string name = u"Count";
        LPOLESTR names[] = {name.data()};
        DISPID id = 0;
        EXPECT_EQ(proxy->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
        EXPECT_EQ(id, 7);
        UINT typeInfos = 9;
        EXPECT_EQ(proxy->GetTypeInfoCount(&typeInfos), S_OK);
        EXPECT_EQ(typeInfos, 0u);
        VARIANT arg;
        VariantInit(&arg);
        arg.vt = VT_BYREF | VT_I4;
        arg.plVal = &byref;
        DISPPARAMS params{&arg, nullptr, 1, 0};
        VARIANT result;
        VariantInit(&result);
        callResult =
            proxy->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        EXPECT_EQ(result.lVal, 1);
        proxy->Release();
        CoUninitialize();
        SetEvent(done);
    });
    DWORD index = 99;
    EXPECT_EQ(CoWaitForMultipleHandles(0, kWaitMs, 1, &done, &index), S_OK);
    EXPECT_EQ(index, 0u);
    caller.join();
    EXPECT_EQ(callResult, S_OK);
    EXPECT_EQ(byref, 42);
    EXPECT_EQ(counter.thread.load(), GetCurrentThreadId());
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(counter.refs.load(), 1u);
    CloseHandle(done);
    CoUninitialize();
}

TEST(Apartments, ACancelledCallReturnsWhileItsApartmentIsBusy) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IGlobalInterfaceTable* git = nullptr;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                     IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git));
    Counter counter;
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&counter, IID_IDispatch, &cookie), S_OK);
    std::atomic<DWORD> callerId{0};
    HRESULT callResult = E_UNEXPECTED;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread caller([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoEnableCallCancellation(nullptr);
        callerId = GetCurrentThreadId();
        IDispatch* proxy = nullptr;
        git->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&proxy));
        SetEvent(ready);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        callResult =
            proxy->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
        proxy->Release();
        CoDisableCallCancellation(nullptr);
        CoUninitialize();
    });
    ASSERT_EQ(WaitForSingleObject(ready, kWaitMs), WAIT_OBJECT_0);
    // This apartment does not pump: only cancellation can end the call.
    EXPECT_EQ(CoCancelCall(callerId, 0), S_OK);
    caller.join();
    EXPECT_EQ(callResult, RPC_E_CALL_CANCELED);
    // The abandoned call never runs when the apartment pumps later.
    DWORD index;
    CoWaitForMultipleHandles(0, 50, 1, &ready, &index);
    EXPECT_EQ(counter.calls.load(), 0);
    EXPECT_EQ(CoCancelCall(GetCurrentThreadId(), 0), CO_E_CANCEL_DISABLED);
    git->RevokeInterfaceFromGlobal(cookie);
    CloseHandle(ready);
    CoUninitialize();
}

TEST(Apartments, ActivationNeedsAnApartmentAndARegisteredClass) {
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(IID_IDispatch, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_NOTINITIALIZED);
    char dir[] = "/tmp/winapi-com-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("WINAPI_REGISTRY", (std::string(dir) + "/registry.reg").c_str(), 1);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(CoCreateInstance(IID_IDispatch, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"No.Such.Class", &clsid), CO_E_CLASSSTRING);
    CoUninitialize();
    unsetenv("WINAPI_REGISTRY");
    std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace
