// The library's user-visible texts, by string-table id.
#pragma once

#include <string>

namespace zephif {

enum TextId : int {
    kTextCommunicationError = 1,
    kTextInternalError = 2,
    kTextClearing = 3,
    kTextExposeNow = 4,
    kTextResetting = 5,
    kTextConnectFailed = 6,
    kTextOccupied = 7,
    kTextPreparing = 8,
    kTextCancelling = 9,
    kTextExposureRequested = 10,
    kTextTimedOut = 11,
    kTextConnected = 12,
    kTextChecking = 13,
    kTextImageReceived = 14,
    kTextTransferCompleted = 15,
    kTextSettingsMissing = 16,
    kTextDefaultAddress = 17,
    kTextSensorFault = 18,
    kTextCaptureRefused = 19,
    kTextTransferStarted = 20,
    kTextTransferProgress = 21,
};

// The text of `id` with "%1" replaced by `argument` when one is given; empty for an unknown id.
std::string LoadText(int id, const char* argument = nullptr);

}  // namespace zephif
