#include "results/save.h"

#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/messages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
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

std::optional<QString> KeptSubfolder(const ReductionRecord& record)
{
    if (record.addedFrom.isEmpty())
        return QString();
    // Only what the scan walked through counts: the text after the folder it began at.
    if (!record.inputPath.startsWith(record.addedFrom))
        return std::nullopt;
    const qsizetype start = record.addedFrom.size();
    const qsizetype nameAt = record.inputPath.lastIndexOf(QDir::separator()) + 1;
    if (nameAt <= start)
        return QString();
    const QStringView below = QStringView(record.inputPath).mid(start, nameAt - 1 - start);
    for (const QStringView part : below.tokenize(QDir::separator()))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
    return below.toString();
}

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return Messages::kKindFolder;
    if (S_ISFIFO(mode))
        return Messages::kKindPipe;
    if (S_ISSOCK(mode))
        return Messages::kKindSocket;
    return Messages::kKindDevice;
}

QString systemReason() { return QString::fromLocal8Bit(std::strerror(errno)); }

// The file a copy to target replaces: target itself, or the file its links lead to. Throws
// AppError when that is not a file.
QString fileToReplace(const QString& target)
{
    const QString shown = QDir::toNativeSeparators(target);
    const QByteArray native = QFile::encodeName(target);
    struct stat st;
    // Nothing there (or nothing to be learnt): the copy's own writing says what is wrong.
    if (::lstat(native.constData(), &st) != 0 || S_ISREG(st.st_mode))
        return target;
    if (!S_ISLNK(st.st_mode))
        throw AppError(Messages::kTargetNotAFile.arg(shown, kindOf(st.st_mode)));
    char resolved[PATH_MAX];
    if (!::realpath(native.constData(), resolved))
        throw AppError(Messages::kTargetLinkBroken.arg(shown, systemReason()));
    if (::stat(resolved, &st) != 0)
        throw AppError(Messages::kTargetLinkBroken.arg(shown, systemReason()));
    if (!S_ISREG(st.st_mode))
        throw AppError(Messages::kTargetLinkNotToAFile.arg(shown, kindOf(st.st_mode)));
    return QFile::decodeName(resolved);
}

}  // namespace

FileId CopyReplacing(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw AppError(Messages::kCannotRead.arg(QDir::toNativeSeparators(source), in.errorString()));

    const QString file = fileToReplace(target);
    const auto cannotWrite = [&file, &target](const QString& why) {
        if (file == target)
            return AppError(Messages::kCannotWrite.arg(QDir::toNativeSeparators(target), why));
        return AppError(Messages::kCannotWriteThroughLink.arg(
            QDir::toNativeSeparators(target), QDir::toNativeSeparators(file), why));
    };
    // QSaveFile refuses a read-only target and keeps an existing target's permissions. It does
    // not notice a write cut short, so every write goes to its descriptor and is checked here.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw cannotWrite(out.errorString());
    const auto cancel = [&out, &cannotWrite](const QString& why) {
        out.cancelWriting();
        return cannotWrite(why);
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
        throw cancel(systemReason());
    // The temporary file becomes the target by the rename.
    struct stat written;
    if (::fstat(out.handle(), &written) != 0)
        throw cancel(systemReason());
    if (!out.commit())
        throw cannotWrite(out.errorString());
    return FileId{static_cast<quint64>(written.st_dev), static_cast<quint64>(written.st_ino)};
}

QString SaveFolderProblem(const QString& folder)
{
    const int error = FolderWriteError(folder);
    if (error == 0)
        return QString();
    const QString shown = QDir::toNativeSeparators(folder);
    if (error == ENOSPC || error == EDQUOT)
        return Messages::kSaveFolderFull.arg(shown);
    return Messages::kSaveFolderNotWritable.arg(shown, QString::fromLocal8Bit(std::strerror(error)));
}

namespace {

// The path with every link resolved; empty when it cannot be.
QString resolved(const QString& path)
{
    char buffer[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), buffer))
        return QString();
    return QFile::decodeName(buffer);
}

bool isWithin(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder.endsWith(QDir::separator()) ? folder : folder + QDir::separator());
}

}  // namespace

Saving::Saving(const ReductionRecords& rows, const QString& folder, NamingRule rule, Layout layout)
    : m_rows(rows), m_folder(folder), m_rule(rule), m_layout(layout)
{
    m_inputIds.reserve(rows.size());
    for (const ReductionRecord& r : rows) {
        m_inputIds << FileIdOf(r.inputPath);
        if (m_inputIds.last())
            m_inputs.insert(*m_inputIds.last());
    }
}

void Saving::saveRow(qsizetype index)
{
    const ReductionRecord& row = m_rows.at(index);
    // The work copy's name means nothing to the user: every refusal names the input file.
    const auto refusal = [&row](const QString& why) {
        return AppError(Messages::kRowNotSaved.arg(QDir::toNativeSeparators(row.inputPath), why));
    };
    if (row.stopped)
        return;
    if (row.failed()) {
        QString reason = row.failure;
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        throw refusal(Messages::kReductionFailed.arg(reason));
    }
    const QString name = FileNamePart(row.inputPath);
    // A row without a file name would otherwise write into a file named only "-reduced".
    if (name.isEmpty())
        throw refusal(Messages::kNoFileName);
    QString folder;
    try {
        folder = folderFor(row);
    } catch (const AppError& e) {
        throw refusal(e.description());
    }
    const QString target = QFileInfo(SaveTarget(folder, SavedName(name, m_rule))).absoluteFilePath();
    const QString shown = QDir::toNativeSeparators(target);
    const std::optional<FileId> existing = FileIdOf(target);
    if (const QString saved = savedAs(target, existing); !saved.isEmpty()) {
        if (saved == target)
            throw refusal(Messages::kSameNameSaved.arg(shown));
        throw refusal(Messages::kSameFileSaved.arg(shown, QDir::toNativeSeparators(saved)));
    }
    // Its own input is what "Save x.pcx as x.pcx" replaces.
    if (existing && existing != m_inputIds.at(index) && m_inputs.contains(*existing))
        throw refusal(Messages::kInputOfAnotherRow.arg(shown));
    FileId written;
    try {
        written = CopyReplacing(row.workCopy, target);
    } catch (const AppError& e) {
        throw refusal(e.description());
    }
    m_written.insert(written, target);
    m_writtenPaths.insert(target.toCaseFolded(), target);
}

QString Saving::folderFor(const ReductionRecord& row)
{
    if (m_layout == Layout::Flat)
        return m_folder;
    // Rows come folder by folder: a row of the last row's folder goes where that one went.
    const QStringView folderOfInput =
        QStringView(row.inputPath).left(row.inputPath.lastIndexOf(QDir::separator()) + 1);
    if (m_last && folderOfInput == m_lastInputFolder && row.addedFrom == m_lastAddedFrom) {
        if (!m_last->problem.isEmpty())
            throw AppError(m_last->problem);
        return m_last->path;
    }
    const std::optional<QString> subfolder = KeptSubfolder(row);
    if (!subfolder)
        throw AppError(Messages::kSubfolderUnsafe);
    if (subfolder->isEmpty())
        return m_folder;
    auto known = m_subfolders.constFind(*subfolder);
    if (known == m_subfolders.cend()) {
        const QString problem = madeSubfolder(*subfolder);
        known = m_subfolders.insert(*subfolder, {problem, m_folder + QDir::separator() + *subfolder});
    }
    m_last = *known;
    m_lastInputFolder = folderOfInput.toString();
    m_lastAddedFrom = row.addedFrom;
    if (!known->problem.isEmpty())
        throw AppError(known->problem);
    return known->path;
}

QString Saving::madeSubfolder(const QString& subfolder)
{
    if (m_resolvedFolder.isEmpty())
        m_resolvedFolder = resolved(m_folder);
    QString path = m_folder;
    for (const QString& part : subfolder.split(QDir::separator())) {
        path += QDir::separator() + part;
        const QString shown = QDir::toNativeSeparators(QDir::cleanPath(path));
        const QByteArray native = QFile::encodeName(path);
        struct stat st;
        if (::stat(native.constData(), &st) != 0) {
            if (::mkdir(native.constData(), 0777) != 0)
                return Messages::kSubfolderNotMade.arg(shown, systemReason());
            continue;  // made here, inside a folder already found to be inside
        }
        if (!S_ISDIR(st.st_mode))
            return Messages::kSubfolderInTheWay.arg(shown);
        // A link among the folders may lead anywhere: only a folder inside is written into.
        if (m_resolvedFolder.isEmpty() || !isWithin(resolved(path), m_resolvedFolder))
            return Messages::kSubfolderOutside.arg(shown);
    }
    return QString();
}

QString Saving::savedAs(const QString& target, const std::optional<FileId>& existing) const
{
    if (existing) {
        if (const auto saved = m_written.constFind(*existing); saved != m_written.cend())
            return *saved;
    }
    const auto saved = m_writtenPaths.constFind(target.toCaseFolded());
    if (saved == m_writtenPaths.cend())
        return QString();
    if (*saved == target)
        return *saved;
    // Some mounts that ignore case (FUSE without inode numbers) give each spelling of a name an
    // inode of its own: a name the folder finds but does not list is another spelling.
    const QFileInfo info(target);
    const QStringList listed = info.dir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
    return existing && !listed.contains(info.fileName()) ? *saved : QString();
}

}  // namespace Results
