#include "core/fileops.h"

#include "core/errorreport.h"
#include "core/messages.h"
#include "core/leftovers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool statPath(const QString& path, struct stat& st)
{
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

}  // namespace

bool PathExists(const QString& path)
{
    struct stat st;
    return statPath(path, st);
}

bool FolderExists(const QString& path)
{
    struct stat st;
    return statPath(path, st) && S_ISDIR(st.st_mode);
}

bool IsExistingFile(const QString& path)
{
    struct stat st;
    return statPath(path, st) && S_ISREG(st.st_mode);
}

bool IsNormalFile(const QString& path)
{
    return !FileNamePart(path).startsWith(QLatin1Char('.')) && IsExistingFile(path);
}

qint64 RegularFileSize(const QString& path)
{
    struct stat st;
    return statPath(path, st) && S_ISREG(st.st_mode) ? static_cast<qint64>(st.st_size) : 0;
}

std::optional<FileId> FileIdOf(const QString& path)
{
    struct stat st;
    if (!statPath(path, st))
        return std::nullopt;
    return FileId{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)};
}

QString FileNamePart(const QString& path)
{
    const qsizetype i = path.lastIndexOf(QDir::separator());
    return i < 0 ? path : path.mid(i + 1);
}

bool NameOrderLess(const QString& a, const QString& b)
{
    const int c = QString::compare(a, b, Qt::CaseInsensitive);
    if (c != 0)
        return c < 0;
    // Rare enough that encoding here costs nothing.
    return a.toUtf8() < b.toUtf8();
}

QString WriteWhole(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        if (n == 0)
            return QString::fromLocal8Bit(std::strerror(EIO));
        data += n;
        size -= n;
    }
    return QString();
}

int FolderWriteError(const QString& folder)
{
    QByteArray probe = QFile::encodeName(folder + QStringLiteral("/.palettrim-probe-XXXXXX"));
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    // One block: a full file system refuses it even where it still has room for a name.
    static const char block[4096] = {};
    int error = 0;
    for (size_t done = 0; done < sizeof block && !error;) {
        const ssize_t n = ::write(fd, block + done, sizeof block - done);
        if (n > 0)
            done += size_t(n);
        else if (n == 0)
            error = ENOSPC;
        else if (errno != EINTR)
            error = errno;
    }
    if (::close(fd) != 0 && !error)
        error = errno;
    ::unlink(probe.constData());
    return error;
}

void WriteBytesReplacing(const QByteArray& bytes, const QString& path,
                         QFileDevice::Permissions permissions)
{
    // A new file beside the target, renamed over it: the rename replaces a link itself, where
    // writing through the path would write into whatever the link points at.
    const auto fail = [&path](const QString& why) {
        return AppError(Messages::kFileNotWritten.arg(QDir::toNativeSeparators(path), why));
    };
    QTemporaryFile f(path + QStringLiteral(".XXXXXX"));
    if (!f.open())
        throw fail(f.errorString());
    const QString why = WriteWhole(f.handle(), bytes.constData(), bytes.size());
    if (!why.isEmpty())
        throw fail(why);
    if (!f.setPermissions(permissions))
        throw fail(f.errorString());
    f.close();
    if (::rename(QFile::encodeName(f.fileName()).constData(), QFile::encodeName(path).constData())
        != 0)
        throw fail(QString::fromLocal8Bit(std::strerror(errno)));
    f.setAutoRemove(false);
}

void DeleteFileForced(const QString& path)
{
    QCoreApplication::processEvents();
    // A row that never got a copy (one stopped before its start) names none.
    if (path.isEmpty())
        return;
    if (!QFile::remove(path)) {
        QFile f(path);
        f.setPermissions(f.permissions() | QFileDevice::WriteOwner);
        f.remove();
    }
    if (!PathExists(path))
        Leftovers::forgetFile(path);
}

void RemoveHiddenTemporaries(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : native.left(std::max<qsizetype>(slash, 1));
    const QByteArray prefix = '.' + native.mid(slash + 1).left(64) + '.';
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name.size() == prefix.size() + 6 && name.startsWith(prefix))
            ::unlinkat(::dirfd(dir), e->d_name, 0);
    }
    ::closedir(dir);
}
