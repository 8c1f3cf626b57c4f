// Thread message queues shared by the queue functions and the window functions.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace winapi {

class MessageQueue;

// A SendMessageA to a window of another thread, waiting for that thread to call the procedure.
struct SentMessage {
    MSG msg{};
    std::shared_ptr<MessageQueue> sender;
    bool done = false;  // guarded by sender->lock
    LRESULT result = 0;
};

class MessageQueue {
public:
    explicit MessageQueue(DWORD owner) : threadId(owner) {}
    const DWORD threadId;

    std::mutex lock;
    std::condition_variable changed;  // a message arrived or a sent message was answered
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quitPending = false;
    int quitCode = 0;
    bool closed = false;  // the thread has ended
};

// The calling thread's queue, created on first use as Windows creates it.
std::shared_ptr<MessageQueue> CurrentQueue();
// The queue of a live thread, or null when the thread has none.
std::shared_ptr<MessageQueue> FindQueue(DWORD threadId);
// Appends a posted message; the error code to report on failure, else ERROR_SUCCESS.
DWORD PostToQueue(MessageQueue& queue, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Drops the posted messages of a destroyed window.
void DiscardWindowMessages(MessageQueue& queue, HWND hwnd);
// Hands a message to another thread's window procedure and waits for its answer, answering
// messages sent to the caller meanwhile. Returns 0 when the target thread ends first.
LRESULT SendAcrossThreads(const std::shared_ptr<MessageQueue>& target, const MSG& msg);

// Window side, implemented with the windows.
bool IsLiveWindow(HWND hwnd);
LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void ForgetThreadWindows(DWORD threadId);

}  // namespace winapi
