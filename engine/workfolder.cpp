#include "engine/workfolder.h"

#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/messages.h"
#include "core/platform.h"
#include "core/regularfile.h"
#include "core/services.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The shared temporary folder is no place for a program we execute: another user could plant
// one there, and it is often mounted without the right to execute. Keep it per user instead.
QString privateWorkFolder()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        throw AppError(Messages::kNoTempFolder);
    const QString folder = cache + QStringLiteral("/palettrim");
    const QByteArray native = QFile::encodeName(folder);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        if (!QDir().mkpath(cache))
            throw AppError(Messages::kCannotCreateFolder.arg(cache));
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            throw AppError(Messages::kCannotCreateWorkFolder.arg(
                folder, QString::fromLocal8Bit(std::strerror(errno))));
        if (::lstat(native.constData(), &st) != 0)
            throw AppError(Messages::kCannotUseWorkFolder.arg(
                folder, QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw AppError(Messages::kWorkFolderNotOwn.arg(folder));
    return folder;
}

}  // namespace

QString WorkFolder()
{
    const QString temp = qEnvironmentVariable("TEMP");
    if (!temp.isEmpty())
        return temp;
    return privateWorkFolder();
}

QString WorkPath(const QString& name) { return WorkFolder() + QDir::separator() + name; }

QString ConverterPath() { return WorkPath(Platform::ConverterFileName()); }

QString BatchPath() { return WorkPath(QStringLiteral("nconvert.bat")); }

QByteArray ConverterImage() { return services().converterImage(); }

QByteArray CarriedConverterImage()
{
    QFile f(QStringLiteral(":/converter/nconvert"));
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(Messages::kConverterMissing);
    return f.readAll();
}

namespace {

// Every folder from the root down to path: "/", "/a", "/a/b".
QStringList foldersOnPath(const QString& path)
{
    QStringList folders{QStringLiteral("/")};
    QString prefix;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        folders << (prefix += QLatin1Char('/') + part);
    return folders;
}

// Why folder, one of the folders on the work folder's path, is unsafe; empty when it is not.
QString folderRisk(const QString& shownWorkFolder, const QString& folder, uid_t user)
{
    struct stat st;
    // A link is judged by where it leads, which the resolved path covers; a folder that is not
    // there yet is the writing check's concern.
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QString();
    const QString shown = QDir::toNativeSeparators(folder);
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
        return Messages::kWorkFolderOpenToOthers.arg(shownWorkFolder, shown);
    if (st.st_uid != user && st.st_uid != 0)
        return Messages::kWorkFolderOthersOwn.arg(shownWorkFolder, shown);
    return QString();
}

}  // namespace

QString WorkFolderRisk(const QString& folder, uid_t user)
{
    const QString shown = QDir::toNativeSeparators(folder);
    const QFileInfo info(folder);
    // Both the path as written and where its links lead: a link swapped in any folder along
    // either one changes what is run.
    QStringList folders = foldersOnPath(info.absoluteFilePath());
    const QString resolved = info.canonicalFilePath();
    if (!resolved.isEmpty())
        folders += foldersOnPath(resolved);
    for (const QString& f : std::as_const(folders))
        if (const QString risk = folderRisk(shown, f, user); !risk.isEmpty())
            return risk;
    return QString();
}

void CheckWorkFolderWritable(const QString& folder)
{
    const QString shown = QDir::toNativeSeparators(folder);
    const auto refuse = [&shown](int error) {
        if (error == ENOSPC || error == EDQUOT)
            return AppError(Messages::kWorkFolderFull.arg(shown));
        return AppError(Messages::kWorkFolderNotWritable.arg(
            shown, QString::fromLocal8Bit(std::strerror(error))));
    };
    QByteArray probe = QFile::encodeName(folder + QStringLiteral("/.palettrim-probe-XXXXXX"));
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        throw refuse(errno);
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
    if (error)
        throw refuse(error);
}

bool IsOwnConverter(const QString& path, const QByteArray& image)
{
    const auto safe = [&image](const struct stat& st) {
        return S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
            && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && st.st_size == image.size();
    };
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !safe(st))
        return false;
    // Read through a descriptor that cannot follow a link or wait on a pipe, and compare what
    // was actually opened.
    const RegularFile file(path, RegularFile::Links::Refuse);
    if (!file.isOpen())
        return false;
    const struct stat& opened = file.status();
    QFile f;
    return safe(opened) && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev
        && f.open(file.fd(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle) && f.readAll() == image;
}

QString PrepareConverter()
{
    QCoreApplication::processEvents();
    const QString folder = WorkFolder();
    if (const QString risk = WorkFolderRisk(folder, ::geteuid()); !risk.isEmpty())
        throw AppError(risk);
    // Full or read-only, the converter could not be written and every file would fail.
    CheckWorkFolderWritable(folder);
    const QString path = ConverterPath();
    const QByteArray image = ConverterImage();
    if (IsOwnConverter(path, image))
        return path;
    QString why;
    try {
        WriteBytesReplacing(image, path,
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    } catch (const AppError& e) {
        why = e.description();
    }
    if (!IsOwnConverter(path, image))
        throw AppError(
            Messages::kConverterNotOurs.arg(QDir::toNativeSeparators(path), why).trimmed());
    return path;
}
