// Sensor side: reads a request line by line as it arrives, by stage.
#include "request_parser.h"

#include "wire.h"

namespace wirebench {

void RequestParser::start() {
    fields_ = RequestFields{};
    line_.clear();
    stage_ = kId;
    crlfCount_ = 0;
    parsing_ = true;
    failed_ = false;
}

std::vector<ParserLine> RequestParser::takeLines() {
    std::vector<ParserLine> out;
    out.swap(lines_);
    return out;
}

void RequestParser::fail(std::string text) {
    lines_.push_back({false, std::move(text)});
    parsing_ = false;
    failed_ = true;
}

void RequestParser::feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && parsing_; ++i) {
        const char c = bytes[i];
        const char expected = crlfCount_ == 0 ? '\r' : '\n';
        if (c == expected) {
            ++crlfCount_;
        } else if (i + 1 == bytes.size()) {
            line_ += c;
            crlfCount_ = 2;
        } else {
            line_ += c;
        }
        if (line_.size() > kMaxRequestLineBytes) {
            fail("ERROR: request line longer than " + std::to_string(kMaxRequestLineBytes) +
                 " bytes");
            return;
        }
        if (crlfCount_ == 2) {
            crlfCount_ = 0;
            endLine();
            line_.clear();
        }
    }
}

void RequestParser::endLine() {
    const std::string& line = line_;
    auto got = [&] { lines_.push_back({true, "GOT: " + line}); };
    switch (stage_) {
        case kId:
            if (!startsWith(line, "ID=")) {
                return fail("ERROR: Data does not start with ID=");
            }
            got();
            fields_.id = line.substr(3);
            stage_ = kIp;
            break;
        case kIp:
            if (!startsWith(line, "IP=")) {
                return fail("ERROR: Data does not continue with IP=");
            }
            got();
            fields_.returnIp = line.substr(3);
            stage_ = kPort;
            break;
        case kPort: {
            if (!startsWith(line, "PORT=")) {
                return fail("ERROR: Data does not continue with PORT=");
            }
            got();
            const auto port = leadingNumber(std::string_view(line).substr(5));
            if (port < kLowestPort || port > kHighestPort) {
                return fail("ERROR: PORT out of range: " + line.substr(5));
            }
            fields_.returnPort = static_cast<int>(port);
            stage_ = kCmd;
            break;
        }
        case kCmd: {
            if (!startsWith(line, "CMD=")) {
                return fail("ERROR: Data does not continue with CMD=");
            }
            got();
            fields_.command = line.substr(4);
            const int c = commandNumber(fields_.command);
            if (c == kCmdStatus || c == kCmdClose || c == kCmdReset) {
                parsing_ = false;
            } else if (c == kCmdGet || c == kCmdCapture) {
                stage_ = kMode;
            } else if (c == kCmdGetParam || c == kCmdSetParam) {
                stage_ = kName;
            }
            break;
        }
        case kMode:
            if (!startsWith(line, "MODE=")) {
                return fail("ERROR: Data does not continue with MODE=");
            }
            got();
            fields_.mode = line.substr(5);
            parsing_ = false;
            break;
        case kName:
            if (!startsWith(line, "NAME=")) {
                return fail("ERROR: Data does not continue with NAME=");
            }
            got();
            fields_.paramName = line.substr(5);
            if (commandNumber(fields_.command) == kCmdGetParam) {
                parsing_ = false;
            } else {
                stage_ = kValue;
            }
            break;
        case kValue:
            if (!startsWith(line, "VALUE=")) {
                return fail("ERROR: Data does not continue with VALUE=");
            }
            got();
            fields_.paramValue = line.substr(6);
            parsing_ = false;
            break;
        default:
            parsing_ = false;
            break;
    }
}

int serveCommandNumber(RequestFields& fields) {
    if (startsWith(fields.command, "CMD=") && fields.command.size() > 4) {
        fields.command.erase(0, 4);
    }
    if (startsWith(fields.mode, "MODE=") && fields.mode.size() > 5) {
        fields.mode.erase(0, 5);
    }
    return commandNumber(fields.command);
}

}  // namespace wirebench
