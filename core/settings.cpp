#include "core/settings.h"

#include "core/errorreport.h"
#include "core/messages.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

namespace Settings {

namespace {

QSettings store()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kApplication, kSection);
}

QString fullKey(const QString& key) { return kSection + QLatin1Char('/') + key; }

// A key outside the table is a slip in the program, caught before it reaches the store.
const Setting& row(const QString& key)
{
    for (const Setting& r : table())
        if (r.key == key)
            return r;
    throw AppError(Messages::kNoSuchSetting.arg(key));
}

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

std::span<const Setting> table()
{
    static const Setting rows[] = {
        {kCombo1, [] { return QStringLiteral("0"); }, Type::Number},
        {kDither, [] { return QStringLiteral("none"); }, Type::Choice},
        {kExtension, [] { return QStringLiteral("pcx"); }, Type::Text},
        {kKeyColour, [] { return QString(); }, Type::Colour},
        {kLastFolder, [] { return QString(); }, Type::Folder},
        {kLastFolderDot, [] { return QString(); }, Type::Folder},
        {kLastPaletteFolder, [] { return QDir::homePath(); }, Type::Folder},
        {kOutputFolder, desktopFolder, Type::Folder},
        {kSnapshot, [] { return QString(); }, Type::Text},
    };
    return rows;
}

QString defaultFor(const QString& key) { return row(key).byDefault(); }

std::optional<QString> stored(const QString& key)
{
    row(key);
    QSettings s = store();
    if (s.status() == QSettings::AccessError || s.status() == QSettings::FormatError)
        throw AppError(Messages::kSettingsUnreadable.arg(s.fileName()));
    const QVariant v = s.value(fullKey(key));
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

QString get(const QString& key)
{
    const QString defaultValue = defaultFor(key);
    return stored(key).value_or(defaultValue);
}

void put(const QString& key, const QString& value)
{
    row(key);
    QSettings s = store();
    s.setValue(fullKey(key), value);
    s.sync();
    if (s.status() != QSettings::NoError)
        throw AppError(Messages::kSettingsUnwritable.arg(s.fileName()));
}

QString colour(const QString& key)
{
    const QString text = get(key).trimmed().toLower();
    static const QRegularExpression rrggbb(QStringLiteral("^[0-9a-f]{6}$"));
    return rrggbb.match(text).hasMatch() ? text : QString();
}

}  // namespace Settings
