// The per-user settings store: every key the program keeps, with its default, in one table.
// Values are texts; a Put is on disk before it returns.
#pragma once

#include <QString>

namespace Settings {

inline const QString kApplication = QStringLiteral("Quillmark");
inline const QString kSection = QStringLiteral("Palettrim");

// Keys.
inline const QString kCombo1 = QStringLiteral("Combo1");
inline const QString kExtension = QStringLiteral("Extension");
inline const QString kLastFolder = QStringLiteral("LastFolder");
inline const QString kLastFolderDot = QStringLiteral("LastFolderDot");
inline const QString kOutputFolder = QStringLiteral("Output Folder");
inline const QString kSnapshot = QStringLiteral("Snapshot");

// The default of a key as the table states it (the desktop folder for "Output Folder").
QString defaultFor(const QString& key);

// The stored value, or defaultValue when the key is absent; a stored empty text stays empty.
// Throws AppError when the store cannot be read.
QString get(const QString& key, const QString& defaultValue);
// get() with the table's default.
QString get(const QString& key);
// Throws AppError when the store cannot be written.
void put(const QString& key, const QString& value);

// The current user's desktop folder followed by the separator; the home folder where there is
// no desktop folder.
QString desktopFolder();

}  // namespace Settings
