#include "engine/failure.h"

#include "core/messages.h"
#include "engine/reduction.h"

#include <QStringList>

#include <cstring>

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
