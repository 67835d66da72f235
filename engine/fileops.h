// Small file procedures every part of the program shares.
#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

// True when the file system can report a modification time for path (a file or folder).
// Never throws; an empty path gives false.
bool PathExists(const QString& path);
// The text after the last separator, or the whole text when there is none.
QString FileNamePart(const QString& path);
// Lets events run; writes bytes to path unless something already exists there, whole or not at
// all, with the given permissions. Throws AppError when the file cannot be written.
void WriteBytesIfAbsent(const QByteArray& bytes, const QString& path,
                        QFileDevice::Permissions permissions = QFileDevice::ReadOwner
                                                               | QFileDevice::WriteOwner);
// Lets events run; removes the file, and once more after making it writable. Never throws.
void DeleteFileForced(const QString& path);
