// Thread message queues: posting, GetMessage/PeekMessage with filters, WM_QUIT, cross-thread sends.
#include "msgqueue.h"

#include <unordered_map>

namespace winapi {
namespace {

// Windows' default quota of posted messages per queue; a post beyond it fails.
constexpr size_t kPostedMessageLimit = 10000;
// The hWnd filter that selects thread messages only.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> byThread;
};

QueueRegistry& Registry() {
    static auto* registry = new QueueRegistry;  // never destroyed: threads may outlive exit
    return *registry;
}

void Complete(SentMessage& sent, LRESULT result) {
    std::lock_guard<std::mutex> guard(sent.sender->lock);
    sent.result = result;
    sent.done = true;
    sent.sender->changed.notify_all();
}

// Windows destroys a thread's queue and windows when the thread ends; a sender waiting on it
// gets 0, and later posts to the thread id fail.
void CloseQueue(const std::shared_ptr<MessageQueue>& queue) {
    {
        QueueRegistry& r = Registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.byThread.find(queue->threadId);
        if (it != r.byThread.end() && it->second == queue)
            r.byThread.erase(it);
    }
    std::deque<std::shared_ptr<SentMessage>> unanswered;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->closed = true;
        queue->posted.clear();
        unanswered.swap(queue->sent);
    }
    for (auto& sent : unanswered)
        Complete(*sent, 0);
    ForgetThreadWindows(queue->threadId);
}

struct ThreadQueueSlot {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadQueueSlot() {
        if (queue)
            CloseQueue(queue);
    }
};
thread_local ThreadQueueSlot t_slot;

bool InRange(UINT message, UINT first, UINT last) {
    if (message == WM_QUIT)
        return true;  // always retrieved, whatever the filter
    if ((first == 0 && last == 0) || first > last)
        return true;
    return message >= first && message <= last;
}

bool Matches(const MSG& msg, HWND filter, UINT first, UINT last) {
    if (!InRange(msg.message, first, last))
        return false;
    if (msg.message == WM_QUIT || filter == nullptr)
        return true;
    if (filter == kThreadMessagesOnly)
        return msg.hwnd == nullptr;
    return msg.hwnd == filter;
}

// Answers one message sent from another thread; called with the queue's lock held, returns
// with it held again.
void AnswerOneSent(MessageQueue& queue, std::unique_lock<std::mutex>& lock) {
    auto sent = std::move(queue.sent.front());
    queue.sent.pop_front();
    lock.unlock();
    LRESULT result =
        CallWindowProcedure(sent->msg.hwnd, sent->msg.message, sent->msg.wParam, sent->msg.lParam);
    Complete(*sent, result);
    lock.lock();
}

// Sent messages are answered first, then posted messages in order, then a pending quit.
bool Retrieve(MSG* out, HWND filter, UINT first, UINT last, bool remove, bool wait) {
    auto queue = CurrentQueue();
    std::unique_lock<std::mutex> lock(queue->lock);
    for (;;) {
        if (!queue->sent.empty()) {
            AnswerOneSent(*queue, lock);
            continue;
        }
        for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
            if (Matches(*it, filter, first, last)) {
                *out = *it;
                if (remove)
                    queue->posted.erase(it);
                return true;
            }
        }
        if (queue->quitPending) {
            *out = MSG{};
            out->message = WM_QUIT;
            out->wParam = static_cast<WPARAM>(static_cast<LONG_PTR>(queue->quitCode));
            out->time = GetTickCount();
            if (remove)
                queue->quitPending = false;
            return true;
        }
        if (!wait)
            return false;
        queue->changed.wait(lock);
    }
}

// The common checks of GetMessage and PeekMessage; false with the last error set.
bool ValidRetrieveArguments(const MSG* msg, HWND filter) {
    if (!msg) {
        SetLastError(ERROR_NOACCESS);
        return false;
    }
    if (filter && filter != kThreadMessagesOnly && !IsLiveWindow(filter)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<MessageQueue> CurrentQueue() {
    if (!t_slot.queue) {
        auto queue = std::make_shared<MessageQueue>(GetCurrentThreadId());
        QueueRegistry& r = Registry();
        std::lock_guard<std::mutex> guard(r.lock);
        r.byThread[queue->threadId] = queue;
        t_slot.queue = std::move(queue);
    }
    return t_slot.queue;
}

std::shared_ptr<MessageQueue> FindQueue(DWORD threadId) {
    QueueRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.byThread.find(threadId);
    return it == r.byThread.end() ? nullptr : it->second;
}

DWORD PostToQueue(MessageQueue& queue, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    std::lock_guard<std::mutex> guard(queue.lock);
    if (queue.closed)
        return ERROR_INVALID_THREAD_ID;
    if (queue.posted.size() >= kPostedMessageLimit)
        return ERROR_NOT_ENOUGH_QUOTA;
    queue.posted.push_back(msg);
    queue.changed.notify_all();
    return ERROR_SUCCESS;
}

void DiscardWindowMessages(MessageQueue& queue, HWND hwnd) {
    std::lock_guard<std::mutex> guard(queue.lock);
    std::erase_if(queue.posted, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
}

LRESULT SendAcrossThreads(const std::shared_ptr<MessageQueue>& target, const MSG& msg) {
    auto self = CurrentQueue();
    auto sent = std::make_shared<SentMessage>();
    sent->msg = msg;
    sent->sender = self;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        if (target->closed)
            return 0;
        target->sent.push_back(sent);
        target->changed.notify_all();
    }
    // Messages sent to this thread meanwhile are answered, so two threads sending to each
    // other do not deadlock.
    std::unique_lock<std::mutex> lock(self->lock);
    while (!sent->done) {
        if (!self->sent.empty()) {
            AnswerOneSent(*self, lock);
            continue;
        }
        self->changed.wait(lock);
    }
    return sent->result;
}

}  // namespace winapi

using namespace winapi;

extern "C" {

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!ValidRetrieveArguments(lpMsg, hWnd))
        return -1;
    Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    if (!ValidRetrieveArguments(lpMsg, hWnd))
        return FALSE;
    return Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false)
               ? TRUE
               : FALSE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto queue = FindQueue(idThread);
    DWORD error = queue ? PostToQueue(*queue, nullptr, Msg, wParam, lParam)
                        : static_cast<DWORD>(ERROR_INVALID_THREAD_ID);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode) {
    auto queue = CurrentQueue();
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->quitPending = true;
    queue->quitCode = nExitCode;
    queue->changed.notify_all();
}

// No keyboard input reaches these windows, so there is never a character message to make.
BOOL WINAPI TranslateMessage(const MSG*) {
    return FALSE;
}

}  // extern "C"
