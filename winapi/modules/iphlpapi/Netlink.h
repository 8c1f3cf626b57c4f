// Route queries over rtnetlink, for the best route and the adapters' gateways.
#pragma once

#include <cstdint>
#include <vector>

namespace iphlp {

// One IPv4 route as the kernel reports it; addresses in network order.
struct RouteInfo {
    uint32_t destination = 0;
    uint8_t prefixLength = 0;
    bool hasGateway = false;
    uint32_t gateway = 0;
    bool hasPreferredSource = false;
    uint32_t preferredSource = 0;
    int outputInterface = 0;
    uint8_t type = 0;
    uint8_t protocol = 0;
    uint32_t priority = 0;
    uint32_t table = 0;
};

// The route the kernel would take towards `destination` (from `source` when non-zero). With
// `fibMatch` the answer is the routing-table entry that matched (its prefix and metric) rather
// than the resolved route. Returns 0 or an errno value.
int QueryRoute(uint32_t destination, uint32_t source, bool fibMatch, RouteInfo& out);

// Every IPv4 route of every table. Returns 0 or an errno value.
int DumpRoutes(std::vector<RouteInfo>& out);

}  // namespace iphlp
