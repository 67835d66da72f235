// Saving the reduced copies: the naming rules and a copy that never leaves a partial file.
// Plain code, so saving can be checked without a window.
#pragma once

#include "core/fileops.h"
#include "core/records.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace Results {

enum class NamingRule {
    Reduced,  // "Save x.pcx as x-reduced.pcx"
    Own,      // "Save x.pcx as x.pcx"
};

// The saved copy's name for an input file name. The stem ends at the last ".", so
// "scan.01.pcx" becomes "scan.01-reduced.pcx" and letter case is kept; a name without
// any "." is taken whole as the stem ("README" becomes "README-reduced").
QString SavedName(const QString& inputName, NamingRule rule);

// Where the copies go below the folder saved into.
enum class Layout {
    Flat,            // "Save Results": every copy in the folder itself
    KeepSubfolders,  // each copy in the subfolders of its input below the folder it was added from
};

// The subfolders of a record's input below the folder it was added from, joined by the
// separator ("walk" or "hero/walk"); empty when it was added on its own or lies in that folder
// itself. Nothing when they cannot be kept safely: the input does not lie below that folder, or
// a part is empty, "." or "..".
std::optional<QString> KeptSubfolder(const ReductionRecord& record);

// The folder text as the user left it, a separator, and the name. A folder that already
// ends in a separator gives a doubled one, which the file system reads as one.
QString SaveTarget(const QString& folder, const QString& name);

// Copies source to target. An existing target is replaced only once the whole copy is
// written and synced (temporary file beside it, then rename), so a failed copy leaves it as it
// was. A target that is a link to a file is followed, as cp does: the copy is written beside
// the file it leads to and renamed over it there. A target that is not a file (a folder, a
// named pipe, a device, a socket, a link to one of those or to nothing) is left as it is. Gives
// the file now at target. Throws AppError naming the file and the reason.
FileId CopyReplacing(const QString& source, const QString& target);

// Why nothing can be saved into folder, as the user reads it (it cannot take a new file, and
// why); empty when it can. Leaves nothing behind.
QString SaveFolderProblem(const QString& folder);

// One press of "Save Results": the run's rows, and the folder and naming rule as they were
// when it was pressed, so changing either meanwhile affects only the next save.
class Saving {
public:
    // Notes which file each row's input is now: no row's copy may replace another's input.
    Saving(const ReductionRecords& rows, const QString& folder, NamingRule rule,
           Layout layout = Layout::Flat);

    qsizetype rowCount() const { return m_rows.size(); }
    // Saves row index: its reduced copy under the rule's name into the folder, replacing a file
    // of that name. A row the user stopped before its conversion is passed over. Refused, with AppError naming the input file and the reason, when the
    // reduction failed, when the target is the input of another row of the run, or when it is
    // a file this save has already written (two inputs of one name, two names of one file
    // through a link or a folder that ignores letter case); files are compared as the file
    // system knows them, never by path text. Keeping subfolders, the row's missing subfolders
    // are made first; it is refused when one of them is a file, cannot be made, or leads out
    // of the folder through a link.
    void saveRow(qsizetype index);
    // How many files this save has written.
    qsizetype savedCount() const { return m_written.size(); }

private:
    // The folder below m_folder that row's copy goes into, made as needed; throws AppError with
    // the reason it cannot be used.
    QString folderFor(const ReductionRecord& row);
    QString madeSubfolder(const QString& subfolder);
    // The path a file this save wrote was saved as, when target (now existing) is that file.
    QString savedAs(const QString& target, const std::optional<FileId>& existing) const;

    ReductionRecords m_rows;
    QString m_folder;
    NamingRule m_rule;
    Layout m_layout;
    // The folder saved into as the file system resolves it, once a subfolder needs it.
    QString m_resolvedFolder;
    // Each subfolder met: why it cannot be used (empty when it can), and its path.
    struct Subfolder {
        QString problem;
        QString path;
    };
    QHash<QString, Subfolder> m_subfolders;
    // The last row's: the folder of its input, the folder it was added from, and where it went.
    std::optional<Subfolder> m_last;
    QString m_lastInputFolder;
    QString m_lastAddedFrom;
    QList<std::optional<FileId>> m_inputIds;  // per row
    QSet<FileId> m_inputs;
    QHash<FileId, QString> m_written;  // the path each was saved as
    QHash<QString, QString> m_writtenPaths;  // the same paths, by their case-folded text
};

}  // namespace Results
