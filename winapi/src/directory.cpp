// The current directory and the executable's file name.
#include "handles.h"
#include "modules.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace winapi {
namespace {

constexpr size_t kFirstPathGuessChars = 256;

std::string CurrentDirectory() {
    std::vector<char> buffer(kFirstPathGuessChars);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return "";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string ExecutablePath() {
    std::vector<char> buffer(kFirstPathGuessChars);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return "";
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::string dir = CurrentDirectory();
    if (dir.empty()) {
        SetLastError(Win32FromErrno(errno));
        return 0;
    }
    // Too small a buffer is left alone and the size it needs, null included, comes back.
    if (!lpBuffer || nBufferLength <= dir.size())
        return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName || !*lpPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = lpPathName;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (::chdir(path.c_str()) != 0) {
        SetLastError(Win32FromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

// The executable (a null module) or a library loaded through LoadLibraryA/GetModuleHandleExA.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    if (hModule) {
        path = ModulePath(hModule);
        if (path.empty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
    } else {
        path = ExecutablePath();
    }
    if (path.empty()) {
        SetLastError(Win32FromErrno(errno));
        return 0;
    }
    if (!lpFilename || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Truncated names are still terminated and report nSize, as Windows does since XP.
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

}  // extern "C"
