// VantaConfiguration: the configuration tool of the Vanta sensor unit.
#include "VantaConfigurationApp.h"

int main(int argc, char** argv) {
    return RunVantaConfiguration(argc, argv);
}
