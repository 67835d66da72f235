// Saving the reduced copies: the naming rules and a copy that never leaves a partial file.
// Plain functions, so saving can be checked without a window.
#pragma once

#include "core/records.h"

#include <QSet>
#include <QString>

namespace Results {

enum class NamingRule {
    Reduced,  // "Save x.pcx as x-reduced.pcx"
    Own,      // "Save x.pcx as x.pcx"
};

// The saved copy's name for an input file name. The stem ends at the last ".", so
// "scan.01.pcx" becomes "scan.01-reduced.pcx" and letter case is kept; a name without
// any "." is taken whole as the stem ("README" becomes "README-reduced").
QString SavedName(const QString& inputName, NamingRule rule);

// The folder text as the user left it, a separator, and the name. A folder that already
// ends in a separator gives a doubled one, which the file system reads as one.
QString SaveTarget(const QString& folder, const QString& name);

// Copies source to target. An existing target is replaced only once the whole copy is
// written (temporary file beside it, then rename), so a failed copy leaves it as it was.
// Throws AppError naming the file and the reason.
void CopyReplacing(const QString& source, const QString& target);

// Saves one row: the copy of row.workCopy named after row.inputPath under rule, into folder.
// savedBefore holds the files this save has written so far; a row whose name is among them
// (two inputs of the same name from different folders) is refused rather than written over
// the other's copy. A row whose reduction failed is refused with the failure. Throws AppError
// naming the input file and the reason when the row cannot be saved.
void SaveRow(const ReductionRecord& row, const QString& folder, NamingRule rule,
             QSet<QString>& savedBefore);

}  // namespace Results
