// The work folder: where the converter lives and the reduced copies wait to be saved.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

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

// How this process sees the owners of folders. Inside a user namespace (a sandbox such as
// Flatpak's, or unshare) every owner it does not map, root among them, shows as one overflow id.
struct OwnerView {
    // The overflow id, when the process runs inside a user namespace.
    std::optional<uid_t> unmapped;
    // The user's home folder.
    QString home;
};
// This process's view: its user namespace and HOME.
OwnerView CurrentOwnerView();

// Whether group is user's private group, as Debian makes one per user: the user's primary
// group, of the user's own name, with nobody else among its members.
bool IsPrivateGroup(const struct group& group, const struct passwd& user);

// Why folder is no place to keep and run the program's converter, as the user reads it: a
// folder on its path (the folder itself and the folders its links lead through included) that
// others may write without the sticky bit (others, a group other than the user's private one,
// or a user or group its access list names), or that belongs to neither user nor root. Inside
// a user namespace a folder of the unmapped owner that neither its group nor others may write
// counts as root's above the user's home folder only. Empty when it is safe for user.
QString WorkFolderRisk(const QString& folder, uid_t user, const OwnerView& view = CurrentOwnerView());
// Throws AppError naming what is wrong when folder cannot take a new file: it is full, or it
// cannot be written (and why). Leaves nothing behind.
void CheckWorkFolderWritable(const QString& folder);

// True when path is the program's own converter: a regular file (not a link) of this user's
// that the user may run and nobody else may write (as WorkFolderRisk judges a folder, without
// the sticky bit), holding exactly image.
bool IsOwnConverter(const QString& path, const QByteArray& image);
// The converter in the work folder, ready to run: written there when absent, and replaced
// (atomically) when the file there differs from the program's own, as after an upgrade or when
// someone else put one there. Throws AppError, and nothing may be run, when the work folder is
// unsafe (WorkFolderRisk), cannot be written or the file there cannot be made the program's
// own; an unsafe folder, and one on a file system that runs no programs, is refused before
// anything is written into it.
QString PrepareConverter();
