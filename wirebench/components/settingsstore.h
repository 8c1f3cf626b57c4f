// Per-user application settings store: text values by program name, section and key.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace wirebench {

class SettingsStore {
public:
    // Values live under the program's name in the user's settings folder.
    explicit SettingsStore(const QString& appName);
    QString get(const QString& section, const QString& key, const QString& fallback) const;
    void save(const QString& section, const QString& key, const QString& value);
    void sync();
    QString fileName() const;

private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace wirebench
