#include "engine/run.h"

#include "core/busy.h"
#include "core/closewatch.h"
#include "core/controls.h"
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/filesize.h"
#include "core/leftovers.h"
#include "core/messages.h"
#include "engine/reduction.h"
#include "engine/shellandwait.h"
#include "engine/workfolder.h"

#include <QFile>
#include <QSet>

#include <cstring>

namespace {

// A copy of this run and what a converter stopped midway left of it; nothing of another name.
void removeCopy(const QString& path)
{
    QFile::remove(path);
    RemoveHiddenTemporaries(path);
    Leftovers::forgetFile(path);
}

// One file through the converter; completes record with its size after or why it failed.
void convertOne(ErrorTrap& trap, const QString& converter, const QProcessEnvironment& environment,
                const RunParts& parts, qsizetype count, ReductionRecord& record)
{
    ProcessReport report;
    if (!record.workCopy.isEmpty()) {
        STEP(trap, {
            BarAnimator animator(*parts.bar, parts.bar->barText(), parts.bar->value(),
                                 static_cast<int>(count));
            report = WaitForProgram(converter,
                                    ConverterArguments(ColourCountFromText(parts.colourText()),
                                                       record.workCopy, record.inputPath),
                                    &animator, &environment);
        });
    }
    // Success is an output file, whatever the converter's exit code said.
    STEP(trap, {
        if (IsNormalFile(record.workCopy)) {
            record.sizeAfter = FormatSizeText(FileSize2(record.workCopy));
        } else {
            record.sizeAfter = Messages::kFailToReduce;
            record.failure = FailureReason(report, record.inputPath);
            // A converter that crashed leaves what it was writing.
            if (!record.workCopy.isEmpty())
                RemoveHiddenTemporaries(record.workCopy);
        }
    });
}

// The records of inputs from index first on, which the user stopped before their conversion.
void recordStopped(ErrorTrap& trap, const QStringList& inputs, qsizetype first,
                   ReductionRecords& records)
{
    for (qsizetype i = first; i < inputs.size(); ++i) {
        ReductionRecord record{inputs.at(i), QString(), QString(), Messages::kFailToReduce,
                               Messages::kRunStopped, true};
        STEP(trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
        records.append(record);
    }
}

}  // namespace

QString FailureReason(const ProcessReport& report, const QString& inputPath)
{
    if (report.startError != 0)
        return Messages::kConverterNotStarted.arg(
            QString::fromLocal8Bit(std::strerror(report.startError)));
    const QString errorOutput = QString::fromLocal8Bit(report.errorOutput);
    QString line;
    for (const QString& l : errorOutput.split(QLatin1Char('\n'))) {
        line = l.trimmed();
        if (!line.isEmpty())
            break;
    }
    if (line.isEmpty())
        return Messages::kConverterWroteNothing.arg(report.exitCode);
    // "palettrim-convert: /the/input.pcx: the file is truncated" says "the file is truncated".
    for (const QString& prefix : {QStringLiteral("palettrim-convert: "), inputPath + QStringLiteral(": ")})
        if (line.startsWith(prefix) && line.size() > prefix.size())
            line.remove(0, prefix.size());
    return line;
}

RunResult RunReduction(ErrorTrap& trap, const QStringList& inputs, const RunParts& parts)
{
    BusyOperation running;
    // Without a work folder and a converter of the user's own nothing is run or touched.
    QString converter;
    if (!STEP(trap, converter = PrepareConverter()))
        return {};

    ReductionRecords records;
    // Nobody is left to save or discard the copies once a window closes.
    CloseWatch closing([&records] {
        CancelWait();
        for (const ReductionRecord& r : std::as_const(records))
            if (!r.workCopy.isEmpty())
                removeCopy(r.workCopy);
    });
    for (QWidget* w : parts.windows)
        closing.watch(w);

    const QProcessEnvironment environment = ConverterEnvironment();
    const qsizetype n = inputs.size();
    QSet<QString> drawn;
    for (qsizetype i = 0; i < n && !closing.closed(); ++i) {
        if (parts.stopAsked && parts.stopAsked()) {
            recordStopped(trap, inputs, i, records);
            break;
        }
        records.append({inputs.at(i), QString(), QString(), QString(), QString()});
        ReductionRecord& record = records.last();
        QString extension;
        STEP(trap, parts.bar->setValueReal(double(i + 1) / double(n) * 100.0));
        STEP(trap, parts.bar->setBarText(Messages::kBarProcessing + FileNamePart(record.inputPath)));
        STEP(trap, parts.bar->setFileNote(
                       Messages::kBarFileOfCount.arg(QString::number(i + 1), QString::number(n))));
        STEP(trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
        STEP(trap, extension = InputExtension(record.inputPath));
        STEP(trap, {
            record.workCopy = DrawOutputPath(WorkFolder(), extension, drawn);
            Leftovers::trackFile(record.workCopy);
        });
        convertOne(trap, converter, environment, parts, n, record);
    }
    STEP(trap, parts.bar->setFileNote(QString()));
    if (closing.closed())
        return {};

    STEP(trap, DeleteFileForced(BatchPath()));
    STEP(trap, parts.bar->setValueReal(0));
    STEP(trap, parts.bar->setBarText(Messages::kBarAtRest));
    return {RunEnd::Finished, records};
}
