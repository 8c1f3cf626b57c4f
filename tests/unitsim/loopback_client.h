// A tiny computer side for tests: raw requests to the unit, replies taken on a loopback listener.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace unitsim_test {

// Bound for every wait on the unit; reaching it means the behaviour under test is broken.
inline constexpr std::chrono::milliseconds kWaitBound{20000};

struct Reply {
    std::string raw;  // every byte the unit wrote on the connection
    std::string id;
    std::string command;
    std::size_t declaredLength = 0;
    std::string body;  // what followed the header, however long

    bool complete() const { return body.size() == declaredLength; }
};

// "ID=<id>\r\nIP=127.0.0.1\r\nPORT=%4d\r\nCMD=<command>\r\n" + extraLines + one zero byte.
std::string makeRequest(std::string_view id, std::uint16_t replyPort, std::string_view command,
                        std::string_view extraLines = {});

// Connects to the unit on 127.0.0.1, writes the bytes and closes, as the computer does.
void sendRequest(std::uint16_t unitPort, std::string_view bytes);

// Connects and writes, but leaves the connection open; returns the descriptor to close later.
int openRequest(std::uint16_t unitPort, std::string_view bytes);

class ReplyListener {
public:
    ReplyListener();
    ~ReplyListener();
    ReplyListener(const ReplyListener&) = delete;
    ReplyListener& operator=(const ReplyListener&) = delete;

    std::uint16_t port() const { return port_; }

    // The next reply connection, read until the unit closes it; nothing if none arrives in time.
    std::optional<Reply> next(std::chrono::milliseconds timeout = kWaitBound);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// The reply's three header lines taken apart, without reference to the unit's own code.
std::optional<Reply> parseReply(std::string raw);

}  // namespace unitsim_test
