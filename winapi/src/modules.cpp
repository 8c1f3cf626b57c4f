// LoadLibraryA/GetProcAddress/FreeLibrary: "NAME.dll" is found as libNAME.so on the module path.
#include "handles.h"
#include "modules.h"

#include <libloaderapi.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace winapi {
namespace {

constexpr const char* kModulePathVariable = "WINAPI_MODULE_PATH";

class Module : public KernelObject {
public:
    Module(void* dl, std::string path) : dl_(dl), path_(std::move(path)) {}
    ~Module() override { dlclose(dl_); }
    void* Symbol(const char* name) const { return dlsym(dl_, name); }
    const std::string& Path() const { return path_; }

private:
    void* dl_;
    std::string path_;
};

// The file a loaded library came from, as the loader resolved it.
std::string LoadedPath(void* dl, const std::string& fallback) {
    if (void* any = dlsym(dl, WINAPI_RESOURCE_EXPORT)) {
        Dl_info info{};
        if (dladdr(any, &info) && info.dli_fname)
            return info.dli_fname;
    }
    char resolved[PATH_MAX];
    if (realpath(fallback.c_str(), resolved))
        return resolved;
    return fallback;
}

std::string DirectoryOfThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DirectoryOfThisLibrary), &info) == 0 || !info.dli_fname)
        return ".";
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The search path: WINAPI_MODULE_PATH (colon-separated) when set, which lets a test hide
// modules; otherwise the directory holding libwinapi.so.
std::vector<std::string> SearchPath() {
    std::vector<std::string> dirs;
    if (const char* env = std::getenv(kModulePathVariable)) {
        std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos)
                end = list.size();
            if (end > start)
                dirs.push_back(list.substr(start, end - start));
            start = end + 1;
        }
        return dirs;
    }
    dirs.push_back(DirectoryOfThisLibrary());
    return dirs;
}

// File names a module name may have here: "ZephIF.dll" -> "libZephIF.so", then the lower-case
// "libzephif.so" (Windows module names ignore case); shared-object names pass through.
std::vector<std::string> SharedObjectNames(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.size() > 3 && lower.compare(lower.size() - 3, 3, ".so") == 0)
        return {name};
    std::string base = name;
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".dll") == 0) {
        base.resize(base.size() - 4);
        lower.resize(lower.size() - 4);
    }
    if (base == lower)
        return {"lib" + lower + ".so"};
    return {"lib" + base + ".so", "lib" + lower + ".so"};
}

}  // namespace

std::string ModulePath(HMODULE module) {
    auto m = LookupHandleAs<Module>(module);
    return m ? m->Path() : std::string();
}

}  // namespace winapi

using namespace winapi;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name = lpLibFileName;
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(name);
    } else {
        for (const auto& dir : SearchPath()) {
            for (const auto& file : SharedObjectNames(name))
                candidates.push_back(dir + "/" + file);
        }
    }
    for (const auto& path : candidates) {
        if (void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            SetLastError(ERROR_SUCCESS);
            return InsertHandle(std::make_shared<Module>(dl, LoadedPath(dl, path)));
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    auto module = LookupHandleAs<Module>(hModule);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* symbol = lpProcName ? module->Symbol(lpProcName) : nullptr;
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!LookupHandleAs<Module>(hLibModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(hLibModule);
}

BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
    if (!phModule) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) || !lpModuleName) {
        // Only modules named by an address inside them are known here.
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    Dl_info info{};
    if (dladdr(lpModuleName, &info) == 0 || !info.dli_fname) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // A further reference keeps the library loaded while the handle is open; the handle's close
    // drops it again, so the caller's reference count is what Windows' would be.
    void* dl = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (!dl) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    char resolved[PATH_MAX];
    std::string path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    *phModule = InsertHandle(std::make_shared<Module>(dl, path));
    return TRUE;
}

}  // extern "C"
