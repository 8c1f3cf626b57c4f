// Error objects with string-table texts, and BSTR conversions.
#include "ComSupport.h"

#include <oleauto.h>

#include <cstring>

namespace vantacom {
namespace {

constexpr char kUnknownError[] = "Unknown Error";
}  // namespace

std::string Text(TextId id) {
    return comserver::ModuleText(id, kUnknownError);
}

HRESULT Fail(const char* progId, HRESULT hr, const std::string& description) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)))
        return hr;
    BSTR source = ToBstr(progId);
    BSTR text = ToBstr(description);
    create->SetGUID(GUID_NULL);
    create->SetSource(source);
    create->SetDescription(text);
    SysFreeString(source);
    SysFreeString(text);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

HRESULT Fail(const char* progId, HRESULT hr, TextId text) {
    return Fail(progId, hr, Text(text));
}

bool ToAnsi(BSTR text, std::string& out) {
    out.clear();
    if (!text)
        return false;
    UINT length = SysStringLen(text);
    if (length == 0)
        return true;
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                    nullptr);
    out.resize(bytes);
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out.data(), bytes, nullptr,
                        nullptr);
    return true;
}

BSTR ToBstr(const std::string& ansi) {
    if (ansi.empty())
        return SysAllocStringLen(u"", 0);
    int units =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    BSTR out = SysAllocStringLen(nullptr, units);
    if (out)
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), out, units);
    return out;
}

bool SafeOnWire(BSTR text) {
    UINT length = SysStringLen(text);
    for (UINT i = 0; i < length; ++i)
        if (text[i] == u'\r' || text[i] == u'\n' || text[i] == 0)
            return false;
    return true;
}

}  // namespace vantacom
