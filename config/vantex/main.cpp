// VantexConfiguration: the configuration tool of the Vantex Ethernet sensor unit.
#include "VantexConfigurationApp.h"

int main(int argc, char** argv) {
    return RunVantexConfiguration(argc, argv);
}
