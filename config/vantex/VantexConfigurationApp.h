// Start-up of the Ethernet-unit tool: options, splash, main frame, event loop.
#pragma once

#include "ConfigurationApp.h"

#include <string>

std::string VantexUsage();
int RunVantexConfiguration(int argc, char** argv);
