#include "engine/processrunner.h"

#include "core/leftovers.h"
#include "engine/childlink.h"

#include <QFile>
#include <QProcess>

#include <algorithm>
#include <utility>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// QProcess does not say why a start failed; ask the file system the way exec would.
int startErrorNumber(const QString& program)
{
    const QByteArray native = QFile::encodeName(program);
    struct stat st;
    if (native.isEmpty())
        return ENOENT;
    if (::stat(native.constData(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EACCES;
    if (::access(native.constData(), X_OK) != 0)
        return errno;
    return ENOEXEC;
}

// Adds what fits of more to report's error output.
void keepErrorOutput(ProcessReport& report, const QByteArray& more)
{
    report.errorOutput += more.left(
        std::max<qsizetype>(0, ProcessReport::kErrorOutputLimit - report.errorOutput.size()));
}

}  // namespace

void StopProcess(QProcess& process, std::chrono::milliseconds grace)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (process.waitForFinished(int(grace.count())))
        return;
    process.kill();
    process.waitForFinished(3000);
}

ProcessRunner::ProcessRunner(QObject* parent) : QObject(parent), m_process(new QProcess(this))
{
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    TieChildToThisProgram(*m_process);
    connect(m_process, &QProcess::started, this, [this] {
        if (m_stage == Stage::Starting)
            m_stage = Stage::Running;
        emit started();
    });
    // Read as it comes, so a talkative program never stalls on a full pipe; only the start and
    // the line being written are kept.
    connect(m_process, &QProcess::readyReadStandardError, this,
            [this] { takeErrorOutput(m_process->readAllStandardError(), false); });
    connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        takeErrorOutput(m_process->readAllStandardError(), true);
        ProcessReport report = m_report;
        report.exitCode = exitCode;
        report.crashed = status == QProcess::CrashExit;
        end(report);
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        ProcessReport report;
        report.startError = startErrorNumber(m_program);
        end(report);
    });
}

ProcessRunner::~ProcessRunner()
{
    if (m_stage == Stage::Idle)
        return;
    m_process->disconnect(this);
    StopProcess(*m_process);
    if (m_pid > 0)
        Leftovers::forgetProcess(m_pid);
}

void ProcessRunner::start(const QString& program, const QStringList& arguments)
{
    m_program = program;
    m_report = ProcessReport();
    m_stage = Stage::Starting;
    m_pid = 0;
    m_line.clear();
    m_dropping = false;
    m_process->start(program, arguments);
    // Known from the fork on, so that an end without unwinding still finds it.
    if (m_stage != Stage::Idle && m_process->processId() > 0) {
        m_pid = pid_t(m_process->processId());
        Leftovers::trackProcess(m_pid);
    }
}

void ProcessRunner::setEnvironment(const QProcessEnvironment& environment)
{
    m_process->setProcessEnvironment(environment);
}

void ProcessRunner::setInputPiped() { m_process->setStandardInputFile(QString()); }

void ProcessRunner::writeInput(const QByteArray& bytes)
{
    if (m_stage != Stage::Idle)
        m_process->write(bytes);
}

void ProcessRunner::closeInput()
{
    if (m_stage != Stage::Idle)
        m_process->closeWriteChannel();
}

void ProcessRunner::stop(std::chrono::milliseconds grace)
{
    if (m_stage != Stage::Idle)
        StopProcess(*m_process, grace);
}

void ProcessRunner::takeErrorOutput(const QByteArray& more, bool atEnd)
{
    keepErrorOutput(m_report, more);
    m_line += more;
    qsizetype from = 0;
    // A receiver may stop the program, whose end reads the rest: the lines taken here are
    // taken off first.
    QList<QByteArray> lines;
    for (qsizetype nl; (nl = m_line.indexOf('\n', from)) >= 0; from = nl + 1) {
        if (!std::exchange(m_dropping, false))
            lines << m_line.mid(from, std::min(nl - from, ProcessReport::kLineLimit));
    }
    m_line.remove(0, from);
    if (m_line.size() >= ProcessReport::kLineLimit || (atEnd && !m_line.isEmpty())) {
        if (!m_dropping)
            lines << m_line.left(ProcessReport::kLineLimit);
        m_dropping = !atEnd;
        m_line.clear();
    }
    for (const QByteArray& line : std::as_const(lines))
        emit errorLine(line);
}

void ProcessRunner::end(const ProcessReport& report)
{
    if (m_stage == Stage::Idle)
        return;
    if (m_pid > 0)
        Leftovers::forgetProcess(m_pid);
    m_pid = 0;
    m_stage = Stage::Idle;
    m_report = report;
    // From the event loop: a receiver may start the next program or drop this runner.
    QMetaObject::invokeMethod(this, [this, report] { emit finished(report); }, Qt::QueuedConnection);
}
