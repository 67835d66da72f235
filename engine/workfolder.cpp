#include "engine/workfolder.h"

#include "app/errorreport.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The shared temporary folder is no place for a program we execute: another user could plant
// one there, and it is often mounted without the right to execute. Keep it per user instead.
QString privateWorkFolder()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        throw AppError(QStringLiteral("No folder for temporary files: TEMP is not set and the "
                                      "user has no cache folder."));
    const QString folder = cache + QStringLiteral("/palettrim");
    const QByteArray native = QFile::encodeName(folder);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        if (!QDir().mkpath(cache))
            throw AppError(QStringLiteral("Cannot create the folder %1.").arg(cache));
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            throw AppError(QStringLiteral("Cannot create the work folder %1: %2")
                               .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
        if (::lstat(native.constData(), &st) != 0)
            throw AppError(QStringLiteral("Cannot use the work folder %1: %2")
                               .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw AppError(
            QStringLiteral("The work folder %1 is not a folder of your own.").arg(folder));
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

QString ConverterFileName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("nconvert.exe");
#else
    return QStringLiteral("nconvert");
#endif
}

QString ConverterPath() { return WorkPath(ConverterFileName()); }

QString BatchPath() { return WorkPath(QStringLiteral("nconvert.bat")); }

QByteArray ConverterImage()
{
    QFile f(QStringLiteral(":/converter/nconvert"));
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("The converter is missing from the program."));
    return f.readAll();
}
