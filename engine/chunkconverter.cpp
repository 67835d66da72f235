#include "engine/chunkconverter.h"

#include "lineformat.h"

#include <QFile>

#include <string_view>
#include <utility>

namespace {

const QByteArray kOwnName = QByteArray(lines::kOwnName.data(), qsizetype(lines::kOwnName.size()));

}  // namespace

QStringList PairsArguments(const QStringList& options)
{
    return options + QStringList{QStringLiteral("-pairs0-from"), QStringLiteral("-")};
}

ChunkConverter::ChunkConverter(const QString& program, const QStringList& options,
                               const QProcessEnvironment& environment)
    : m_options(options)
{
    m_runner.setEnvironment(environment);
    m_runner.setInputPiped();
    connect(&m_runner, &ProcessRunner::errorLine, this, [this](const QByteArray& l) { takeLine(l); });
    connect(&m_runner, &ProcessRunner::finished, this, [this](const ProcessReport& r) { end(r); });
    m_runner.start(program, PairsArguments(options));
}

ChunkConverter::~ChunkConverter() = default;

void ChunkConverter::convert(const QString& input, const QString& output, Progress* progress,
                             const QString& baseText, int startValue, int rowCount)
{
    ++m_inHand;
    ++m_handed;
    m_runner.writeInput(QFile::encodeName(input) + '\0' + QFile::encodeName(output) + '\0');
    m_animator.reset();
    if (progress)
        m_animator.emplace(*progress, baseText, startValue, rowCount);
    m_ticks.source().stop();
    m_ticks.source().start([this] {
        if (m_animator && m_inHand > 0)
            m_animator->tick();
    });
}

void ChunkConverter::releaseProgress() { m_animator.reset(); }

void ChunkConverter::close()
{
    m_closed = true;
    m_runner.closeInput();
}

void ChunkConverter::stop()
{
    m_closed = true;
    m_runner.stop();
}

void ChunkConverter::takeLine(const QByteArray& line)
{
    if (m_inHand == 0 || !line.startsWith(kOwnName))
        return;
    const QByteArray said = line.mid(kOwnName.size());
    lines::PairLine pair;
    // Only the first file in hand can be under way.
    if (!lines::parsePairLine(std::string_view(said.constData(), std::size_t(said.size())), pair)
        || pair.place != std::size_t(m_ended + 1))
        return;
    m_spoke = true;
    if (pair.kind == lines::PairLine::Start)
        return;
    --m_inHand;
    ++m_ended;
    // The wait shown is the last file's, handed after this one.
    if (m_inHand == 0) {
        m_ticks.source().stop();
        if (m_animator)
            m_animator->restore();
    }
    emit fileEnded(pair.kind == lines::PairLine::Ok, QByteArray::fromStdString(pair.text));
}

void ChunkConverter::end(const ProcessReport& report)
{
    m_alive = false;
    m_closed = true;
    m_ticks.source().stop();
    const int inHand = std::exchange(m_inHand, 0);
    if (inHand > 0 && m_animator && report.startError == 0)
        m_animator->restore();
    emit ended(report, inHand);
}
