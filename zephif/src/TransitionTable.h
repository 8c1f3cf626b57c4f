// The acquisition state machine's states, events, handlers and transition table (data).
#pragma once

#include <windows.h>

#include <span>

namespace zephif {

enum State : int {
    kConnecting = 0,
    kFailed = 1,
    kOccupied = 2,
    kResetting = 3,
    kReady = 4,
    kClearing = 5,
    kWaitingForExposure = 6,
    kImageReceived = 7,
    kClosed = 8,
};
inline constexpr int kStateCount = 9;

enum Event : int {
    kEvOpen = 0,
    kEvTimeout = 1,
    kEvCommandFailed = 2,
    kEvStatusUnknown = 3,
    kEvStatusImageReady = 4,
    kEvStatusNotReady = 5,
    kEvStatusIdle = 6,
    kEvStatusProcessing = 7,
    kEvStatusWaitXray = 8,
    kEvStatusClear = 9,
    kEvCaptureFailed = 10,
    kEvCaptureSucceeded = 12,
    kEvCloseMissing = 13,
    kEvCloseAcknowledged = 14,
    kEvCancel = 15,
    kEvDeliverImage = 16,
    kEvCaptureRequested = 17,
    kEvEnd = 18,
    kEvForeignReply = 19,
    kEvRetry = 20,  // also the key of a state's default entry
};
inline constexpr int kEventLimit = 21;  // event numbers are below this

enum class Handler : int {
    None,
    Opening,
    Connected,
    Occupied,
    Resetting,
    Failing,
    StartCapture,
    Clearing,
    Expose,
    ImageArrived,
    Deliver,
    CaptureError,
    Abandon,
    Closing,
};

struct Transition {
    int event;
    Handler handler;
    int next;
};

// The entries of `state` in list order (empty for Closed or an unknown state).
std::span<const Transition> TransitionsOf(int state);

// What dispatching `event` in `state` does: the entry that wins and the state afterwards
// (unchanged for a default entry). found is false when no entry applies: E_POINTER, nothing done.
struct Resolution {
    bool found = false;
    bool isDefault = false;
    Handler handler = Handler::None;
    int nextState = 0;
};
Resolution Resolve(int state, int event);

const char* HandlerName(Handler handler);

}  // namespace zephif
