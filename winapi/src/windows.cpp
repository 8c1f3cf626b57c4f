// Window classes and message-only windows: creation, procedures, posting, sending, dispatch.
#include "issued.h"
#include "msgqueue.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace winapi {
namespace {

constexpr uint32_t kFirstWindowHandle = 0x00010002;
constexpr ATOM kFirstClassAtom = 0xC000;              // where Windows numbers registered classes
constexpr const char* kMessageClassName = "Message";  // the system class for message-only windows

struct WindowClass {
    ATOM atom;
    std::string name;
    WNDPROC proc;
    HINSTANCE instance;
    int windowExtraBytes;
};

struct Window {
    HWND handle = nullptr;
    DWORD threadId = 0;
    std::shared_ptr<WindowClass> cls;
    bool messageOnly = false;
    HINSTANCE instance = nullptr;
    std::atomic<WNDPROC> proc{nullptr};
    std::atomic<LONG_PTR> userData{0};
    std::atomic<LONG_PTR> id{0};
    std::atomic<bool> destroying{false};
    std::mutex extraLock;
    std::vector<char> extra;  // the class's cbWndExtra bytes
};

struct ClassRegistry {
    std::mutex lock;
    std::vector<std::shared_ptr<WindowClass>> classes;
    ATOM nextAtom = kFirstClassAtom;
};

ClassRegistry& Classes() {
    static auto* registry = [] {
        auto* r = new ClassRegistry;
        r->classes.push_back(std::make_shared<WindowClass>(
            WindowClass{r->nextAtom++, kMessageClassName, DefWindowProcA, nullptr, 0}));
        return r;
    }();
    return *registry;
}

IssuedTable<Window>& Windows() {
    static auto* table = new IssuedTable<Window>(kFirstWindowHandle);
    return *table;
}

bool IsAtom(LPCSTR name) {
    return reinterpret_cast<uintptr_t>(name) < 0x10000;
}

// Call with the registry's lock held.
std::vector<std::shared_ptr<WindowClass>>::iterator FindClassLocked(ClassRegistry& r, LPCSTR name) {
    for (auto it = r.classes.begin(); it != r.classes.end(); ++it) {
        if (IsAtom(name) ? (*it)->atom == reinterpret_cast<uintptr_t>(name)
                         : strcasecmp((*it)->name.c_str(), name) == 0)
            return it;
    }
    return r.classes.end();
}

ATOM Register(LPCSTR name, WNDPROC proc, HINSTANCE instance, int windowExtraBytes) {
    if (!name || IsAtom(name) || !*name || !proc || windowExtraBytes < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ClassRegistry& r = Classes();
    std::lock_guard<std::mutex> guard(r.lock);
    if (FindClassLocked(r, name) != r.classes.end()) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (r.nextAtom == 0) {  // every atom above kFirstClassAtom is taken
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    ATOM atom = r.nextAtom++;
    r.classes.push_back(
        std::make_shared<WindowClass>(WindowClass{atom, name, proc, instance, windowExtraBytes}));
    return atom;
}

std::shared_ptr<Window> FindWindowOrFail(HWND hwnd) {
    auto window = Windows().Find(reinterpret_cast<uintptr_t>(hwnd));
    if (!window)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

// Bytes [index, index + sizeof(LONG_PTR)) of the window's extra bytes, or null.
bool ExtraSlotFits(const Window& window, int index) {
    return index >= 0 && static_cast<size_t>(index) + sizeof(LONG_PTR) <= window.extra.size();
}

BOOL PostToWindow(const Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto queue = FindQueue(window.threadId);
    DWORD error = queue ? PostToQueue(*queue, window.handle, message, wParam, lParam)
                        : static_cast<DWORD>(ERROR_INVALID_THREAD_ID);
    if (error == ERROR_INVALID_THREAD_ID)
        error = ERROR_INVALID_WINDOW_HANDLE;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// Broadcasts reach top-level windows only; message-only windows never see them.
std::vector<std::shared_ptr<Window>> BroadcastTargets() {
    auto all = Windows().Snapshot();
    std::erase_if(all, [](const auto& w) { return w->messageOnly; });
    return all;
}

}  // namespace

bool IsLiveWindow(HWND hwnd) {
    return Windows().Find(reinterpret_cast<uintptr_t>(hwnd)) != nullptr;
}

LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto window = Windows().Find(reinterpret_cast<uintptr_t>(hwnd));
    if (!window)
        return 0;
    return window->proc.load()(hwnd, message, wParam, lParam);
}

void ForgetThreadWindows(DWORD threadId) {
    for (auto& window : Windows().Snapshot()) {
        if (window->threadId == threadId)
            Windows().Remove(reinterpret_cast<uintptr_t>(window->handle));
    }
}

}  // namespace winapi

using namespace winapi;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
    if (!lpWndClass) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Register(lpWndClass->lpszClassName, lpWndClass->lpfnWndProc, lpWndClass->hInstance,
                    lpWndClass->cbWndExtra);
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* lpWndClass) {
    if (!lpWndClass || lpWndClass->cbSize != sizeof(WNDCLASSEXA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Register(lpWndClass->lpszClassName, lpWndClass->lpfnWndProc, lpWndClass->hInstance,
                    lpWndClass->cbWndExtra);
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE) {
    if (!lpClassName) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    ClassRegistry& r = Classes();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = FindClassLocked(r, lpClassName);
    if (it == r.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (auto& window : Windows().Snapshot()) {
        if (window->cls == *it) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    r.classes.erase(it);
    return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
    if (hWndParent && hWndParent != HWND_MESSAGE) {
        // Child windows have no use without a screen; only their parent's validity is Windows'.
        SetLastError(IsLiveWindow(hWndParent) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::shared_ptr<WindowClass> cls;
    {
        ClassRegistry& r = Classes();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = lpClassName ? FindClassLocked(r, lpClassName) : r.classes.end();
        if (it != r.classes.end())
            cls = *it;
    }
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    CurrentQueue();  // a window's messages go to its thread's queue, which must exist

    auto window = std::make_shared<Window>();
    window->threadId = GetCurrentThreadId();
    window->cls = cls;
    window->messageOnly = hWndParent == HWND_MESSAGE;
    window->instance = hInstance;
    window->proc = cls->proc;
    window->id = reinterpret_cast<LONG_PTR>(hMenu);
    window->extra.assign(static_cast<size_t>(cls->windowExtraBytes), 0);
    HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(Windows().Insert(window)));
    window->handle = hwnd;

    CREATESTRUCTA cs{lpParam,
                     hInstance,
                     hMenu,
                     hWndParent,
                     nHeight,
                     nWidth,
                     Y,
                     X,
                     static_cast<LONG>(dwStyle),
                     lpWindowName,
                     lpClassName,
                     dwExStyle};
    if (!CallWindowProcedure(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
        Windows().Remove(reinterpret_cast<uintptr_t>(hwnd));
        return nullptr;
    }
    if (CallWindowProcedure(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    auto window = FindWindowOrFail(hWnd);
    if (!window)
        return FALSE;
    if (window->threadId != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (window->destroying.exchange(true))
        return TRUE;  // called again from WM_DESTROY
    CallWindowProcedure(hWnd, WM_DESTROY, 0, 0);
    CallWindowProcedure(hWnd, WM_NCDESTROY, 0, 0);
    Windows().Remove(reinterpret_cast<uintptr_t>(hWnd));
    if (auto queue = FindQueue(window->threadId))
        DiscardWindowMessages(*queue, hWnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    return IsLiveWindow(hWnd) ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    auto window = FindWindowOrFail(hWnd);
    if (!window)
        return 0;
    if (lpdwProcessId)
        *lpdwProcessId = static_cast<DWORD>(::getpid());
    return window->threadId;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    auto window = FindWindowOrFail(hWnd);
    if (!window)
        return 0;
    switch (nIndex) {
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->proc.load());
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(window->instance);
        case GWLP_ID:
            return window->id;
        case GWLP_USERDATA:
            return window->userData;
        default:
            break;
    }
    std::lock_guard<std::mutex> guard(window->extraLock);
    if (!ExtraSlotFits(*window, nIndex)) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG_PTR value;
    std::memcpy(&value, window->extra.data() + nIndex, sizeof value);
    return value;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    auto window = FindWindowOrFail(hWnd);
    if (!window)
        return 0;
    switch (nIndex) {
        case GWLP_WNDPROC:
            if (!dwNewLong) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            return reinterpret_cast<LONG_PTR>(
                window->proc.exchange(reinterpret_cast<WNDPROC>(dwNewLong)));
        case GWLP_ID:
            return window->id.exchange(dwNewLong);
        case GWLP_USERDATA:
            return window->userData.exchange(dwNewLong);
        default:
            break;
    }
    std::lock_guard<std::mutex> guard(window->extraLock);
    if (!ExtraSlotFits(*window, nIndex)) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG_PTR previous;
    std::memcpy(&previous, window->extra.data() + nIndex, sizeof previous);
    std::memcpy(window->extra.data() + nIndex, &dwNewLong, sizeof dwNewLong);
    return previous;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
    switch (Msg) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        default:
            return 0;
    }
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                               LPARAM lParam) {
    return lpPrevWndFunc ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (!hWnd) {  // a thread message to the calling thread
        DWORD error = PostToQueue(*CurrentQueue(), nullptr, Msg, wParam, lParam);
        if (error != ERROR_SUCCESS)
            SetLastError(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
    if (hWnd == HWND_BROADCAST) {
        for (auto& window : BroadcastTargets())
            PostToWindow(*window, Msg, wParam, lParam);
        return TRUE;
    }
    auto window = FindWindowOrFail(hWnd);
    return window ? PostToWindow(*window, Msg, wParam, lParam) : FALSE;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == HWND_BROADCAST) {
        for (auto& window : BroadcastTargets())
            SendMessageA(window->handle, Msg, wParam, lParam);
        return 0;
    }
    auto window = FindWindowOrFail(hWnd);
    if (!window)
        return 0;
    if (window->threadId == GetCurrentThreadId())
        return window->proc.load()(hWnd, Msg, wParam, lParam);
    auto queue = FindQueue(window->threadId);
    if (!queue)
        return 0;
    MSG msg{};
    msg.hwnd = hWnd;
    msg.message = Msg;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return SendAcrossThreads(queue, msg);
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!lpMsg->hwnd)
        return 0;  // thread messages have no procedure
    auto window = FindWindowOrFail(lpMsg->hwnd);
    if (!window)
        return 0;
    return window->proc.load()(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

}  // extern "C"
