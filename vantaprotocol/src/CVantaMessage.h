// VantaMessage: one received reply, read through IVantaMessage.
#pragma once

#include "ComSupport.h"

#include <vantaproto/VTMessage.h>

class CVantaMessage final : public vantacom::DualObject<IVantaMessage> {
public:
    // A fresh message: a new random id, empty command, length 0, valid, error "0: 0", sensor -1.
    CVantaMessage();
    // Replaces everything with a copy of a received reply, body included.
    void Assign(const VTRecvCommand& reply) { m_command = reply; }

    STDMETHODIMP get_MsgId(BSTR* pVal) override;
    STDMETHODIMP get_Name(BSTR* pVal) override;
    STDMETHODIMP get_Length(LONG* pVal) override;
    STDMETHODIMP get_Error(BSTR* pVal) override;
    STDMETHODIMP get_ParameterName(BSTR* pVal) override;
    STDMETHODIMP get_ParameterValue(BSTR* pVal) override;
    STDMETHODIMP get_Sensor(LONG* pVal) override;
    STDMETHODIMP get_State(BSTR* pVal) override;
    STDMETHODIMP get_Valid(LONG* pVal) override;
    STDMETHODIMP get_Image(VARIANT* pVal) override;

private:
    HRESULT Text(const std::string& value, BSTR* pVal);
    HRESULT Number(LONG value, LONG* pVal);

    VTRecvCommand m_command;
};
