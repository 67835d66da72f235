#include "results/save.h"

#include "core/errorreport.h"
#include "core/fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Results {

QString SavedName(const QString& inputName, NamingRule rule)
{
    if (rule == NamingRule::Own)
        return inputName;
    const qsizetype dot = inputName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return inputName + QStringLiteral("-reduced");
    return inputName.left(dot) + QStringLiteral("-reduced.") + inputName.mid(dot + 1);
}

QString SaveTarget(const QString& folder, const QString& name)
{
    return folder + QDir::separator() + name;
}

void CopyReplacing(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("Cannot read %1: %2")
                           .arg(QDir::toNativeSeparators(source), in.errorString()));

    // QSaveFile refuses a read-only target and keeps an existing target's permissions.
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        throw AppError(QStringLiteral("Cannot write %1: %2")
                           .arg(QDir::toNativeSeparators(target), out.errorString()));

    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = in.read(buffer, sizeof buffer);
        if (got < 0) {
            out.cancelWriting();
            throw AppError(QStringLiteral("Cannot read %1: %2")
                               .arg(QDir::toNativeSeparators(source), in.errorString()));
        }
        if (got == 0)
            break;
        if (out.write(buffer, got) != got)
            break;  // commit() below reports the write error and discards the temporary file
    }
    if (!out.commit())
        throw AppError(QStringLiteral("Cannot write %1: %2")
                           .arg(QDir::toNativeSeparators(target), out.errorString()));
}

void SaveRow(const QString& inputPath, const QString& workCopy, const QString& folder,
             NamingRule rule, QSet<QString>& savedBefore)
{
    const QString name = FileNamePart(inputPath);
    // A row without a file name would otherwise write into a file named only "-reduced".
    if (name.isEmpty())
        throw AppError(QStringLiteral("No file name in %1").arg(QDir::toNativeSeparators(inputPath)));
    const QString target = SaveTarget(folder, SavedName(name, rule));
    const QString key = QFileInfo(target).absoluteFilePath();
    if (savedBefore.contains(key))
        throw AppError(QStringLiteral("%1 was not saved: another file of the same name was "
                                      "saved as %2 a moment ago")
                           .arg(QDir::toNativeSeparators(inputPath), QDir::toNativeSeparators(key)));
    CopyReplacing(workCopy, target);
    savedBefore.insert(key);
}

}  // namespace Results
