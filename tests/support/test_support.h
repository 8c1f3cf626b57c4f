// Helpers shared by the test folders: reserved ports, temporary folders, programs run as children.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

// A loopback port for a program that must be told its port before it starts (a settings file
// that refuses port 0). It lies outside the system's range of ephemeral ports, so no outgoing
// connection is ever given it, and it is reserved among test processes by a locked file until
// this object goes; it was free when reserved. Throws std::runtime_error when none is found.
class ReservedPort {
public:
    ReservedPort();
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    std::uint16_t Port() const { return m_port; }

private:
    std::uint16_t m_port = 0;
    int m_lockFile = -1;
};

// A fresh folder under /tmp, removed with everything in it when this object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "suite");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }
    // The whole text of a file in the folder ("" when it cannot be read).
    std::string Read(const std::string& name) const;

private:
    std::filesystem::path m_path;
};

// A shell command run as a child process, in `directory`, its output going to `logFile`.
// Waits are bounded; a child still running when this object goes is killed.
class Program {
public:
    Program(const std::string& command, const std::filesystem::path& directory,
            const std::filesystem::path& logFile);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The exit code, or nothing when the child did not end within `limit` (it is then killed)
    // or did not exit normally.
    std::optional<int> Wait(std::chrono::milliseconds limit);

private:
    int m_pid = -1;
};

}  // namespace testsupport
