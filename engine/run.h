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
    // True once the user has asked the run to stop: no conversion starts after that, and the
    // files not converted get records of their own (size before, "Fail to reduce", stopped).
    std::function<bool()> stopAsked;
    // Closing one of these windows stops the run: every converter in flight is stopped and the
    // run's copies are removed before the window's own close handling, which may end the
    // program at once.
    QList<QWidget*> windows;
    // How many files may be converted side by side (RunWorkers); fewer run at once when their
    // pictures together would need more memory than the run allows (ConversionMemoryBudget).
    int workers = 0;
};

enum class RunEnd {
    Finished,  // every input was handled or, asked to stop, recorded as stopped; the bar is at rest
    Stopped,   // a window was closed, or the converter could not be made ready
};

struct RunResult {
    RunEnd end = RunEnd::Stopped;
    // One per input, in order, when the run finished; their work copies are the caller's from
    // here on. A stopped run has removed its copies and hands back none.
    ReductionRecords records;
};

// Reduces inputs to the colour count of parts.colourText with the converter in the work
// folder: files start in list order, several converters run side by side, and the records come
// back in list order, exactly as a run of one file at a time would make them. When file i of n
// starts the bar is at i / n x 100 and reads "Processing: " + its name; the file that started
// last animates the bar while it runs. Counts as busy while it runs. A failing step is reported through trap and the
// run goes on; a work folder or a converter that cannot be used stops it before anything is
// touched.
RunResult RunReduction(ErrorTrap& trap, const QStringList& inputs, const RunParts& parts);

// The converters a run may keep side by side: asked, or one per core when asked is 0 or less.
int RunWorkers(int asked);

// Why a conversion left no file, from the converter's report: its own first line of standard
// error without its name and the input's path, or what the run saw.
QString FailureReason(const ProcessReport& report, const QString& inputPath);
