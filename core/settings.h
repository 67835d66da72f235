// The per-user settings store: every key the program keeps, with its default and the kind of
// text it holds, in one table. Values are texts; a Put is on disk before it returns.
#pragma once

#include <QString>

#include <optional>
#include <span>

namespace Settings {

inline const QString kApplication = QStringLiteral("Quillmark");
inline const QString kSection = QStringLiteral("Palettrim");

// Keys.
inline const QString kCombo1 = QStringLiteral("Combo1");
inline const QString kDither = QStringLiteral("Dither");
inline const QString kExtension = QStringLiteral("Extension");
inline const QString kKeyColour = QStringLiteral("KeyColour");
inline const QString kLastFolder = QStringLiteral("LastFolder");
inline const QString kLastFolderDot = QStringLiteral("LastFolderDot");
inline const QString kLastPaletteFolder = QStringLiteral("LastPaletteFolder");
inline const QString kOutputFolder = QStringLiteral("Output Folder");
inline const QString kSnapshot = QStringLiteral("Snapshot");

// What a key's text holds; readers convert it themselves.
enum class Type {
    Number,  // decimal text
    Text,
    Folder,  // a folder path
    Choice,  // one of a few words its reader knows, an earlier version's word read as its own
    Colour,  // "RRGGBB" in hexadecimal digits, or empty for none
};

struct Setting {
    const QString& key;
    // Made when asked, since a default may depend on the user's folders.
    QString (*byDefault)();
    Type type;
};

// One row per key the program keeps.
std::span<const Setting> table();

// The default of a key as the table states it; throws AppError for a key not in the table.
QString defaultFor(const QString& key);

// The stored value, or nothing when the key is absent. Throws AppError when the store cannot be
// read or the key is not in the table.
std::optional<QString> stored(const QString& key);
// The stored value, or the table's default when the key is absent; a stored empty text stays
// empty. Read afresh from the store on every call. Throws AppError when the store cannot be read
// or the key is not in the table.
QString get(const QString& key);
// Throws AppError when the store cannot be written or the key is not in the table.
void put(const QString& key, const QString& value);

// The current user's desktop folder followed by the separator; the home folder where there is
// no desktop folder.
QString desktopFolder();

// A Colour key's value as "rrggbb"; empty for none, and for a text that is no such colour.
QString colour(const QString& key);

}  // namespace Settings
