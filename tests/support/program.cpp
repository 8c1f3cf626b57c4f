// Child processes for tests: started by the shell, waited for with a limit, killed if left.
#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

}  // namespace

Program::Program(const std::string& command, const std::filesystem::path& directory,
                 const std::filesystem::path& logFile) {
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork");
    if (m_pid == 0) {
        const int log = open(logFile.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        if (chdir(directory.c_str()) != 0)
            _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

Program::~Program() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

std::optional<int> Program::Wait(std::chrono::milliseconds limit) {
    if (m_pid <= 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid)
            break;
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    m_pid = -1;
    if (!WIFEXITED(status))
        return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace testsupport
