// ICMP echo functions over an ICMP datagram socket, or a raw socket where that one is refused.
//
// Compiled into both libicmp.so and libiphlpapi.so, which export the same four functions, as
// their Windows namesakes do.
#include <windows.h>
#include <icmpapi.h>

#include "handles.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kIcmpErrorBytes = 8;  // room beyond the record a reply buffer must always have
constexpr size_t kIcmpHeaderBytes = 8;
constexpr size_t kMaxPacketBytes = 65536;
constexpr size_t kControlBytes = 512;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;

class IcmpFile : public winapi::KernelObject {
public:
    explicit IcmpFile(uint16_t identifier) : identifier_(identifier) {}
    uint16_t Identifier() const { return identifier_; }
    uint16_t NextSequence() { return sequence_.fetch_add(1); }

private:
    const uint16_t identifier_;
    std::atomic<uint16_t> sequence_{1};
};

// What this module issued or started, so that unloading it leaves no handle whose object's
// code is gone and no echo thread running in unmapped code.
class ModuleState {
public:
    ~ModuleState() {
        std::vector<Pending> pending;
        std::set<HANDLE> handles;
        {
            std::lock_guard<std::mutex> guard(lock_);
            pending.swap(pending_);
            handles.swap(handles_);
        }
        for (auto& p : pending)
            p.thread.join();
        for (HANDLE h : handles)
            winapi::RemoveHandle(h);
    }
    void AddHandle(HANDLE h) {
        std::lock_guard<std::mutex> guard(lock_);
        handles_.insert(h);
    }
    void ForgetHandle(HANDLE h) {
        std::lock_guard<std::mutex> guard(lock_);
        handles_.erase(h);
    }
    // Runs `work` on a thread of its own; threads that have finished are joined here.
    template <class Work>
    void Start(Work work) {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(pending_, [](Pending& p) {
            if (!p.done->load())
                return false;
            p.thread.join();
            return true;
        });
        auto done = std::make_shared<std::atomic<bool>>(false);
        pending_.push_back({std::thread([work = std::move(work), done]() mutable {
                                work();
                                done->store(true);
                            }),
                            done});
    }

private:
    struct Pending {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex lock_;
    std::set<HANDLE> handles_;
    std::vector<Pending> pending_;
};

ModuleState& State() {
    static ModuleState state;
    return state;
}

struct EchoRequest {
    IPAddr destination = 0;
    std::vector<uint8_t> data;
    bool hasOptions = false;
    UCHAR ttl = 0;
    UCHAR tos = 0;
    UCHAR flags = 0;
    std::vector<uint8_t> ipOptions;
    DWORD timeoutMs = 0;
    uint16_t identifier = 0;
    uint16_t sequence = 0;
};

// What came back: a reply (echo or ICMP error) or nothing, with the status to report.
struct EchoOutcome {
    bool replied = false;
    IP_STATUS status = IP_GENERAL_FAILURE;
    IPAddr from = 0;
    DWORD roundTripMs = 0;
    UCHAR ttl = 0;
    UCHAR tos = 0;
    std::vector<uint8_t> data;
};

uint16_t Checksum(const uint8_t* bytes, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < count; i += 2)
        sum += (uint32_t(bytes[i]) << 8) | bytes[i + 1];
    if (count & 1)
        sum += uint32_t(bytes[count - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

IP_STATUS StatusFromIcmpError(uint8_t type, uint8_t code) {
    switch (type) {
        case ICMP_DEST_UNREACH:
            switch (code) {
                case ICMP_NET_UNREACH:
                    return IP_DEST_NET_UNREACHABLE;
                case ICMP_PROT_UNREACH:
                    return IP_DEST_PROT_UNREACHABLE;
                case ICMP_PORT_UNREACH:
                    return IP_DEST_PORT_UNREACHABLE;
                case ICMP_FRAG_NEEDED:
                    return IP_PACKET_TOO_BIG;
                default:
                    return IP_DEST_HOST_UNREACHABLE;
            }
        case ICMP_TIME_EXCEEDED:
            return code == ICMP_EXC_FRAGTIME ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
        case ICMP_PARAMETERPROB:
            return IP_PARAM_PROBLEM;
        case ICMP_SOURCE_QUENCH:
            return IP_SOURCE_QUENCH;
        default:
            return IP_GENERAL_FAILURE;
    }
}

IP_STATUS StatusFromSendErrno(int err) {
    switch (err) {
        case ENETUNREACH:
        case ENETDOWN:
            return IP_DEST_NET_UNREACHABLE;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return IP_DEST_HOST_UNREACHABLE;
        case EMSGSIZE:
            return IP_PACKET_TOO_BIG;
        case EACCES:
        case EINVAL:
        case EADDRNOTAVAIL:
            return IP_BAD_DESTINATION;
        case ENOBUFS:
        case ENOMEM:
            return IP_NO_RESOURCES;
        default:
            return IP_GENERAL_FAILURE;
    }
}

class Socket {
public:
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // The datagram socket needs no privilege where the system allows it; otherwise the raw
    // socket, which needs CAP_NET_RAW, sees every ICMP message and is filtered by hand.
    bool Open(int* err) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd_ >= 0) {
            raw_ = false;
            int on = 1;
            ::setsockopt(fd_, SOL_IP, IP_RECVERR, &on, sizeof on);
            ::setsockopt(fd_, SOL_IP, IP_RECVTTL, &on, sizeof on);
            ::setsockopt(fd_, SOL_IP, IP_RECVTOS, &on, sizeof on);
            return true;
        }
        fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd_ < 0) {
            *err = errno;
            return false;
        }
        raw_ = true;
        icmp_filter filter{};
        filter.data =
            ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED) |
              (1u << ICMP_PARAMETERPROB) | (1u << ICMP_SOURCE_QUENCH));
        ::setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
        return true;
    }
    int Fd() const { return fd_; }
    bool Raw() const { return raw_; }

private:
    int fd_ = -1;
    bool raw_ = false;
};

// Applies the caller's IP options; false when the system refuses them.
bool ApplyOptions(const Socket& s, const EchoRequest& rq) {
    if (!rq.hasOptions)
        return true;
    if (rq.ttl != 0) {
        int ttl = rq.ttl;
        if (::setsockopt(s.Fd(), SOL_IP, IP_TTL, &ttl, sizeof ttl) != 0)
            return false;
    }
    int tos = rq.tos;
    if (::setsockopt(s.Fd(), SOL_IP, IP_TOS, &tos, sizeof tos) != 0)
        return false;
    if (rq.flags & IP_FLAG_DF) {
        int pmtu = IP_PMTUDISC_DO;
        if (::setsockopt(s.Fd(), SOL_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu) != 0)
            return false;
    }
    if (!rq.ipOptions.empty() && ::setsockopt(s.Fd(), SOL_IP, IP_OPTIONS, rq.ipOptions.data(),
                                              static_cast<socklen_t>(rq.ipOptions.size())) != 0)
        return false;
    return true;
}

// Our echo request inside an ICMP error: its IP header and the first 8 bytes of its ICMP
// message. The datagram socket's kernel rewrites the identifier, so only raw sockets check it.
bool QuotesOurRequest(const uint8_t* quoted, size_t count, const EchoRequest& rq, bool raw) {
    if (count < 20)
        return false;
    size_t ihl = size_t(quoted[0] & 0x0F) * 4;
    if (ihl < 20 || count < ihl + kIcmpHeaderBytes)
        return false;
    IPAddr dst;
    std::memcpy(&dst, quoted + 16, 4);
    const uint8_t* icmp = quoted + ihl;
    return dst == rq.destination && icmp[0] == kEchoRequest &&
           (!raw || Read16(icmp + 4) == rq.identifier) && Read16(icmp + 6) == rq.sequence;
}

// Reads one datagram; true when it settles the request (fills `out`).
bool ReadReply(const Socket& s, const EchoRequest& rq, EchoOutcome& out) {
    std::vector<uint8_t> packet(kMaxPacketBytes);
    alignas(cmsghdr) uint8_t control[kControlBytes];
    sockaddr_in from{};
    iovec iov{packet.data(), packet.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(s.Fd(), &msg, MSG_DONTWAIT);
    if (n <= 0)
        return false;
    const uint8_t* icmp = packet.data();
    size_t icmpBytes = static_cast<size_t>(n);
    out.from = from.sin_addr.s_addr;
    if (s.Raw()) {
        if (icmpBytes < 20)
            return false;
        size_t ihl = size_t(packet[0] & 0x0F) * 4;
        if (ihl < 20 || icmpBytes < ihl + kIcmpHeaderBytes)
            return false;
        out.tos = packet[1];
        out.ttl = packet[8];
        std::memcpy(&out.from, packet.data() + 12, 4);
        icmp += ihl;
        icmpBytes -= ihl;
    } else {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_IP)
                continue;
            if (c->cmsg_type == IP_TTL) {
                int ttl;
                std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
                out.ttl = static_cast<UCHAR>(ttl);
            } else if (c->cmsg_type == IP_TOS) {
                out.tos = *CMSG_DATA(c);
            }
        }
    }
    if (icmpBytes < kIcmpHeaderBytes)
        return false;
    uint8_t type = icmp[0];
    if (type == kEchoReply) {
        if (s.Raw() && Read16(icmp + 4) != rq.identifier)
            return false;
        if (Read16(icmp + 6) != rq.sequence)
            return false;
        out.status = IP_SUCCESS;
        out.data.assign(icmp + kIcmpHeaderBytes, icmp + icmpBytes);
        return true;
    }
    // Only raw sockets see ICMP errors here; datagram sockets get them on the error queue.
    if (!s.Raw() ||
        !QuotesOurRequest(icmp + kIcmpHeaderBytes, icmpBytes - kIcmpHeaderBytes, rq, true))
        return false;
    out.status = StatusFromIcmpError(type, icmp[1]);
    return true;
}

// Reads the datagram socket's error queue; true when it settles the request.
bool ReadError(const Socket& s, const EchoRequest& rq, EchoOutcome& out) {
    std::vector<uint8_t> packet(kMaxPacketBytes);
    alignas(cmsghdr) uint8_t control[kControlBytes];
    sockaddr_in to{};
    iovec iov{packet.data(), packet.size()};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(s.Fd(), &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < static_cast<ssize_t>(kIcmpHeaderBytes))
        return false;
    // The queued packet is our own echo request (ICMP header onwards).
    if (packet[0] != kEchoRequest || Read16(packet.data() + 6) != rq.sequence)
        return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        if (ee.ee_origin == SO_EE_ORIGIN_ICMP) {
            out.status = StatusFromIcmpError(ee.ee_type, ee.ee_code);
            sockaddr_in offender;
            std::memcpy(&offender,
                        SO_EE_OFFENDER(reinterpret_cast<sock_extended_err*>(CMSG_DATA(c))),
                        sizeof offender);
            out.from = offender.sin_addr.s_addr;
        } else {
            out.status = StatusFromSendErrno(static_cast<int>(ee.ee_errno));
            out.from = 0;
        }
        return true;
    }
    return false;
}

EchoOutcome Echo(const EchoRequest& rq) {
    EchoOutcome out;
    Socket s;
    int err = 0;
    if (!s.Open(&err)) {
        out.status = err == EACCES || err == EPERM ? IP_GENERAL_FAILURE : IP_NO_RESOURCES;
        return out;
    }
    if (!ApplyOptions(s, rq)) {
        out.status = IP_BAD_OPTION;
        return out;
    }
    std::vector<uint8_t> packet(kIcmpHeaderBytes + rq.data.size());
    packet[0] = kEchoRequest;
    packet[4] = static_cast<uint8_t>(rq.identifier >> 8);
    packet[5] = static_cast<uint8_t>(rq.identifier);
    packet[6] = static_cast<uint8_t>(rq.sequence >> 8);
    packet[7] = static_cast<uint8_t>(rq.sequence);
    std::copy(rq.data.begin(), rq.data.end(), packet.begin() + kIcmpHeaderBytes);
    uint16_t sum = Checksum(packet.data(), packet.size());
    packet[2] = static_cast<uint8_t>(sum >> 8);
    packet[3] = static_cast<uint8_t>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = rq.destination;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(rq.timeoutMs);
    if (::sendto(s.Fd(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) < 0) {
        out.status = StatusFromSendErrno(errno);
        return out;
    }
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int waitMs = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
        pollfd p{s.Fd(), POLLIN, 0};
        int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            out.status = IP_GENERAL_FAILURE;
            return out;
        }
        if (r == 0) {
            out.status = IP_REQ_TIMED_OUT;
            return out;
        }
        bool settled = false;
        if ((p.revents & POLLERR) && !s.Raw())
            settled = ReadError(s, rq, out);
        if (!settled && (p.revents & POLLIN))
            settled = ReadReply(s, rq, out);
        if (settled) {
            out.replied = true;
            auto rtt = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            out.roundTripMs = static_cast<DWORD>(rtt.count());
            return out;
        }
        if (left <= 0) {
            out.status = IP_REQ_TIMED_OUT;
            return out;
        }
    }
}

// Writes the outcome as one ICMP_ECHO_REPLY with the echoed data behind it (the buffer was
// checked to hold the record, the request's data and kIcmpErrorBytes); returns the count.
DWORD WriteReply(const EchoOutcome& out, uint8_t* buffer, DWORD size) {
    ICMP_ECHO_REPLY record{};
    DWORD count = out.replied ? 1 : 0;
    record.Address = out.from;
    record.Status = out.status;
    record.RoundTripTime = out.roundTripMs;
    size_t room = size - sizeof record;
    size_t dataBytes = out.status == IP_SUCCESS ? std::min<size_t>(out.data.size(), room) : 0;
    record.DataSize = static_cast<USHORT>(std::min<size_t>(dataBytes, 0xFFFF));
    record.Reserved = static_cast<USHORT>(count);
    record.Data = buffer + sizeof record;
    record.Options.Ttl = out.ttl;
    record.Options.Tos = out.tos;
    std::memcpy(buffer, &record, sizeof record);
    if (record.DataSize)
        std::memcpy(buffer + sizeof record, out.data.data(), record.DataSize);
    return count;
}

std::atomic<uint16_t> g_nextIdentifier{static_cast<uint16_t>(::getpid() * 7919u)};

// Checks the arguments common to both send forms and builds the request; 0 when fine,
// otherwise the Win32 error to report.
DWORD PrepareRequest(HANDLE handle, IPAddr destination, LPVOID data, WORD dataSize,
                     PIP_OPTION_INFORMATION options, LPVOID reply, DWORD replySize, DWORD timeoutMs,
                     EchoRequest& rq) {
    auto file = winapi::LookupHandleAs<IcmpFile>(handle);
    if (!file)
        return ERROR_INVALID_HANDLE;
    if (!reply || (!data && dataSize != 0))
        return ERROR_INVALID_PARAMETER;
    if (replySize < sizeof(ICMP_ECHO_REPLY) + std::max<DWORD>(dataSize, kIcmpErrorBytes))
        return IP_BUF_TOO_SMALL;
    if (options && options->OptionsSize > MAX_OPT_SIZE)
        return IP_OPTION_TOO_BIG;
    if (options && options->OptionsSize > 0 && !options->OptionsData)
        return ERROR_INVALID_PARAMETER;
    rq.destination = destination;
    if (dataSize)
        rq.data.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + dataSize);
    if (options) {
        rq.hasOptions = true;
        rq.ttl = options->Ttl;
        rq.tos = options->Tos;
        rq.flags = options->Flags;
        if (options->OptionsSize)
            rq.ipOptions.assign(options->OptionsData, options->OptionsData + options->OptionsSize);
    }
    rq.timeoutMs = timeoutMs;
    rq.identifier = file->Identifier();
    rq.sequence = file->NextSequence();
    return 0;
}

DWORD Finish(const EchoOutcome& out, LPVOID reply, DWORD replySize) {
    DWORD count = WriteReply(out, static_cast<uint8_t*>(reply), replySize);
    SetLastError(count ? ERROR_SUCCESS : out.status);
    return count;
}

EchoOutcome Refused(IP_STATUS status) {
    EchoOutcome out;
    out.status = status;
    return out;
}

}  // namespace

extern "C" {

HANDLE WINAPI IcmpCreateFile(void) {
    HANDLE h = winapi::InsertHandle(std::make_shared<IcmpFile>(g_nextIdentifier.fetch_add(1)));
    State().AddHandle(h);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI IcmpCloseHandle(HANDLE IcmpHandle) {
    if (!winapi::LookupHandleAs<IcmpFile>(IcmpHandle) || !winapi::RemoveHandle(IcmpHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    State().ForgetHandle(IcmpHandle);
    return TRUE;
}

DWORD WINAPI IcmpSendEcho(HANDLE IcmpHandle, IPAddr DestinationAddress, LPVOID RequestData,
                          WORD RequestSize, PIP_OPTION_INFORMATION RequestOptions,
                          LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout) {
    return IcmpSendEcho2(IcmpHandle, nullptr, nullptr, nullptr, DestinationAddress, RequestData,
                         RequestSize, RequestOptions, ReplyBuffer, ReplySize, Timeout);
}

DWORD WINAPI IcmpSendEcho2(HANDLE IcmpHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID /*ApcContext*/, IPAddr DestinationAddress, LPVOID RequestData,
                           WORD RequestSize, PIP_OPTION_INFORMATION RequestOptions,
                           LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout) {
    if (ApcRoutine) {
        // Completion routines need alertable waits, which this layer does not have.
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    EchoRequest rq;
    DWORD error = PrepareRequest(IcmpHandle, DestinationAddress, RequestData, RequestSize,
                                 RequestOptions, ReplyBuffer, ReplySize, Timeout, rq);
    if (error) {
        SetLastError(error);
        return 0;
    }
    // 0.0.0.0 would reach this computer on Linux; Windows refuses it.
    bool badDestination = DestinationAddress == 0;
    if (!Event) {
        return Finish(badDestination ? Refused(IP_BAD_DESTINATION) : Echo(rq), ReplyBuffer,
                      ReplySize);
    }
    State().Start([rq = std::move(rq), badDestination, Event, ReplyBuffer, ReplySize] {
        WriteReply(badDestination ? Refused(IP_BAD_DESTINATION) : Echo(rq),
                   static_cast<uint8_t*>(ReplyBuffer), ReplySize);
        SetEvent(Event);
    });
    SetLastError(ERROR_IO_PENDING);
    return 0;
}

DWORD WINAPI IcmpParseReplies(LPVOID ReplyBuffer, DWORD ReplySize) {
    if (!ReplyBuffer || ReplySize < sizeof(ICMP_ECHO_REPLY)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ICMP_ECHO_REPLY record;
    std::memcpy(&record, ReplyBuffer, sizeof record);
    if (record.Reserved == 0) {
        SetLastError(record.Status);
        return 0;
    }
    return record.Reserved;
}

}  // extern "C"
