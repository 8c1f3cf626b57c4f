// Loopback peers for the tools' tests: a unit that answers one request with scripted pieces, a
// unit that only records requests, and a plain connection to a listening port.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class ScriptedUnit {
public:
    // Each piece is written on the reply connection, with a pause before the next; "{ID}" in a
    // piece becomes the request's session id. The connection closes after the last piece.
    explicit ScriptedUnit(std::vector<std::string> pieces,
                          std::chrono::milliseconds pause = std::chrono::milliseconds(50));
    ~ScriptedUnit();
    uint16_t Port() const { return m_port; }
    // Waits until the reply connection has been written and closed.
    bool WaitDone(std::chrono::milliseconds timeout);

private:
    void Serve();
    int m_listener = -1;
    uint16_t m_port = 0;
    std::vector<std::string> m_pieces;
    std::chrono::milliseconds m_pause;
    std::thread m_thread;
    bool m_done = false;
};

// A unit that only records the requests it is sent.
class RequestSink {
public:
    RequestSink();
    ~RequestSink();
    uint16_t Port() const { return m_port; }
    // Accepts the next request connection and reads it to its end.
    std::string NextRequest();

private:
    int m_socket = -1;
    uint16_t m_port = 0;
};

// A connected socket to 127.0.0.1:port, or -1.
int ConnectToLoopback(uint16_t port);
