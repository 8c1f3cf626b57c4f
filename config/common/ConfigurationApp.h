// Start-up and shut-down both configuration tools share: command line, application, event loop.
#pragma once

#include <optional>
#include <string>

class CConfigurationFrame;
class QApplication;

struct ConfigurationOptions {
    bool showHelp = false;
    bool showVersion = false;
    bool splash = true;
    std::string unitAddress;  // empty: the profile's
    int unitPort = -1;        // -1: the profile's
    int localPort = -1;
    std::string error;  // set when the command line could not be read
};

// Reads the tool's own options; anything not starting with "--" is left to Qt.
ConfigurationOptions ParseConfigurationOptions(int argc, char** argv);

// Answers an unreadable command line, --help and --version on the console; the exit status then,
// nothing when the tool is to start.
std::optional<int> AnswerWithoutWindow(const ConfigurationOptions& options, const char* program,
                                       const std::string& usage, const char* version);

// Names the application for settings and the desktop, and routes message boxes to Qt.
void SetUpConfigurationApp(const char* application, const char* version);

// Puts the run's unit address and ports into the form, shows the frame and runs the event loop;
// SIGINT and SIGTERM close the frame as Exit does, so the profile is written.
int RunConfigurationFrame(QApplication& app, CConfigurationFrame& frame,
                          const ConfigurationOptions& options);
