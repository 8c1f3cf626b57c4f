// The protocol's messages: requests as the computer writes them, replies as the unit sends them.
#pragma once

#include "vantaproto/VTSocket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Picture modes carried by "MODE=" (bit values, not a count). The COM server's type library
// declares the same enumeration; the mark keeps one definition.
#ifndef VANTAPICTURESIZE_DEFINED
#define VANTAPICTURESIZE_DEFINED
enum VantaPictureSize : int32_t {
    Image16bitMode = 0,
    Image8bitMode = 536870912,     // bit 29
    ImagePreviewMode = 1073741824  // bit 30
};
#endif

namespace vtwire {
inline constexpr char kCommandStatus[] = "STATUS";
inline constexpr char kCommandCapture[] = "CAPTURE";
inline constexpr char kCommandGet[] = "GET";
inline constexpr char kCommandReset[] = "RESET";
inline constexpr char kCommandClose[] = "CLOSE";
inline constexpr char kCommandGetParam[] = "GETPARAM";
inline constexpr char kCommandSetParam[] = "SETPARAM";

// The id a reply carries when its header had no "ID=" line.
inline constexpr char kNoReplyId[] = "00000000000000000000";
// GET and CAPTURE bodies of this size or more are image data, never a status.
inline constexpr int32_t kMinImageBodyBytes = 1000;
// Largest declared reply length accepted: well above the largest image (1638 x 1248 pixels of
// two bytes, 4 088 448 bytes, plus its headers). A larger or negative length is a broken header.
inline constexpr int32_t kMaxReplyBodyBytes = 16 * 1024 * 1024;
}  // namespace vtwire

// Common base of requests and replies: the id text.
class VTMessageBase {
public:
    struct NewSessionId {};
    // A new session id: the runtime's generator seeded with the time in seconds, two draws,
    // the second draw's digits followed by the first's.
    explicit VTMessageBase(NewSessionId);
    // From received text; none gives the twenty-zero id.
    explicit VTMessageBase(const char* id);
    VTMessageBase(const VTMessageBase&) = default;
    VTMessageBase& operator=(const VTMessageBase&) = default;
    virtual ~VTMessageBase() = default;

    const std::string& Id() const { return m_id; }

private:
    std::string m_id;
};

// Request header: the session id and where the unit is to send its reply.
class VTRqstHdr : public VTMessageBase {
public:
    VTRqstHdr(const VTMessageBase& identity, const VTInetAddress& replyAddress);

    const VTInetAddress& ReplyAddress() const { return m_replyAddress; }
    // "ID=..\r\nIP=..\r\nPORT=%4d\r\n"
    std::string HeaderText() const;

private:
    VTInetAddress m_replyAddress;
};

// One request. Names and values holding CR, LF or a zero byte are refused (CVTException):
// they would add lines to the request.
class VTOutgoingCommand : public VTRqstHdr {
public:
    // STATUS, CLOSE, RESET (mode -1), CAPTURE and GET (mode given).
    VTOutgoingCommand(const VTMessageBase& identity, const VTInetAddress& replyAddress,
                      const std::string& command, int32_t mode);
    // GETPARAM.
    VTOutgoingCommand(const VTMessageBase& identity, const VTInetAddress& replyAddress,
                      const std::string& parameterName, const char* command);
    // SETPARAM.
    VTOutgoingCommand(const VTMessageBase& identity, const VTInetAddress& replyAddress,
                      const std::string& parameterName, const std::string& parameterValue,
                      const char* command);

    // Header text, command text and one zero byte, in a block allocated with new[] that the
    // caller frees with delete[]; *count includes the zero byte.
    virtual void Serialize(char** block, int* count) const;
    // The same bytes as a string (the terminating zero included).
    std::string WireBytes() const;

    const std::string& Command() const { return m_command; }
    int32_t Mode() const { return m_mode; }
    const std::string& ParameterName() const { return m_parameterName; }
    const std::string& ParameterValue() const { return m_parameterValue; }

private:
    std::string CommandText() const;

    std::string m_command;
    int32_t m_mode = -1;
    std::string m_parameterValue;
    std::string m_parameterName;
};

// A received reply: header fields, the body and what was taken out of it.
class VTRecvCommand : public VTMessageBase {
public:
    // `id` null: the twenty-zero id. `length` must be 0..kMaxReplyBodyBytes.
    VTRecvCommand(const char* id, const std::string& command, int32_t length);
    VTRecvCommand(const VTRecvCommand& other);
    VTRecvCommand& operator=(const VTRecvCommand& other);

    // Stores the bytes behind those already received (never beyond `length`); once the body is
    // complete it is taken apart.
    void AddData(const char* bytes, int32_t count);

    const std::string& Command() const { return m_command; }
    int32_t Length() const { return m_length; }
    int32_t Valid() const { return m_valid; }
    const std::string& Error() const { return m_error; }
    int32_t Sensor() const { return m_sensor; }
    const std::string& ParameterValue() const { return m_parameterValue; }
    const std::string& ParameterName() const { return m_parameterName; }
    const std::string& State() const { return m_state; }
    const char* Data() const { return m_data.get(); }  // null before the first body bytes
    int32_t Received() const { return m_received; }
    int32_t Complete() const { return m_complete; }

private:
    void TakeApart();
    void ParseStatusBody(std::string_view body);
    void ParseParameterBody(std::string_view body);

    std::string m_command;
    int32_t m_length;
    int32_t m_valid = 1;
    std::string m_error = "0: 0";
    int32_t m_sensor = -1;
    std::string m_parameterValue;
    std::string m_parameterName;
    std::string m_state;
    std::unique_ptr<char[]> m_data;
    int32_t m_received = 0;
    int32_t m_complete = 0;
};

// The reply header as its three lines give it.
struct VTReplyHeader {
    bool hasId = false;
    std::string id;
    std::string command;
    int32_t length = 0;

    // The message the header announces.
    VTRecvCommand MakeMessage() const;
};

enum class VTHeaderLine {
    Accepted,
    NoEquals,    // no "=" in the line: the message is dropped
    UnknownKey,  // a key other than ID, CMD, LEN: the message is dropped
    BadLength,   // LEN negative or above kMaxReplyBodyBytes: a broken header
};

// Takes one header line (without its CR LF) into `header`: key and value split at the first
// "=", spaces trimmed from both ends of each; a repeated key overwrites.
VTHeaderLine ParseReplyHeaderLine(std::string_view line, VTReplyHeader& header);
