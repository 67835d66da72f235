#include "engine/run.h"

#include "core/busy.h"
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/filesize.h"
#include "core/leftovers.h"
#include "core/messages.h"
#include "core/progress.h"
#include "core/services.h"
#include "engine/palettepass.h"
#include "engine/reduction.h"
#include "engine/shellandwait.h"
#include "engine/workfolder.h"

#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
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

// record, failed with reason before any conversion of it.
void recordFailed(ErrorTrap& trap, ReductionRecord& record, const QString& reason)
{
    record.sizeAfter = Messages::kFailToReduce;
    record.failure = reason;
    STEP(trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
}

// record, which the user stopped before its conversion came to an end.
void recordStopped(ErrorTrap& trap, ReductionRecord& record)
{
    record.sizeAfter = Messages::kFailToReduce;
    record.failure = Messages::kRunStopped;
    record.stopped = true;
    STEP(trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
    if (!record.workCopy.isEmpty())
        removeCopy(std::exchange(record.workCopy, QString()));
}

// How the files of a run are converted once its palette is known.
struct FilePlan {
    ConversionChoice choice;
    // The files the palette pass left out, by their place, with its reasons.
    QHash<qsizetype, QString> leftOut;
};

// The palette pass's files in the work folder, drawn as the copies are and known to Leftovers
// until they are removed, at the latest with this.
class PassFiles {
public:
    explicit PassFiles(QSet<QString>& drawn) : m_drawn(drawn) {}
    ~PassFiles() { removeAll(); }
    PassFiles(const PassFiles&) = delete;
    PassFiles& operator=(const PassFiles&) = delete;

    QString draw(const QString& extension)
    {
        const QString path = DrawOutputPath(WorkFolder(), extension, m_drawn);
        Leftovers::trackFile(path);
        m_paths << path;
        return path;
    }
    void removeAll()
    {
        for (const QString& path : std::as_const(m_paths))
            removeCopy(path);
        m_paths.clear();
    }

private:
    QSet<QString>& m_drawn;
    QStringList m_paths;
};

// One converter in flight.
struct Conversion {
    qsizetype index = 0;
    qint64 memory = 0;
    ShellAndWait wait;
    // The user ended it before it came to its end.
    bool stopped = false;
};

// The conversions of one run, side by side: files start in list order while there is room
// (a worker free and the memory their pictures need), and each record is completed when its
// converter ends, in whatever order they end. Everything after the first starts happens in
// the converters' signals, so whichever event loop runs carries the run on.
class Conversions {
public:
    Conversions(ErrorTrap& trap, const QString& converter, const QProcessEnvironment& environment,
                const RunParts& parts, const FilePlan& plan, ReductionRecords& records,
                QSet<QString>& drawn, int workers)
        : m_trap(trap), m_converter(converter), m_parts(parts), m_plan(plan), m_records(records),
          m_drawn(drawn), m_workers(workers), m_budget(ConversionMemoryBudget()),
          m_environment(environment)
    {
    }

    // Starts the files there is room for; the rest start as those end.
    void begin() { fill(); }
    // Every file started has ended and no more will start, or the run was told to stop now.
    bool over() const
    {
        return m_closed
            || (m_inFlight.empty() && !m_filling
                && (m_next == m_records.size() || m_stopAsked));
    }
    bool closed() const { return m_closed; }
    // How many files were started.
    qsizetype started() const { return m_next; }

    // RunControl::stopAsked.
    void askToStop()
    {
        m_stopAsked = true;
        for (const auto& c : m_inFlight) {
            c->stopped = true;
            c->wait.stop();
        }
    }
    // RunControl::stopNow: nothing of the run may outlive this.
    void stopNow()
    {
        m_closed = true;
        for (const auto& c : m_inFlight)
            c->wait.stop();
        for (const ReductionRecord& r : std::as_const(m_records))
            if (!r.workCopy.isEmpty())
                removeCopy(r.workCopy);
    }

private:
    // A box opened while starting (an error report) lets others end meanwhile: the starts
    // they would make are left to the outer fill.
    void fill()
    {
        if (m_filling)
            return;
        m_filling = true;
        while (!m_closed && !m_stopAsked && m_next < m_records.size() && roomForNext())
            startNext();
        m_filling = false;
    }

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
        Progress& progress = *m_parts.progress;
        QString extension;
        QStringList arguments;
        STEP(m_trap, progress.setValueReal(double(i + 1) / double(n) * 100.0));
        STEP(m_trap, progress.setBarText(Messages::kBarProcessing + FileNamePart(record.inputPath)));
        STEP(m_trap, progress.setFileNote(
                         Messages::kBarFileOfCount.arg(QString::number(i + 1), QString::number(n))));
        STEP(m_trap, record.sizeBefore = FormatSizeText(FileSize2(record.inputPath)));
        STEP(m_trap, extension = InputExtension(record.inputPath));
        STEP(m_trap, {
            record.workCopy = DrawOutputPath(WorkFolder(), extension, m_drawn);
            Leftovers::trackFile(record.workCopy);
        });
        if (const auto out = m_plan.leftOut.constFind(i); out != m_plan.leftOut.constEnd()) {
            record.sizeAfter = Messages::kFailToReduce;
            record.failure = *out;
            return;
        }
        const bool ready = !record.workCopy.isEmpty() && STEP(m_trap, {
            arguments = ConverterArguments(ColourCountFromText(m_parts.colourText()),
                                           record.workCopy, record.inputPath, m_plan.choice);
        });
        if (!ready) {
            complete(m_trap, ProcessReport(), record);
            return;
        }
        auto owned = std::make_unique<Conversion>();
        Conversion& c = *owned;
        c.index = i;
        c.memory = memory;
        c.wait.setEnvironment(m_environment);
        QObject::connect(&c.wait, &ShellAndWait::finished, &c.wait, [this, &c] { ended(c); });
        // Only the file that started last moves the bar.
        if (m_latest)
            m_latest->wait.releaseProgress();
        m_latest = &c;
        m_inFlight.push_back(std::move(owned));
        m_memoryInFlight += memory;
        // Last: the wait's ticks may run any event, a window's close among them, which finds
        // this conversion in flight.
        c.wait.start(m_converter, arguments, kHiddenWindow, &progress, progress.barText(),
                     int(std::lround(progress.valueReal())), int(n));
    }

    void ended(Conversion& c)
    {
        if (m_closed)
            return;
        const auto at = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                     [&c](const auto& p) { return p.get() == &c; });
        if (at == m_inFlight.end())
            return;
        std::unique_ptr<Conversion> owned = std::move(*at);
        m_inFlight.erase(at);
        // Those that ended before are out of their signals, unless this one ends inside one
        // of theirs (a box opened there).
        if (m_endings == 0)
            m_ended.clear();
        ++m_endings;
        const auto left = qScopeGuard([this] { --m_endings; });
        if (m_latest == &c)
            m_latest = nullptr;
        m_memoryInFlight -= c.memory;
        ReductionRecord& record = m_records[c.index];
        // One that wrote its file before the request came is done, not stopped.
        if (c.stopped && !IsNormalFile(record.workCopy))
            recordStopped(m_trap, record);
        else
            complete(m_trap, c.wait.report(), record);
        m_ended.push_back(std::move(owned));
        fill();
    }

    ErrorTrap& m_trap;
    const QString m_converter;
    const RunParts& m_parts;
    const FilePlan& m_plan;
    ReductionRecords& m_records;
    QSet<QString>& m_drawn;
    const int m_workers;
    const qint64 m_budget;
    const QProcessEnvironment m_environment;
    std::vector<std::unique_ptr<Conversion>> m_inFlight;
    // Ended, kept until no signal of theirs can still be under way.
    std::vector<std::unique_ptr<Conversion>> m_ended;
    qsizetype m_next = 0;
    std::optional<qint64> m_nextMemory;
    qint64 m_memoryInFlight = 0;
    Conversion* m_latest = nullptr;
    bool m_filling = false;
    int m_endings = 0;
    bool m_closed = false;
    bool m_stopAsked = false;
};

}  // namespace

QString FailureReason(const ProcessReport& report, const QString& inputPath)
{
    if (report.startError != 0)
        return Messages::kConverterNotStarted.arg(
            QString::fromLocal8Bit(std::strerror(report.startError)));
    // Whatever it wrote before, a converter killed never came to say why it failed.
    if (report.crashed)
        return Messages::kConverterKilled.arg(report.exitCode).arg(
            QString::fromLocal8Bit(::strsignal(report.exitCode)));
    QString errorOutput = QString::fromLocal8Bit(report.errorOutput);
    // The input's name comes first, as it is (a line end in it too) or as a line of the
    // converter's own writes it.
    const QString program = QStringLiteral("palettrim-convert: ");
    if (!inputPath.isEmpty())
        for (const QString& name : {inputPath, QString::fromLocal8Bit(ConverterLineName(inputPath))})
            errorOutput.replace(program + name + QStringLiteral(": "), program);
    QString line;
    // A warning says what was written, never why nothing was.
    for (const QString& l : errorOutput.split(QLatin1Char('\n'))) {
        line = l.trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1String("warning:")))
            break;
        line.clear();
    }
    if (line.isEmpty())
        return Messages::kConverterWroteNothing.arg(report.exitCode);
    // "palettrim-convert: /the/input.pcx: the file is truncated" says "the file is truncated".
    for (const QString& prefix : {program, inputPath + QStringLiteral(": ")})
        if (line.startsWith(prefix) && line.size() > prefix.size())
            line.remove(0, prefix.size());
    return line;
}

int RunWorkers(int asked)
{
    return asked > 0 ? asked : std::max(1, QThread::idealThreadCount());
}

namespace {

// The requests to stop that came while the run went on.
struct Stops {
    bool asked = false;
    bool now = false;
};

enum class PassEnd {
    Ready,     // the files may be converted to the palette
    Unusable,  // the work folder could not take the pass's files; reported
    Stopped,   // asked to stop before the palette came
    Closed,    // told to stop now
    Refused,   // the palette file of a Given run cannot be read
    Failed,    // the pool wrote no palette
};

// Makes the palette of a Shared or Given run and waits for it; plan takes what the files need
// of it, reason why there is none.
PassEnd makePalette(ErrorTrap& trap, PalettePass& pass, PassFiles& files, const QStringList& inputs,
                    const RunParts& parts, const Stops& stops, FilePlan& plan, QString& reason)
{
    const RunChoice& choice = parts.choice;
    const bool started = choice.palette == PaletteKind::Shared
        ? STEP(trap, {
              const QString names = files.draw(QStringLiteral("names"));
              plan.choice.palette = files.draw(QStringLiteral("act"));
              pass.gather(inputs, ColourCountFromText(parts.colourText()), choice.keyColour, names,
                          plan.choice.palette);
          })
        : STEP(trap, {
              plan.choice.palette = choice.paletteFile;
              pass.check(choice.paletteFile, files.draw(QStringLiteral("act")));
          });
    if (!started)
        return PassEnd::Unusable;
    while (pass.running() && !stops.now)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (stops.now)
        return PassEnd::Closed;
    if (stops.asked)
        return PassEnd::Stopped;
    const PalettePass::Outcome& outcome = pass.outcome();
    if (!outcome.written) {
        reason = outcome.reason;
        plan.leftOut = outcome.leftOut;
        return choice.palette == PaletteKind::Shared ? PassEnd::Failed : PassEnd::Refused;
    }
    plan.leftOut = outcome.leftOut;
    plan.choice.keyColour = choice.keyColour;
    if (choice.palette == PaletteKind::Given && outcome.entries > 0) {
        const QString name = FileNamePart(choice.paletteFile);
        STEP(trap, parts.progress->setBarText(
                       outcome.entries == 1 ? Messages::kBarPaletteOfOne.arg(name)
                                            : Messages::kBarPaletteOf.arg(name).arg(outcome.entries)));
    }
    return PassEnd::Ready;
}

// How the copies of a run are made beyond their colour count; pooled: the files a Shared
// run's palette was made from.
QString madeWith(const RunChoice& choice, qsizetype pooled)
{
    QStringList said;
    if (choice.palette == PaletteKind::Shared)
        said << (pooled == 1 ? Messages::kMadeSharedOne : Messages::kMadeShared.arg(pooled));
    else if (choice.palette == PaletteKind::Given)
        said << Messages::kMadeGiven.arg(FileNamePart(choice.paletteFile));
    if (choice.dither == Dither::Diffuse)
        said << (said.isEmpty() ? Messages::kMadeDitheredAlone : Messages::kMadeDithered);
    else if (choice.dither == Dither::Pattern)
        said << (said.isEmpty() ? Messages::kMadePatternDitheredAlone : Messages::kMadePatternDithered);
    return said.join(QStringLiteral(", "));
}

RunResult finished(ErrorTrap& trap, const RunParts& parts, const ReductionRecords& records)
{
    STEP(trap, parts.progress->setFileNote(QString()));
    STEP(trap, DeleteFileForced(BatchPath()));
    STEP(trap, parts.progress->setValueReal(0));
    STEP(trap, parts.progress->setBarText(Messages::kBarAtRest));
    return {RunEnd::Finished, records, QString()};
}

}  // namespace

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
    const int workers = RunWorkers(services().runWorkers);
    QSet<QString> drawn;
    PassFiles passFiles(drawn);
    // The pass runs alone, so it may use every core.
    PalettePass pass(converter, ConverterEnvironment(), *parts.progress);
    FilePlan plan;
    plan.choice.dither = parts.choice.dither;
    Conversions conversions(trap, converter, ConverterEnvironment(ConverterThreads(workers)), parts,
                            plan, records, drawn, workers);
    Stops stops;
    const QObject listening;
    if (parts.control) {
        QObject::connect(parts.control, &RunControl::stopAsked, &listening, [&] {
            stops.asked = true;
            pass.stop();
            conversions.askToStop();
        });
        QObject::connect(parts.control, &RunControl::stopNow, &listening, [&] {
            stops.now = true;
            pass.stop();
            conversions.stopNow();
            passFiles.removeAll();
        });
    }

    if (parts.choice.palette != PaletteKind::Own) {
        QString reason;
        switch (makePalette(trap, pass, passFiles, inputs, parts, stops, plan, reason)) {
        case PassEnd::Ready:
            break;
        case PassEnd::Unusable:
        case PassEnd::Closed:
            return {};
        case PassEnd::Refused:
            return {RunEnd::Refused, {}, reason};
        case PassEnd::Stopped:
            for (ReductionRecord& r : records)
                recordStopped(trap, r);
            return finished(trap, parts, records);
        case PassEnd::Failed:
            for (qsizetype i = 0; i < records.size(); ++i)
                recordFailed(trap, records[i], plan.leftOut.value(i, reason));
            return finished(trap, parts, records);
        }
    }
    const QString made = madeWith(parts.choice, pass.handedOver() - plan.leftOut.size());
    for (ReductionRecord& r : records)
        r.madeWith = made;

    conversions.begin();
    // Only waits: the conversions carry on from their own signals.
    while (!conversions.over())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    STEP(trap, parts.progress->setFileNote(QString()));
    if (conversions.closed())
        return {};
    for (qsizetype i = conversions.started(); i < records.size(); ++i)
        recordStopped(trap, records[i]);
    return finished(trap, parts, records);
}
