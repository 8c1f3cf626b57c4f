// The status window's codes, texts and colours; the Network Error text; the string table.
#include "StatusWindow.h"

#include <iterator>

namespace zephlegacy {
namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kYellow = RGB(255, 255, 0);

constexpr StatusCodeRow kStatusCodes[] = {
    {kStatusWait, kRed, "Wait!"},
    {kStatusWaitingForXray, kGreen, "Waiting for X-Ray!"},
    {kStatusProcessing, kYellow, "Wait for Processing!"},
    {kStatusImageFound, kYellow, "Image Found. Wait for Processing!"},
    {kStatusResetting, kRed, "Can't get Image. Wait for resetting sensor!"},
};

constexpr const char* kStrings[kStringCount] = {
    "Failed to open the X-ray capture device driver!",
    "Failed to update a parameter in the driver!",
    "Timeout waiting for a parameter update in the driver!",
    "Hardware and connection testing is in progress...",
    "Powering-up the interface module...",
    "Test Unit",
    "Binning Constants",
    "Pixel Threshold",
    "Integration Delay Time",
    "\nParameter: ",
    "Extended Error Info:",
    "Error: The X-ray image capture driver is not open",
    "Harrow Test Failure!\nTest Values: ",
    "Power ON",
    "Power OFF",
};

constexpr char kNetworkErrorNotice[] =
    "Couldn't find Quill sensor.\nCheck network hardware connections (sensor, cable).\n\nCheck "
    "network parameters in zephif.ini file:";
constexpr const char* kNetworkErrorLabels[] = {"PC Local IP:",    "PC Local Port:", "PC Return IP:",
                                               "PC Return Port:", "Sensor IP:",     "Sensor Port:"};
constexpr char kNetworkErrorAdvice[] =
    "Power-cycle sensor module, exit from application, and restart the application.";
constexpr DWORD kPercent = 100;

}  // namespace

const StatusCodeRow* FindStatusCode(int code) {
    for (const auto& row : kStatusCodes)
        if (row.code == code)
            return &row;
    return nullptr;
}

void StatusWindow::Create(const char* text) {
    m_exists = true;
    m_text = text;
    m_colour = kColourPlain;
    m_progressShown = false;
    m_percent = 0;
    Render();
}

void StatusWindow::Destroy() {
    if (!m_exists)
        return;
    m_exists = false;
    Render();
}

void StatusWindow::ShowCode(int code) {
    const StatusCodeRow* row = FindStatusCode(code);
    if (!m_exists || !row)
        return;
    m_text = row->text;
    m_colour = row->colour;
    Render();
}

void StatusWindow::ShowProgress(DWORD received, DWORD total) {
    if (!m_exists || total == 0)
        return;
    m_progressShown = true;
    m_percent = static_cast<DWORD>(static_cast<unsigned long long>(received) * kPercent / total);
    Render();
}

void StatusWindow::Render() {
    auto backend = winapi::CurrentUiBackend();
    if (!backend)
        return;
    winapi::StatusLine line;
    line.visible = m_exists;
    line.text = m_text;
    if (m_progressShown)
        line.text += std::string("\n") + kProgressLabel + " " + std::to_string(m_percent) + "%";
    line.color = m_colour;
    backend->UpdateStatus(line);
}

std::string NetworkErrorText(const LegacySettings& s) {
    const std::string values[] = {s.localIp,  std::to_string(s.localPort),
                                  s.returnIp, std::to_string(s.returnPort),
                                  s.sensorIp, std::to_string(s.sensorPort)};
    std::string text = kNetworkErrorNotice;
    text += "\n";
    for (std::size_t i = 0; i < std::size(kNetworkErrorLabels); ++i)
        text += std::string(kNetworkErrorLabels[i]) + " " + values[i] + "\n";
    text += std::string("\n") + kNetworkErrorAdvice;
    return text;
}

const char* LegacyString(int id) {
    if (id < 1 || id > kStringCount)
        return "";
    return kStrings[id - 1];
}

}  // namespace zephlegacy
