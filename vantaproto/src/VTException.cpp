// The protocol library's exceptions.
#include "vantaproto/VTException.h"

#include <utility>

CVTException::CVTException(std::string message, int32_t code, std::string module, int32_t line)
    : m_module(std::move(module)), m_line(line), m_message(std::move(message)), m_code(code) {
    // Keep only the file name: the module is a diagnostic, not a path.
    auto slash = m_module.find_last_of("/\\");
    if (slash != std::string::npos)
        m_module.erase(0, slash + 1);
}

CVTException::~CVTException() = default;
