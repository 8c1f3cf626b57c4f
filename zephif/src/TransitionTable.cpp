// The transition table, one row per state, in list order, and the walk over it.
#include "TransitionTable.h"

#include <iterator>

namespace zephif {
namespace {

using H = Handler;

constexpr Transition kConnectingRow[] = {
    {kEvOpen, H::Opening, kConnecting},
    {kEvCancel, H::None, kConnecting},
    {kEvTimeout, H::Failing, kFailed},
    {kEvCommandFailed, H::Failing, kFailed},
    {kEvStatusUnknown, H::Failing, kFailed},
    {kEvStatusImageReady, H::Resetting, kResetting},
    {kEvStatusNotReady, H::Resetting, kResetting},
    {kEvStatusProcessing, H::Occupied, kOccupied},
    {kEvStatusWaitXray, H::Occupied, kOccupied},
    {kEvStatusClear, H::Occupied, kOccupied},
    {kEvStatusIdle, H::Connected, kReady},
    {kEvEnd, H::Closing, kClosed},
    {kEvForeignReply, H::None, kConnecting},
    {kEvRetry, H::None, kConnecting},
};

constexpr Transition kFailedRow[] = {
    {kEvCancel, H::None, kReady},
    {kEvTimeout, H::None, kFailed},
    {kEvEnd, H::Closing, kClosed},
    {kEvRetry, H::Closing, kClosed},
};

constexpr Transition kOccupiedRow[] = {
    {kEvCancel, H::None, kReady},
    {kEvTimeout, H::None, kOccupied},
    {kEvEnd, H::Closing, kClosed},
    {kEvRetry, H::Closing, kClosed},
};

// CommandFailed here is the third reset attempt or a failed RESET/STATUS: it runs Failing, so
// the start ends at once with -7 and text 6 instead of running into the start's time-out.
constexpr Transition kResettingRow[] = {
    {kEvCommandFailed, H::Failing, kFailed},
    {kEvCancel, H::None, kConnecting},
    {kEvRetry, H::None, kConnecting},
};

constexpr Transition kReadyRow[] = {
    {kEvCaptureRequested, H::StartCapture, kReady},
    {kEvCancel, H::Abandon, kReady},
    {kEvTimeout, H::Failing, kFailed},
    {kEvCommandFailed, H::Failing, kFailed},
    {kEvCaptureFailed, H::CaptureError, kReady},
    // A unit that exposes at once answers CAPTURE before the first STATUS after it.
    {kEvCaptureSucceeded, H::ImageArrived, kImageReceived},
    {kEvStatusClear, H::Clearing, kClearing},
    {kEvStatusWaitXray, H::Expose, kWaitingForExposure},
    {kEvCloseAcknowledged, H::None, kReady},
    {kEvCloseMissing, H::None, kReady},
    {kEvEnd, H::Closing, kClosed},
    {kEvRetry, H::None, kReady},
};

constexpr Transition kClearingRow[] = {
    {kEvStatusClear, H::Clearing, kClearing},
    {kEvStatusWaitXray, H::Expose, kWaitingForExposure},
    {kEvCaptureSucceeded, H::ImageArrived, kImageReceived},
    {kEvCancel, H::Abandon, kReady},
    {kEvEnd, H::Closing, kClosed},
    {kEvTimeout, H::Failing, kFailed},
    {kEvRetry, H::None, kClearing},
};

constexpr Transition kWaitingForExposureRow[] = {
    {kEvStatusWaitXray, H::Expose, kWaitingForExposure},
    {kEvStatusImageReady, H::Expose, kWaitingForExposure},
    {kEvCaptureSucceeded, H::ImageArrived, kImageReceived},
    {kEvCaptureFailed, H::Abandon, kReady},
    {kEvTimeout, H::Failing, kFailed},
    {kEvCancel, H::Abandon, kReady},
    {kEvStatusClear, H::None, kWaitingForExposure},
    {kEvEnd, H::Closing, kClosed},
    {kEvForeignReply, H::None, kWaitingForExposure},
    {kEvRetry, H::None, kWaitingForExposure},
};

constexpr Transition kImageReceivedRow[] = {
    {kEvDeliverImage, H::Deliver, kReady}, {kEvCancel, H::Abandon, kReady},
    {kEvEnd, H::Closing, kClosed},         {kEvCloseAcknowledged, H::None, kReady},
    {kEvCloseMissing, H::None, kReady},    {kEvTimeout, H::Failing, kFailed},
    {kEvRetry, H::None, kImageReceived},
};

constexpr std::span<const Transition> kTable[kStateCount] = {
    kConnectingRow,         kFailedRow,        kOccupiedRow, kResettingRow, kReadyRow, kClearingRow,
    kWaitingForExposureRow, kImageReceivedRow, {},
};

constexpr const char* kHandlerNames[] = {
    "none",     "Opening", "Connected",    "Occupied", "Resetting",    "Failing", "StartCapture",
    "Clearing", "Expose",  "ImageArrived", "Deliver",  "CaptureError", "Abandon", "Closing",
};

}  // namespace

std::span<const Transition> TransitionsOf(int state) {
    if (state < 0 || state >= kStateCount)
        return {};
    return kTable[state];
}

Resolution Resolve(int state, int event) {
    for (const Transition& entry : TransitionsOf(state)) {
        if (entry.event == event)
            return {true, false, entry.handler, entry.next};
        if (entry.event == kEvRetry)  // reached before an exact match: the state's default
            return {true, true, entry.handler, state};
    }
    return {};
}

const char* HandlerName(Handler handler) {
    const auto index = static_cast<std::size_t>(handler);
    return index < std::size(kHandlerNames) ? kHandlerNames[index] : "?";
}

}  // namespace zephif
