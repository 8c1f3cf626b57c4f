// Message boxes of winapi shown as Qt message boxes on the GUI thread.
#pragma once

#include <winapi_ui.h>

class QtUiBackend : public winapi::UiBackend {
public:
    int ShowMessageBox(const winapi::MessageBoxCall& box) override;
    void UpdateStatus(const winapi::StatusLine&) override {}
};
