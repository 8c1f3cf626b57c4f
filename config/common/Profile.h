// The tools' per-user profile: section "Communication" of the platform's settings store.
#pragma once

#include <QString>

struct CommunicationProfile {
    static constexpr char kOrganisation[] = "VantaConfiguration";
    static constexpr char kSection[] = "Communication";
    static constexpr char kUnitAddressKey[] = "VantaIP";
    static constexpr char kUnitPortKey[] = "VantaPort";
    static constexpr char kLocalPortKey[] = "LocalPort";
    static constexpr char kDefaultUnitAddress[] = "192.168.100.190";
    static constexpr int kDefaultUnitPort = 104;
    static constexpr int kDefaultLocalPort = 1000;

    QString unitAddress = kDefaultUnitAddress;
    int unitPort = kDefaultUnitPort;
    int localPort = kDefaultLocalPort;

    // `application` is the tool's application name ("VantaConfiguration", ...).
    static CommunicationProfile Read(const QString& application);
    void Write(const QString& application) const;
};
