// What other areas need of loaded modules.
#pragma once

#include <windows.h>

#include <string>

namespace winapi {
// The file of a module handle, or empty when the handle names no module.
std::string ModulePath(HMODULE module);
}  // namespace winapi
