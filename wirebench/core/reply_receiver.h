// PC side: the receive state machine of one reply connection (header lines, then LEN body bytes).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "request_parser.h"

namespace wirebench {

// Largest body accepted; a LEN above it is refused before anything is stored. Ample for a
// 16-bit image of 8192 x 8192 pixels.
constexpr std::int64_t kMaxReplyBodyBytes = 160LL * 1024 * 1024;
// A header line longer than this is refused.
constexpr std::size_t kMaxReplyLineBytes = 4096;
// Below this many bytes an image reply is read as a status reply.
constexpr std::int64_t kMinImageBodyBytes = 100;

class ReplyReceiver {
public:
    // Row of the message table holding an id, or -1.
    using RowLookup = std::function<int(std::string_view id)>;
    // Command name recorded for a row.
    using RowCommand = std::function<std::string(int row)>;

    ReplyReceiver(RowLookup lookup, RowCommand rowCommand);

    // A new reply connection: header from its first line, body emptied.
    void start();

    struct Result {
        std::size_t consumed = 0;  // bytes taken from this arrival (all, unless aborted)
        bool aborted = false;      // a header error: the connection is to be closed
        bool reachedLen = false;   // this arrival completed the declared body
    };
    Result feed(std::string_view bytes);

    std::vector<ParserLine> takeLines();

    bool started() const { return started_; }
    bool headerDone() const { return started_ && !header_; }
    bool aborted() const { return aborted_; }
    int stage() const { return stage_; }
    int row() const { return row_; }
    int command() const { return command_; }
    std::int64_t expected() const { return expected_; }
    std::int64_t received() const { return static_cast<std::int64_t>(body_.size()); }
    std::int64_t excess() const { return excess_; }
    const std::string& body() const { return body_; }
    bool complete() const { return headerDone() && received() == expected_; }

private:
    bool endLine();
    void abort(std::string text);

    RowLookup lookup_;
    RowCommand rowCommand_;
    std::vector<ParserLine> lines_;
    std::string line_;
    std::string body_;
    std::int64_t expected_ = 0;
    std::int64_t excess_ = 0;
    int stage_ = 0;
    int crlfCount_ = 0;
    int row_ = -1;
    int command_ = -1;
    bool header_ = false;
    bool started_ = false;
    bool aborted_ = false;
};

}  // namespace wirebench
