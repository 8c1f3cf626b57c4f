// The status window model: every change is rendered at once, as the dialog repaints at once.
#include "StatusDialog.h"

#include "StringTable.h"

#include <iterator>

namespace zephif {
namespace {

constexpr COLORREF kStateColours[] = {
    RGB(255, 255, 255),  // idle, about to be hidden
    RGB(255, 0, 0),      // waiting, resetting, errors, cancelling
    RGB(0, 255, 0),      // the unit waits for the exposure
    RGB(255, 255, 0),    // image transfer and image received
};

}  // namespace

COLORREF ColourOfState(int state) {
    if (state < 0 || state >= static_cast<int>(std::size(kStateColours)))
        return kStateColours[kColourWhite];
    return kStateColours[state];
}

bool StatusDialog::Create() {
    if (m_exists)
        return true;
    if (!winapi::CurrentUiBackend())
        return false;
    m_exists = true;
    m_line = winapi::StatusLine{};
    m_line.visible = true;  // the template is a visible pop-up
    m_line.color = ColourOfState(kColourWhite);
    Render();
    return true;
}

void StatusDialog::Destroy() {
    if (!m_exists)
        return;
    m_line.visible = false;
    Render();
    m_exists = false;
}

void StatusDialog::ShowText(int id, const char* argument) {
    if (!m_exists)
        return;
    m_line.visible = true;
    m_line.text = LoadText(id, argument);
    Render();
}

void StatusDialog::SetColour(int state) {
    if (!m_exists)
        return;
    m_line.color = ColourOfState(state);
    Render();
}

void StatusDialog::Hide() {
    if (!m_exists)
        return;
    m_line.visible = false;
    Render();
}

void StatusDialog::Render() {
    if (auto backend = winapi::CurrentUiBackend())
        backend->UpdateStatus(m_line);
}

}  // namespace zephif
