// AdapterInfo: the computer's adapter list for one Start, and the local address towards a unit.
#pragma once

#include <windows.h>
#include <iphlpapi.h>

#include <string>
#include <vector>

// The four IP helper functions the adapter check uses; tests put their own in.
struct AdapterSource {
    decltype(&::GetAdaptersInfo) getAdaptersInfo = nullptr;
    decltype(&::GetNumberOfInterfaces) getNumberOfInterfaces = nullptr;
    decltype(&::GetBestInterface) getBestInterface = nullptr;
    decltype(&::GetIpAddrTable) getIpAddrTable = nullptr;

    // The system's functions from "iphlpapi.dll"; a missing one fails with
    // ERROR_DLL_INIT_FAILED.
    static AdapterSource System();
};

class AdapterInfo {
public:
    // The adapter list is asked for with this much room first, then with the size it reports.
    static constexpr ULONG kFirstBufferBytes = 640;

    explicit AdapterInfo(const AdapterSource& source);

    // Adapters in the list (0 when the call failed).
    int AdapterCount() const;
    // The dotted local address whose interface routes to `unitAddress`; false when there is
    // none (empty or malformed address, no route, no address on that interface).
    bool LocalAddressTowards(const std::string& unitAddress, std::string& local) const;

private:
    const IP_ADAPTER_INFO* First() const;

    AdapterSource m_source;
    std::vector<unsigned char> m_buffer;  // the list as GetAdaptersInfo wrote it
    bool m_listed = false;
};
