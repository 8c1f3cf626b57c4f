// Route queries over rtnetlink: one request, the answers parsed into RouteInfo records.
#include "Netlink.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace iphlp {
namespace {

constexpr int kNetlinkReplyTimeoutMs = 2000;
constexpr size_t kReceiveBufferBytes = 32768;

class NetlinkSocket {
public:
    NetlinkSocket() {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0)
            return;
        timeval tv{kNetlinkReplyTimeoutMs / 1000, (kNetlinkReplyTimeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NetlinkSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct RouteRequest {
    nlmsghdr header;
    rtmsg route;
    char attributes[64];
};

void AddAddressAttribute(RouteRequest& rq, unsigned short type, uint32_t address) {
    auto* rta =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&rq) + NLMSG_ALIGN(rq.header.nlmsg_len));
    rta->rta_type = type;
    rta->rta_len = RTA_LENGTH(sizeof address);
    std::memcpy(RTA_DATA(rta), &address, sizeof address);
    rq.header.nlmsg_len = NLMSG_ALIGN(rq.header.nlmsg_len) + RTA_ALIGN(rta->rta_len);
}

uint32_t U32(const rtattr* rta) {
    uint32_t v = 0;
    std::memcpy(&v, RTA_DATA(rta), std::min<size_t>(sizeof v, RTA_PAYLOAD(rta)));
    return v;
}

RouteInfo Parse(const nlmsghdr* h) {
    const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
    RouteInfo info;
    info.prefixLength = rt->rtm_dst_len;
    info.type = rt->rtm_type;
    info.protocol = rt->rtm_protocol;
    info.table = rt->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* rta = RTM_RTA(rt); RTA_OK(rta, length); rta = RTA_NEXT(rta, length)) {
        switch (rta->rta_type) {
            case RTA_DST:
                info.destination = U32(rta);
                break;
            case RTA_GATEWAY:
                info.hasGateway = true;
                info.gateway = U32(rta);
                break;
            case RTA_PREFSRC:
                info.hasPreferredSource = true;
                info.preferredSource = U32(rta);
                break;
            case RTA_OIF:
                info.outputInterface = static_cast<int>(U32(rta));
                break;
            case RTA_PRIORITY:
                info.priority = U32(rta);
                break;
            case RTA_TABLE:
                info.table = U32(rta);
                break;
            default:
                break;
        }
    }
    return info;
}

// Sends `rq` and collects the RTM_NEWROUTE answers until the kernel is done.
int Exchange(RouteRequest& rq, std::vector<RouteInfo>& out) {
    NetlinkSocket s;
    if (s.Fd() < 0)
        return errno;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(s.Fd(), &rq, rq.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return errno;
    const bool dump = rq.header.nlmsg_flags & NLM_F_DUMP;
    alignas(nlmsghdr) static thread_local char buffer[kReceiveBufferBytes];
    for (;;) {
        ssize_t n = ::recv(s.Fd(), buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN ? ETIMEDOUT : errno;
        }
        int left = static_cast<int>(n);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"  // the system's NLMSG_OK mixes signs
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
#pragma GCC diagnostic pop
            if (h->nlmsg_seq != rq.header.nlmsg_seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return 0;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                return -e->error;
            }
            if (h->nlmsg_type != RTM_NEWROUTE)
                continue;
            if (static_cast<const rtmsg*>(NLMSG_DATA(h))->rtm_family != AF_INET)
                continue;
            out.push_back(Parse(h));
            if (!dump)
                return 0;
        }
    }
}

RouteRequest NewRequest(unsigned short flags) {
    static thread_local uint32_t sequence = 0;
    RouteRequest rq;
    std::memset(&rq, 0, sizeof rq);
    rq.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    rq.header.nlmsg_type = RTM_GETROUTE;
    rq.header.nlmsg_flags = static_cast<unsigned short>(NLM_F_REQUEST | flags);
    rq.header.nlmsg_seq = ++sequence;
    rq.route.rtm_family = AF_INET;
    return rq;
}

}  // namespace

int QueryRoute(uint32_t destination, uint32_t source, bool fibMatch, RouteInfo& out) {
    RouteRequest rq = NewRequest(0);
    rq.route.rtm_dst_len = 32;
    if (fibMatch)
        rq.route.rtm_flags = RTM_F_FIB_MATCH;
    AddAddressAttribute(rq, RTA_DST, destination);
    if (source != 0) {
        rq.route.rtm_src_len = 32;
        AddAddressAttribute(rq, RTA_SRC, source);
    }
    std::vector<RouteInfo> answers;
    int err = Exchange(rq, answers);
    if (err)
        return err;
    if (answers.empty())
        return ENETUNREACH;
    out = answers.front();
    return 0;
}

int DumpRoutes(std::vector<RouteInfo>& out) {
    RouteRequest rq = NewRequest(NLM_F_DUMP);
    return Exchange(rq, out);
}

}  // namespace iphlp
