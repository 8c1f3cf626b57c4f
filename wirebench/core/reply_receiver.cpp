// PC side: the receive state machine of one reply connection (header lines, then LEN body bytes).
#include "reply_receiver.h"

#include "wire.h"

namespace wirebench {

ReplyReceiver::ReplyReceiver(RowLookup lookup, RowCommand rowCommand)
    : lookup_(std::move(lookup)), rowCommand_(std::move(rowCommand)) {}

void ReplyReceiver::start() {
    lines_.clear();
    line_.clear();
    body_.clear();
    expected_ = 0;
    excess_ = 0;
    stage_ = 0;
    crlfCount_ = 0;
    row_ = -1;
    command_ = -1;
    header_ = true;
    started_ = true;
    aborted_ = false;
}

std::vector<ParserLine> ReplyReceiver::takeLines() {
    std::vector<ParserLine> out;
    out.swap(lines_);
    return out;
}

void ReplyReceiver::abort(std::string text) {
    lines_.push_back({false, std::move(text)});
    aborted_ = true;
}

ReplyReceiver::Result ReplyReceiver::feed(std::string_view bytes) {
    Result result;
    if (!started_ || aborted_) {
        result.consumed = bytes.size();
        return result;
    }
    const bool wasComplete = complete();
    std::size_t i = 0;
    while (header_ && i < bytes.size()) {
        const char c = bytes[i++];
        const char expected = crlfCount_ == 0 ? '\r' : '\n';
        if (c == expected) {
            ++crlfCount_;
        }
        line_ += c;
        if (crlfCount_ == 2) {
            line_.resize(line_.size() - 2);
            crlfCount_ = 0;
            if (!endLine()) {
                result.consumed = i;
                result.aborted = true;
                return result;
            }
            line_.clear();
        } else if (line_.size() > kMaxReplyLineBytes) {
            abort("ERROR: header line longer than " + std::to_string(kMaxReplyLineBytes) +
                  " bytes");
            result.consumed = i;
            result.aborted = true;
            return result;
        }
    }
    if (!header_ && i < bytes.size()) {
        const auto room = static_cast<std::size_t>(expected_ - received());
        const std::size_t rest = bytes.size() - i;
        const std::size_t take = rest < room ? rest : room;
        body_.append(bytes.substr(i, take));
        if (take < rest) {
            const auto extra = static_cast<std::int64_t>(rest - take);
            excess_ += extra;
            lines_.push_back(
                {false, "WARNING: " + std::to_string(extra) + " bytes beyond LEN ignored"});
        }
    }
    result.consumed = bytes.size();
    result.reachedLen = !wasComplete && complete();
    return result;
}

bool ReplyReceiver::endLine() {
    const std::string& line = line_;
    switch (stage_) {
        case 0: {
            if (!startsWith(line, "ID=")) {
                abort("ERROT: Data does not start with ID=");
                return false;
            }
            lines_.push_back({true, "GOT: " + line});
            row_ = lookup_ ? lookup_(std::string_view(line).substr(3)) : -1;
            if (row_ < 0) {
                abort("ERROR Illegal Message ID");
                return false;
            }
            stage_ = 1;
            return true;
        }
        case 1: {
            if (!startsWith(line, "CMD=")) {
                abort("ERROR: Data does not continue with CMD=");
                return false;
            }
            lines_.push_back({true, "GOT: " + line});
            const std::string got = line.substr(4);
            const std::string sent = rowCommand_ ? rowCommand_(row_) : std::string();
            if (got != sent) {
                lines_.push_back(
                    {false, "WARING wrong command (we sent: " + sent + " and got: " + got + ")"});
            }
            command_ = commandNumber(got);
            stage_ = 2;
            return true;
        }
        case 2: {
            if (!startsWith(line, "LEN=")) {
                abort("ERROR: Data does not continue with LEN=");
                return false;
            }
            lines_.push_back({true, "GOT: " + line});
            const std::int64_t len = leadingNumber(std::string_view(line).substr(4));
            if (len < 0 || len > kMaxReplyBodyBytes) {
                abort("ERROR: LEN out of range (0 to " + std::to_string(kMaxReplyBodyBytes) +
                      "): " + line.substr(4));
                return false;
            }
            expected_ = len;
            if ((command_ == kCmdCapture || command_ == kCmdGet) &&
                expected_ < kMinImageBodyBytes) {
                lines_.push_back({false, "WARNING: Binary data < 100 bytes, expecting STATUS now"});
                command_ = kCmdStatus;
            }
            header_ = false;
            stage_ = 3;
            return true;
        }
        default:
            return true;
    }
}

}  // namespace wirebench
