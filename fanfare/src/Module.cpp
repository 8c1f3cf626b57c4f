// Fanfare's exports: registration, class factories and unloading; the module state.
#include "ComObjects.h"

#include <oleauto.h>

#include <QApplication>

#include <string>

namespace fanfare {
namespace {

constexpr UINT kScriptSplash = 102;
constexpr UINT kScriptAbout = 103;
constexpr UINT kScripts[] = {kScriptSplash, kScriptAbout};
comserver::ClassFactory<CPSplash> g_splashFactory;
comserver::ClassFactory<CPAbout> g_aboutFactory;
const comserver::ClassEntry kClasses[] = {{&CLSID_PSplash, &g_splashFactory},
                                          {&CLSID_PAbout, &g_aboutFactory}};

HRESULT UnregisterTypeLibrary() {
    return UnRegisterTypeLib(LIBID_FANFARELib, 1, 0, 0, SYS_WIN32);
}

}  // namespace

std::string Text(UINT id) {
    return comserver::ModuleText(id, "");
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

}  // extern "C"
