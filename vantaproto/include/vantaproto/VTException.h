// The protocol library's exceptions: every failure of the library is reported through these.
#pragma once

#include <cstdint>
#include <string>

class CVTException {
public:
    CVTException(std::string message, int32_t code, std::string module, int32_t line);
    CVTException(const CVTException&) = default;
    CVTException& operator=(const CVTException&) = default;
    virtual ~CVTException();

    // The text users see.
    const std::string& message() const { return m_message; }
    // System or socket error code; 0 when none applies.
    int32_t code() const { return m_code; }
    // Where it was raised (diagnostic only).
    const std::string& module() const { return m_module; }
    int32_t line() const { return m_line; }

private:
    std::string m_module;
    int32_t m_line;
    std::string m_message;
    int32_t m_code;
};

// A socket failure; code is the socket layer's last error (WSAGetLastError).
class CVTSocketException : public CVTException {
public:
    using CVTException::CVTException;
};

#define VT_THROW(ExceptionType, message, code) \
    throw ExceptionType((message), static_cast<int32_t>(code), __FILE__, __LINE__)
