// PSplash and PAbout: the two creatable classes, each behind one dual interface.
#pragma once

#include "Fanfare_i.h"

#include <ComServer.h>

#include <windows.h>
#include <objbase.h>

#include <string>

namespace fanfare {

// Makes sure the library's own resources and a widget application are there before any window
// is touched; false when the process runs a non-widget application.
bool EnterModuleState();
// String-table text; empty when missing.
std::string Text(UINT id);

// IUnknown and IDispatch for one dual interface of this type library.
using comserver::DualObject;

// A COM string kept as narrow (ANSI) text; a null string is empty.
std::string Narrow(BSTR text);

class CPSplash final : public DualObject<IPSplash> {
public:
    CPSplash() : DualObject(DispatchTable_IPSplash, IID_IPSplash, LIBID_FANFARELib) {}
    STDMETHODIMP ShowSplashScreen() override;
    STDMETHODIMP put_Version(BSTR newVal) override;
    STDMETHODIMP put_BuildDate(BSTR newVal) override;
    STDMETHODIMP put_ProductName(BSTR newVal) override;

private:
    std::string m_version;
    std::string m_buildDate;
    std::string m_productName;
};

class CPAbout final : public DualObject<IPAbout> {
public:
    CPAbout() : DualObject(DispatchTable_IPAbout, IID_IPAbout, LIBID_FANFARELib) {}
    STDMETHODIMP ShowAboutBox() override;
    STDMETHODIMP put_ProductName(BSTR newVal) override;

private:
    std::string m_productName;
};

}  // namespace fanfare
