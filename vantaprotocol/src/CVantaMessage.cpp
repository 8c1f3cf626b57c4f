// VantaMessage: the reply's fields as properties; the image as a new byte array on every read.
#include "CVantaMessage.h"

#include <oleauto.h>

#include <algorithm>
#include <cstring>

using namespace vantacom;

namespace {
// Bodies longer than this are image data and come out as an array.
constexpr int32_t kImageArrayMinBytes = 1000;
}  // namespace

CVantaMessage::CVantaMessage()
    : DualObject(DispatchTable_IVantaMessage, IID_IVantaMessage),
      m_command(VTMessageBase(VTMessageBase::NewSessionId{}).Id().c_str(), "", 0) {}

HRESULT CVantaMessage::Text(const std::string& value, BSTR* pVal) {
    if (!pVal)
        return Fail(kProgIdMessage, E_POINTER, kTextInvalidArgument);
    *pVal = ToBstr(value);
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT CVantaMessage::Number(LONG value, LONG* pVal) {
    if (!pVal)
        return Fail(kProgIdMessage, E_POINTER, kTextInvalidArgument);
    *pVal = value;
    return S_OK;
}

STDMETHODIMP CVantaMessage::get_MsgId(BSTR* pVal) {
    return Text(m_command.Id(), pVal);
}
STDMETHODIMP CVantaMessage::get_Name(BSTR* pVal) {
    return Text(m_command.Command(), pVal);
}
STDMETHODIMP CVantaMessage::get_Length(LONG* pVal) {
    return Number(m_command.Length(), pVal);
}
STDMETHODIMP CVantaMessage::get_Error(BSTR* pVal) {
    return Text(m_command.Error(), pVal);
}
STDMETHODIMP CVantaMessage::get_ParameterName(BSTR* pVal) {
    return Text(m_command.ParameterName(), pVal);
}
STDMETHODIMP CVantaMessage::get_ParameterValue(BSTR* pVal) {
    return Text(m_command.ParameterValue(), pVal);
}
STDMETHODIMP CVantaMessage::get_Sensor(LONG* pVal) {
    return Number(m_command.Sensor(), pVal);
}
STDMETHODIMP CVantaMessage::get_State(BSTR* pVal) {
    return Text(m_command.State(), pVal);
}
STDMETHODIMP CVantaMessage::get_Valid(LONG* pVal) {
    return Number(m_command.Valid() == 1 ? -1 : 0, pVal);
}

STDMETHODIMP CVantaMessage::get_Image(VARIANT* pVal) {
    if (!pVal)
        return Fail(kProgIdMessage, E_POINTER, kTextInvalidArgument);
    VariantInit(pVal);
    const int32_t length = m_command.Length();
    if (length <= kImageArrayMinBytes)
        return S_OK;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
    if (!array)
        return E_OUTOFMEMORY;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
        SafeArrayDestroy(array);
        return E_OUTOFMEMORY;
    }
    // A body cut short leaves the rest of the array zero.
    const int32_t held = m_command.Data() ? std::min(m_command.Received(), length) : 0;
    if (held > 0)
        std::memcpy(data, m_command.Data(), static_cast<size_t>(held));
    SafeArrayUnaccessData(array);
    pVal->vt = VT_ARRAY | VT_UI1;
    pVal->parray = array;
    return S_OK;
}
