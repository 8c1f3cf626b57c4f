// The virtual unit's threads: request intake, the capture clock, and one sender per reply.
#include "unitsim/virtual_unit.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "socket_util.h"

namespace unitsim {
namespace {

using Clock = std::chrono::steady_clock;

// A request must be complete this long after its connection was accepted; a peer that trickles
// or stalls is cut off so it cannot hold a slot.
constexpr int kReadTimeoutMs = 5000;
// A request that already reads as complete, without its zero byte and still open, is read on
// until the computer closes (the workbench holds each request connection for its own time-out),
// at most this long after accepting; then it is served as it stands.
constexpr int kHeldRequestTimeoutMs = 60000;
// The longest request is SETPARAM with a text value; four kilobytes is ample room for it.
constexpr std::size_t kMaxRequestBytes = 4096;
// Request connections read at the same time; beyond this the listener waits in the backlog.
constexpr std::size_t kMaxPendingRequests = 64;
constexpr int kListenBacklog = 16;
constexpr std::size_t kReadChunkBytes = 1024;
constexpr int kConnectTimeoutMs = 5000;
// A computer that reads nothing for this long is taken to be gone.
constexpr int kSendStallTimeoutMs = 10000;
// After the last byte, how long we wait for the computer to close before we close too.
constexpr int kDrainTimeoutMs = 2000;
constexpr std::size_t kMaxSenderThreads = 64;

}  // namespace

struct VirtualUnit::Capture {
    Request request;  // the image goes to its reply address under its id
    PictureMode mode = PictureMode::Gray16;
    std::uint64_t generation = 0;
    std::optional<Clock::time_point> exposeAt;
    std::optional<Clock::time_point> timeoutAt;
    Clock::time_point processingDoneAt;
};

struct VirtualUnit::Outgoing {
    sockaddr_in destination{};
    std::string bytes;  // header then body
    std::size_t headerBytes = 0;
    bool image = false;
    // Non-zero for the image that ends a capture: when it has gone out, PROCESSING becomes
    // IMGRDY, unless CLOSE or RESET moved on to a newer generation meanwhile.
    std::uint64_t captureGeneration = 0;
    Faults faults;
};

struct VirtualUnit::SenderThread {
    std::thread thread;
    std::atomic<bool> done{false};
};

struct VirtualUnit::Sockets {
    net::Fd listener;
    net::StopSignal stop;
};

struct VirtualUnit::PendingRequest {
    net::Fd fd;
    std::string bytes;
    Clock::time_point deadline;
    std::string peer;
    bool held = false;  // complete text, waiting for the close
};

namespace {

GrayImage checkedExposureImage(const GrayImage& given) {
    GrayImage image = given.empty() ? makeTestPattern() : given;
    if (image.width < kPreviewZoom || image.height < kPreviewZoom ||
        image.pixels.size() !=
            static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
        throw std::invalid_argument("the unit's image must be at least 2 x 2 pixels");
    }
    return image;
}

UnitState checkedStartState(UnitState state) {
    if (state == UnitState::WaitXray || state == UnitState::Processing) {
        throw std::invalid_argument("a unit starts in IDLE, IMGRDY or NOTRDY");
    }
    return state;
}

}  // namespace

VirtualUnit::VirtualUnit(Config config)
    : config_(std::move(config)),
      exposureImage_(checkedExposureImage(config_.image)),
      state_(checkedStartState(config_.startState)),
      faults_(config_.faults),
      parameters_(UnitIdentity{config_.address, exposureImage_.width, exposureImage_.height}) {
    if (state_ == UnitState::ImageReady) {
        storedImage_ = exposureImage_;
    }
}

VirtualUnit::~VirtualUnit() {
    stop();
}

void VirtualUnit::start() {
    std::lock_guard lock(mutex_);
    if (started_) {
        throw std::logic_error("a virtual unit is started once");
    }
    auto sockets = std::make_unique<Sockets>();
    sockets->listener =
        net::listenOn(net::makeEndpoint(config_.address, config_.port), kListenBacklog);
    boundPort_ = net::localPort(sockets->listener.get());
    sockets_ = std::move(sockets);
    started_ = true;
    ioThread_ = std::thread([this] { ioLoop(); });
    clockThread_ = std::thread([this] { clockLoop(); });
    logLine("listening on " + config_.address + ":" + std::to_string(boundPort_) + ", state " +
            std::string(stateText(state_)));
}

void VirtualUnit::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed();
    if (sockets_) {
        sockets_->stop.raise();
    }
    if (ioThread_.joinable()) {
        ioThread_.join();
    }
    if (clockThread_.joinable()) {
        clockThread_.join();
    }
    // Only the two threads above start senders, so the list is final now.
    std::list<std::unique_ptr<SenderThread>> senders;
    {
        std::lock_guard lock(mutex_);
        senders.swap(senders_);
    }
    for (auto& sender : senders) {
        sender->thread.join();
    }
}

std::uint16_t VirtualUnit::port() const {
    std::lock_guard lock(mutex_);
    return boundPort_;
}

bool VirtualUnit::triggerExposure() {
    std::lock_guard lock(mutex_);
    if (!capture_ || state_ != UnitState::WaitXray) {
        return false;
    }
    expose(Clock::now());
    return true;
}

UnitState VirtualUnit::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

Counters VirtualUnit::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

Snapshot VirtualUnit::snapshot() const {
    std::lock_guard lock(mutex_);
    return {state_, counters_};
}

std::optional<std::string> VirtualUnit::parameter(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return parameters_.get(name);
}

Faults VirtualUnit::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void VirtualUnit::setFaults(Faults faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

bool VirtualUnit::waitUntil(const std::function<bool(const Snapshot&)>& predicate,
                            std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(Snapshot{state_, counters_}); });
}

bool VirtualUnit::waitForRequests(std::uint64_t handled, std::chrono::milliseconds timeout) const {
    return waitUntil([handled](const Snapshot& s) { return s.counters.requestsHandled >= handled; },
                     timeout);
}

bool VirtualUnit::waitForRepliesFinished(std::uint64_t finished,
                                         std::chrono::milliseconds timeout) const {
    return waitUntil(
        [finished](const Snapshot& s) { return s.counters.repliesFinished() >= finished; },
        timeout);
}

bool VirtualUnit::waitForState(UnitState state, std::chrono::milliseconds timeout) const {
    return waitUntil([state](const Snapshot& s) { return s.state == state; }, timeout);
}

void VirtualUnit::changed() {
    changed_.notify_all();
}

void VirtualUnit::logLine(const std::string& line) const {
    if (config_.log) {
        config_.log(line);
    }
}

void VirtualUnit::setState(UnitState next) {
    if (next != state_) {
        logLine("state " + std::string(stateText(state_)) + " -> " + std::string(stateText(next)));
        state_ = next;
    }
}

void VirtualUnit::expose(Clock::time_point now) {
    setState(UnitState::Processing);
    capture_->processingDoneAt = now + config_.processingTime;
    ++counters_.exposures;
    logLine("exposure");
    changed();
}

void VirtualUnit::imageDelivered(std::uint64_t generation) {
    // A CLOSE or RESET after the exposure moved on to a newer generation; leave its state alone.
    if (generation != 0 && generation == captureGeneration_ && state_ == UnitState::Processing) {
        setState(UnitState::ImageReady);
        changed();
    }
}

void VirtualUnit::abandonCapture() {
    capture_.reset();
    ++captureGeneration_;
}

// ---- request intake -------------------------------------------------------------------------

void VirtualUnit::ioLoop() {
    const int stopFd = sockets_->stop.waitFd();
    const int listenFd = sockets_->listener.get();
    std::vector<PendingRequest> pending;
    std::vector<pollfd> fds;

    for (;;) {
        const bool acceptMore = pending.size() < kMaxPendingRequests;
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({acceptMore ? listenFd : -1, POLLIN, 0});
        int timeoutMs = -1;
        const auto now = Clock::now();
        for (const auto& p : pending) {
            fds.push_back({p.fd.get(), POLLIN, 0});
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - now).count();
            const int leftMs = static_cast<int>(std::clamp<long long>(left + 1, 0, kReadTimeoutMs));
            timeoutMs = timeoutMs < 0 ? leftMs : std::min(timeoutMs, leftMs);
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            logLine(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }

        struct Finished {
            std::string bytes;
            std::string peer;
            std::string malformed;  // empty: a request to handle
        };
        std::vector<Finished> finished;
        const auto afterPoll = Clock::now();
        for (std::size_t i = 0; i < pending.size(); ++i) {
            PendingRequest& p = pending[i];
            bool complete = false;
            std::string malformed;
            if (fds[i + 2].revents != 0) {
                for (;;) {
                    char buffer[kReadChunkBytes];
                    const std::size_t room = kMaxRequestBytes + 1 - p.bytes.size();
                    const ssize_t n = ::recv(p.fd.get(), buffer, std::min(room, sizeof buffer), 0);
                    if (n > 0) {
                        const std::size_t before = p.bytes.size();
                        p.bytes.append(buffer, static_cast<std::size_t>(n));
                        if (p.bytes.find('\0', before) != std::string::npos) {
                            complete = true;
                        } else if (p.bytes.size() > kMaxRequestBytes) {
                            malformed = "longer than " + std::to_string(kMaxRequestBytes) +
                                        " bytes without a terminating zero";
                        } else {
                            continue;
                        }
                    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                        // nothing more for now
                    } else if (n < 0 && errno == EINTR) {
                        continue;
                    } else {
                        // Closed (or reset) without the zero byte: take what came.
                        complete = true;
                    }
                    break;
                }
            }
            if (!complete && malformed.empty() && afterPoll >= p.deadline) {
                if (p.held) {
                    complete = true;
                } else if (parseRequest(p.bytes).request) {
                    p.held = true;
                    p.deadline += std::chrono::milliseconds(kHeldRequestTimeoutMs - kReadTimeoutMs);
                } else {
                    malformed = "not complete within " + std::to_string(kReadTimeoutMs) + " ms";
                }
            }
            if (complete || !malformed.empty()) {
                finished.push_back({std::move(p.bytes), p.peer, std::move(malformed)});
                p.fd.reset();
            }
        }
        std::erase_if(pending, [](const PendingRequest& p) { return !p.fd; });

        if (acceptMore && (fds[1].revents & POLLIN) != 0) {
            while (pending.size() < kMaxPendingRequests) {
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                net::Fd fd(::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC));
                if (!fd) {
                    break;  // EAGAIN, or a connection that went away before we took it
                }
                pending.push_back({std::move(fd),
                                   {},
                                   Clock::now() + std::chrono::milliseconds(kReadTimeoutMs),
                                   net::endpointText(peer)});
                std::lock_guard lock(mutex_);
                ++counters_.connectionsAccepted;
            }
        }

        for (const auto& f : finished) {
            if (f.malformed.empty()) {
                handleRequest(f.bytes, f.peer);
            } else {
                logLine("<- " + f.peer + " dropped, " + f.malformed + ": " +
                        escapeBytes(f.bytes.substr(0, kReadChunkBytes)));
                std::lock_guard lock(mutex_);
                ++counters_.requestsMalformed;
            }
        }
        if (!finished.empty()) {
            changed();
        }
        std::lock_guard lock(mutex_);
        reapSenders();
    }
}

void VirtualUnit::handleRequest(std::string_view bytes, const std::string& peer) {
    logLine("<- " + peer + " " + escapeBytes(bytes));
    ParsedRequest parsed = parseRequest(bytes);
    std::lock_guard lock(mutex_);
    if (!parsed.request) {
        logLine("request from " + peer + " not answered: " + parsed.error);
        ++counters_.requestsMalformed;
        return;
    }
    if (faults_.silent) {
        logLine("silent: request from " + peer + " ignored");
    } else {
        std::vector<Outgoing> replies;
        dispatch(*parsed.request, replies);
        for (auto& reply : replies) {
            queueReply(std::move(reply));
        }
    }
    ++counters_.requestsHandled;
}

// ---- the unit's behaviour -------------------------------------------------------------------

void VirtualUnit::dispatch(const Request& request, std::vector<Outgoing>& replies) {
    const std::string& command = request.command;
    if (command == "STATUS") {
        replies.push_back(statusReply(request, errors::kNone));
    } else if (command == "CAPTURE") {
        const auto mode = pictureModeFromText(request.mode);
        if (!mode) {
            replies.push_back(statusReply(request, errors::kBadMode));
        } else if (faults_.sensorFault) {
            replies.push_back(statusReply(request, faults_.sensorFaultError));
        } else if (!faults_.refuseCaptureError.empty()) {
            replies.push_back(statusReply(request, faults_.refuseCaptureError));
        } else if (state_ != UnitState::Idle) {
            replies.push_back(statusReply(request, errors::kNotIdle));
        } else {
            abandonCapture();
            capture_ = std::make_unique<Capture>();
            capture_->request = request;
            capture_->mode = *mode;
            capture_->generation = captureGeneration_;
            const auto now = Clock::now();
            if (config_.exposureDelay) {
                capture_->exposeAt = now + *config_.exposureDelay;
            }
            if (const auto seconds = parameters_.number("XRayTimeout"); seconds > 0) {
                capture_->timeoutAt = now + std::chrono::seconds(seconds);
            }
            storedImage_.reset();  // the image belonged to the previous capture
            setState(UnitState::WaitXray);
        }
    } else if (command == "GET") {
        const auto mode = pictureModeFromText(request.mode);
        if (!mode) {
            replies.push_back(statusReply(request, errors::kBadMode));
        } else if (!storedImage_) {
            replies.push_back(statusReply(request, errors::kNoImage));
        } else {
            replies.push_back(imageReply(request, *storedImage_, *mode));
        }
    } else if (command == "RESET") {
        abandonCapture();
        storedImage_.reset();
        setState(UnitState::Idle);
    } else if (command == "CLOSE") {
        abandonCapture();
        setState(UnitState::Idle);
        replies.push_back(statusReply(request, errors::kNone));
    } else if (command == "GETPARAM") {
        const std::string name = request.name.value_or("");
        if (auto value = parameters_.get(name)) {
            replies.push_back(textReply(request, parameterBody(name, *value)));
        } else {
            replies.push_back(statusReply(request, errors::kUnknownParameter));
        }
    } else if (command == "SETPARAM") {
        const std::string name = request.name.value_or("");
        switch (parameters_.set(name, request.value.value_or(""))) {
            case SetOutcome::Stored:
                logLine("parameter " + name + " = " + *parameters_.get(name));
                replies.push_back(textReply(request, parameterBody(name, *parameters_.get(name))));
                break;
            case SetOutcome::UnknownName:
                replies.push_back(statusReply(request, errors::kUnknownParameter));
                break;
            case SetOutcome::ReadOnly:
                replies.push_back(statusReply(request, errors::kReadOnlyParameter));
                break;
            case SetOutcome::BadValue:
                replies.push_back(statusReply(request, errors::kBadValue));
                break;
        }
    } else {
        replies.push_back(statusReply(request, errors::kUnknownCommand));
    }
}

void VirtualUnit::clockLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        std::optional<Clock::time_point> wake;
        if (capture_ && state_ == UnitState::WaitXray) {
            if (capture_->exposeAt && now >= *capture_->exposeAt) {
                expose(now);
                continue;
            }
            if (capture_->timeoutAt && now >= *capture_->timeoutAt) {
                logLine("no exposure within XRayTimeout");
                const Request request = capture_->request;
                abandonCapture();
                setState(UnitState::Idle);
                queueReply(statusReply(request, errors::kExposureTimeout));
                changed();
                continue;
            }
            wake = capture_->exposeAt;
            if (capture_->timeoutAt && (!wake || *capture_->timeoutAt < *wake)) {
                wake = capture_->timeoutAt;
            }
        } else if (capture_ && state_ == UnitState::Processing) {
            if (now >= capture_->processingDoneAt) {
                storedImage_ = exposureImage_;
                Outgoing reply = imageReply(capture_->request, *storedImage_, capture_->mode);
                reply.captureGeneration = capture_->generation;
                capture_.reset();
                queueReply(std::move(reply));
                changed();
                continue;
            }
            wake = capture_->processingDoneAt;
        }
        if (wake) {
            changed_.wait_until(lock, *wake);
        } else {
            changed_.wait(lock);
        }
    }
}

// ---- replies --------------------------------------------------------------------------------

VirtualUnit::Outgoing VirtualUnit::textReply(const Request& request, std::string_view body) const {
    Outgoing reply;
    reply.destination = net::makeEndpoint(request.ip, request.port);
    const std::string& id = faults_.foreignId.empty() ? request.id : faults_.foreignId;
    reply.bytes = replyHeader(id, request.command, body.size());
    reply.headerBytes = reply.bytes.size();
    reply.bytes.append(body);
    reply.faults = faults_;
    return reply;
}

VirtualUnit::Outgoing VirtualUnit::statusReply(const Request& request,
                                               std::string_view error) const {
    int sensor = config_.sensorNumber;
    if (faults_.sensorFault) {
        sensor = faults_.sensorFaultSensor;
        if (error == errors::kNone) {
            error = faults_.sensorFaultError;
        }
    }
    return textReply(request, statusBody(state_, error, sensor));
}

VirtualUnit::Outgoing VirtualUnit::imageReply(const Request& request, const GrayImage& image,
                                              PictureMode mode) const {
    const std::vector<std::uint8_t> payload = buildImagePayload(image, mode);
    Outgoing reply = textReply(
        request, std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    reply.image = true;
    return reply;
}

void VirtualUnit::queueReply(Outgoing reply) {
    const std::string to = net::endpointText(reply.destination);
    if (faults_.silent) {
        logLine("silent: reply to " + to + " withheld");
        imageDelivered(reply.captureGeneration);
        return;
    }
    if (config_.loopbackRepliesOnly && !net::isLoopback(reply.destination)) {
        logLine("reply to " + to + " refused: only loopback addresses are answered");
        ++counters_.repliesFailed;
        changed();
        return;
    }
    reapSenders();
    if (senders_.size() >= kMaxSenderThreads) {
        logLine("reply to " + to + " dropped: too many replies under way");
        ++counters_.repliesFailed;
        changed();
        return;
    }
    ++counters_.repliesQueued;
    auto sender = std::make_unique<SenderThread>();
    SenderThread* raw = sender.get();
    raw->thread = std::thread([this, raw, r = std::move(reply)] {
        sendReply(r);
        raw->done = true;
    });
    senders_.push_back(std::move(sender));
}

void VirtualUnit::reapSenders() {
    for (auto it = senders_.begin(); it != senders_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();  // it has finished its last statement already
            it = senders_.erase(it);
        } else {
            ++it;
        }
    }
}

void VirtualUnit::sendReply(const Outgoing& reply) {
    const int stopFd = sockets_->stop.waitFd();
    const std::string to = net::endpointText(reply.destination);
    const std::string_view all(reply.bytes);
    const std::string_view header = all.substr(0, reply.headerBytes);
    const std::string_view body = all.substr(reply.headerBytes);
    logLine(
        "-> " + to + " " + escapeBytes(header) +
        (reply.image ? "[" + std::to_string(body.size()) + " image bytes]" : escapeBytes(body)));

    enum class Outcome { Sent, Failed, Dropped, Stopped };
    Outcome outcome = Outcome::Sent;
    std::string error;
    net::Fd fd;
    switch (net::connectTo(reply.destination, stopFd, kConnectTimeoutMs, fd, error)) {
        case net::IoResult::Done:
            break;
        case net::IoResult::Failed:
            outcome = Outcome::Failed;
            break;
        case net::IoResult::Stopped:
            outcome = Outcome::Stopped;
            break;
    }

    std::size_t limit = all.size();
    if (reply.image && reply.faults.dropImageAfterBytes) {
        limit = reply.headerBytes + std::min(*reply.faults.dropImageAfterBytes, body.size());
    }
    const std::size_t chunk = reply.faults.chunkBytes > 0 ? reply.faults.chunkBytes : limit;
    for (std::size_t offset = 0; outcome == Outcome::Sent && offset < limit;) {
        const std::size_t n = std::min(chunk, limit - offset);
        if (offset + n == limit) {
            // Whoever holds the whole image must find the unit in IMGRDY when it asks next.
            std::lock_guard lock(mutex_);
            imageDelivered(reply.captureGeneration);
        }
        switch (net::sendAll(fd.get(), all.substr(offset, n), stopFd, kSendStallTimeoutMs, error)) {
            case net::IoResult::Done:
                break;
            case net::IoResult::Failed:
                outcome = Outcome::Failed;
                continue;
            case net::IoResult::Stopped:
                outcome = Outcome::Stopped;
                continue;
        }
        offset += n;
        if (offset < limit && reply.faults.chunkDelay.count() > 0) {
            std::unique_lock lock(mutex_);
            if (changed_.wait_for(lock, reply.faults.chunkDelay, [this] { return stopping_; })) {
                outcome = Outcome::Stopped;
            }
        }
    }
    if (outcome == Outcome::Sent && limit < all.size()) {
        outcome = Outcome::Dropped;
    }
    if (outcome == Outcome::Sent) {
        ::shutdown(fd.get(), SHUT_WR);
    }

    {
        std::lock_guard lock(mutex_);
        switch (outcome) {
            case Outcome::Sent:
                ++counters_.repliesSent;
                if (reply.image) {
                    ++counters_.imagesSent;
                }
                break;
            case Outcome::Failed:
                logLine("reply to " + to + " failed: " + error);
                ++counters_.repliesFailed;
                break;
            case Outcome::Dropped:
                logLine("reply to " + to + " cut off after " +
                        std::to_string(limit - reply.headerBytes) + " body bytes");
                ++counters_.repliesDropped;
                break;
            case Outcome::Stopped:
                ++counters_.repliesFailed;
                break;
        }
        // The unit has done its part whether or not the computer took the whole image.
        imageDelivered(reply.captureGeneration);
    }
    changed();
    if (outcome == Outcome::Sent) {
        net::drainUntilClosed(fd.get(), stopFd, kDrainTimeoutMs);
    }
}

}  // namespace unitsim
