// Test support: module search path control and address helpers for the network helper tests.
#pragma once

#include <winsock2.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace iphelper_test {

constexpr char kModulePathVariable[] = "WINAPI_MODULE_PATH";

// Sets the module search path for one scope and puts the previous one back.
class ModulePath {
public:
    explicit ModulePath(const std::string& value) {
        if (const char* old = std::getenv(kModulePathVariable))
            m_previous = old;
        ::setenv(kModulePathVariable, value.c_str(), 1);
    }
    ~ModulePath() {
        if (m_previous)
            ::setenv(kModulePathVariable, m_previous->c_str(), 1);
        else
            ::unsetenv(kModulePathVariable);
    }
    ModulePath(const ModulePath&) = delete;
    ModulePath& operator=(const ModulePath&) = delete;

private:
    std::optional<std::string> m_previous;
};

// A fresh directory, removed with what it holds at the end of the scope.
class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "iphelperXXXXXX").string();
        m_path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDirectory() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return m_path; }
    // Makes `module` (a file name in `fromDirectory`) findable here.
    void Link(const std::string& fromDirectory, const std::string& module) const {
        std::filesystem::create_symlink(std::filesystem::path(fromDirectory) / module,
                                        std::filesystem::path(m_path) / module);
    }

private:
    std::string m_path;
};

inline IPAddr Address(const char* dotted) {
    return static_cast<IPAddr>(inet_addr(dotted));
}

inline std::string Dotted(IPAddr address) {
    in_addr a{};
    a.s_addr = address;
    const char* text = inet_ntoa(a);
    return text ? text : "";
}

}  // namespace iphelper_test
