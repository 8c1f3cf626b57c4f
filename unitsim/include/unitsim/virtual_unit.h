// The virtual unit: takes requests, keeps state, parameters and image, replies on new connections.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "unitsim/image.h"
#include "unitsim/parameters.h"
#include "unitsim/wire.h"

namespace unitsim {

// Misbehaviour on demand, to exercise the computer's error paths. All off by default.
struct Faults {
    // Non-empty: every CAPTURE is refused with a status body carrying this error text.
    std::string refuseCaptureError;
    // Status bodies report this error text and sensor number; CAPTURE is refused with the text.
    bool sensorFault = false;
    std::string sensorFaultError = std::string(errors::kSensorFault);
    int sensorFaultSensor = 0;
    // Non-empty: replies carry this id instead of the request's.
    std::string foreignId;
    // Image replies: the connection is closed after the header and this many body bytes.
    std::optional<std::size_t> dropImageAfterBytes;
    // Replies are written in pieces of this many bytes (0: in one go), with a pause between.
    std::size_t chunkBytes = 0;
    std::chrono::milliseconds chunkDelay{0};
    // Requests are read and counted, but nothing is done and nothing is answered.
    bool silent = false;
};

struct Config {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: the system picks a free port, see VirtualUnit::port()
    // The picture an exposure produces; empty: the test pattern at the sensor's size.
    GrayImage image;
    // Exposure follows CAPTURE after this delay; without it only triggerExposure() exposes.
    std::optional<std::chrono::milliseconds> exposureDelay;
    std::chrono::milliseconds processingTime{500};
    int sensorNumber = 1;
    // IDLE normally; IMGRDY (with an image stored) or NOTRDY to play a unit left in that state.
    UnitState startState = UnitState::Idle;
    Faults faults;
    // A unit serving tests must never connect anywhere but loopback; a program serving a real
    // network turns this off on purpose.
    bool loopbackRepliesOnly = true;
    // Traffic and events, one line per call, bytes already escaped. Called on the unit's threads,
    // possibly several at once and with the unit's lock held: it must not call back into the unit.
    std::function<void(std::string_view)> log;
};

struct Counters {
    std::uint64_t connectionsAccepted = 0;
    std::uint64_t requestsHandled = 0;    // well-formed requests taken in (also when silent)
    std::uint64_t requestsMalformed = 0;  // unreadable, too long, or not finished in time
    std::uint64_t repliesQueued = 0;      // counted before requestsHandled of the same request
    std::uint64_t repliesSent = 0;        // every byte written
    std::uint64_t repliesFailed = 0;      // no connection, write failed, or address refused
    std::uint64_t repliesDropped = 0;     // cut short on purpose (Faults::dropImageAfterBytes)
    std::uint64_t imagesSent = 0;
    std::uint64_t exposures = 0;

    std::uint64_t repliesFinished() const { return repliesSent + repliesFailed + repliesDropped; }
};

struct Snapshot {
    UnitState state;
    Counters counters;
};

class VirtualUnit {
public:
    explicit VirtualUnit(Config config);
    ~VirtualUnit();
    VirtualUnit(const VirtualUnit&) = delete;
    VirtualUnit& operator=(const VirtualUnit&) = delete;

    // Binds and starts the threads; throws std::system_error when the address cannot be bound.
    // A unit is started once.
    void start();
    // Ends every thread of the unit, replies under way included, and joins them. Idempotent.
    void stop();

    std::uint16_t port() const;
    const std::string& address() const { return config_.address; }

    // Exposes now when a capture waits for X-rays; false (and nothing happens) otherwise.
    bool triggerExposure();

    UnitState state() const;
    Counters counters() const;
    Snapshot snapshot() const;
    std::optional<std::string> parameter(std::string_view name) const;

    Faults faults() const;
    void setFaults(Faults faults);

    // Blocks until the predicate holds for the unit's state and counters, or the time-out passes;
    // returns whether it holds. Re-checked at every change, so no polling interval is involved.
    bool waitUntil(const std::function<bool(const Snapshot&)>& predicate,
                   std::chrono::milliseconds timeout) const;
    bool waitForRequests(std::uint64_t handled, std::chrono::milliseconds timeout) const;
    bool waitForRepliesFinished(std::uint64_t finished, std::chrono::milliseconds timeout) const;
    bool waitForState(UnitState state, std::chrono::milliseconds timeout) const;

private:
    struct Capture;
    struct Outgoing;
    struct SenderThread;
    struct PendingRequest;

    void ioLoop();
    void clockLoop();
    void handleRequest(std::string_view bytes, const std::string& peer);

    // These run with mutex_ held.
    void dispatch(const Request& request, std::vector<Outgoing>& replies);
    void setState(UnitState next);
    void expose(std::chrono::steady_clock::time_point now);
    void abandonCapture();
    void imageDelivered(std::uint64_t captureGeneration);
    Outgoing textReply(const Request& request, std::string_view body) const;
    Outgoing statusReply(const Request& request, std::string_view error) const;
    Outgoing imageReply(const Request& request, const GrayImage& image, PictureMode mode) const;
    void queueReply(Outgoing reply);
    void reapSenders();

    void sendReply(const Outgoing& reply);
    void changed();
    void logLine(const std::string& line) const;

    Config config_;
    GrayImage exposureImage_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool started_ = false;
    bool stopping_ = false;
    UnitState state_;
    Counters counters_;
    Faults faults_;
    ParameterTable parameters_;
    std::optional<GrayImage> storedImage_;
    std::unique_ptr<Capture> capture_;
    std::uint64_t captureGeneration_ = 0;
    std::list<std::unique_ptr<SenderThread>> senders_;

    struct Sockets;
    std::unique_ptr<Sockets> sockets_;
    std::uint16_t boundPort_ = 0;
    std::thread ioThread_;
    std::thread clockThread_;
};

}  // namespace unitsim
