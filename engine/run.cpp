#include "engine/run.h"

#include "core/busy.h"
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/filesize.h"
#include "core/leftovers.h"
#include "core/messages.h"
#include "core/progress.h"
#include "core/services.h"
#include "engine/chunkconverter.h"
#include "engine/failure.h"
#include "engine/palettepass.h"
#include "engine/reduction.h"
#include "engine/shellandwait.h"
#include "engine/workfolder.h"
#include "lineformat.h"

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

// One file in flight: in a converter of its own, or handed to one it shares with other files.
struct Conversion {
    qsizetype index = 0;
    qint64 memory = 0;
    // What its converter is told besides the names.
    QStringList options;
    std::unique_ptr<ShellAndWait> alone;
    // Owned by the run.
    ChunkConverter* shared = nullptr;
    // The user ended it before it came to its end.
    bool stopped = false;
};

// The conversions of one run, side by side: files start in list order while there is room
// (a worker free and the memory their pictures need), and each record is completed when its
// converter says it has ended, in whatever order they end. A small file is handed to a
// converter that takes the run's small files one after another (ChunkFiles of them, then
// another starts), so that the run pays few starts, with the next in its pipe while it is on
// one; a large one gets a converter of its own.
// One that dies with a file in hand has that file, and the one behind it, converted again
// alone, and the files after them go to a new converter. Everything after the first starts
// happens in the converters' signals, so whichever event loop runs carries the run on.
class Conversions {
public:
    Conversions(ErrorTrap& trap, const QString& converter, const QProcessEnvironment& environment,
                const RunParts& parts, const FilePlan& plan, ReductionRecords& records,
                QSet<QString>& drawn, int workers)
        : m_trap(trap), m_converter(converter), m_parts(parts), m_plan(plan), m_records(records),
          m_drawn(drawn), m_workers(workers), m_budget(ConversionMemoryBudget()),
          m_chunkFiles(ChunkFiles(services().chunkFiles)), m_environment(environment)
    {
    }

    // Starts the files there is room for; the rest start as those end.
    void begin() { fill(); }
    // Every file started has ended, no more will start and every converter has ended, or the
    // run was told to stop now.
    bool over() const
    {
        return m_closed
            || (m_inFlight.empty() && !m_filling && (m_next == m_records.size() || m_stopAsked)
                && std::none_of(m_converters.begin(), m_converters.end(),
                                [](const auto& c) { return c->alive(); }));
    }
    bool closed() const { return m_closed; }
    // How many files were started.
    qsizetype started() const { return m_next; }

    // RunControl::stopAsked.
    void askToStop()
    {
        m_stopAsked = true;
        for (const auto& c : m_inFlight)
            c->stopped = true;
        for (const auto& c : m_inFlight)
            if (c->alone)
                c->alone->stop();
        for (const auto& s : m_converters)
            if (s->idle())
                s->close();
            else if (s->alive())
                s->stop();
    }
    // RunControl::stopNow: nothing of the run may outlive this.
    void stopNow()
    {
        m_closed = true;
        for (const auto& c : m_inFlight)
            if (c->alone)
                c->alone->stop();
        for (const auto& s : m_converters)
            s->stop();
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
        // Converters waiting for files that will not come are done.
        if (!m_closed && (m_stopAsked || m_next == m_records.size()))
            for (const auto& s : m_converters)
                if (s->ready())
                    s->close();
        m_filling = false;
    }

    bool roomForNext()
    {
        if (!m_nextMemory)
            m_nextMemory = ConversionMemory(m_records.at(m_next).inputPath);
        if (MayStartConversion(working(), m_memoryInFlight, *m_nextMemory, m_workers, m_budget))
            return true;
        // A small file may wait in the pipe of a converter that is on one.
        return m_sharing && *m_nextMemory <= kSharedConverterMemory && m_memoryInFlight + *m_nextMemory <= m_budget
            && std::any_of(m_converters.begin(), m_converters.end(), [this](const auto& s) { return mayTakeMore(*s); });
    }

    // The files in flight that take a worker: all but those waiting behind another in a pipe.
    qsizetype working() const
    {
        qsizetype waiting = 0;
        for (const auto& s : m_converters)
            if (s->alive() && s->inHand() > 1)
                waiting += s->inHand() - 1;
        return qsizetype(m_inFlight.size()) - waiting;
    }

    // s may be handed another of the run's files: it has room in its pipe and in its chunk.
    bool mayTakeMore(const ChunkConverter& s) const { return s.ready() && s.handed() < m_chunkFiles; }

    // A converter for small files told options with room for another file, an idle one first;
    // one that has room but was told others (the colour count changed) is done with once it has
    // ended what it has.
    ChunkConverter& sharedConverter(const QStringList& options)
    {
        ChunkConverter* found = nullptr;
        for (const auto& s : m_converters)
            if (s->ready() && s->options() != options)
                s->close();
            else if (mayTakeMore(*s) && (!found || (s->idle() && !found->idle())))
                found = s.get();
        // One on a file takes the next only when no worker is free for a converter of its own.
        if (found && (found->idle() || working() >= m_workers))
            return *found;
        auto made = std::make_unique<ChunkConverter>(m_converter, options, m_environment);
        ChunkConverter& s = *made;
        QObject::connect(&s, &ChunkConverter::fileEnded, &s,
                         [this, &s](bool ok, const QByteArray& reason) { fileEnded(s, ok, reason); });
        QObject::connect(&s, &ChunkConverter::ended, &s,
                         [this, &s](const ProcessReport& report, int inHand) { converterEnded(s, report, inHand); });
        m_converters.push_back(std::move(made));
        return s;
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
        QStringList options;
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
            options = ConverterOptions(ColourCountFromText(m_parts.colourText()), m_plan.choice);
        });
        if (!ready) {
            complete(m_trap, ProcessReport(), record);
            return;
        }
        auto owned = std::make_unique<Conversion>();
        Conversion& c = *owned;
        c.index = i;
        c.memory = memory;
        c.options = options;
        // A name the pairs form would refuse goes alone, as it always went.
        const bool share = m_sharing && memory <= kSharedConverterMemory && !record.inputPath.isEmpty()
            && record.inputPath != QStringLiteral("-");
        if (share)
            c.shared = &sharedConverter(options);
        else
            startAlone(c, &progress);
        // Only the file that started last moves the bar.
        if (m_latest)
            releaseProgress(*m_latest);
        m_latest = &c;
        m_inFlight.push_back(std::move(owned));
        m_memoryInFlight += memory;
        // Last: the wait's ticks may run any event, a window's close among them, which finds
        // this conversion in flight.
        if (c.shared)
            c.shared->convert(record.inputPath, record.workCopy, &progress, progress.barText(),
                              int(std::lround(progress.valueReal())), int(n));
        else
            c.alone->start(m_converter, c.options + QStringList{QStringLiteral("-o"), record.workCopy, record.inputPath},
                           kHiddenWindow, &progress, progress.barText(), int(std::lround(progress.valueReal())),
                           int(n));
    }

    // c in a converter of its own, to be started; progress: the one its wait shows on.
    void startAlone(Conversion& c, Progress* progress)
    {
        c.shared = nullptr;
        c.alone = std::make_unique<ShellAndWait>();
        c.alone->setEnvironment(m_environment);
        if (!progress)
            c.alone->releaseProgress();
        QObject::connect(c.alone.get(), &ShellAndWait::finished, c.alone.get(), [this, &c] { ended(c, nullptr); });
    }

    static void releaseProgress(Conversion& c)
    {
        if (c.alone)
            c.alone->releaseProgress();
        else if (c.shared)
            c.shared->releaseProgress();
    }

    Conversion* inFlightOn(const ChunkConverter& s) const
    {
        for (const auto& c : m_inFlight)
            if (c->shared == &s)
                return c.get();
        return nullptr;
    }

    void fileEnded(ChunkConverter& s, bool ok, const QByteArray& reason)
    {
        Conversion* c = inFlightOn(s);
        if (!c || m_closed)
            return;
        if (s.handed() >= m_chunkFiles)
            s.close();
        ProcessReport said;
        said.exitCode = ok ? 0 : 1;
        // Read as the converter's own line of a file of its own would be.
        if (!reason.isEmpty())
            said.errorOutput = QByteArray(lines::kOwnName.data(), qsizetype(lines::kOwnName.size())) + reason;
        ended(*c, &said);
    }

    void converterEnded(ChunkConverter& s, const ProcessReport& report, int inHand)
    {
        if (inHand == 0 || m_closed)
            return;
        std::vector<Conversion*> on;
        for (const auto& c : m_inFlight)
            if (c->shared == &s)
                on.push_back(c.get());
        // Whatever ended it, each file it had gets a converter of its own: the one it was on is
        // converted again alone, and so is the one waiting behind it. One that never said a line
        // of the pairs form may not know it, and the files after go alone too.
        if (!s.spoke())
            m_sharing = false;
        for (Conversion* c : on) {
            if (c->stopped) {
                ended(*c, &report);
                continue;
            }
            startAlone(*c, nullptr);
            if (m_latest == c)
                m_latest = nullptr;
            const ReductionRecord& record = m_records.at(c->index);
            // What it was writing when it died, which the converter started again never sees.
            STEP(m_trap, RemoveHiddenTemporaries(record.workCopy));
            c->alone->start(m_converter, c->options + QStringList{QStringLiteral("-o"), record.workCopy, record.inputPath},
                            kHiddenWindow, nullptr, QString(), 0, int(m_records.size()));
        }
    }

    // c has come to its end: report says how, or its own converter's does.
    void ended(Conversion& c, const ProcessReport* report)
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
            complete(m_trap, report ? *report : c.alone->report(), record);
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
    const int m_chunkFiles;
    const QProcessEnvironment m_environment;
    // Every converter of small files the run started, kept until the run is over.
    std::vector<std::unique_ptr<ChunkConverter>> m_converters;
    std::vector<std::unique_ptr<Conversion>> m_inFlight;
    // Ended, kept until no signal of theirs can still be under way.
    std::vector<std::unique_ptr<Conversion>> m_ended;
    qsizetype m_next = 0;
    std::optional<qint64> m_nextMemory;
    qint64 m_memoryInFlight = 0;
    Conversion* m_latest = nullptr;
    bool m_filling = false;
    bool m_sharing = true;
    int m_endings = 0;
    bool m_closed = false;
    bool m_stopAsked = false;
};

}  // namespace

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
    // No more workers than files: a file alone gets every core for its own threads.
    const int workers = int(std::min<qsizetype>(RunWorkers(services().runWorkers), std::max<qsizetype>(1, inputs.size())));
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
