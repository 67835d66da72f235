#include "core/settings.h"

#include "core/errorreport.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace Settings {

namespace {

QSettings store()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kApplication, kSection);
}

QString fullKey(const QString& key) { return kSection + QLatin1Char('/') + key; }

}  // namespace

QString desktopFolder()
{
    // Many Linux homes have no desktop folder; saving into a missing one would only fail.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    folder = QDir::toNativeSeparators(folder);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

QString defaultFor(const QString& key)
{
    if (key == kCombo1)
        return QStringLiteral("0");
    if (key == kExtension)
        return QStringLiteral("pcx");
    if (key == kOutputFolder)
        return desktopFolder();
    return QString();
}

QString get(const QString& key, const QString& defaultValue)
{
    QSettings s = store();
    if (s.status() == QSettings::AccessError || s.status() == QSettings::FormatError)
        throw AppError(QStringLiteral("Cannot read the settings file %1").arg(s.fileName()));
    const QVariant v = s.value(fullKey(key));
    if (!v.isValid())
        return defaultValue;
    return v.toString();
}

QString get(const QString& key) { return get(key, defaultFor(key)); }

void put(const QString& key, const QString& value)
{
    QSettings s = store();
    s.setValue(fullKey(key), value);
    s.sync();
    if (s.status() != QSettings::NoError)
        throw AppError(QStringLiteral("Cannot write the settings file %1").arg(s.fileName()));
}

}  // namespace Settings
