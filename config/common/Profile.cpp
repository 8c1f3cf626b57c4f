// Reading and writing the profile through QSettings.
#include "Profile.h"

#include <QSettings>

CommunicationProfile CommunicationProfile::Read(const QString& application) {
    QSettings settings(kOrganisation, application);
    settings.beginGroup(kSection);
    CommunicationProfile profile;
    profile.unitAddress = settings.value(kUnitAddressKey, kDefaultUnitAddress).toString();
    profile.unitPort = settings.value(kUnitPortKey, kDefaultUnitPort).toInt();
    profile.localPort = settings.value(kLocalPortKey, kDefaultLocalPort).toInt();
    return profile;
}

void CommunicationProfile::Write(const QString& application) const {
    QSettings settings(kOrganisation, application);
    settings.beginGroup(kSection);
    settings.setValue(kUnitAddressKey, unitAddress);
    settings.setValue(kUnitPortKey, unitPort);
    settings.setValue(kLocalPortKey, localPort);
    settings.endGroup();
    settings.sync();
}
