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
