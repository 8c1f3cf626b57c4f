// vantactl: a late-bound client of "VantaProtocol.Vanta" that calls members by name through
// IDispatch, as a script does, printing events as they arrive; and the server's registration.
#include "VantaProtocol_i.h"

#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum ExitCode { kOk = 0, kMemberFailed = 1, kUsage = 2, kWaitTimedOut = 3, kNoServer = 4 };

constexpr DWORD kDefaultWaitMs = 10000;
constexpr DWORD kPumpSliceMs = 50;
constexpr char kDefaultProgId[] = "VantaProtocol.Vanta";
constexpr char kServerFile[] = "libVantaProtocol.so";

const char kUsageText[] =
    "usage: vantactl register [LIBRARY]\n"
    "       vantactl unregister [LIBRARY]\n"
    "       vantactl [--progid PROGID] [--wait-ms MS] STATEMENT...\n"
    "\n"
    "register/unregister call DllRegisterServer/DllUnregisterServer of the server library\n"
    "(default: "
    "libVantaProtocol.so in the lib directory beside vantactl's bin directory).\n"
    "\n"
    "Each STATEMENT is one argument, run in order against one object made by ProgID:\n"
    "  \"MEMBER ARG...\"        call a method or read a property by name; whole numbers go as\n"
    "                         VT_I4, anything else as VT_BSTR\n"
    "  \"wait EVENT [COUNT]\"   service events until COUNT (1) more EVENTs arrived\n"
    "  \"sleep MS\"             service events for MS milliseconds\n"
    "Events are printed as they arrive; a message's properties are read by name.\n"
    "Example: vantactl \"StartSession 127.0.0.1 5104 0\" SendStatus \"wait OnIncomingMessage\" "
    "StopSession\n"
    "Exit status: 0 success, 1 a member failed, 2 usage, 3 an event did not come in time,\n"
    "4 the server could not be loaded or created.\n";

std::u16string Wide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    std::u16string out(n, u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

std::string Narrow(BSTR s) {
    if (!s)
        return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(SysStringLen(s)), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(SysStringLen(s)), out.data(), n,
                            nullptr, nullptr);
    return out;
}

std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

std::string Show(const VARIANT& v) {
    switch (v.vt) {
        case VT_EMPTY:
            return "(empty)";
        case VT_I4:
            return std::to_string(v.lVal);
        case VT_BSTR:
            return "\"" + Narrow(v.bstrVal) + "\"";
        case VT_ARRAY | VT_UI1: {
            LONG lower = 0, upper = -1;
            SafeArrayGetLBound(v.parray, 1, &lower);
            SafeArrayGetUBound(v.parray, 1, &upper);
            return "(" + std::to_string(upper - lower + 1) + " bytes)";
        }
        case VT_DISPATCH:
            return "(object)";
        default:
            return "(type " + std::to_string(v.vt) + ")";
    }
}

// Calls a member by name: a method, or a property read.
HRESULT CallByName(IDispatch* object, const std::string& member, std::vector<VARIANT>& args,
                   VARIANT& result, std::string& error) {
    std::u16string name = Wide(member);
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        error = "no member named " + member;
        return hr;
    }
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO excep{};
    UINT argErr = 0;
    VariantInit(&result);
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                        &params, &result, &excep, &argErr);
    if (hr == DISP_E_EXCEPTION) {
        hr = excep.scode;
        error = Narrow(excep.bstrDescription) + " (" + Narrow(excep.bstrSource) + ")";
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
    } else if (hr == DISP_E_BADPARAMCOUNT) {
        error = "wrong number of arguments";
    } else if (hr == DISP_E_TYPEMISMATCH) {
        error = "argument " + std::to_string(args.size() - argErr) + " has the wrong type";
    }
    return hr;
}

std::string Property(IDispatch* object, const char* name) {
    std::vector<VARIANT> none;
    VARIANT value;
    std::string error;
    if (FAILED(CallByName(object, name, none, value, error)))
        return "?";
    std::string text = value.vt == VT_BSTR ? Narrow(value.bstrVal) : Show(value);
    VariantClear(&value);
    return text;
}

// Prints each event; counts them by name for "wait".
class EventPrinter final : public IDispatch {
public:
    EventPrinter() { wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    ~EventPrinter() { CloseHandle(wake_); }
    HANDLE Wake() const { return wake_; }
    size_t Count(const std::string& name) const {
        size_t n = 0;
        for (auto& s : seen_)
            n += strcasecmp(s.c_str(), name.c_str()) == 0;
        return n;
    }

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
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (!params || params->cArgs != 1)
            return DISP_E_BADPARAMCOUNT;
        const VARIANT& arg = params->rgvarg[0];
        std::string name;
        if (id == DISPID__IVantaEvents_OnIncomingMessage && arg.vt == VT_DISPATCH && arg.pdispVal) {
            name = "OnIncomingMessage";
            IDispatch* m = arg.pdispVal;
            std::printf(
                "event OnIncomingMessage: Name=%s MsgId=%s Length=%s State=%s Error=%s "
                "Sensor=%s Valid=%s ParameterName=%s ParameterValue=%s Image=%s\n",
                Property(m, "Name").c_str(), Property(m, "MsgId").c_str(),
                Property(m, "Length").c_str(), Property(m, "State").c_str(),
                Property(m, "Error").c_str(), Property(m, "Sensor").c_str(),
                Property(m, "Valid").c_str(), Property(m, "ParameterName").c_str(),
                Property(m, "ParameterValue").c_str(), Property(m, "Image").c_str());
        } else if (id == DISPID__IVantaEvents_ImageDownloadStarted && arg.vt == VT_I4) {
            name = "ImageDownloadStarted";
            std::printf("event ImageDownloadStarted: %d bytes\n", arg.lVal);
        } else if (id == DISPID__IVantaEvents_ImageDownloadProgress && arg.vt == VT_I4) {
            name = "ImageDownloadProgress";
            std::printf("event ImageDownloadProgress: %d bytes\n", arg.lVal);
        } else {
            return DISP_E_MEMBERNOTFOUND;
        }
        std::fflush(stdout);
        seen_.push_back(name);
        SetEvent(wake_);
        return S_OK;
    }

private:
    std::vector<std::string> seen_;  // only touched on the client's thread
    HANDLE wake_;
};

void Pump(EventPrinter& sink, DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    HANDLE wake = sink.Wake();
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        DWORD index;
        DWORD slice = static_cast<DWORD>(end - now < kPumpSliceMs ? end - now : kPumpSliceMs);
        CoWaitForMultipleHandles(0, slice, 1, &wake, &index);
    }
}

std::string DefaultServerPath(const char* argv0) {
    char exe[4096];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string path = n > 0 && n < sizeof exe ? std::string(exe, n) : std::string(argv0);
    std::string dir = path.substr(0, path.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/lib/" + kServerFile;
}

int Registration(bool doRegister, const std::string& library) {
    HMODULE module = LoadLibraryA(library.c_str());
    if (!module) {
        std::fprintf(stderr, "vantactl: cannot load %s\n", library.c_str());
        return kNoServer;
    }
    const char* entry = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    auto function = reinterpret_cast<LPFNREGISTERSERVER>(
        reinterpret_cast<void*>(GetProcAddress(module, entry)));
    if (!function) {
        std::fprintf(stderr, "vantactl: %s has no %s\n", library.c_str(), entry);
        FreeLibrary(module);
        return kNoServer;
    }
    HRESULT hr = function();
    FreeLibrary(module);
    if (FAILED(hr)) {
        std::fprintf(stderr, "vantactl: %s failed: %s\n", entry, Hex(hr).c_str());
        return kMemberFailed;
    }
    std::printf("%s succeeded for %s\n", entry, library.c_str());
    return kOk;
}

bool IsNumber(const std::string& s) {
    if (s.empty() || s.size() > 11)
        return false;
    size_t start = s[0] == '-' ? 1 : 0;
    return start < s.size() && s.find_first_not_of("0123456789", start) == std::string::npos;
}

int Run(const std::string& progId, DWORD waitMs, const std::vector<std::string>& statements) {
    CLSID clsid;
    std::u16string wideProgId = Wide(progId);
    HRESULT hr = CLSIDFromProgID(wideProgId.c_str(), &clsid);
    if (FAILED(hr)) {
        std::fprintf(stderr, "vantactl: %s is not registered (%s); run \"vantactl register\"\n",
                     progId.c_str(), Hex(hr).c_str());
        return kNoServer;
    }
    IDispatch* object = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
        std::fprintf(stderr, "vantactl: cannot create %s: %s\n", progId.c_str(), Hex(hr).c_str());
        return kNoServer;
    }
    EventPrinter sink;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    if (SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer,
                                         reinterpret_cast<void**>(&container))) &&
        SUCCEEDED(container->FindConnectionPoint(DIID__IVantaEvents, &point)))
        point->Advise(&sink, &cookie);

    int status = kOk;
    for (const auto& statement : statements) {
        std::istringstream words(statement);
        std::vector<std::string> parts;
        for (std::string w; words >> w;)
            parts.push_back(w);
        if (parts.empty())
            continue;
        if (parts[0] == "sleep" && parts.size() == 2) {
            Pump(sink, static_cast<DWORD>(std::strtoul(parts[1].c_str(), nullptr, 10)));
            continue;
        }
        if (parts[0] == "wait" && (parts.size() == 2 || parts.size() == 3)) {
            size_t more = parts.size() == 3 ? std::strtoul(parts[2].c_str(), nullptr, 10) : 1;
            size_t target = sink.Count(parts[1]) + more;
            ULONGLONG end = GetTickCount64() + waitMs;
            while (sink.Count(parts[1]) < target && GetTickCount64() < end)
                Pump(sink, kPumpSliceMs);
            if (sink.Count(parts[1]) < target) {
                std::fprintf(stderr, "vantactl: no %s within %u ms\n", parts[1].c_str(), waitMs);
                status = kWaitTimedOut;
                break;
            }
            continue;
        }
        std::vector<VARIANT> args;
        for (size_t i = 1; i < parts.size(); ++i) {
            VARIANT v;
            VariantInit(&v);
            if (IsNumber(parts[i])) {
                v.vt = VT_I4;
                v.lVal = static_cast<LONG>(std::strtol(parts[i].c_str(), nullptr, 10));
            } else {
                v.vt = VT_BSTR;
                v.bstrVal = SysAllocString(Wide(parts[i]).c_str());
            }
            args.push_back(v);
        }
        VARIANT result;
        std::string error;
        hr = CallByName(object, parts[0], args, result, error);
        for (auto& a : args)
            VariantClear(&a);
        if (FAILED(hr)) {
            std::fprintf(stderr, "%s failed: %s %s\n", parts[0].c_str(), Hex(hr).c_str(),
                         error.c_str());
            status = kMemberFailed;
            break;
        }
        if (result.vt == VT_EMPTY)
            std::printf("%s: ok\n", parts[0].c_str());
        else
            std::printf("%s = %s\n", parts[0].c_str(), Show(result).c_str());
        std::fflush(stdout);
        VariantClear(&result);
        Pump(sink, 0);
    }
    if (point) {
        point->Unadvise(cookie);
        point->Release();
    }
    if (container)
        container->Release();
    object->Release();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsageText, args.empty() ? stderr : stdout);
        return args.empty() ? kUsage : kOk;
    }
    if (args[0] == "register" || args[0] == "unregister") {
        if (args.size() > 2) {
            std::fputs(kUsageText, stderr);
            return kUsage;
        }
        return Registration(args[0] == "register",
                            args.size() == 2 ? args[1] : DefaultServerPath(argv[0]));
    }
    std::string progId = kDefaultProgId;
    DWORD waitMs = kDefaultWaitMs;
    std::vector<std::string> statements;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--progid" && i + 1 < args.size()) {
            progId = args[++i];
        } else if (args[i] == "--wait-ms" && i + 1 < args.size()) {
            waitMs = static_cast<DWORD>(std::strtoul(args[++i].c_str(), nullptr, 10));
        } else if (args[i].rfind("--", 0) == 0) {
            std::fputs(kUsageText, stderr);
            return kUsage;
        } else {
            statements.push_back(args[i]);
        }
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::fprintf(stderr, "vantactl: cannot enter an apartment\n");
        return kNoServer;
    }
    int status = Run(progId, waitMs, statements);
    CoUninitialize();
    return status;
}
