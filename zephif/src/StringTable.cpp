// The string table: texts exactly as users have always seen them, misspellings included.
#include "StringTable.h"

#include <iterator>

namespace zephif {
namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr Entry kStringTable[] = {
    {1, "Communication Error: %1"},
    {2, "Internal Application Error: %1"},
    {3, "Clearing the sensor, please wait."},
    {4, "Sensor is ready, please expose now!"},
    {5, "Resetting the Vantex, please wait!"},
    {6,
     "Error connecting to Vantex %1,  wait a few seconds and try again. If this happens again, "
     "switch off and on the Vantex, wait 20 seconds and try again!"},
    {7, "Vantex is occupied by another applicaton, please make it available!"},
    {8, "Vantex is being prepared for image exposure, please wait!"},
    {9, "Cancelling session with Vantex, please wait!"},
    {10, "Vantex received exposure request!"},
    {11, "Vantex timedout, please check network connections!"},
    {12, "Vantex is connected!"},
    {13, "Checking connection to Vantex, please wait!"},
    {14, "Image from Vantex received!"},
    {15, "Image transfer completed!"},
    {16, "Could not find file: %1! Click 'Yes' button to use default settings."},
    {17, "Using default IP address for Vantex: %1"},
    {18, "Error capturing image, check that sensor is correctly connected to the Vantex!"},
    {19,
     "Vantex responded with an error to image capture command, please reset the module, wait 20 "
     "seconds and try again!"},
    {20, "Image transfer started, please wait!"},
    {21, "Image transfer in progress, received %1 bytes, please wait!"},
};

}  // namespace

std::string LoadText(int id, const char* argument) {
    for (const Entry& entry : kStringTable) {
        if (entry.id != id)
            continue;
        std::string text = entry.text;
        if (argument) {
            const auto at = text.find("%1");
            if (at != std::string::npos)
                text.replace(at, 2, argument);
        }
        return text;
    }
    return {};
}

}  // namespace zephif
