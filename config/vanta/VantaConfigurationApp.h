// Start-up of the sensor-unit tool: options, splash, main frame, event loop.
#pragma once

#include "ConfigurationApp.h"

#include <string>

std::string VantaUsage();
int RunVantaConfiguration(int argc, char** argv);
