// A unit that answers from a script, for states and replies the virtual unit does not play
// (a unit stuck in NOTRDY, busy at connection time, foreign or transient replies).
#pragma once

#include <winsock2.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedUnit {
public:
    struct Request {
        std::map<std::string, std::string> fields;  // ID, IP, PORT, CMD, MODE, NAME, VAL
        std::string Get(const std::string& key) const {
            auto it = fields.find(key);
            return it == fields.end() ? std::string() : it->second;
        }
    };
    struct Reply {
        Reply(std::string c, std::string b, std::string i = {})
            : command(std::move(c)), body(std::move(b)), id(std::move(i)) {}
        std::string command;
        std::string body;
        std::string id;  // empty: the request's id
    };
    using Script = std::function<std::vector<Reply>(const Request&)>;

    static constexpr int kAcceptPollMs = 20;  // how soon the thread notices that it is to stop

    explicit ScriptedUnit(Script script) : m_script(std::move(script)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 0), &data);
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int len = sizeof a;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        listen(m_listener, 16);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedUnit() {
        m_stop = true;
        m_thread.join();
        closesocket(m_listener);
        WSACleanup();
    }

    unsigned short Port() const { return m_port; }

    static std::string StatusBody(const std::string& state, const std::string& error = "0: 0") {
        return "STATE=" + state + "\r\nERR=" + error + "\r\nSENSOR=1";
    }

    // Waits until `count` requests with this command have been answered.
    bool WaitForCommands(const std::string& command, int count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20),
                                  [&] { return CountLocked(command) >= count; });
    }
    int Count(const std::string& command) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return CountLocked(command);
    }

private:
    int CountLocked(const std::string& command) {
        int n = 0;
        for (const auto& r : m_seen)
            n += r.Get("CMD") == command;
        return n;
    }

    void Serve() {
        while (!m_stop) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_listener, &readable);
            timeval wait{0, kAcceptPollMs * 1000};
            if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
                continue;
            SOCKET connection = accept(m_listener, nullptr, nullptr);
            if (connection == INVALID_SOCKET)
                continue;
            std::string bytes;
            char buffer[4096];
            int n;
            while ((n = recv(connection, buffer, sizeof buffer, 0)) > 0) {
                bytes.append(buffer, static_cast<size_t>(n));
                if (bytes.find('\0') != std::string::npos)
                    break;
            }
            closesocket(connection);
            Request request = Parse(bytes);
            for (const Reply& reply : m_script(request))
                Send(request, reply);
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_seen.push_back(request);
            }
            m_changed.notify_all();
        }
    }

    static Request Parse(const std::string& bytes) {
        Request r;
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find("\r\n", start);
            if (end == std::string::npos)
                end = bytes.size();
            const std::string line = bytes.substr(start, end - start);
            const auto eq = line.find('=');
            if (eq != std::string::npos) {
                std::string value = line.substr(eq + 1);
                while (!value.empty() && value.back() == '\0')
                    value.pop_back();
                while (!value.empty() && value.front() == ' ')
                    value.erase(0, 1);
                r.fields[line.substr(0, eq)] = value;
            }
            start = end + 2;
        }
        return r;
    }

    static void Send(const Request& request, const Reply& reply) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(request.Get("PORT").c_str())));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // replies never leave loopback
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string id = reply.id.empty() ? request.Get("ID") : reply.id;
            const std::string text = "ID=" + id + "\r\nCMD=" + reply.command +
                                     "\r\nLEN=" + std::to_string(reply.body.size()) + "\r\n" +
                                     reply.body;
            send(s, text.data(), text.size(), 0);
            shutdown(s, SD_SEND);
            char drain[64];
            while (recv(s, drain, sizeof drain, 0) > 0) {
            }
        }
        closesocket(s);
    }

    Script m_script;
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Request> m_seen;
};
