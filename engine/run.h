// The reduction run behind "Start Reducing": every input through the converter, one record per
// file, without knowing either window.
#pragma once

#include "core/records.h"
#include "engine/processrunner.h"

#include <QList>
#include <QStringList>
#include <functional>

class ErrorTrap;
class ProgressBar;
class QWidget;

struct RunParts {
    // Shows which file is converted, and the wait.
    ProgressBar* bar = nullptr;
    // The colour box's current text; read again for every file, so a change made while a file
    // is converted counts from the next file on.
    std::function<QString()> colourText;
    // Called once the converter is ready, before the first file: the results are emptied.
    std::function<void()> clearResults;
    // Called with record index each time it is made or completed: first with its size before,
    // then with its work copy, then with its size after or its failure.
    std::function<void(qsizetype index, const ReductionRecord& record)> record;
    // True once the user has asked the run to stop: no conversion starts after that, and the
    // files not converted get records of their own (size before, "Fail to reduce", stopped).
    std::function<bool()> stopAsked;
    // Closing one of these windows stops the run: the converter is killed and the run's copies
    // are removed before the window's own close handling, which may end the program at once.
    QList<QWidget*> windows;
};

enum class RunEnd {
    Finished,  // every input was handled or, asked to stop, recorded as stopped; the bar is at rest
    Stopped,   // a window was closed, or the converter could not be made ready
};

// Reduces inputs, in order, to the colour count of parts.colourText with the converter in the
// work folder, and hands every record to parts.record. Counts as busy while it runs. A failing
// step is reported through trap and the run goes on; a work folder or a converter that cannot
// be used stops it before anything is touched.
RunEnd RunReduction(ErrorTrap& trap, const QStringList& inputs, const RunParts& parts);

// Why a conversion left no file, from the converter's report: its own first line of standard
// error without its name and the input's path, or what the run saw.
QString FailureReason(const ProcessReport& report, const QString& inputPath);
