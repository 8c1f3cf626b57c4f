// The status window as a model (visible, text, colour state), rendered by the UI backend.
#pragma once

#include <winapi_ui.h>

#include <string>

namespace zephif {

enum ColourState : int { kColourWhite = 0, kColourRed = 1, kColourGreen = 2, kColourYellow = 3 };

class StatusDialog {
public:
    // Creation can fail only when no UI backend exists; then every operation does nothing.
    bool Create();
    void Destroy();
    bool Exists() const { return m_exists; }

    // Shows the window on top with text `id` (its "%1" replaced when an argument is given).
    void ShowText(int id, const char* argument = nullptr);
    void SetColour(int state);
    void Hide();

    winapi::StatusLine Current() const { return m_line; }

private:
    void Render();

    bool m_exists = false;
    winapi::StatusLine m_line;
};

COLORREF ColourOfState(int state);

}  // namespace zephif
