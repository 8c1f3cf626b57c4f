// The recording UI backend with waits: tests block until the library shows a text.
#pragma once

#include <winapi_ui.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

class WaitingUi : public winapi::RecordingUiBackend {
public:
    int ShowMessageBox(const winapi::MessageBoxCall& box) override {
        const int answer = RecordingUiBackend::ShowMessageBox(box);
        m_changed.notify_all();
        return answer;
    }
    void UpdateStatus(const winapi::StatusLine& status) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            RecordingUiBackend::UpdateStatus(status);
        }
        m_changed.notify_all();
    }
    // Whether a visible status line starting with `prefix` has been shown, waiting for it.
    bool WaitForText(const std::string& prefix,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return Shown(prefix); });
    }
    bool Shown(const std::string& prefix) const {
        for (const auto& s : StatusUpdates())
            if (s.visible && s.text.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
};
