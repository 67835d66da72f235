#include "engine/run.h"

#include "core/busy.h"
#include "widgets/closewatch.h"
#include "widgets/controls.h"
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/filesize.h"
#include "core/leftovers.h"
#include "core/messages.h"
#include "engine/baranimator.h"
#include "engine/reduction.h"
#include "engine/workfolder.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

// A copy of this run and what a converter stopped midway left of it; nothing of another name.
void removeCopy(const QString& path)
{
    QFile::remove(path);
    RemoveHiddenTemporaries(path);
    Leftovers::forgetFile(path);
}

// Completes record with its size after, or with why the converter left no file.
void complete(ErrorTrap& trap, const ProcessReport& report, ReductionRecord& record)
{
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

// The records from index first on, which the user stopped before their conversion.
void recordStopped(ErrorTrap& trap, qsizetype first, ReductionRecords& records)
{
    for (qsizetype i = first; i < records.size(); ++i) {
        ReductionRecord& record = records[i];
        record.sizeAfter = Messages::kFailToReduce;
        record.failure = Messages::kRunStopped;
        record.stopped = true;
        STEP(trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
    }
}

// One converter in flight, with the wait's animation of the bar while its file is the one
// that started last.
struct Conversion {
    qsizetype index = 0;
    qint64 memory = 0;
    ProcessRunner runner;
    std::optional<BarAnimator> animator;
    Ticks ticks;
    bool ended = false;
};

// The conversions of one run, side by side: files start in list order while there is room
// (a worker free and the memory their pictures need), and each record is completed when its
// converter ends, in whatever order they end.
class Conversions {
public:
    Conversions(ErrorTrap& trap, const QString& converter, const RunParts& parts,
                ReductionRecords& records, int workers)
        : m_trap(trap), m_converter(converter), m_parts(parts), m_records(records),
          m_workers(workers), m_budget(ConversionMemoryBudget()),
          m_environment(ConverterEnvironment(ConverterThreads(workers)))
    {
    }

    // Starts files and returns once every file started has ended: all of them, or those
    // started before a stop was asked or a window closed.
    void run(const CloseWatch& closing)
    {
        for (;;) {
            while (!closing.closed() && m_next < m_records.size() && !stopAsked() && roomForNext())
                startNext();
            if (closing.closed() || m_inFlight.empty())
                return;
            // Sleeps until something happens: a converter ending, a tick or any window event.
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            for (std::size_t k = 0; k < m_inFlight.size();) {
                if (m_inFlight[k]->ended)
                    finish(k);
                else
                    ++k;
            }
        }
    }
    // How many files were started.
    qsizetype started() const { return m_next; }
    // Stops every converter in flight, each before this returns.
    void stopAll()
    {
        for (const auto& c : m_inFlight)
            c->runner.stop();
    }

private:
    bool stopAsked() const { return m_parts.stopAsked && m_parts.stopAsked(); }

    bool roomForNext()
    {
        if (!m_nextMemory)
            m_nextMemory = ConversionMemory(m_records.at(m_next).inputPath);
        return MayStartConversion(qsizetype(m_inFlight.size()), m_memoryInFlight, *m_nextMemory,
                                  m_workers, m_budget);
    }

    void startNext()
    {
        const qsizetype i = m_next++;
        const qint64 memory = m_nextMemory.value_or(0);
        m_nextMemory.reset();
        ReductionRecord& record = m_records[i];
        const qsizetype n = m_records.size();
        QString extension;
        ProgressBar& bar = *m_parts.bar;
        STEP(m_trap, bar.setValueReal(double(i + 1) / double(n) * 100.0));
        STEP(m_trap, bar.setBarText(Messages::kBarProcessing + FileNamePart(record.inputPath)));
        STEP(m_trap, bar.setFileNote(
                         Messages::kBarFileOfCount.arg(QString::number(i + 1), QString::number(n))));
        STEP(m_trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
        STEP(m_trap, extension = InputExtension(record.inputPath));
        STEP(m_trap, {
            record.workCopy = DrawOutputPath(WorkFolder(), extension, m_drawn);
            Leftovers::trackFile(record.workCopy);
        });
        if (record.workCopy.isEmpty()) {
            complete(m_trap, ProcessReport(), record);
            return;
        }
        auto owned = std::make_unique<Conversion>();
        Conversion& c = *owned;
        c.index = i;
        c.memory = memory;
        QObject::connect(&c.runner, &ProcessRunner::finished, [&c] { c.ended = true; });
        c.runner.setEnvironment(m_environment);
        const bool started = STEP(m_trap, {
            c.animator.emplace(bar, bar.barText(), bar.value(), int(n));
            c.runner.start(m_converter,
                           ConverterArguments(ColourCountFromText(m_parts.colourText()),
                                              record.workCopy, record.inputPath));
        });
        if (!started) {
            complete(m_trap, ProcessReport(), record);
            return;
        }
        m_inFlight.push_back(std::move(owned));
        m_memoryInFlight += memory;
        m_latest = &c;
        // Only the file that started last moves the bar.
        c.ticks.source().start([this, &c] {
            if (m_latest == &c && !c.ended)
                c.animator->tick();
        });
    }

    void finish(std::size_t k)
    {
        Conversion& c = *m_inFlight[k];
        c.ticks.source().stop();
        if (m_latest == &c) {
            STEP(m_trap, c.animator->restore());
            m_latest = nullptr;
        }
        complete(m_trap, c.runner.report(), m_records[c.index]);
        m_memoryInFlight -= c.memory;
        m_inFlight.erase(m_inFlight.begin() + qsizetype(k));
    }

    ErrorTrap& m_trap;
    const QString m_converter;
    const RunParts& m_parts;
    ReductionRecords& m_records;
    const int m_workers;
    const qint64 m_budget;
    const QProcessEnvironment m_environment;
    QSet<QString> m_drawn;
    std::vector<std::unique_ptr<Conversion>> m_inFlight;
    qsizetype m_next = 0;
    std::optional<qint64> m_nextMemory;
    qint64 m_memoryInFlight = 0;
    const Conversion* m_latest = nullptr;
};

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

int RunWorkers(int asked)
{
    return asked > 0 ? asked : std::max(1, QThread::idealThreadCount());
}

RunResult RunReduction(ErrorTrap& trap, const QStringList& inputs, const RunParts& parts)
{
    BusyOperation running;
    // Without a work folder and a converter of the user's own nothing is run or touched.
    QString converter;
    if (!STEP(trap, converter = PrepareConverter()))
        return {};

    ReductionRecords records(inputs.size());
    for (qsizetype i = 0; i < inputs.size(); ++i)
        records[i].inputPath = inputs.at(i);
    Conversions conversions(trap, converter, parts, records, RunWorkers(parts.workers));
    // Nobody is left to save or discard the copies once a window closes.
    CloseWatch closing([&records, &conversions] {
        conversions.stopAll();
        for (const ReductionRecord& r : std::as_const(records))
            if (!r.workCopy.isEmpty())
                removeCopy(r.workCopy);
    });
    for (QWidget* w : parts.windows)
        closing.watch(w);

    conversions.run(closing);
    STEP(trap, parts.bar->setFileNote(QString()));
    if (closing.closed())
        return {};
    recordStopped(trap, conversions.started(), records);

    STEP(trap, DeleteFileForced(BatchPath()));
    STEP(trap, parts.bar->setValueReal(0));
    STEP(trap, parts.bar->setBarText(Messages::kBarAtRest));
    return {RunEnd::Finished, records};
}
