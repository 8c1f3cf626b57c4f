// Request text, reply header lines and the taking apart of reply bodies.
#include "vantaproto/VTMessage.h"

#include "vantaproto/VTException.h"

#include <crtrand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

constexpr char kCrLf[] = "\r\n";
constexpr std::string_view kStateKey = "STATE=";
constexpr std::string_view kErrorKey = "\r\nERR=";
constexpr std::string_view kSensorKey = "\r\nSENSOR=";
constexpr std::string_view kNameKey = "NAME=";
constexpr std::string_view kValueKey = "\r\nVALUE=";
constexpr int kPortFieldWidth = 4;

void RefuseLineBreaks(const std::string& text) {
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        VT_THROW(CVTException, "Invalid character in request text", 0);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// atoi's reading (leading white space, sign, digits, anything after ignored), without its
// undefined overflow: out-of-range values saturate.
long long ReadDecimal(std::string_view text) {
    std::string copy(text.substr(0, 64));
    return std::strtoll(copy.c_str(), nullptr, 10);
}

}  // namespace

// ---- VTMessageBase ---------------------------------------------------------------------------

VTMessageBase::VTMessageBase(NewSessionId) {
    crt_srand(static_cast<unsigned>(std::time(nullptr)));
    const int first = crt_rand();
    const int second = crt_rand();
    m_id = std::to_string(second) + std::to_string(first);
}

VTMessageBase::VTMessageBase(const char* id) : m_id(id ? id : vtwire::kNoReplyId) {}

// ---- VTRqstHdr -------------------------------------------------------------------------------

VTRqstHdr::VTRqstHdr(const VTMessageBase& identity, const VTInetAddress& replyAddress)
    : VTMessageBase(identity), m_replyAddress(replyAddress) {}

std::string VTRqstHdr::HeaderText() const {
    char port[16];
    std::snprintf(port, sizeof port, "%*d", kPortFieldWidth, m_replyAddress.Port());
    return "ID=" + Id() + kCrLf + "IP=" + m_replyAddress.DottedText() + kCrLf + "PORT=" + port +
           kCrLf;
}

// ---- VTOutgoingCommand -----------------------------------------------------------------------

VTOutgoingCommand::VTOutgoingCommand(const VTMessageBase& identity,
                                     const VTInetAddress& replyAddress, const std::string& command,
                                     int32_t mode)
    : VTRqstHdr(identity, replyAddress), m_command(command), m_mode(mode) {
    RefuseLineBreaks(m_command);
}

VTOutgoingCommand::VTOutgoingCommand(const VTMessageBase& identity,
                                     const VTInetAddress& replyAddress,
                                     const std::string& parameterName, const char* command)
    : VTRqstHdr(identity, replyAddress),
      m_command(command ? command : vtwire::kCommandGetParam),
      m_parameterName(parameterName) {
    RefuseLineBreaks(m_command);
    RefuseLineBreaks(m_parameterName);
}

VTOutgoingCommand::VTOutgoingCommand(const VTMessageBase& identity,
                                     const VTInetAddress& replyAddress,
                                     const std::string& parameterName,
                                     const std::string& parameterValue, const char* command)
    : VTRqstHdr(identity, replyAddress),
      m_command(command ? command : vtwire::kCommandSetParam),
      m_parameterValue(parameterValue),
      m_parameterName(parameterName) {
    RefuseLineBreaks(m_command);
    RefuseLineBreaks(m_parameterName);
    RefuseLineBreaks(m_parameterValue);
}

std::string VTOutgoingCommand::CommandText() const {
    std::string text = "CMD=" + m_command + kCrLf;
    if (m_command == vtwire::kCommandGetParam) {
        text += "NAME=" + m_parameterName + kCrLf;
    } else if (m_command == vtwire::kCommandCapture || m_command == vtwire::kCommandGet) {
        text += "MODE=" + std::to_string(m_mode) + kCrLf;
    } else if (m_command == vtwire::kCommandSetParam) {
        text += "NAME=" + m_parameterName + kCrLf + "VAL=" + m_parameterValue + kCrLf;
    }
    return text;
}

std::string VTOutgoingCommand::WireBytes() const {
    std::string bytes = HeaderText() + CommandText();
    bytes.push_back('\0');
    return bytes;
}

void VTOutgoingCommand::Serialize(char** block, int* count) const {
    if (!block || !count)
        VT_THROW(CVTException, "Invalid pointer", 0);
    const std::string bytes = WireBytes();
    char* out = new (std::nothrow) char[bytes.size()];
    if (!out)
        VT_THROW(CVTException, "Invalid pointer", 0);
    std::memcpy(out, bytes.data(), bytes.size());
    *block = out;
    *count = static_cast<int>(bytes.size());
}

// ---- VTRecvCommand ---------------------------------------------------------------------------

VTRecvCommand::VTRecvCommand(const char* id, const std::string& command, int32_t length)
    : VTMessageBase(id), m_command(command), m_length(length) {
    if (length < 0 || length > vtwire::kMaxReplyBodyBytes)
        VT_THROW(CVTException, "Invalid message length", length);
}

VTRecvCommand::VTRecvCommand(const VTRecvCommand& other)
    : VTMessageBase(other),
      m_command(other.m_command),
      m_length(other.m_length),
      m_valid(other.m_valid),
      m_error(other.m_error),
      m_sensor(other.m_sensor),
      m_parameterValue(other.m_parameterValue),
      m_parameterName(other.m_parameterName),
      m_state(other.m_state),
      m_received(other.m_received),
      m_complete(other.m_complete) {
    if (other.m_data) {
        m_data.reset(new (std::nothrow) char[m_length]);
        if (!m_data)
            VT_THROW(CVTException, "Invalid pointer", 0);
        std::memcpy(m_data.get(), other.m_data.get(), static_cast<size_t>(m_received));
    }
}

VTRecvCommand& VTRecvCommand::operator=(const VTRecvCommand& other) {
    if (this != &other) {
        VTRecvCommand copy(other);
        VTMessageBase::operator=(copy);
        m_command = std::move(copy.m_command);
        m_length = copy.m_length;
        m_valid = copy.m_valid;
        m_error = std::move(copy.m_error);
        m_sensor = copy.m_sensor;
        m_parameterValue = std::move(copy.m_parameterValue);
        m_parameterName = std::move(copy.m_parameterName);
        m_state = std::move(copy.m_state);
        m_data = std::move(copy.m_data);
        m_received = copy.m_received;
        m_complete = copy.m_complete;
    }
    return *this;
}

void VTRecvCommand::AddData(const char* bytes, int32_t count) {
    if (bytes && count > 0) {
        if (!m_data) {
            m_data.reset(new (std::nothrow) char[m_length > 0 ? m_length : 1]);
            if (!m_data)
                VT_THROW(CVTException, "Invalid pointer", 0);
        }
        const int32_t room = m_length - m_received;
        const int32_t stored = count < room ? count : room;
        if (stored > 0) {
            std::memcpy(m_data.get() + m_received, bytes, static_cast<size_t>(stored));
            m_received += stored;
        }
    }
    if (!m_complete && m_received == m_length) {
        m_complete = 1;
        TakeApart();
    }
}

void VTRecvCommand::TakeApart() {
    const std::string_view body(m_data.get() ? m_data.get() : "", static_cast<size_t>(m_received));
    if (m_command == vtwire::kCommandStatus || m_command == vtwire::kCommandClose) {
        ParseStatusBody(body);
    } else if (m_command == vtwire::kCommandGet || m_command == vtwire::kCommandCapture) {
        if (m_received < vtwire::kMinImageBodyBytes)
            ParseStatusBody(body);
    } else if (m_command == vtwire::kCommandGetParam || m_command == vtwire::kCommandSetParam) {
        if (body.find(kErrorKey) != std::string_view::npos) {
            ParseStatusBody(body);
        } else {
            ParseParameterBody(body);
        }
    }
    if (m_error.find('2') != std::string::npos)
        m_valid = 0;
}

// "STATE=" state CR LF "ERR=" error CR LF "SENSOR=" sensor. A field whose key is missing keeps
// its initial value; nothing is read outside the body.
void VTRecvCommand::ParseStatusBody(std::string_view body) {
    const size_t errorKey = body.find(kErrorKey);
    const size_t sensorKey =
        body.find(kSensorKey, errorKey == std::string_view::npos ? 0 : errorKey);
    if (body.substr(0, kStateKey.size()) == kStateKey) {
        size_t end = errorKey != std::string_view::npos ? errorKey : sensorKey;
        m_state = std::string(body.substr(kStateKey.size(), end == std::string_view::npos
                                                                ? std::string_view::npos
                                                                : end - kStateKey.size()));
    }
    if (errorKey != std::string_view::npos) {
        const size_t start = errorKey + kErrorKey.size();
        m_error = std::string(body.substr(start, sensorKey == std::string_view::npos
                                                     ? std::string_view::npos
                                                     : sensorKey - start));
    }
    if (sensorKey != std::string_view::npos) {
        long long sensor = ReadDecimal(body.substr(sensorKey + kSensorKey.size()));
        m_sensor = static_cast<int32_t>(
            sensor > INT32_MAX ? INT32_MAX : (sensor < INT32_MIN ? INT32_MIN : sensor));
    }
}

// "NAME=" name CR LF "VALUE=" value.
void VTRecvCommand::ParseParameterBody(std::string_view body) {
    if (body.substr(0, kNameKey.size()) != kNameKey)
        return;
    const size_t valueKey = body.find(kValueKey);
    if (valueKey == std::string_view::npos) {
        m_parameterName = std::string(body.substr(kNameKey.size()));
        return;
    }
    m_parameterName = std::string(body.substr(kNameKey.size(), valueKey - kNameKey.size()));
    m_parameterValue = std::string(body.substr(valueKey + kValueKey.size()));
}

// ---- Reply header ----------------------------------------------------------------------------

VTRecvCommand VTReplyHeader::MakeMessage() const {
    return VTRecvCommand(hasId ? id.c_str() : nullptr, command, length);
}

VTHeaderLine ParseReplyHeaderLine(std::string_view line, VTReplyHeader& header) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return VTHeaderLine::NoEquals;
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (key == "ID") {
        header.hasId = true;
        header.id = std::string(value);
    } else if (key == "CMD") {
        header.command = std::string(value);
    } else if (key == "LEN") {
        const long long length = ReadDecimal(value);
        if (length < 0 || length > vtwire::kMaxReplyBodyBytes)
            return VTHeaderLine::BadLength;
        header.length = static_cast<int32_t>(length);
    } else {
        return VTHeaderLine::UnknownKey;
    }
    return VTHeaderLine::Accepted;
}
