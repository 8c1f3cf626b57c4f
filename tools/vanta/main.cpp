// vanta: command-line client of a sensor unit for technicians and scripts.
#include "cli.h"

#include "vantaproto/IpHelper.h"
#include "vantaproto/VTException.h"
#include "vantaproto/VTLog.h"
#include "vantaproto/VantaSession.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace vanta;
using Clock = std::chrono::steady_clock;

// A download shows its bar only once it has lasted this long...
constexpr auto kProgressDelay = std::chrono::milliseconds(1000);
// ...and redraws it at most this often.
constexpr auto kProgressRedrawInterval = std::chrono::milliseconds(100);
constexpr int kProgressBarWidth = 40;
// Waits wake this often to notice Ctrl-C and replies the session dropped without notice.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
// How long the CLOSE that ends a capture may take to be answered.
constexpr double kCloseReplyTimeoutSeconds = 2.0;

volatile sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

enum class WaitResult { Reply, TimedOut, BrokeOff, Interrupted };

// A session that queues the replies carrying its own id for the main thread.
class ClientSession : public VantaSession {
public:
    using VantaSession::VantaSession;

    // Stop waits for every reply connection, so no notification reaches a destroyed object.
    ~ClientSession() override { Finish(); }

    // Ends the listener; no CLOSE follows (capture sends its own, see the help text).
    void Finish() {
        if (!m_finished) {
            m_finished = true;
            Stop(0);
        }
    }

    // Called before each request is sent: a reply of this session that breaks off from now on
    // ends the wait however fast it fails.
    void BeginRequest() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_brokeOff = false;
        m_lastReceiveError = 0;
    }

    WaitResult WaitForReply(const std::string& command, double timeoutSeconds,
                            std::optional<VTRecvCommand>& reply) {
        const auto timeout = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(timeoutSeconds));
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto started = Clock::now();
        m_lastActivity = started;
        for (;;) {
            while (!m_replies.empty()) {
                VTRecvCommand next = std::move(m_replies.front());
                m_replies.pop_front();
                if (next.Command() == command) {
                    reply.emplace(std::move(next));
                    // The bytes that came with the header are not reported as progress.
                    m_downloadReceived = m_downloadTotal;
                    FinishBar();
                    return WaitResult::Reply;
                }
                // A late answer to an earlier request of this session.
            }
            if (m_brokeOff) {
                FinishBar();
                return WaitResult::BrokeOff;
            }
            if (gInterrupted) {
                FinishBar();
                return WaitResult::Interrupted;
            }
            const auto deadline = std::max(started, m_lastActivity) + timeout;
            const auto now = Clock::now();
            if (now >= deadline) {
                FinishBar();
                return WaitResult::TimedOut;
            }
            m_changed.wait_until(lock, std::min(deadline, now + kWaitSlice));
        }
    }

    uint32_t ForeignReplies() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_foreignReplies;
    }
    std::string FirstForeignId() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_firstForeignId;
    }
    int32_t LastReceiveError() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lastReceiveError;
    }
    // Connections to the reply port that carried no header of this session.
    uint32_t Strangers() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_strangers;
    }

protected:
    void OnMessageReceived(const VTRecvCommand& message) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (message.Id() == SessionIdentity().Id()) {
            m_replies.push_back(message);
        } else if (m_foreignReplies++ == 0) {
            m_firstForeignId = message.Id();
        }
        m_messagesHandled++;
        m_changed.notify_all();
    }

    void OnImageDownloadStarted(int32_t declaredLength) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_downloadTotal = static_cast<uint64_t>(declaredLength);
        m_downloadReceived = 0;
        m_downloadStart = m_lastActivity = Clock::now();
        m_changed.notify_all();
    }

    void OnImageDownloadProgress(int32_t chunkBytes) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_downloadReceived += static_cast<uint64_t>(chunkBytes);
        const auto now = m_lastActivity = Clock::now();
        if (m_stderrIsTerminal && now - m_downloadStart >= kProgressDelay &&
            now - m_lastDraw >= kProgressRedrawInterval) {
            std::fprintf(
                stderr, "\r%s",
                ProgressBar(m_downloadReceived, m_downloadTotal, kProgressBarWidth).c_str());
            std::fflush(stderr);
            m_barShown = true;
            m_lastDraw = now;
        }
    }

    // Only a connection whose header carried this session's id may end a wait early; anything
    // else on the reply port (garbage, silence, a foreign id) is counted and ignored.
    void OnReplyConnectionEnded(const ReplyConnectionEnd& end) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        const bool ours = end.hasId && end.id == SessionIdentity().Id();
        if (!ours) {
            if (end.outcome != VTReplyOutcome::Delivered || end.aborted)
                m_strangers++;
            VTLOG(vtlog::kSession, "ignored a reply connection that is not this session's (%u)",
                  m_strangers);
            return;
        }
        if (end.outcome == VTReplyOutcome::Delivered && !end.aborted)
            return;
        m_brokeOff = true;
        m_lastReceiveError = end.receiveError;
        m_changed.notify_all();
    }

private:
    // Runs with m_mutex held: completes a bar left on the terminal.
    void FinishBar() {
        if (!m_barShown)
            return;
        std::fprintf(stderr, "\r%s\n",
                     ProgressBar(m_downloadReceived, m_downloadTotal, kProgressBarWidth).c_str());
        m_barShown = false;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<VTRecvCommand> m_replies;
    uint32_t m_messagesHandled = 0;
    bool m_brokeOff = false;
    uint32_t m_strangers = 0;
    uint32_t m_foreignReplies = 0;
    std::string m_firstForeignId;
    int32_t m_lastReceiveError = 0;
    Clock::time_point m_lastActivity{};
    Clock::time_point m_downloadStart{};
    Clock::time_point m_lastDraw{};
    uint64_t m_downloadTotal = 0;
    uint64_t m_downloadReceived = 0;
    const bool m_stderrIsTerminal = isatty(STDERR_FILENO) == 1;
    bool m_barShown = false;
    bool m_finished = false;
};

std::string SocketText(const CVTException& e) {
    std::string text = e.message();
    if (e.code() != 0)
        text += " (error " + std::to_string(e.code()) + ")";
    return text;
}

// An --out file: opened before anything is sent, so an unwritable path never costs an
// exposure; the image lands under its name only when complete.
class OutputFile {
public:
    explicit OutputFile(std::string path) : m_path(std::move(path)), m_partPath(m_path + ".part") {}
    ~OutputFile() {
        if (m_file) {
            std::fclose(m_file);
            std::remove(m_partPath.c_str());
        }
    }
    bool Open() {
        m_file = std::fopen(m_partPath.c_str(), "wb");
        return m_file != nullptr;
    }
    bool Commit(const char* data, size_t size) {
        const bool written = (size == 0 || std::fwrite(data, 1, size, m_file) == size);
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        if (!written || !closed || std::rename(m_partPath.c_str(), m_path.c_str()) != 0) {
            std::remove(m_partPath.c_str());
            return false;
        }
        return true;
    }
    const std::string& Path() const { return m_path; }
    const std::string& PartPath() const { return m_partPath; }

private:
    std::string m_path;
    std::string m_partPath;
    std::FILE* m_file = nullptr;
};

class Runner {
public:
    explicit Runner(const Options& options) : m_o(options) {}

    int Run() {
        if (!ResolveUnit())
            return kExitNoConnection;
        if (!m_o.command->usesSession)
            return m_o.command->id == CommandId::Ping ? Ping() : Route();
        std::optional<OutputFile> out;
        if (m_o.outPath) {
            out.emplace(*m_o.outPath);
            if (!out->Open()) {
                Error("cannot write " + out->PartPath() + "; nothing was sent");
                return kExitLocalFailure;
            }
        }
        if (!OpenSession())
            return kExitNoConnection;
        const int status = RunSessionCommand(out ? &*out : nullptr);
        m_session->Finish();
        m_session.reset();
        return status;
    }

private:
    static void Error(const std::string& text) {
        std::fprintf(stderr, "vanta: %s\n", text.c_str());
    }

    std::string UnitText() const { return m_o.unitHost + ":" + std::to_string(m_o.unitPort); }

    bool ResolveUnit() {
        VTInetAddress address(m_o.unitHost.c_str(), m_o.unitPort);
        const in_addr a = address.SockAddr().sin_addr;
        // The socket layer falls back to "any address" for names it cannot resolve, which
        // would send the requests to this computer instead of failing.
        if (a.s_addr == 0 && m_o.unitHost != "0.0.0.0") {
            Error("cannot resolve the unit's host '" + vtlog::Escape(m_o.unitHost) + "'");
            return false;
        }
        m_unitDotted = inet_ntoa(a);
        return true;
    }

    bool OpenSession() {
        std::string local;
        if (m_o.localIp) {
            local = *m_o.localIp;
        } else {
            IpHelper helper;
            if (helper.LocalAddressTowards(m_unitDotted.c_str(), local) != 0)
                local.clear();  // no route: listen on any local address
        }
        try {
            if (local.empty())
                m_session = std::make_unique<ClientSession>(m_unitDotted.c_str(), m_o.unitPort,
                                                            m_o.localPort);
            else
                m_session = std::make_unique<ClientSession>(m_unitDotted.c_str(), m_o.unitPort,
                                                            local.c_str(), m_o.localPort);
        } catch (const CVTException& e) {
            Error("cannot listen for replies on " + (local.empty() ? "any address" : local) + ":" +
                  std::to_string(m_o.localPort) + ": " + SocketText(e));
            return false;
        }
        return true;
    }

    // Sends one request; false (reported) when the unit cannot be reached.
    template <class Send>
    bool SendRequest(Send send) {
        m_session->BeginRequest();
        try {
            send();
            return true;
        } catch (const CVTSocketException& e) {
            Error("cannot reach the unit at " + UnitText() + ": " + SocketText(e));
        } catch (const CVTException& e) {
            Error("request not sent: " + SocketText(e));
        }
        return false;
    }

    int Unanswered(WaitResult result, const std::string& command, double timeoutSeconds) {
        if (result == WaitResult::Interrupted) {
            Error("interrupted while waiting for the " + command + " reply");
            return kExitInterrupted;
        }
        if (result == WaitResult::BrokeOff) {
            const int32_t code = m_session->LastReceiveError();
            Error("the " + command + " reply from " + UnitText() + " broke off before its end" +
                  (code ? " (receive error " + std::to_string(code) + ")" : std::string()));
            return kExitNoReply;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
        std::string text =
            "no " + command + " reply from " + UnitText() + " within " + seconds + " s";
        if (const uint32_t foreign = m_session->ForeignReplies()) {
            text += "; ignored " + std::to_string(foreign) + " repl" +
                    (foreign == 1 ? "y" : "ies") + " carrying a foreign id (" +
                    vtlog::Escape(m_session->FirstForeignId()) + ", this session is " +
                    m_session->SessionIdentity().Id() + ")";
        }
        if (const uint32_t strangers = m_session->Strangers()) {
            text += "; ignored " + std::to_string(strangers) + " connection" +
                    (strangers == 1 ? "" : "s") + " that carried no reply of this session";
        }
        Error(text);
        return kExitNoReply;
    }

    void PrintReply(const VTRecvCommand& reply) {
        std::fputs(m_o.json ? (MessageJson(reply) + "\n").c_str() : MessageFields(reply).c_str(),
                   stdout);
    }

    int AskAndPrint(const std::string& command, auto send) {
        if (!SendRequest(send))
            return kExitNoConnection;
        std::optional<VTRecvCommand> reply;
        const WaitResult result = m_session->WaitForReply(command, m_o.TimeoutSeconds(), reply);
        if (result != WaitResult::Reply)
            return Unanswered(result, command, m_o.TimeoutSeconds());
        PrintReply(*reply);
        return reply->Valid() ? kExitOk : kExitUnitError;
    }

    int RunSessionCommand(OutputFile* out) {
        ClientSession& s = *m_session;
        const auto& args = m_o.arguments;
        switch (m_o.command->id) {
            case CommandId::Status:
                return AskAndPrint(vtwire::kCommandStatus, [&] { s.Status(); });
            case CommandId::GetParam:
                return AskAndPrint(vtwire::kCommandGetParam,
                                   [&] { s.GetParameter(args[0].c_str()); });
            case CommandId::SetParam:
                return AskAndPrint(vtwire::kCommandSetParam,
                                   [&] { s.SetParameter(args[0].c_str(), args[1].c_str()); });
            case CommandId::Close:
                return AskAndPrint(vtwire::kCommandClose, [&] { s.Close(); });
            case CommandId::Reset:
                if (!SendRequest([&] { s.Reset(); }))
                    return kExitNoConnection;
                std::puts(m_o.json ? "{\"command\":\"RESET\",\"sent\":true}"
                                   : "RESET sent (the unit does not answer it)");
                return kExitOk;
            case CommandId::Params:
                return Params();
            case CommandId::Capture:
            case CommandId::Get:
                return Image(out);
            case CommandId::Ping:
            case CommandId::Route:
                break;
        }
        return kExitUsage;
    }

    int Params() {
        struct Row {
            const ParameterName* parameter;
            std::optional<VTRecvCommand> reply;
        };
        std::vector<Row> rows;
        int status = kExitOk;
        for (const auto& p : KnownParameters()) {
            const std::string name(p.name);
            if (!SendRequest([&] { m_session->GetParameter(name.c_str()); })) {
                status = kExitNoConnection;
                break;
            }
            std::optional<VTRecvCommand> reply;
            const WaitResult result =
                m_session->WaitForReply(vtwire::kCommandGetParam, m_o.TimeoutSeconds(), reply);
            if (result != WaitResult::Reply) {
                // A unit that misses one answer is not asked the rest.
                status = Unanswered(result, vtwire::kCommandGetParam + (" " + name),
                                    m_o.TimeoutSeconds());
                break;
            }
            if (!reply->Valid())
                status = kExitUnitError;
            rows.push_back({&p, std::move(reply)});
        }
        if (m_o.json) {
            std::string text = "{\"parameters\":[";
            for (size_t i = 0; i < rows.size(); ++i) {
                text += (i ? "," : "") + std::string("{\"name\":\"") +
                        JsonEscape(rows[i].parameter->name) +
                        "\",\"reply\":" + MessageJson(*rows[i].reply) + "}";
            }
            std::puts((text + "]}").c_str());
        } else {
            std::printf("%-20s %-6s %s\n", "NAME", "ACCESS", "VALUE");
            for (const auto& row : rows) {
                const VTRecvCommand& r = *row.reply;
                const std::string value = r.Valid() ? vtlog::Escape(r.ParameterValue())
                                                    : "error " + vtlog::Escape(r.Error());
                std::printf("%-20s %-6s %s\n", std::string(row.parameter->name).c_str(),
                            row.parameter->writable ? "rw" : "ro", value.c_str());
            }
        }
        return status;
    }

    int Image(OutputFile* out) {
        const bool capture = m_o.command->id == CommandId::Capture;
        const std::string command = capture ? vtwire::kCommandCapture : vtwire::kCommandGet;
        if (!SendRequest([&] {
                if (capture)
                    m_session->Capture(m_o.mode);
                else
                    m_session->Get(m_o.mode);
            }))
            return kExitNoConnection;
        std::optional<VTRecvCommand> reply;
        const WaitResult result = m_session->WaitForReply(command, m_o.TimeoutSeconds(), reply);
        // A refused CAPTURE armed nothing; a CLOSE then would end another program's capture.
        const bool closeAfter = m_o.command->closeOnEnd == CloseOnEnd::AfterAcceptedCapture &&
                                !(result == WaitResult::Reply && !reply->Valid());
        int status;
        if (result != WaitResult::Reply) {
            status = Unanswered(result, command, m_o.TimeoutSeconds());
        } else {
            PrintReply(*reply);
            status = reply->Valid() ? kExitOk : kExitUnitError;
            if (status == kExitOk)
                status = Save(*reply, out);
        }
        if (closeAfter)
            CloseCaptureCycle();
        return status;
    }

    int Save(const VTRecvCommand& reply, OutputFile* out) {
        const size_t size = static_cast<size_t>(reply.Received());
        FILE* notes = m_o.json ? stderr : stdout;
        if (!out) {
            std::fprintf(notes, "image    %zu bytes (not saved: give --out FILE)\n", size);
            return kExitOk;
        }
        if (!out->Commit(reply.Data(), size)) {
            Error("cannot write " + out->Path());
            return kExitLocalFailure;
        }
        std::fprintf(notes, "saved    %zu bytes to %s\n", size, out->Path().c_str());
        return kExitOk;
    }

    // Returns the unit to IDLE after a capture; failures here do not change the outcome.
    void CloseCaptureCycle() {
        const bool interrupted = gInterrupted;
        gInterrupted = 0;  // the CLOSE reply is still worth a short wait
        if (!SendRequest([&] { m_session->Close(); }))
            return;
        std::optional<VTRecvCommand> reply;
        if (m_session->WaitForReply(vtwire::kCommandClose, kCloseReplyTimeoutSeconds, reply) !=
            WaitResult::Reply)
            Error("the unit did not answer the CLOSE that ends the capture");
        gInterrupted = interrupted;
    }

    int Ping() {
        IpHelper helper;
        const DWORD timeoutMs = static_cast<DWORD>(m_o.TimeoutSeconds() * 1000);
        const DWORD status = helper.Ping(m_unitDotted.c_str(), timeoutMs);
        if (m_o.json) {
            std::printf("{\"unit\":\"%s\",\"status\":%lu,\"reply\":%s}\n",
                        JsonEscape(m_unitDotted).c_str(), static_cast<unsigned long>(status),
                        status == 0 ? "true" : "false");
        } else if (status == 0) {
            std::printf("%s answers ping\n", m_unitDotted.c_str());
        } else {
            std::printf("%s: no echo reply (status %lu)\n", m_unitDotted.c_str(),
                        static_cast<unsigned long>(status));
        }
        if (status == 0)
            return kExitOk;
        return status == IP_REQ_TIMED_OUT ? kExitNoReply : kExitNoConnection;
    }

    int Route() {
        IpHelper helper;
        std::string local;
        const HRESULT status = helper.LocalAddressTowards(m_unitDotted.c_str(), local);
        if (m_o.json) {
            std::printf("{\"unit\":\"%s\",\"status\":%ld,\"local\":\"%s\"}\n",
                        JsonEscape(m_unitDotted).c_str(), static_cast<long>(status),
                        JsonEscape(local).c_str());
        } else if (status == 0) {
            std::printf("%s\n", local.c_str());
        } else {
            Error("no route towards " + m_unitDotted + " (status " +
                  std::to_string(static_cast<long>(status)) + ")");
        }
        return status == 0 ? kExitOk : kExitNoConnection;
    }

    const Options& m_o;
    std::string m_unitDotted;
    std::unique_ptr<ClientSession> m_session;
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseArguments(args);
    if (!parsed.ok()) {
        std::fprintf(stderr, "vanta: %s\n%sTry 'vanta --help'.\n", parsed.error.c_str(),
                     UsageLine().c_str());
        return kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (parsed.options.debug)
        vtlog::Enable(vtlog::kWire);

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        Runner runner(parsed.options);
        const int status = runner.Run();
        std::fflush(stdout);
        return status;
    } catch (const CVTSocketException& e) {
        std::fprintf(stderr, "vanta: %s\n", SocketText(e).c_str());
        return kExitNoConnection;
    } catch (const CVTException& e) {
        std::fprintf(stderr, "vanta: %s\n", SocketText(e).c_str());
        return kExitNoConnection;
    }
}
