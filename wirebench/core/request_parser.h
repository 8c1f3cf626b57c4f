// Sensor side: reads a request line by line as it arrives, by stage.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wirebench {

// A request line longer than this is refused; no valid request line comes near it.
constexpr std::size_t kMaxRequestLineBytes = 4096;
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

struct RequestFields {
    std::string id;
    std::string returnIp;
    int returnPort = 0;
    std::string command;
    std::string mode;
    std::string paramName;
    std::string paramValue;
};

struct ParserLine {
    bool detail = false;  // shown only with "log detail messages"
    std::string text;
};

class RequestParser {
public:
    enum Stage { kId = 0, kIp, kPort, kCmd, kMode, kName, kValue };

    // A new request connection: all fields emptied, parsing from the ID line.
    void start();
    // One arrival of bytes. The last character of an arrival ends its line as if CR LF followed,
    // so the result depends on chunking, as the peer's program expects.
    void feed(std::string_view bytes);

    bool parsing() const { return parsing_; }
    bool failed() const { return failed_; }
    int stage() const { return stage_; }
    const RequestFields& fields() const { return fields_; }
    // Lines to log since the last call.
    std::vector<ParserLine> takeLines();

private:
    void endLine();
    void fail(std::string text);

    RequestFields fields_;
    std::vector<ParserLine> lines_;
    std::string line_;
    int stage_ = kId;
    int crlfCount_ = 0;
    bool parsing_ = false;
    bool failed_ = false;
};

// Command number for serving: a stored command or mode that still carries its keyword is
// stripped first.
int serveCommandNumber(RequestFields& fields);

}  // namespace wirebench
