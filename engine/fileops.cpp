#include "engine/fileops.h"

#include "app/errorreport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <sys/stat.h>

bool PathExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

QString FileNamePart(const QString& path)
{
    const qsizetype i = path.lastIndexOf(QDir::separator());
    return i < 0 ? path : path.mid(i + 1);
}

void WriteBytesIfAbsent(const QByteArray& bytes, const QString& path,
                        QFileDevice::Permissions permissions)
{
    QCoreApplication::processEvents();
    if (PathExists(path))
        return;
    // Written whole or not at all, so a half-written program is never found and reused.
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()
        || !f.setPermissions(permissions) || !f.commit())
        throw AppError(QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
}

void DeleteFileForced(const QString& path)
{
    QCoreApplication::processEvents();
    if (QFile::remove(path))
        return;
    QFile f(path);
    f.setPermissions(f.permissions() | QFileDevice::WriteOwner);
    f.remove();
}
