// VantaHelper: address validation, ping and the local address towards a unit.
#include "CVantaHelper.h"

#include <vantaproto/IpHelper.h>

#include <winsock2.h>

using namespace vantacom;

bool CVantaHelper::Validate(BSTR text, std::string& address) {
    if (!ToAnsi(text, address))
        return false;
    if (address.size() < kMinAddressChars || address.size() > kMaxAddressChars)
        return false;
    return inet_addr(address.c_str()) != INADDR_NONE;
}

STDMETHODIMP CVantaHelper::PingVantex(BSTR VantexIP, LONG* bFound) {
    try {
        if (bFound)
            *bFound = 0;
        std::string address;
        if (!Validate(VantexIP, address))
            return Fail(kProgIdHelper, E_INVALIDARG, kTextInvalidAddress);
        IpHelper helper;
        if (helper.Ping(address.c_str(), kPingTimeoutMs) == 0 && bFound)
            *bFound = -1;
        return S_OK;
    } catch (...) {
        return Fail(kProgIdHelper, E_FAIL, kTextMemory);
    }
}

STDMETHODIMP CVantaHelper::FindIPToVantex(BSTR VantexIP, BSTR* LocalIP) {
    try {
        std::string address;
        if (!Validate(VantexIP, address))
            return Fail(kProgIdHelper, E_INVALIDARG, kTextInvalidAddress);
        IpHelper helper;
        std::string local;
        if (helper.LocalAddressTowards(address.c_str(), local) != 0 || local.empty())
            return Fail(kProgIdHelper, E_INVALIDARG, kTextNoLocalAddress);
        if (LocalIP) {
            *LocalIP = ToBstr(local);
            if (!*LocalIP)
                return E_OUTOFMEMORY;
        }
        return S_OK;
    } catch (...) {
        return Fail(kProgIdHelper, E_FAIL, kTextMemory);
    }
}
