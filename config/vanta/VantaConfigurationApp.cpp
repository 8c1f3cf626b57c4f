// The application object's start-up order for the sensor-unit tool.
#include "VantaConfigurationApp.h"

#include "MainFrame.h"
#include "SplashWnd.h"
#include "StringTable.h"

#include <QApplication>

#include <windows.h>
#include <winapi_ui.h>

namespace {
constexpr DWORD kSplashSleepMs = 1000;
}  // namespace

std::string VantaUsage() {
    return "Usage: VantaConfiguration [OPTION]...\n"
           "Configuration tool for a Vanta sensor unit: opens a session with the unit, reads its\n"
           "status, and reads and changes its parameters.\n"
           "\n"
           "  --unit HOST[:PORT]   unit address (and port) for this run, instead of the profile's\n"
           "  --local-port PORT    port on which replies are received (0: any free port)\n"
           "  --no-splash          start without the splash window\n"
           "  --help               show this text and exit\n"
           "  --version            show the version and exit\n"
           "\n"
           "The address and ports are kept in the profile \"Communication\" of\n"
           "VantaConfiguration when the tool closes. Qt options (-platform ...) are accepted.\n";
}

int RunVantaConfiguration(int argc, char** argv) {
    const ConfigurationOptions options = ParseConfigurationOptions(argc, argv);
    if (const auto answered =
            AnswerWithoutWindow(options, vantastr::kApplication, VantaUsage(), vantastr::kVersion))
        return *answered;

    QApplication app(argc, argv);
    SetUpConfigurationApp(vantastr::kApplication, vantastr::kVersion);

    if (options.splash) {
        CSplashWnd::ShowSplashScreen();
        QApplication::processEvents();
        Sleep(kSplashSleepMs);
    }
    int status = 0;
    {
        CMainFrame frame;
        CSplashWnd::SetMainWindow(&frame);
        status = RunConfigurationFrame(app, frame, options);
    }  // the view writes the profile as it goes
    winapi::SetUiBackend(nullptr);
    return status;
}
