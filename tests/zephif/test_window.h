// A message-only window on the test's thread that collects what the library posts to it.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>

class TestWindow {
public:
    TestWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "ZephIFTestWindow";
        RegisterClassA(&wc);  // a second registration fails harmlessly
        m_hwnd = CreateWindowExA(0, "ZephIFTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
    }
    ~TestWindow() { DestroyWindow(m_hwnd); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND Handle() const { return m_hwnd; }

    // The next message posted to the window, waiting up to `timeout` for it to arrive.
    std::optional<MSG> Next(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        MSG msg;
        while (!PeekMessageA(&msg, m_hwnd, 0, 0, PM_REMOVE)) {
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            Sleep(kQueuePollMs);
        }
        return msg;
    }
    bool Empty() {
        MSG msg;
        return !PeekMessageA(&msg, m_hwnd, 0, 0, PM_NOREMOVE);
    }

private:
    static constexpr DWORD kQueuePollMs = 2;
    HWND m_hwnd = nullptr;
};
