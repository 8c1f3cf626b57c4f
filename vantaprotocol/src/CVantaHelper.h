// VantaHelper: ping a unit and find the local address facing it, without a session.
#pragma once

#include "ComSupport.h"

class CVantaHelper final : public vantacom::DualObject<IVantaHelper> {
public:
    // The ICMP echo time-out of PingVantex.
    static constexpr DWORD kPingTimeoutMs = 40;
    static constexpr size_t kMinAddressChars = 7;
    static constexpr size_t kMaxAddressChars = 15;

    CVantaHelper() : DualObject(DispatchTable_IVantaHelper, IID_IVantaHelper) {}

    STDMETHODIMP PingVantex(BSTR VantexIP, LONG* bFound) override;
    STDMETHODIMP FindIPToVantex(BSTR VantexIP, BSTR* LocalIP) override;

private:
    // The dotted address, or nothing when it is malformed (error set).
    bool Validate(BSTR text, std::string& address);
};
