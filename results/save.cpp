#include "results/save.h"

#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/messages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <unistd.h>

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
        throw AppError(Messages::kCannotRead.arg(QDir::toNativeSeparators(source), in.errorString()));

    // QSaveFile refuses a read-only target and keeps an existing target's permissions. It does
    // not notice a write cut short, so every write goes to its descriptor and is checked here.
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw AppError(Messages::kCannotWrite.arg(QDir::toNativeSeparators(target), out.errorString()));
    const auto cancel = [&out, &target](const QString& why) {
        out.cancelWriting();
        return AppError(Messages::kCannotWrite.arg(QDir::toNativeSeparators(target), why));
    };

    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = in.read(buffer, sizeof buffer);
        if (got < 0) {
            out.cancelWriting();
            throw AppError(
                Messages::kCannotRead.arg(QDir::toNativeSeparators(source), in.errorString()));
        }
        if (got == 0)
            break;
        const QString why = WriteWhole(out.handle(), buffer, got);
        if (!why.isEmpty())
            throw cancel(why);
    }
    // A file system may report a full disk only when the data reaches it.
    if (::fsync(out.handle()) != 0 && errno != EINVAL && errno != EROFS)
        throw cancel(QString::fromLocal8Bit(std::strerror(errno)));
    if (!out.commit())
        throw AppError(Messages::kCannotWrite.arg(QDir::toNativeSeparators(target), out.errorString()));
}

void SaveRow(const ReductionRecord& row, const QString& folder, NamingRule rule,
             QSet<QString>& savedBefore)
{
    // The work copy's name means nothing to the user: every refusal names the input file.
    const auto refusal = [&row](const QString& why) {
        return AppError(Messages::kRowNotSaved.arg(QDir::toNativeSeparators(row.inputPath), why));
    };
    if (!row.failure.isEmpty()) {
        QString reason = row.failure;
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        throw refusal(Messages::kReductionFailed.arg(reason));
    }
    const QString name = FileNamePart(row.inputPath);
    // A row without a file name would otherwise write into a file named only "-reduced".
    if (name.isEmpty())
        throw refusal(Messages::kNoFileName);
    const QString target = SaveTarget(folder, SavedName(name, rule));
    const QString key = QFileInfo(target).absoluteFilePath();
    if (savedBefore.contains(key))
        throw refusal(Messages::kSameNameSaved.arg(QDir::toNativeSeparators(key)));
    try {
        CopyReplacing(row.workCopy, target);
    } catch (const AppError& e) {
        throw refusal(e.description());
    }
    savedBefore.insert(key);
}

}  // namespace Results
