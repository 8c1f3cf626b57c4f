// The "Sensor Status" dialog as a model rendered by the UI backend, its texts and colours, and
// the texts of the build's other dialogs.
#pragma once

#include "LegacyText.h"

#include <winapi_ui.h>

#include <string>

namespace zephlegacy {

inline constexpr char kStatusWindowTitle[] = "Sensor Status";
inline constexpr char kCheckingConnectionText[] = "Wait for checking Sensor Connection...";
inline constexpr char kCheckingStatusText[] = "Checking Sensor Status...";
inline constexpr char kProgressLabel[] = "Progress";
inline constexpr char kNetworkErrorCaption[] = "Network Error";

// Status codes of the status window.
enum StatusCode : int {
    kStatusWait = 1,
    kStatusWaitingForXray = 2,
    kStatusProcessing = 3,
    kStatusImageFound = 4,
    kStatusResetting = 5,
};

struct StatusCodeRow {
    int code;
    COLORREF colour;
    const char* text;
};
// The row of a code, or nothing for an unknown code.
const StatusCodeRow* FindStatusCode(int code);

inline constexpr COLORREF kColourPlain = RGB(255, 255, 255);

// Visible, text, colour and the progress bar; every change is rendered at once. The progress bar
// and its label are hidden until the transfer reports its size, then the status line carries
// "\nProgress <n>%" after the text.
class StatusWindow {
public:
    void Create(const char* text = kCheckingStatusText);
    void Destroy();
    bool Exists() const { return m_exists; }
    void ShowCode(int code);
    void ShowProgress(DWORD received, DWORD total);

private:
    void Render();
    bool m_exists = false;
    std::string m_text;
    COLORREF m_colour = kColourPlain;
    bool m_progressShown = false;
    DWORD m_percent = 0;
};

// The "Network Error" dialog's text: the notice, the six settings beside their labels, the
// advice. Shown modally with an OK button until the user presses it.
std::string NetworkErrorText(const LegacySettings& settings);

// The build's string table (ids 1-15). They name a capture device driver; the socket client
// shows none of them.
inline constexpr int kStringCount = 15;
const char* LegacyString(int id);

}  // namespace zephlegacy
