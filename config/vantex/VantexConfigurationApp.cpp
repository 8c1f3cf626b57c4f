// The Ethernet-unit tool's start-up order, with the command line a Linux desktop program takes.
#include "VantexConfigurationApp.h"

#include "FanfareClient.h"
#include "MainFrame.h"
#include "QtUiBackend.h"
#include "StringTable.h"

#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>

#include <windows.h>
#include <winapi_ui.h>

#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace {

// SIGINT and SIGTERM close the main window as Exit does, so the profile is written.
int g_signalPipe[2] = {-1, -1};
void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

// libFanfare.so in the library folder beside the program's folder (the build tree), else where
// it was installed.
std::string FanfareLibraryPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path.resize(path.rfind('/'));
        path = path.substr(0, path.rfind('/')) + "/lib/libFanfare.so";
        if (access(path.c_str(), R_OK) == 0)
            return path;
    }
    return FANFARE_INSTALLED_PATH;
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

std::string VantexUsage() {
    return "Usage: VantexConfiguration [OPTION]...\n"
           "Configuration tool for a Vantex (Ethernet) sensor unit: opens a session with the "
           "unit,\n"
           "reads its status, and reads and changes its parameters.\n"
           "\n"
           "  --unit HOST[:PORT]   unit address (and port) for this run, instead of the profile's\n"
           "  --local-port PORT    port on which replies are received (0: any free port)\n"
           "  --no-splash          start without the splash screen\n"
           "  --help               show this text and exit\n"
           "  --version            show the version and exit\n"
           "\n"
           "The address and ports are kept in the profile \"Communication\" of\n"
           "VantexConfiguration when the tool closes. The splash screen and the about box come "
           "from\n"
           "libFanfare.so, registered for the user on first start. Qt options (-platform ...) are\n"
           "accepted.\n";
}

VantexOptions ParseVantexOptions(int argc, char** argv) {
    VantexOptions options;
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

int RunVantexConfiguration(int argc, char** argv) {
    const VantexOptions options = ParseVantexOptions(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "VantexConfiguration: %s\n%s", options.error.c_str(),
                     VantexUsage().c_str());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(VantexUsage().c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("VantexConfiguration %s\n", vantexstr::kVersion);
        return 0;
    }

    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    QApplication::setOrganizationName(CommunicationProfile::kOrganisation);
    QApplication::setApplicationName(vantexstr::kApplication);
    QApplication::setApplicationVersion(vantexstr::kVersion);
    QApplication::setDesktopFileName("VantexConfiguration");
    winapi::SetUiBackend(std::make_shared<QtUiBackend>());

    fanfareclient::EnsureRegistered(FanfareLibraryPath());
    if (options.splash && !fanfareclient::ShowSplash())
        return 1;  // COM could not be set up: the tool ends, as it was told
    int status = 0;
    {
        CVantexMainFrame frame;
        CConfigurationView* view = frame.View();
        auto put = [](QLineEdit* edit, const QString& text) {
            if (edit)
                edit->setText(text);
        };
        if (!options.unitAddress.empty())
            put(view->findChild<QLineEdit*>("edit1005"),
                QString::fromStdString(options.unitAddress));
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
        status = app.exec();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }  // the view writes the profile as it goes
    winapi::SetUiBackend(nullptr);
    return status;
}
