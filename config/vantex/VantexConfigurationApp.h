// Start-up of the Ethernet-unit tool: options, splash, main frame, event loop.
#pragma once

#include <string>

struct VantexOptions {
    bool showHelp = false;
    bool showVersion = false;
    bool splash = true;
    std::string unitAddress;  // empty: the profile's
    int unitPort = -1;        // -1: the profile's
    int localPort = -1;
    std::string error;  // set when the command line could not be read
};

VantexOptions ParseVantexOptions(int argc, char** argv);
std::string VantexUsage();
int RunVantexConfiguration(int argc, char** argv);
