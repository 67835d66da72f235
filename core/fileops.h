// Small file procedures every part of the program shares. Every test of what a path names
// asks stat(), so nothing here opens a file: a named pipe or a device never blocks a window.
#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QHashFunctions>
#include <QString>

#include <optional>

// True when the file system can report a modification time for path (a file or folder).
// Never throws; an empty path gives false.
bool PathExists(const QString& path);
// True when path names an existing folder (links followed); a trailing separator is accepted.
bool FolderExists(const QString& path);
// True when path names an existing regular file (links followed). Pipes, sockets and devices
// are not files here.
bool IsExistingFile(const QString& path);
// True when path is a regular file that is not hidden, as a listing of the path would find it.
bool IsNormalFile(const QString& path);
// The length of the regular file at path; 0 for anything else or when it cannot be queried.
qint64 RegularFileSize(const QString& path);

// A file as its file system knows it: two paths that lead to one file (through a link, or
// differing only in letter case on a folder that ignores case) give the same FileId.
struct FileId {
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const FileId&, const FileId&) = default;
};
inline size_t qHash(const FileId& id, size_t seed = 0) noexcept
{
    return qHashMulti(seed, id.device, id.inode);
}
// The file path leads to, links followed; nothing when there is none or stat fails.
std::optional<FileId> FileIdOf(const QString& path);

// The text after the last separator, or the whole text when there is none.
QString FileNamePart(const QString& path);
// The order every folder listing is taken in: by name, case-insensitively, and names that
// differ only in case by their UTF-8 bytes ("A.pcx" < "a.pcx" < "B.pcx" < "frame02" <
// "frame10"). A strict weak order, as std::sort needs.
bool NameOrderLess(const QString& a, const QString& b);
// Writes size bytes to the open file descriptor fd, going on after a write that comes back
// short. Gives the empty text when every byte was written, else the system's reason (a short
// write sets none, so the rest is written again to learn it).
QString WriteWhole(int fd, const char* data, qint64 size);
// Whether a new file can be written into folder: makes a hidden file there, writes one block
// into it and removes it. 0 when it can, else the system's error number (ENOSPC also for a file
// system that takes a name but not the data).
int FolderWriteError(const QString& folder);
// Writes bytes to path whole or not at all, replacing whatever file is there by a rename.
// Throws AppError when it cannot.
void WriteBytesReplacing(const QByteArray& bytes, const QString& path,
                         QFileDevice::Permissions permissions);
// Lets events run; removes the file, and once more after making it writable; the program no
// longer has to remove it on its way out (Leftovers). An empty path names nothing to remove.
// Never throws.
void DeleteFileForced(const QString& path);
// Removes the hidden files that a writer of path keeps beside it until path is complete (the
// converter's way): "." + the first 64 bytes of path's name + "." + six characters. Only path's
// own: a file of another name, as another copy of the program may be writing, is never touched.
void RemoveHiddenTemporaries(const QString& path);
