// The vanta client's tables, argument parsing, help text and reply formatting.
#include "cli.h"

#include "vantaproto/VTLog.h"

#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vanta {
namespace {

constexpr double kReply = kDefaultReplyTimeoutSeconds;
constexpr double kExposure = kDefaultCaptureTimeoutSeconds;
constexpr CloseOnEnd kNever = CloseOnEnd::Never;
constexpr CloseOnEnd kAfterCapture = CloseOnEnd::AfterAcceptedCapture;

// clang-format off
const std::vector<CommandSpec> kCommands = {
    // name      id                   arguments         image  session close on end   time-out
    {"status",   CommandId::Status,   {},               false, true,  kNever,        kReply,
     "asks the unit for its state, error text and sensor number"},
    {"getparam", CommandId::GetParam, {"NAME"},         false, true,  kNever,        kReply,
     "reads one parameter"},
    {"setparam", CommandId::SetParam, {"NAME", "VALUE"}, false, true, kNever,        kReply,
     "changes one parameter; the reply shows the stored value"},
    {"params",   CommandId::Params,   {},               false, true,  kNever,        kReply,
     "reads every known parameter into a table (refusals show their error; the time-out\n"
     "      applies to each, and a parameter left unanswered ends the run)"},
    {"reset",    CommandId::Reset,    {},               false, true,  kNever,        kReply,
     "resets the unit to IDLE (the unit sends no reply; success means the request went out)"},
    {"close",    CommandId::Close,    {},               false, true,  kNever,        kReply,
     "ends the unit's capture cycle (IMGRDY or WAITXRAY back to IDLE)"},
    {"capture",  CommandId::Capture,  {},               true,  true,  kAfterCapture, kExposure,
     "arms the unit, waits for the exposure and receives the image"},
    {"get",      CommandId::Get,      {},               true,  true,  kNever,        kReply,
     "fetches the image the unit holds from its last capture"},
    {"ping",     CommandId::Ping,     {},               false, false, kNever,        kReply,
     "sends an ICMP echo to the unit"},
    {"route",    CommandId::Route,    {},               false, false, kNever,        kReply,
     "prints this computer's address that faces the unit (the best route's next hop)"},
};
// clang-format on

constexpr ParameterName kParameters[] = {
    {"AFEOffset", true},
    {"AFEGain", true},
    {"CCD_ID", false},
    {"CCDSizeX", false},
    {"CCDSizeY", false},
    {"CCDBinnedRows", true},
    {"CCDBinnedPixels", true},
    {"EnableAutoGain", true},
    {"EthernetAddr", false},
    {"ExposureThreshold", true},
    {"FrMemStatus", false},
    {"FrMemMaxBlocks", false},
    {"FrMemNumBlocks", false},
    {"FrMemNumBytes", false},
    {"FrMemMinValue", false},
    {"FrMemMaxValue", false},
    {"FrMemGain", false},
    {"FrMemNewMin", false},
    {"Gateway", true},
    {"HardwareVersion", false},
    {"HostIP", true},
    {"HostID", true},
    {"LeftNoiseThreshold", true},
    {"NetMask", true},
    {"MaxIntegrationTime", true},
    {"PreviewZoom", false},
    {"PreviewPixels", false},
    {"PreviewLines", false},
    {"RightNoiseThreshold", true},
    {"SerialNumber", false},
    {"XRayTimeout", true},
};

constexpr PictureModeName kModes[] = {
    {"16", Image16bitMode},
    {"8", Image8bitMode},
    {"preview", ImagePreviewMode},
};

std::optional<uint16_t> ParsePort(std::string_view text, bool allowZero) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535 ||
        (value == 0 && !allowZero))
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::optional<double> ParseSeconds(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 ||
        value > kMaxTimeoutSeconds)
        return std::nullopt;
    return value;
}

// Request text may not hold line ends: they would add lines to the request.
bool SafeRequestText(std::string_view text) {
    return text.find_first_of("\r\n", 0) == std::string_view::npos;
}

bool LooksLikeNumber(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-' && (std::isdigit(static_cast<unsigned char>(arg[1])));
}

}  // namespace

std::span<const CommandSpec> Commands() {
    return kCommands;
}

const CommandSpec* FindCommand(std::string_view name) {
    for (const auto& c : kCommands) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

std::span<const ParameterName> KnownParameters() {
    return kParameters;
}

std::span<const PictureModeName> PictureModes() {
    return kModes;
}

double Options::TimeoutSeconds() const {
    if (timeoutSeconds)
        return *timeoutSeconds;
    return command ? command->defaultTimeoutSeconds : kDefaultReplyTimeoutSeconds;
}

ParseResult ParseArguments(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    bool optionsEnded = false;
    auto fail = [&](std::string text) {
        result.error = std::move(text);
        return result;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-' &&
                              !(o.command && LooksLikeNumber(arg));
        if (!isOption) {
            if (!o.command) {
                o.command = FindCommand(arg);
                if (!o.command)
                    return fail("unknown command '" + vtlog::Escape(arg) + "'");
            } else {
                o.arguments.push_back(arg);
            }
            continue;
        }

        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };
        auto flag = [&](bool& target) {
            if (inlineValue)
                return false;
            target = true;
            return true;
        };

        if (arg == "--help" || arg == "-h") {
            if (!flag(o.help))
                return fail(arg + " takes no value");
        } else if (arg == "--json") {
            if (!flag(o.json))
                return fail(arg + " takes no value");
        } else if (arg == "--debug") {
            if (!flag(o.debug))
                return fail(arg + " takes no value");
        } else if (arg == "--unit") {
            auto v = value();
            if (!v || v->empty())
                return fail("--unit needs HOST[:PORT]");
            const auto colon = v->rfind(':');
            if (colon == std::string::npos) {
                o.unitHost = *v;
            } else {
                auto port = ParsePort(std::string_view(*v).substr(colon + 1), false);
                if (!port || colon == 0)
                    return fail("--unit: bad HOST:PORT '" + vtlog::Escape(*v) + "'");
                o.unitHost = v->substr(0, colon);
                o.unitPort = *port;
            }
        } else if (arg == "--local-ip") {
            auto v = value();
            if (!v || v->empty())
                return fail("--local-ip needs an address");
            o.localIp = *v;
        } else if (arg == "--local-port") {
            auto v = value();
            auto port = v ? ParsePort(*v, true) : std::nullopt;
            if (!port)
                return fail("--local-port needs a port number 0..65535");
            o.localPort = *port;
        } else if (arg == "--timeout") {
            auto v = value();
            auto seconds = v ? ParseSeconds(*v) : std::nullopt;
            if (!seconds)
                return fail("--timeout needs seconds above 0 (fractions allowed)");
            o.timeoutSeconds = seconds;
        } else if (arg == "--mode" || arg == "--out") {
            if (!o.command || !o.command->imageOptions)
                return fail(arg + " belongs to capture and get");
            auto v = value();
            if (!v || v->empty())
                return fail(arg + " needs a value");
            if (arg == "--out") {
                o.outPath = *v;
            } else {
                const PictureModeName* found = nullptr;
                for (const auto& m : kModes) {
                    if (m.name == *v)
                        found = &m;
                }
                if (!found)
                    return fail("--mode is 16, 8 or preview, not '" + vtlog::Escape(*v) + "'");
                o.mode = found->mode;
            }
        } else {
            return fail("unknown option '" + vtlog::Escape(arg) + "'");
        }
    }

    if (o.help)
        return result;
    if (!o.command)
        return fail("no command given");
    if (o.arguments.size() != o.command->arguments.size()) {
        std::string wanted;
        for (auto a : o.command->arguments)
            wanted += " " + std::string(a);
        return fail(std::string(o.command->name) + " takes" +
                    (wanted.empty() ? std::string(" no arguments") : wanted));
    }
    for (const auto& a : o.arguments) {
        if (a.empty() && &a == &o.arguments.front())
            return fail("the parameter name is empty");
        if (!SafeRequestText(a))
            return fail("parameter names and values cannot hold CR or LF");
    }
    return result;
}

std::string UsageLine() {
    return "usage: vanta [--unit HOST[:PORT]] [--local-ip IP] [--local-port N] [--timeout "
           "SECONDS]\n"
           "             [--json] [--debug] COMMAND [ARGUMENTS]\n";
}

std::string HelpText() {
    std::string text = UsageLine();
    text +=
        "\n"
        "Talks to an intraoral X-ray sensor unit: sends one request per command and waits for\n"
        "the unit's reply on a listening port of this computer.\n"
        "\n"
        "Commands:\n";
    for (const auto& c : kCommands) {
        std::string head = "  " + std::string(c.name);
        for (auto a : c.arguments)
            head += " " + std::string(a);
        if (c.imageOptions)
            head += " [--mode 16|8|preview] [--out FILE]";
        text += head + "\n      " + std::string(c.summary) + "\n";
    }
    char defaults[1024];
    std::snprintf(
        defaults, sizeof defaults,
        "\n"
        "Options:\n"
        "  --unit HOST[:PORT]   the unit (default %s:%u, the settings' factory address;\n"
        "                       give --unit 127.0.0.1:PORT for a vantasim on this "
        "machine)\n"
        "  --local-ip IP        address to listen on for replies and to name in requests\n"
        "                       (default: this computer's address towards the unit, see\n"
        "                       'route'; when there is no route, any local address)\n"
        "  --local-port N       port to listen on (default 0: chosen by the system)\n"
        "  --timeout SECONDS    how long to wait for a reply (default %g; capture %g, as\n"
        "                       it waits for the exposure). Once an image is arriving,\n"
        "                       the wait lasts as long as data keeps coming.\n",
        kDefaultUnitHost, kDefaultUnitPort, kDefaultReplyTimeoutSeconds,
        kDefaultCaptureTimeoutSeconds);
    text += defaults;
    text +=
        "  --json               print the reply as one JSON object: id, command, length, valid,\n"
        "                       error, sensor, state, name, value (params: a list of them)\n"
        "  --debug              show the request bytes and the reply header on stderr, with CR,\n"
        "                       LF and zero bytes visible (VANTA_DEBUG=wire does the same)\n"
        "  --mode 16|8|preview  picture mode of capture and get (default 16)\n"
        "  --out FILE           write the image reply's body to FILE byte for byte (only when\n"
        "                       the reply is valid; checked writable before anything is sent)\n"
        "  -h, --help           this text\n"
        "\n"
        "Replies carrying another id than this run's session id are ignored; a unit that only\n"
        "answers with a foreign id ends in exit status 3 after the time-out, with a note.\n"
        "An image download that lasts over a second draws a progress bar when stderr is a\n"
        "terminal.\n"
        "\n"
        "Ending the session: only capture sends CLOSE at the end, once the unit accepted the\n"
        "CAPTURE (after the image, on time-out or on Ctrl-C), so the unit returns to IDLE and\n"
        "is not left armed for an exposure nobody collects. No other command sends CLOSE: status,\n"
        "getparam, setparam, params and get leave the capture cycle alone, and a CLOSE after them\n"
        "would"
        " abort a capture another program is waiting for or drop an IMGRDY unit back to IDLE.\n"
        "reset leaves the unit in IDLE by itself. Use 'vanta close' to end a cycle by hand.\n"
        "\n"
        "Exit status:\n"
        "  0    success\n"
        "  1    the unit answered with an error (the reply is not valid)\n"
        "  2    usage error\n"
        "  3    no complete reply within the time-out (also: the reply broke off, ping timed out)\n"
        "  4    no connection: the unit refused or is unreachable, cannot listen for replies,\n"
        "       or the host does not resolve\n"
        "  5    the reply came but the --out file could not be written\n"
        "  130  interrupted (Ctrl-C)\n";
    return text;
}

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\u%04x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string MessageJson(const VTRecvCommand& m) {
    auto str = [](std::string_view s) { return "\"" + JsonEscape(s) + "\""; };
    return "{\"id\":" + str(m.Id()) + ",\"command\":" + str(m.Command()) +
           ",\"length\":" + std::to_string(m.Length()) +
           ",\"valid\":" + (m.Valid() ? "true" : "false") + ",\"error\":" + str(m.Error()) +
           ",\"sensor\":" + std::to_string(m.Sensor()) + ",\"state\":" + str(m.State()) +
           ",\"name\":" + str(m.ParameterName()) + ",\"value\":" + str(m.ParameterValue()) + "}";
}

std::string MessageFields(const VTRecvCommand& m) {
    const std::pair<const char*, std::string> fields[] = {
        {"id", vtlog::Escape(m.Id())},
        {"command", vtlog::Escape(m.Command())},
        {"length", std::to_string(m.Length())},
        {"valid", m.Valid() ? "yes" : "no"},
        {"error", vtlog::Escape(m.Error())},
        {"sensor", std::to_string(m.Sensor())},
        {"state", vtlog::Escape(m.State())},
        {"name", vtlog::Escape(m.ParameterName())},
        {"value", vtlog::Escape(m.ParameterValue())},
    };
    std::string out;
    for (const auto& [name, value] : fields) {
        char head[16];
        std::snprintf(head, sizeof head, "%-9s", name);
        out += head + value + "\n";
    }
    return out;
}

std::string ProgressBar(uint64_t received, uint64_t total, int width) {
    if (received > total)
        received = total;
    const int filled = total ? static_cast<int>(received * width / total) : width;
    const int percent = total ? static_cast<int>(received * 100 / total) : 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
    char tail[64];
    std::snprintf(tail, sizeof tail, " %3d%%  %llu/%llu bytes", percent,
                  static_cast<unsigned long long>(received),
                  static_cast<unsigned long long>(total));
    return bar + tail;
}

}  // namespace vanta
