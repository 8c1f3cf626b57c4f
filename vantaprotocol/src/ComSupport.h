// What every class of the server shares: error objects with string-table texts, BSTR
// conversions and the dual-interface object base.
#pragma once

#include "VantaProtocol_i.h"

#include <ComServer.h>

#include <windows.h>
#include <objbase.h>

#include <string>

namespace vantacom {

// String-table ids.
enum TextId : UINT {
    kTextProjectName = 100,
    kTextSessionStarted = 101,
    kTextMemory = 102,
    kTextNoSession = 103,
    kTextInvalidArgument = 104,
    kTextInvalidAddress = 105,
    kTextNoLocalAddress = 106,
    kTextUnsafeText = 107,
    kTextPortRange = 108,
    kTextUnresolvedUnit = 109,
};

inline constexpr char kProgIdVanta[] = "VantaProtocol.Vanta.1";
inline constexpr char kProgIdMessage[] = "VantaProtocol.VantaMessage.1";
inline constexpr char kProgIdHelper[] = "VantaProtocol.VantaHelper.1";

// Sets the thread's error object (source `progId`, GUID_NULL, no help) and returns `hr`.
HRESULT Fail(const char* progId, HRESULT hr, const std::string& description);
HRESULT Fail(const char* progId, HRESULT hr, TextId text);
// The string-table text, or "Unknown Error" when it is missing.
std::string Text(TextId id);

// BSTR to ANSI; false for a null BSTR ("missing text").
bool ToAnsi(BSTR text, std::string& out);
// ANSI to a new BSTR; null when it cannot be allocated.
BSTR ToBstr(const std::string& ansi);
// Whether a text can travel inside one request line.
bool SafeOnWire(BSTR text);

// The shared dual-interface object of this type library, answering ISupportErrorInfo for its
// interface; further interfaces come from QueryMore.
template <class Interface>
class DualObject : public comserver::DualObject<Interface>, public ISupportErrorInfo {
    using Base = comserver::DualObject<Interface>;

public:
    DualObject(const DISPATCH_TABLE& table, const IID& iid)
        : Base(table, iid, LIBID_VANTAPROTOCOLLib) {}

    // IUnknown of both bases is the one of the shared object.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return Base::QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return Base::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Base::Release(); }

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == this->InterfaceId() ? S_OK : S_FALSE;
    }

protected:
    virtual void* QueryMore(REFIID) { return nullptr; }

private:
    void* QueryOther(REFIID riid) final {
        if (riid == IID_ISupportErrorInfo)
            return static_cast<ISupportErrorInfo*>(this);
        return QueryMore(riid);
    }
};

}  // namespace vantacom
