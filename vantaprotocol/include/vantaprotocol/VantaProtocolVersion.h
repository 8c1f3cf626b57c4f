// Version information of libVantaProtocol.so, readable on Linux: the exported
// VantaProtocolVersion() returns the file version; the library's SONAME carries the same numbers.
#pragma once

inline constexpr char kVantaProtocolFileVersion[] = "1.0.1.4";
inline constexpr char kVantaProtocolProductVersion[] = "1.0.1.4";
inline constexpr char kVantaProtocolFileDescription[] = "VantaProtocol Module";
inline constexpr char kVantaProtocolInternalName[] = "VantaProtocol";
inline constexpr char kVantaProtocolOriginalFilename[] = "VantaProtocol.DLL";
// The library registers itself (DllRegisterServer / DllUnregisterServer).
inline constexpr bool kVantaProtocolSelfRegister = true;

extern "C" const char* VantaProtocolVersion();
