// The server's exports: registration, class factories, unloading, and its version.
#include "CVanta.h"
#include "CVantaHelper.h"
#include "CVantaMessage.h"
#include "ComSupport.h"

#include <vantaprotocol/VantaProtocolVersion.h>

using namespace vantacom;

namespace {

constexpr UINT kScriptVanta = 101;
constexpr UINT kScriptMessage = 105;
constexpr UINT kScriptHelper = 106;
constexpr UINT kScripts[] = {kScriptVanta, kScriptMessage, kScriptHelper};

comserver::ClassFactory<CVanta> g_vantaFactory;
comserver::ClassFactory<CVantaMessage> g_messageFactory;
comserver::ClassFactory<CVantaHelper> g_helperFactory;
const comserver::ClassEntry kClasses[] = {{&CLSID_Vanta, &g_vantaFactory},
                                          {&CLSID_VantaMessage, &g_messageFactory},
                                          {&CLSID_VantaHelper, &g_helperFactory}};

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
    return comserver::RegisterServer(kScripts);
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllUnregisterServer() {
    return comserver::UnregisterServer(kScripts, &UnregisterTypeLibrary);
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid,
                                                                                   REFIID riid,
                                                                                   LPVOID* ppv) {
    return comserver::GetClassObject(kClasses, rclsid, riid, ppv);
}

__attribute__((visibility("default"))) HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return comserver::CanUnloadNow();
}

__attribute__((visibility("default"))) const char* VantaProtocolVersion() {
    return kVantaProtocolFileVersion;
}

}  // extern "C"
