// UI backends behind MessageBoxA and status lines: console, recording, silent, or the host's own.
#pragma once

#include <windows.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winapi {

struct MessageBoxCall {
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT type = MB_OK;  // buttons, icon, default button and modality flags as given
};

// The whole state of a status line after a change; a status window renders through this.
struct StatusLine {
    bool visible = false;
    std::string text;
    COLORREF color = RGB(255, 255, 255);
};

// Implementations must accept calls from any thread.
class UiBackend {
public:
    virtual ~UiBackend() = default;
    // Returns the ID of the chosen button (IDOK, IDYES, ...), one of MessageBoxButtons(type).
    virtual int ShowMessageBox(const MessageBoxCall& box) = 0;
    virtual void UpdateStatus(const StatusLine& status) = 0;
};

// The buttons of a box type in screen order; empty for an unknown type.
std::vector<int> MessageBoxButtons(UINT type);
// The button MB_DEFBUTTONn selects (the first when n is beyond the buttons); 0 for an unknown type.
int DefaultMessageBoxButton(UINT type);

// Prints boxes and status lines; asks for the button only when interactive, otherwise answers
// with the default button. On a terminal the status line is one line redrawn in place in the
// ANSI colour nearest its RGB, cut to the terminal's width; elsewhere each change of its text
// gives one plain line, a change only in its numbers (a byte count) none.
class ConsoleUiBackend : public UiBackend {
public:
    // stderr for output; interactive when stdin and stderr are terminals, in place when stderr
    // is one.
    ConsoleUiBackend();
    ConsoleUiBackend(FILE* in, FILE* out, bool interactive);
    ConsoleUiBackend(FILE* in, FILE* out, bool interactive, bool inPlace);
    int ShowMessageBox(const MessageBoxCall& box) override;
    void UpdateStatus(const StatusLine& status) override;

private:
    void EndStatusLineLocked();
    std::mutex lock_;
    FILE* in_;
    FILE* out_;
    bool interactive_;
    bool inPlace_;
    bool statusOnScreen_ = false;  // a coloured line without its line end is showing
    StatusLine last_;
    StatusLine lastPrinted_;
};

// For tests: answers from a script (then with default buttons) and records every call.
class RecordingUiBackend : public UiBackend {
public:
    void ScriptAnswer(int buttonId);
    std::vector<MessageBoxCall> Boxes() const;
    std::vector<StatusLine> StatusUpdates() const;
    void Clear();
    int ShowMessageBox(const MessageBoxCall& box) override;
    void UpdateStatus(const StatusLine& status) override;

private:
    mutable std::mutex lock_;
    std::deque<int> answers_;
    std::vector<MessageBoxCall> boxes_;
    std::vector<StatusLine> statuses_;
};

// Shows nothing; every box gets its default button.
class SilentUiBackend : public UiBackend {
public:
    int ShowMessageBox(const MessageBoxCall& box) override;
    void UpdateStatus(const StatusLine&) override {}
};

// Installs the process's backend (a Qt application installs its own); null returns to the
// choice of WINAPI_UI. Returns the backend installed before.
std::shared_ptr<UiBackend> SetUiBackend(std::shared_ptr<UiBackend> backend);
// The installed backend, else the one WINAPI_UI names: "console", "record", "none" or "qt" (a
// status window and dialogs; the default when the process already runs a QApplication, else
// "console").
std::shared_ptr<UiBackend> CurrentUiBackend();

}  // namespace winapi
