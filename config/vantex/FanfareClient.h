// The splash screen and the about box of the Ethernet-unit tool, shown by Fanfare through COM.
#pragma once

#include <windows.h>

#include <string>

namespace fanfareclient {

// The system's text for a COM result, without its trailing line break; without one,
// "IDispatch error #%d" for 0x80040200-0x8004FFFF and "Unknown error 0x%0lX" otherwise.
std::string ErrorText(HRESULT hr);

// Registers libFanfare.so beside the program when its classes are not registered yet (the
// per-user registry of a fresh account); false when it could not be found or registered.
bool EnsureRegistered(const std::string& libraryPath);

// Start-up: PSplash with the product name, ShowSplashScreen, release. COM failures are shown
// in a plain box and start-up goes on; the thread's COM is set up and taken down around it.
// False when COM could not be initialised (the caller ends the application).
bool ShowSplash();
// Command 57664: PAbout with the product name (two leading blanks), ShowAboutBox, release.
void ShowAbout();

}  // namespace fanfareclient
