// Per-user application settings store: text values by program name, section and key.
#include "settingsstore.h"

namespace wirebench {

SettingsStore::SettingsStore(const QString& appName)
    : settings_(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, appName,
                                            appName)) {}

QString SettingsStore::get(const QString& section, const QString& key,
                           const QString& fallback) const {
    return settings_->value(section + "/" + key, fallback).toString();
}

void SettingsStore::save(const QString& section, const QString& key, const QString& value) {
    settings_->setValue(section + "/" + key, value);
}

void SettingsStore::sync() {
    settings_->sync();
}

QString SettingsStore::fileName() const {
    return settings_->fileName();
}

}  // namespace wirebench
