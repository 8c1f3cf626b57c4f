// The command line a Linux desktop program takes, and the start-up both tools go through.
#include "ConfigurationApp.h"

#include "ConfigurationFrame.h"
#include "ConfigurationView.h"
#include "Profile.h"
#include "QtUiBackend.h"

#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>

#include <winapi_ui.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <strings.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

bool ReadPort(const char* text, int& port) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

}  // namespace

ConfigurationOptions ParseConfigurationOptions(int argc, char** argv) {
    ConfigurationOptions options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            options.showHelp = true;
        } else if (!std::strcmp(arg, "--version")) {
            options.showVersion = true;
        } else if (!std::strcmp(arg, "--no-splash") || !strcasecmp(arg, "-Embedding") ||
                   !strcasecmp(arg, "-Automation") || !strcasecmp(arg, "/Embedding") ||
                   !strcasecmp(arg, "/Automation")) {
            options.splash = false;
        } else if (!std::strcmp(arg, "--unit")) {
            const char* text = value();
            if (!text || !*text) {
                options.error = "--unit needs HOST or HOST:PORT";
                return options;
            }
            std::string unit = text;
            const size_t colon = unit.rfind(':');
            if (colon != std::string::npos) {
                if (!ReadPort(unit.c_str() + colon + 1, options.unitPort)) {
                    options.error = "--unit: the port must be a whole number from 0 to 65535";
                    return options;
                }
                unit.resize(colon);
            }
            options.unitAddress = unit;
        } else if (!std::strcmp(arg, "--local-port")) {
            const char* text = value();
            if (!text || !ReadPort(text, options.localPort)) {
                options.error = "--local-port needs a whole number from 0 to 65535";
                return options;
            }
        } else if (arg[0] == '-' && arg[1] == '-') {
            options.error = std::string("unknown option: ") + arg;
            return options;
        }
        // Anything else belongs to Qt (-platform, -style, ...).
    }
    return options;
}

std::optional<int> AnswerWithoutWindow(const ConfigurationOptions& options, const char* program,
                                       const std::string& usage, const char* version) {
    if (!options.error.empty()) {
        std::fprintf(stderr, "%s: %s\n%s", program, options.error.c_str(), usage.c_str());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("%s %s\n", program, version);
        return 0;
    }
    return std::nullopt;
}

void SetUpConfigurationApp(const char* application, const char* version) {
    std::setlocale(LC_ALL, "");
    QApplication::setOrganizationName(CommunicationProfile::kOrganisation);
    QApplication::setApplicationName(application);
    QApplication::setApplicationVersion(version);
    QApplication::setDesktopFileName(application);
    winapi::SetUiBackend(std::make_shared<QtUiBackend>());
}

int RunConfigurationFrame(QApplication& app, CConfigurationFrame& frame,
                          const ConfigurationOptions& options) {
    CConfigurationView* view = frame.View();
    auto put = [](QLineEdit* edit, const QString& text) {
        if (edit)
            edit->setText(text);
    };
    if (!options.unitAddress.empty())
        put(view->findChild<QLineEdit*>("edit1005"), QString::fromStdString(options.unitAddress));
    if (options.unitPort >= 0)
        put(view->findChild<QLineEdit*>("edit1006"), QString::number(options.unitPort));
    if (options.localPort >= 0)
        put(view->findChild<QLineEdit*>("edit1008"), QString::number(options.localPort));
    frame.show();
    std::unique_ptr<QSocketNotifier> terminate;
    if (pipe(g_signalPipe) == 0) {
        terminate = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(terminate.get(), &QSocketNotifier::activated, &frame, [&frame] {
            char byte;
            [[maybe_unused]] const ssize_t n = read(g_signalPipe[0], &byte, 1);
            frame.Action(kCommandExit)->trigger();
        });
        std::signal(SIGINT, OnTerminate);
        std::signal(SIGTERM, OnTerminate);
    }
    const int status = app.exec();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    return status;
}
