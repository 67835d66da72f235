#include "engine/shellandwait.h"

int NormalWindowStyle(int style) { return style < 0 || style > 6 ? 6 : style; }

int WaitResult(const ProcessReport& report)
{
    return report.startError != 0 ? kStartErrorBase + report.startError : report.exitCode;
}

ShellAndWait::ShellAndWait(QObject* parent) : QObject(parent)
{
    connect(&m_runner, &ProcessRunner::finished, this, [this](const ProcessReport& r) { end(r); });
}

ShellAndWait::~ShellAndWait() = default;

void ShellAndWait::setEnvironment(const QProcessEnvironment& environment)
{
    m_runner.setEnvironment(environment);
}

void ShellAndWait::start(const QString& program, const QStringList& arguments, int windowStyle,
                         Progress* progress, const QString& baseText, int startValue, int rowCount)
{
    m_windowStyle = NormalWindowStyle(windowStyle);
    if (progress)
        m_animator.emplace(*progress, baseText, startValue, rowCount);
    m_runner.start(program, arguments);
    // A start the system refused at once has its report in already.
    if (m_runner.stage() == ProcessRunner::Stage::Idle)
        return;
    m_ticks.source().start([this] {
        if (m_animator && !m_ended)
            m_animator->tick();
    });
}

void ShellAndWait::releaseProgress() { m_animator.reset(); }

void ShellAndWait::stop() { m_runner.stop(); }

void ShellAndWait::end(const ProcessReport& report)
{
    m_ended = true;
    m_ticks.source().stop();
    if (m_animator && report.startError == 0)
        m_animator->restore();
    emit finished(WaitResult(report));
}
