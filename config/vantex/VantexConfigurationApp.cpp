// The Ethernet-unit tool's start-up order: Fanfare registered, its splash, then the main frame.
#include "VantexConfigurationApp.h"

#include "FanfareClient.h"
#include "MainFrame.h"
#include "StringTable.h"

#include <QApplication>

#include <winapi_ui.h>

#include <string>

#include <unistd.h>

namespace {

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

int RunVantexConfiguration(int argc, char** argv) {
    const ConfigurationOptions options = ParseConfigurationOptions(argc, argv);
    if (const auto answered = AnswerWithoutWindow(options, vantexstr::kApplication, VantexUsage(),
                                                  vantexstr::kVersion))
        return *answered;

    QApplication app(argc, argv);
    SetUpConfigurationApp(vantexstr::kApplication, vantexstr::kVersion);

    fanfareclient::EnsureRegistered(FanfareLibraryPath());
    if (options.splash && !fanfareclient::ShowSplash())
        return 1;  // COM could not be set up: the tool ends, as it was told
    int status = 0;
    {
        CVantexMainFrame frame;
        status = RunConfigurationFrame(app, frame, options);
    }  // the view writes the profile as it goes
    winapi::SetUiBackend(nullptr);
    return status;
}
