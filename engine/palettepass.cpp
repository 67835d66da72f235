#include "engine/palettepass.h"

#include "core/fileops.h"
#include "core/messages.h"
#include "core/progress.h"
#include "engine/reduction.h"
#include "engine/run.h"
#include "lineformat.h"

#include <QFile>

#include <utility>

namespace {

const QByteArray kOwnName = QByteArray(lines::kOwnName.data(), qsizetype(lines::kOwnName.size()));
const QByteArray kLeftOut = QByteArray(lines::kLeftOut.data(), qsizetype(lines::kLeftOut.size()));

// "12/240 NAME", a file's start: its place and the count of files.
bool fileStart(const QByteArray& said, int& place, int& count)
{
    std::size_t p = 0, n = 0;
    if (!lines::parseStart(std::string_view(said.constData(), std::size_t(said.size())), p, n) || n > 1000000000)
        return false;
    place = int(p);
    count = int(n);
    return true;
}

}  // namespace

PalettePass::PalettePass(QString converter, QProcessEnvironment environment, Progress& progress)
    : m_converter(std::move(converter)), m_environment(std::move(environment)), m_progress(progress)
{
    m_runner.setEnvironment(m_environment);
    connect(&m_runner, &ProcessRunner::errorLine, this, [this](const QByteArray& l) { takeLine(l); });
    connect(&m_runner, &ProcessRunner::finished, this, [this](const ProcessReport& r) { end(r); });
}

PalettePass::~PalettePass() = default;

void PalettePass::gather(const QStringList& inputs, double colourCount, const QString& keyColour,
                         const QString& namesFile, const QString& paletteOut)
{
    QStringList names;
    m_byLineName.clear();
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        if (inputs.at(i).isEmpty())
            continue;
        names << inputs.at(i);
        m_byLineName[ConverterLineName(inputs.at(i))] << i;
    }
    WriteBytesReplacing(NamesFileBytes(names), namesFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_handedOver = names.size();
    m_gathering = true;
    m_progress.setValueReal(0);
    m_progress.setBarText(Messages::kBarGathering.arg(0).arg(m_handedOver));
    start(PalettePassArguments(colourCount, paletteOut, namesFile, keyColour), paletteOut);
    // The lines come as files start; a file that takes long still sees the bar painted.
    if (m_running)
        m_ticks.source().start([this] { m_progress.setBarText(m_progress.barText()); });
}

void PalettePass::check(const QString& paletteFile, const QString& paletteOut)
{
    m_checked = paletteFile;
    start(PaletteCheckArguments(paletteFile, paletteOut), paletteOut);
}

void PalettePass::start(const QStringList& arguments, const QString& paletteOut)
{
    m_outcome = Outcome();
    m_lastSaid.clear();
    m_paletteOut = paletteOut;
    m_running = true;
    m_runner.start(m_converter, arguments);
}

void PalettePass::stop() { m_runner.stop(); }

void PalettePass::takeLine(const QByteArray& line)
{
    if (!m_running)
        return;
    QByteArray said = line.startsWith(kOwnName) ? line.mid(kOwnName.size()) : line;
    int place = 0, count = 0;
    if (m_gathering && fileStart(said, place, count)) {
        m_progress.setValueReal(double(place) / double(count) * 100.0);
        m_progress.setBarText(Messages::kBarGathering.arg(place).arg(count));
        m_progress.setFileNote(Messages::kBarFileOfCount.arg(QString::number(place), QString::number(count)));
        return;
    }
    // "NAME: REASON (left out)"; a name may hold ": " itself.
    if (m_gathering && said.endsWith(kLeftOut)) {
        said.chop(kLeftOut.size());
        for (qsizetype at = said.indexOf(": "); at > 0; at = said.indexOf(": ", at + 1)) {
            const auto input = m_byLineName.constFind(said.left(at));
            if (input == m_byLineName.constEnd())
                continue;
            for (const qsizetype i : *input)
                m_outcome.leftOut.insert(i, QString::fromLocal8Bit(said.mid(at + 2)));
            return;
        }
    }
    const QString text = QString::fromLocal8Bit(said).trimmed();
    if (!text.isEmpty())
        m_lastSaid = text;
}

void PalettePass::end(const ProcessReport& report)
{
    m_ticks.source().stop();
    m_running = false;
    m_gathering = false;
    m_outcome.written = IsNormalFile(m_paletteOut);
    if (m_outcome.written) {
        QFile written(m_paletteOut);
        m_outcome.entries = written.open(QIODevice::ReadOnly) ? ActEntryCount(written.read(773)) : 0;
    } else if (report.startError != 0 || report.crashed) {
        m_outcome.reason = FailureReason(report, QString());
    } else if (m_lastSaid.isEmpty()) {
        // What it said first may be a file's start, which is no reason.
        m_outcome.reason = Messages::kConverterWroteNothing.arg(report.exitCode);
    } else {
        m_outcome.reason = m_lastSaid;
        // The converter names the palette as its lines name every file.
        const QString named = QString::fromLocal8Bit(ConverterLineName(m_checked)) + QStringLiteral(": ");
        if (!m_checked.isEmpty() && m_outcome.reason.startsWith(named) && m_outcome.reason.size() > named.size())
            m_outcome.reason.remove(0, named.size());
    }
    emit finished();
}
