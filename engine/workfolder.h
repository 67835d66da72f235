// The work folder: where the converter lives and the reduced copies wait to be saved.
#pragma once

#include <QByteArray>
#include <QString>

// TEMP when it is set and not empty; otherwise "palettrim" in the user's cache folder, created
// owner-only. Read afresh on every call. Throws AppError when the private folder cannot be
// made or is not a directory of this user's own.
QString WorkFolder();
// WorkFolder() + separator + name.
QString WorkPath(const QString& name);

// File name of the converter in the work folder.
QString ConverterFileName();
// The converter in the work folder.
QString ConverterPath();
// A leftover batch file the run removes.
QString BatchPath();

// The converter program the executable carries. Throws AppError when it is missing.
QByteArray ConverterImage();
// Tests carry another program (the stand-in converter); an empty image restores the real one.
void setConverterImageForTesting(const QByteArray& image);

// True when path is the program's own converter: a regular file (not a link) of this user's,
// writable by nobody else, holding exactly image.
bool IsOwnConverter(const QString& path, const QByteArray& image);
// The converter in the work folder, ready to run: written there when absent, and replaced
// (atomically) when the file there differs from the program's own, as after an upgrade or when
// someone else put one there. Throws AppError, and nothing may be run, when the work folder is
// unusable or the file there cannot be made the program's own.
QString PrepareConverter();
