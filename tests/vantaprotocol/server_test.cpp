// The server through COM: registration, Vanta's errors and sessions, VantaHelper, and early-bound
// calls agreeing with IDispatch::Invoke by name.
#include "com_fixture.h"

#include <unitsim/virtual_unit.h>

#include <winreg.h>

#include <memory>

using namespace comtest;

namespace {

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new RegisteredServer);

constexpr char kVantaClsid[] = "{1B451293-6DE2-4506-A6FA-FF9CE1FD0B4D}";
constexpr char kMessageClsid[] = "{B94E9DB8-B975-4587-9D33-006A93C64284}";
constexpr char kHelperClsid[] = "{69A9DE2E-5D3B-47E9-AE3C-777A17E3C0B2}";
constexpr char kLibid[] = "{59412ED5-B129-4FE3-BCB1-C652BCC60616}";

bool KeyExists(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string Value(const std::string& path, const char* name = nullptr) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    char buffer[1024];
    DWORD size = sizeof buffer;
    LONG r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? std::string(buffer) : "<no value>";
}

size_t SubkeyCount(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    size_t n = 0;
    char name[256];
    DWORD size = sizeof name;
    while (RegEnumKeyExA(key, static_cast<DWORD>(n), name, &size, nullptr, nullptr, nullptr,
                         nullptr) == ERROR_SUCCESS) {
        ++n;
        size = sizeof name;
    }
    RegCloseKey(key);
    return n;
}

class Apartment : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { CoUninitialize(); }
};

// ---- Registration
// --------------------------------------------------------------------------------

TEST(Registration, WritesEachClassOnceAndRegisteringAgainChangesNothing) {
    ASSERT_EQ(RegisteredServer::Call("DllRegisterServer"), S_OK);  // the second time
    struct Row {
        const char* name;
        const char* clsid;
    } rows[] = {
        {"Vanta", kVantaClsid}, {"VantaMessage", kMessageClsid}, {"VantaHelper", kHelperClsid}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string versioned = std::string("VantaProtocol.") + row.name + ".1";
        std::string independent = std::string("VantaProtocol.") + row.name;
        std::string clsidKey = std::string("CLSID\\") + row.clsid;
        std::string description = std::string(row.name) + " Class";
        EXPECT_EQ(Value(versioned), description);
        EXPECT_EQ(Value(versioned + "\\CLSID"), row.clsid);
        EXPECT_EQ(Value(independent + "\\CLSID"), row.clsid);
        EXPECT_EQ(Value(independent + "\\CurVer"), versioned);
        EXPECT_EQ(Value(clsidKey), description);
        EXPECT_EQ(Value(clsidKey + "\\ProgID"), versioned);
        EXPECT_EQ(Value(clsidKey + "\\VersionIndependentProgID"), independent);
        EXPECT_TRUE(KeyExists(clsidKey + "\\Programmable"));
        char real[PATH_MAX];
        ASSERT_NE(realpath(VANTAPROTOCOL_PATH, real), nullptr);
        EXPECT_EQ(Value(clsidKey + "\\InprocServer32"), real);
        EXPECT_EQ(Value(clsidKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
        EXPECT_EQ(Value(clsidKey + "\\TypeLib"), kLibid);
        EXPECT_EQ(SubkeyCount(clsidKey), 5u);
    }
    EXPECT_EQ(SubkeyCount("CLSID"), 3u);
    EXPECT_EQ(Value(std::string("TypeLib\\") + kLibid + "\\1.0"), "VantaProtocol 1.0 Type Library");
}

TEST(Registration, TheTypeLibraryFoundByLibidNamesEveryMember) {
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadRegTypeLib(LIBID_VANTAPROTOCOLLib, 1, 0, 0, &lib), S_OK);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IVanta, &info), S_OK);
    std::u16string name = u"StartSession2";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK);
    EXPECT_EQ(id, 18);
    BSTR doc = nullptr;
    EXPECT_EQ(info->GetDocumentation(13, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(N(doc), "property GetLocalPort on which application is listenting to Vanta rqst");
    SysFreeString(doc);
    info->Release();
    lib->Release();
}

// Runs last in this suite (gtest keeps declaration order): it unregisters, then registers again.
TEST(Registration, UnregisteringRemovesEverythingButTheClsidBranch) {
    ASSERT_EQ(RegisteredServer::Call("DllUnregisterServer"), S_OK);
    for (const char* key : {"VantaProtocol.Vanta", "VantaProtocol.Vanta.1",
                            "VantaProtocol.VantaMessage", "VantaProtocol.VantaHelper.1"})
        EXPECT_FALSE(KeyExists(key)) << key;
    EXPECT_FALSE(KeyExists(std::string("CLSID\\") + kVantaClsid));
    EXPECT_FALSE(KeyExists(std::string("TypeLib\\") + kLibid));
    EXPECT_FALSE(KeyExists("Interface\\{554A53A1-6F97-41A6-99F0-26E2363C29FA}"));
    EXPECT_TRUE(KeyExists("CLSID"));
    ITypeLib* lib = nullptr;
    EXPECT_EQ(LoadRegTypeLib(LIBID_VANTAPROTOCOLLib, 1, 0, 0, &lib), TYPE_E_LIBNOTREGISTERED);
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"VantaProtocol.Vanta", &clsid), CO_E_CLASSSTRING);
    ASSERT_EQ(RegisteredServer::Call("DllRegisterServer"), S_OK);
}

TEST(Registration, ClassObjectsOnlyForTheServersClasses) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(RegisteredServer::module_, "DllGetClassObject")));
    void* factory = nullptr;
    EXPECT_EQ(get(IID_IDispatch, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
    auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
        reinterpret_cast<void*>(GetProcAddress(RegisteredServer::module_, "DllCanUnloadNow")));
    EXPECT_EQ(canUnload(), S_OK);
    IVantaHelper* helper = Create<IVantaHelper>("VantaProtocol.VantaHelper");
    EXPECT_EQ(canUnload(), S_FALSE);
    helper->Release();
    EXPECT_EQ(canUnload(), S_OK);
    auto version = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(RegisteredServer::module_, "VantaProtocolVersion")));
    EXPECT_STREQ(version(), "1.0.1.4");
    CoUninitialize();
}

#ifdef FANFARE_PATH
// Both servers link the same support library; loaded side by side, neither sees the other's
// objects, locks or classes.
TEST(Registration, AnotherServerInTheProcessKeepsItsOwnCountAndClasses) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    HMODULE other = LoadLibraryA(FANFARE_PATH);
    ASSERT_NE(other, nullptr) << FANFARE_PATH;
    ASSERT_NE(other, RegisteredServer::module_);
    auto ours = reinterpret_cast<LPFNCANUNLOADNOW>(
        reinterpret_cast<void*>(GetProcAddress(RegisteredServer::module_, "DllCanUnloadNow")));
    auto theirs = reinterpret_cast<LPFNCANUNLOADNOW>(
        reinterpret_cast<void*>(GetProcAddress(other, "DllCanUnloadNow")));
    auto theirClasses = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(other, "DllGetClassObject")));
    ASSERT_TRUE(ours && theirs && theirClasses);

    IVantaHelper* helper = Create<IVantaHelper>("VantaProtocol.VantaHelper");
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(ours(), S_FALSE);
    EXPECT_EQ(theirs(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"VantaProtocol.VantaHelper", &clsid), S_OK);
    void* factory = nullptr;
    EXPECT_EQ(theirClasses(clsid, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(factory, nullptr);
    helper->Release();
    EXPECT_EQ(ours(), S_OK);
#if !defined(__SANITIZE_ADDRESS__)
    // Sanitizer builds keep the other server loaded: what its runtime keeps alive on purpose
    // would count as leaked once the module is gone.
    FreeLibrary(other);
#endif
    CoUninitialize();
}
#endif

// ---- Vanta without and with a session
// ------------------------------------------------------------

class VantaObject : public Apartment {
protected:
    void SetUp() override {
        Apartment::SetUp();
        vanta = Create<IVanta>("VantaProtocol.Vanta");
        ASSERT_NE(vanta, nullptr);
    }
    void TearDown() override {
        if (vanta)
            vanta->Release();
        Apartment::TearDown();
    }
    void ExpectError(HRESULT got, HRESULT want, const std::string& text) {
        EXPECT_EQ(got, want);
        auto [source, description] = TakeError();
        EXPECT_EQ(source, "VantaProtocol.Vanta.1");
        EXPECT_EQ(description, text);
    }
    HRESULT Start(unsigned short port, long local = 0) {
        Bstr host("127.0.0.1");
        return vanta->StartSession(host.p, port, local);
    }
    IVanta* vanta = nullptr;
};

const std::string kText101 = "Session has already been started, use Shutdown first.";
const std::string kText103 =
    "Cannot use session if it has not been started, use StartSession first.";
const std::string kText104 = "Invalid argument passed in, check if object is properly initialized";

TEST_F(VantaObject, WithoutASessionEachMemberFailsAsSpecified) {
    ExpectError(vanta->SendStatus(), E_FAIL, kText103);
    ExpectError(vanta->SendClose(), E_FAIL, kText103);
    ExpectError(vanta->SendReset(), E_FAIL, kText103);
    ExpectError(vanta->Capture(Image16bitMode), E_FAIL, kText103);
    ExpectError(vanta->Get(Image8bitMode), E_FAIL, kText103);
    Bstr name("XRayTimeout");
    ExpectError(vanta->GetParameter(name.p), E_FAIL, kText103);
    ExpectError(vanta->SetParameter(name.p, name.p), E_FAIL, kText103);
    ExpectError(vanta->CaptureTo(Image16bitMode, name.p, 1000), E_FAIL, kText103);
    ExpectError(vanta->StopSession(), E_POINTER, kText103);
    // Getters look at the out-pointer before the session.
    ExpectError(vanta->get_LocalIP(nullptr), E_POINTER, kText104);
    ExpectError(vanta->get_LocalPort(nullptr), E_POINTER, kText104);
    ExpectError(vanta->get_VantaIP(nullptr), E_POINTER, kText104);
    ExpectError(vanta->get_VantaPort(nullptr), E_POINTER, kText104);
    ExpectError(vanta->get_SessionId(nullptr), E_POINTER, kText104);
    ExpectError(vanta->get_Started(nullptr), E_POINTER, kText104);
    BSTR text = nullptr;
    LONG number = 7;
    ExpectError(vanta->get_LocalIP(&text), E_FAIL, kText103);
    ExpectError(vanta->get_VantaPort(&number), E_FAIL, kText103);
    EXPECT_EQ(vanta->get_Started(&number), S_OK);
    EXPECT_EQ(number, 0);

    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(vanta->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)),
              S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IVanta), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    support->Release();
}

TEST_F(VantaObject, ASessionShowsItsAddressesAndASecondStartIsRefused) {
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    ASSERT_EQ(Start(unit.port()), S_OK);
    ExpectError(Start(unit.port()), E_FAIL, kText101);
    LONG n = 0;
    EXPECT_EQ(vanta->get_Started(&n), S_OK);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(vanta->get_LocalPort(&n), S_OK);
    EXPECT_GT(n, 0);  // chosen by the system
    EXPECT_EQ(vanta->get_VantaPort(&n), S_OK);
    EXPECT_EQ(n, unit.port());
    BSTR text = nullptr;
    EXPECT_EQ(vanta->get_VantaIP(&text), S_OK);
    EXPECT_EQ(N(text), "127.0.0.1");
    SysFreeString(text);
    EXPECT_EQ(vanta->get_LocalIP(&text), S_OK);
    EXPECT_EQ(N(text), "127.0.0.1");  // the address facing the unit, not the host name's
    SysFreeString(text);
    EXPECT_EQ(vanta->get_SessionId(&text), S_OK);
    EXPECT_FALSE(N(text).empty());
    SysFreeString(text);
    // The first session still works.
    EXPECT_EQ(vanta->SendStatus(), S_OK);
    EXPECT_TRUE(unit.waitForRequests(1, std::chrono::seconds(20)));
    EXPECT_EQ(vanta->StopSession(), S_OK);
    EXPECT_EQ(vanta->get_Started(&n), S_OK);
    EXPECT_EQ(n, 0);
}

TEST_F(VantaObject, RefusesBadPortsUnresolvableNamesAndABoundPort) {
    Bstr host("127.0.0.1");
    const std::string portText = "A port number must lie between 0 and 65535.";
    ExpectError(vanta->StartSession(host.p, 65536, 0), E_INVALIDARG, portText);
    ExpectError(vanta->StartSession(host.p, 104, -1), E_INVALIDARG, portText);
    Bstr nowhere("no-such-unit.invalid");
    ExpectError(vanta->StartSession(nowhere.p, 104, 0), E_FAIL,
                "The unit's name could not be resolved to an address.");
    ExpectError(vanta->StartSession(nullptr, 104, 0), E_FAIL,
                "The unit's name could not be resolved to an address.");

    // A port another socket holds without address reuse.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
    SOCKET holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    listen(holder, 1);
    int len = sizeof a;
    getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    HRESULT hr = vanta->StartSession(host.p, 104, ntohs(a.sin_port));
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(TakeError().second.rfind("Error binding socket", 0), 0u);
    closesocket(holder);
    WSACleanup();
    LONG started = 1;
    vanta->get_Started(&started);
    EXPECT_EQ(started, 0);
}

TEST_F(VantaObject, TextsThatWouldBreakTheRequestAreRefusedAndNothingIsSent) {
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    ASSERT_EQ(Start(unit.port()), S_OK);
    const std::string text =
        "A parameter name or value holding a line break or a zero character cannot be sent.";
    Bstr good("XRayTimeout"), injected("XRayTimeout\r\nCMD=RESET");
    ExpectError(vanta->GetParameter(injected.p), E_INVALIDARG, text);
    ExpectError(vanta->SetParameter(good.p, injected.p), E_INVALIDARG, text);
    const OLECHAR withZero[] = {u'A', 0, u'B'};
    BSTR zero = SysAllocStringLen(withZero, 3);
    ExpectError(vanta->SetParameter(zero, good.p), E_INVALIDARG, text);
    SysFreeString(zero);
    ExpectError(vanta->CaptureTo(Image16bitMode, good.p, 70000), E_INVALIDARG,
                "A port number must lie between 0 and 65535.");
    EXPECT_EQ(vanta->GetParameter(nullptr), S_OK);  // a missing name sends nothing
    EXPECT_EQ(unit.counters().requestsHandled, 0u);
    EXPECT_EQ(vanta->GetParameter(good.p), S_OK);
    EXPECT_TRUE(unit.waitForRequests(1, std::chrono::seconds(20)));
    EXPECT_EQ(vanta->StopSession(), S_OK);
}

// StopSession closes the unit only when it answers a ping; with the ICMP module hidden the ping
// cannot be answered.
TEST_F(VantaObject, StopSessionSendsCloseOnlyAfterAPingReply) {
    for (bool pingable : {true, false}) {
        SCOPED_TRACE(pingable ? "ping answered" : "no ping");
        std::mutex lock;
        std::vector<std::string> lines;
        unitsim::Config config;
        config.log = [&](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock);
            lines.emplace_back(line);
        };
        unitsim::VirtualUnit unit(config);
        unit.start();
        char emptyDir[] = "/tmp/vantaprotocol-nomodules-XXXXXX";
        ASSERT_NE(mkdtemp(emptyDir), nullptr);
        if (!pingable)
            setenv("WINAPI_MODULE_PATH", emptyDir, 1);
        ASSERT_EQ(Start(unit.port()), S_OK);
        ASSERT_EQ(vanta->SendStatus(), S_OK);
        ASSERT_TRUE(unit.waitForRequests(1, std::chrono::seconds(20)));
        EXPECT_EQ(vanta->StopSession(), S_OK);
        unsetenv("WINAPI_MODULE_PATH");
        if (pingable) {
            EXPECT_TRUE(unit.waitForRequests(2, std::chrono::seconds(20)));
        }
        unit.stop();
        size_t closes = 0;
        for (auto& l : lines)
            closes += l.rfind("<- ", 0) == 0 && l.find("CMD=CLOSE") != std::string::npos;
        EXPECT_EQ(closes, pingable ? 1u : 0u);
        rmdir(emptyDir);
    }
}

TEST_F(VantaObject, ConnectionPointsAndConnectionsCanBeEnumerated) {
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(
        vanta->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
        S_OK);
    IConnectionPoint* other = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &other), CONNECT_E_NOCONNECTION);
    IEnumConnectionPoints* points = nullptr;
    ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
    IConnectionPoint* point[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(2, point, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    IID iid{};
    point[0]->GetConnectionInterface(&iid);
    EXPECT_TRUE(iid == DIID__IVantaEvents);
    points->Release();

    RecordingSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point[0]->Advise(&sink, &cookie), S_OK);
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point[0]->EnumConnections(&connections), S_OK);
    CONNECTDATA data{};
    EXPECT_EQ(connections->Next(1, &data, nullptr), S_OK);
    EXPECT_EQ(data.dwCookie, cookie);
    EXPECT_EQ(data.pUnk, static_cast<IUnknown*>(&sink));
    data.pUnk->Release();
    EXPECT_EQ(connections->Next(1, &data, nullptr), S_FALSE);
    connections->Release();
    EXPECT_EQ(point[0]->Unadvise(cookie), S_OK);
    EXPECT_EQ(point[0]->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    point[0]->Release();
    container->Release();
}

// ---- Early bound and IDispatch agree
// -------------------------------------------------------------

struct Outcome {
    HRESULT hr;
    std::string error;
    std::string text;
    LONG number = 0;
};

Outcome ByName(IDispatch* object, const char* member, WORD flags, std::vector<VARIANT> args,
               VARTYPE resultType) {
    std::u16string name = W(member);
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << member;
    std::reverse(args.begin(), args.end());
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep{};
    Outcome o{};
    o.hr =
        object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &excep, nullptr);
    if (o.hr == DISP_E_EXCEPTION) {
        o.hr = excep.scode;
        o.error = N(excep.bstrDescription);
        EXPECT_EQ(N(excep.bstrSource).rfind("VantaProtocol.", 0), 0u);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        TakeError();
    }
    if (result.vt == VT_BSTR)
        o.text = N(result.bstrVal);
    if (result.vt == VT_I4)
        o.number = result.lVal;
    EXPECT_TRUE(FAILED(o.hr) || resultType == VT_EMPTY || result.vt == resultType) << member;
    VariantClear(&result);
    for (auto& a : args)
        if (!(a.vt & VT_BYREF))
            VariantClear(&a);
    return o;
}

VARIANT I4(LONG v) {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_I4;
    a.lVal = v;
    return a;
}
VARIANT Str(const std::string& s) {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_BSTR;
    a.bstrVal = SysAllocString(W(s).c_str());
    return a;
}

TEST_F(VantaObject, EarlyBoundAndInvokeByNameAgree) {
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    const LONG port = unit.port();
    struct Row {
        const char* what;
        std::function<Outcome()> early;
        std::function<Outcome()> late;
    };
    auto early = [](HRESULT hr) { return Outcome{hr, TakeError().second, "", 0}; };
    std::vector<Row> rows = {
        {"SendStatus before a session", [&] { return early(vanta->SendStatus()); },
         [&] { return ByName(vanta, "sendstatus", DISPATCH_METHOD, {}, VT_EMPTY); }},
        {"StopSession before a session", [&] { return early(vanta->StopSession()); },
         [&] { return ByName(vanta, "StopSession", DISPATCH_METHOD, {}, VT_EMPTY); }},
        {"Started",
         [&] {
             Outcome o = early(S_OK);
             o.hr = vanta->get_Started(&o.number);
             return o;
         },
         [&] { return ByName(vanta, "Started", DISPATCH_PROPERTYGET, {}, VT_I4); }},
        {"StartSession with a bad port",
         [&] {
             Bstr host("127.0.0.1");
             return early(vanta->StartSession(host.p, 70000, 0));
         },
         [&] {
             return ByName(vanta, "StartSession", DISPATCH_METHOD,
                           {Str("127.0.0.1"), I4(70000), I4(0)}, VT_EMPTY);
         }},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.what);
        Outcome a = row.early(), b = row.late();
        EXPECT_EQ(a.hr, b.hr);
        EXPECT_EQ(a.error, b.error);
        EXPECT_EQ(a.number, b.number);
    }
    // With a session: start by name (a number given as text is coerced), read back both ways.
    Outcome started = ByName(vanta, "StartSession", DISPATCH_METHOD,
                             {Str("127.0.0.1"), Str(std::to_string(port)), I4(0)}, VT_EMPTY);
    ASSERT_EQ(started.hr, S_OK) << started.error;
    LONG localPort = 0;
    ASSERT_EQ(vanta->get_LocalPort(&localPort), S_OK);
    EXPECT_EQ(ByName(vanta, "LocalPort", DISPATCH_PROPERTYGET, {}, VT_I4).number, localPort);
    BSTR id = nullptr;
    ASSERT_EQ(vanta->get_SessionId(&id), S_OK);
    EXPECT_EQ(ByName(vanta, "SessionId", DISPATCH_PROPERTYGET, {}, VT_BSTR).text, N(id));
    SysFreeString(id);
    Outcome second = ByName(vanta, "StartSession", DISPATCH_METHOD,
                            {Str("127.0.0.1"), I4(port), I4(0)}, VT_EMPTY);
    EXPECT_EQ(second.hr, E_FAIL);
    EXPECT_EQ(second.error, kText101);
    // Wrong use of IDispatch itself.
    EXPECT_EQ(ByName(vanta, "SendStatus", DISPATCH_METHOD, {I4(1)}, VT_EMPTY).hr,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(ByName(vanta, "LocalPort", DISPATCH_METHOD, {}, VT_EMPTY).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(ByName(vanta, "StopSession", DISPATCH_METHOD, {}, VT_EMPTY).hr, S_OK);
}

// ---- VantaHelper
// ---------------------------------------------------------------------------------

TEST_F(Apartment, HelperValidatesAddressesPingsAndFindsTheLocalAddress) {
    IVantaHelper* helper = Create<IVantaHelper>("VantaProtocol.VantaHelper");
    ASSERT_NE(helper, nullptr);
    const std::string bad = "Invalid IP address was specified, must be in format x.x.x.x!";
    for (const char* text : {"1.2.3", "127.000.000.0001", "abc.def.g.h", "", "300.1.1.1"}) {
        SCOPED_TRACE(text);
        Bstr address(text);
        LONG found = 5;
        EXPECT_EQ(helper->PingVantex(address.p, &found), E_INVALIDARG);
        EXPECT_EQ(found, 0);
        auto [source, description] = TakeError();
        EXPECT_EQ(source, "VantaProtocol.VantaHelper.1");
        EXPECT_EQ(description, bad);
        BSTR local = nullptr;
        EXPECT_EQ(helper->FindIPToVantex(address.p, &local), E_INVALIDARG);
        EXPECT_EQ(TakeError().second, bad);
    }
    LONG found = 0;
    EXPECT_EQ(helper->PingVantex(nullptr, &found), E_INVALIDARG);
    Bstr loopback("127.0.0.1");
    EXPECT_EQ(helper->PingVantex(loopback.p, &found), S_OK);
    EXPECT_EQ(found, -1);
    BSTR local = nullptr;
    EXPECT_EQ(helper->FindIPToVantex(loopback.p, &local), S_OK);
    EXPECT_EQ(N(local), "127.0.0.1");
    SysFreeString(local);

    // Without the network modules.
    char emptyDir[] = "/tmp/vantaprotocol-nomodules-XXXXXX";
    ASSERT_NE(mkdtemp(emptyDir), nullptr);
    setenv("WINAPI_MODULE_PATH", emptyDir, 1);
    EXPECT_EQ(helper->FindIPToVantex(loopback.p, &local), E_INVALIDARG);
    EXPECT_EQ(TakeError().second, "Could not find local IP address to Vantex.");
    EXPECT_EQ(helper->PingVantex(loopback.p, &found), S_OK);
    EXPECT_EQ(found, 0);
    unsetenv("WINAPI_MODULE_PATH");
    rmdir(emptyDir);

    // The [out] flag through IDispatch: a by-reference argument.
    LONG byref = 0;
    VARIANT args[2];
    VariantInit(&args[0]);
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = &byref;
    args[1] = Str("127.0.0.1");
    DISPPARAMS params{args, nullptr, 2, 0};
    std::u16string name = u"PingVantex";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    ASSERT_EQ(helper->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(helper->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(byref, -1);
    VariantClear(&args[1]);
    helper->Release();
}

TEST_F(Apartment, AFreshMessageHasItsDefaults) {
    IVantaMessage* message = Create<IVantaMessage>("VantaProtocol.VantaMessage");
    ASSERT_NE(message, nullptr);
    LONG n = 0;
    EXPECT_EQ(message->get_Valid(&n), S_OK);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(message->get_Sensor(&n), S_OK);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(message->get_Length(&n), S_OK);
    EXPECT_EQ(n, 0);
    BSTR text = nullptr;
    EXPECT_EQ(message->get_Error(&text), S_OK);
    EXPECT_EQ(N(text), "0: 0");
    SysFreeString(text);
    EXPECT_EQ(message->get_MsgId(&text), S_OK);
    EXPECT_FALSE(N(text).empty());
    SysFreeString(text);
    EXPECT_EQ(message->get_MsgId(nullptr), E_POINTER);
    auto [source, description] = TakeError();
    EXPECT_EQ(source, "VantaProtocol.VantaMessage.1");
    EXPECT_EQ(description, kText104);
    VARIANT image;
    EXPECT_EQ(message->get_Image(&image), S_OK);
    EXPECT_EQ(image.vt, VT_EMPTY);
    message->Release();
}

}  // namespace
