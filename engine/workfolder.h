// The work folder: where the converter lives and the reduced copies wait to be saved.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// TEMP when it is set and not empty; otherwise "palettrim" in the user's cache folder, created
// owner-only. Read afresh on every call. Throws AppError when the private folder cannot be
// made or is not a directory of this user's own.
QString WorkFolder();
// WorkFolder() + separator + name.
QString WorkPath(const QString& name);

// The converter in the work folder.
QString ConverterPath();
// A leftover batch file the run removes.
QString BatchPath();

// The converter program in force, as the services give it. Throws AppError when it is missing.
QByteArray ConverterImage();
// The converter program the executable carries: the services' converterImage in the program.
// Throws AppError when it is missing.
QByteArray CarriedConverterImage();

// Why folder is no place to keep and run the program's converter, as the user reads it: a
// folder on its path (the folder itself and the folders its links lead through included) that
// others may write without the sticky bit, or that belongs to neither user nor root. Empty when
// it is safe for user.
QString WorkFolderRisk(const QString& folder, uid_t user);
// Throws AppError naming what is wrong when folder cannot take a new file: it is full, or it
// cannot be written (and why). Leaves nothing behind.
void CheckWorkFolderWritable(const QString& folder);

// True when path is the program's own converter: a regular file (not a link) of this user's,
// writable by nobody else, holding exactly image.
bool IsOwnConverter(const QString& path, const QByteArray& image);
// The converter in the work folder, ready to run: written there when absent, and replaced
// (atomically) when the file there differs from the program's own, as after an upgrade or when
// someone else put one there. Throws AppError, and nothing may be run, when the work folder is
// unsafe (WorkFolderRisk), cannot be written or the file there cannot be made the program's
// own; an unsafe folder is refused before anything is written into it.
QString PrepareConverter();
